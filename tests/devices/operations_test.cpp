// The device operations against the real lumivox-server, in this process on
// the real I/O thread: the opens and their failures, the input start and
// stop, the output pause rule, and the mixer's volume requests. Each case
// has a runtime directory of its own, so the name registry's marks do not
// reach other cases.
#include "devices/operations.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "audio/formats.h"
#include "devices/registry.h"
#include "driver/entry.h"
#include "driver/instance.h"
#include "driver/wavein.h"
#include "driver/waveout.h"
#include "net/loop.h"
#include "session/protocol.h"
#include "stream/stream.h"
#include "tests/devices/server_fixture.h"
#include "tests/server/driver_messages.h"

namespace {

class Operations : public ServerOperationsTest {
 protected:
  void closeDevice() override {
    EnterCriticalSection(&drvLock);
    closeStream();
    LeaveCriticalSection(&drvLock);
  }

  // An instance of the direction at 44.1 kHz stereo 16-bit, and a stream
  // to the server opened through the real table. Called with drvLock held.
  int open(DWORD direction) {
    instance_ = {};
    instance_.queueTail = &instance_.queueHead;
    instance_.direction = direction;
    instance_.events = direction == WAVE_OUTPUT ? &waveOutputEvents : &waveInputEvents;
    instance_.format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4};
    stream_ = {};
    stream_.address = LOOPBACK;
    stream_.port = server_->port();
    const WaveStreamOps *ops = direction == WAVE_OUTPUT ? &outputStreamOps : &inputStreamOps;
    (direction == WAVE_OUTPUT ? stream_.outputOps : stream_.inputOps) = ops;
    result_ = ops->open(&instance_, &stream_);
    opened_ = result_ == OPEN_OK;
    return opened_;
  }

  void closeStream() {
    if (!opened_) return;
    instance_.closing = 1;
    streamOps(&instance_, &stream_)->close(&instance_, &stream_);
    opened_ = 0;
  }

  WaveStreamState *state() { return static_cast<WaveStreamState *>(stream_.state); }

  WaveInstance instance_{};
  WaveStream stream_{};
  int opened_ = 0;
  OpenResult result_ = OPEN_OK;  // of the last open
};

TEST_F(Operations, AnOutputOpenHoldsAPlaySenderAndPausesOnlyAfterTheFirstKick) {
  serve({});
  EnterCriticalSection(&drvLock);
  ASSERT_EQ(open(WAVE_OUTPUT), 1);
  WaveStreamState *s = state();
  EXPECT_EQ(s->ready, 1u);
  EXPECT_EQ(s->event, nullptr);  // closed once the open succeeded
  ASSERT_NE(s->streamSlot, nullptr);
  EXPECT_EQ(s->streamSlot->kind, SLOT_PLAY);
  EXPECT_NE(statePlaySender(s), nullptr);
  EXPECT_EQ(outputPosition(&instance_, &stream_), 0u);
  // Before the first kick a pause changes nothing and sends nothing.
  outputSetPaused(&instance_, &stream_, 1);
  EXPECT_EQ(s->paused, 0u);
  s->started = 1;
  outputSetPaused(&instance_, &stream_, 1);
  EXPECT_EQ(s->paused, 1u);
  LeaveCriticalSection(&drvLock);
  EXPECT_TRUE(server_->waitForLog("received pause-stream request"));
  EXPECT_EQ(server_->logCount("received pause-stream request"), 1);
  EnterCriticalSection(&drvLock);
  closeStream();
  LeaveCriticalSection(&drvLock);
  EXPECT_TRUE(server_->waitForLog("closed by the driver"));
  EXPECT_EQ(serverMarkedUnreachable(LOOPBACK, server_->port()), 0);
}

// A server that answers fails the open it answered, and only that one:
// nothing is remembered, and the next open asks it again.
TEST_F(Operations, AServerWithoutTheDirectionsDeviceFailsEachOpenWithoutAMark) {
  serve({"--no-output-device"});
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(open(WAVE_OUTPUT), 0);
  EXPECT_EQ(result_, OPEN_NO_DEVICE) << openResultText(result_);
  EXPECT_EQ(stream_.state, nullptr);
  EXPECT_EQ(serverMarkedUnreachable(LOOPBACK, server_->port()), 0);
  EXPECT_EQ(open(WAVE_OUTPUT), 0);
  LeaveCriticalSection(&drvLock);
  EXPECT_TRUE(server_->waitForLog(": connected", 2));
}

// A refusal fails the open alone; a setup never answered within the open's
// wait marks the server for the session.
TEST_F(Operations, RefusedAndUnansweredSetupsFailTheOpen) {
  serve({"--refuse-setup"});
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(open(WAVE_INPUT), 0);
  EXPECT_EQ(result_, OPEN_REFUSED) << openResultText(result_);
  EXPECT_EQ(serverMarkedUnreachable(LOOPBACK, server_->port()), 0);
  LeaveCriticalSection(&drvLock);
  uint16_t gone = server_->port();
  serve({"--withhold-setup"});
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(open(WAVE_INPUT), 0);  // after the 5 s wait
  EXPECT_EQ(result_, OPEN_NO_ANSWER) << openResultText(result_);
  EXPECT_EQ(serverMarkedUnreachable(LOOPBACK, server_->port()), 1);
  EXPECT_EQ(open(WAVE_INPUT), 0);
  EXPECT_EQ(result_, OPEN_MARKED) << openResultText(result_);
  // The first server's port, where nobody listens any more.
  stream_.port = gone;
  result_ = streamOps(&instance_, &stream_)->open(&instance_, &stream_);
  EXPECT_EQ(result_, OPEN_NO_CONNECTION) << openResultText(result_);
  LeaveCriticalSection(&drvLock);
}

TEST_F(Operations, ARefusedPlayStreamFailsTheOpenAndClosesTheConnection) {
  serve({"--stream-status", "0"});
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(open(WAVE_OUTPUT), 0);
  EXPECT_EQ(result_, OPEN_REFUSED) << openResultText(result_);
  EXPECT_EQ(serverMarkedUnreachable(LOOPBACK, server_->port()), 0);
  LeaveCriticalSection(&drvLock);
  EXPECT_TRUE(server_->waitForLog("closed by the driver"));
}

// Another client of the same address holds the address's whole stream
// quota: the open is refused while it holds it, with no mark, and the
// next open after the quota is free plays.
TEST_F(Operations, AQuotaHeldByAnotherClientRefusesOnlyWhileItIsHeld) {
  serve({"--max-streams-per-client", "1"});
  auto other = std::make_unique<ControlClient>(*server_);
  ASSERT_TRUE(other->send(setupRequest()));
  ASSERT_FALSE(other->receive().empty());
  ASSERT_TRUE(other->send(openStreamRequest({})));
  ASSERT_EQ(other->receive()[1], 1) << "the other client holds the quota";
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(open(WAVE_OUTPUT), 0);
  EXPECT_EQ(serverMarkedUnreachable(LOOPBACK, server_->port()), 0);
  LeaveCriticalSection(&drvLock);
  other.reset();
  ASSERT_TRUE(server_->waitForLog("closed (messages 2"));
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(open(WAVE_OUTPUT), 1);
  LeaveCriticalSection(&drvLock);
}

TEST_F(Operations, AnInputOpenAsksForNoStreamUntilItsStart) {
  serve({});
  EnterCriticalSection(&drvLock);
  ASSERT_EQ(open(WAVE_INPUT), 1);
  WaveStreamState *s = state();
  EXPECT_EQ(s->paused, 1u);
  EXPECT_EQ(s->streamSlot, nullptr);
  EXPECT_EQ(inputPosition(&instance_, &stream_), 0u);
  // A stop while stopped does nothing.
  inputSetPaused(&instance_, &stream_, 1);
  inputSetPaused(&instance_, &stream_, 0);
  EXPECT_EQ(s->paused, 0u);
  ASSERT_NE(s->streamSlot, nullptr);
  EXPECT_EQ(s->streamSlot->kind, SLOT_CAPTURE);
  inputSetPaused(&instance_, &stream_, 1);
  EXPECT_EQ(s->paused, 1u);
  EXPECT_EQ(s->streamSlot, nullptr);
  LeaveCriticalSection(&drvLock);
  EXPECT_TRUE(server_->waitForLog("received close-stream request"));
  EXPECT_EQ(server_->logCount("received open-stream request"), 1);
}

// A refused start leaves the input stopped, so that the next start asks
// the server again instead of doing nothing for the life of the device.
TEST_F(Operations, ARefusedRecordStreamLeavesTheInputStoppedAndTheNextStartAsksAgain) {
  serve({"--stream-status", "2"});
  EnterCriticalSection(&drvLock);
  ASSERT_EQ(open(WAVE_INPUT), 1);
  inputSetPaused(&instance_, &stream_, 0);
  EXPECT_EQ(state()->paused, 1u);
  EXPECT_EQ(state()->streamSlot, nullptr);
  inputSetPaused(&instance_, &stream_, 1);  // nothing to stop
  inputSetPaused(&instance_, &stream_, 0);
  EXPECT_EQ(state()->paused, 1u);
  LeaveCriticalSection(&drvLock);
  EXPECT_TRUE(server_->waitForLog("received open-stream request", 2));
  EXPECT_EQ(server_->logCount("received open-stream request"), 2);
}

TEST_F(Operations, ALostConnectionEndsTheStreamAndMakesEveryOperationANoOp) {
  // The server grants the record stream, then closes the connection.
  serve({"--close-after", "2"});
  EnterCriticalSection(&drvLock);
  ASSERT_EQ(open(WAVE_INPUT), 1);
  inputSetPaused(&instance_, &stream_, 0);
  LeaveCriticalSection(&drvLock);
  EXPECT_TRUE(server_->waitForLog("closed ("));
  // The loss reaches the I/O thread some turns later.
  bool closed = false;
  for (int i = 0; i < 1000 && !closed; i++) {
    EnterCriticalSection(&drvLock);
    closed = state()->closed;
    LeaveCriticalSection(&drvLock);
    if (!closed) Sleep(10);
  }
  EnterCriticalSection(&drvLock);
  WaveStreamState *s = state();
  EXPECT_EQ(s->closed, 1u);
  EXPECT_EQ(s->ready, 0u);
  EXPECT_EQ(s->connection, nullptr);
  EXPECT_EQ(s->source, nullptr);
  EXPECT_EQ(s->sink, nullptr);
  EXPECT_EQ(s->streamSlot, nullptr);
  inputSetPaused(&instance_, &stream_, 1);  // nothing left to stop
  inputSetPaused(&instance_, &stream_, 0);  // nor to ask
  EXPECT_EQ(server_->logCount("received open-stream request"), 1);
  LeaveCriticalSection(&drvLock);
}

// The mixer's target, opened and closed around the requests.
class MixerOperations : public Operations {
 protected:
  int openTarget() {
    target_ = {};
    target_.address = LOOPBACK;
    target_.port = server_->port();
    target_.operations = &serverMixerOps;
    return mixerServerOpen(&list_, &target_);
  }
  MixerTargetList list_{};
  MixerTarget target_{};
};

TEST_F(MixerOperations, ASetLevelIsSentInBothHalvesAndReadsBack) {
  serve({});
  EnterCriticalSection(&drvLock);
  ASSERT_EQ(openTarget(), 1);
  EXPECT_EQ(mixerServerGetVolume(&list_, &target_, MIXER_INPUT_VOLUME), 0xFFFFu);
  mixerServerSetVolume(&list_, &target_, MIXER_OUTPUT_VOLUME, 0x1234);
  EXPECT_EQ(mixerServerGetVolume(&list_, &target_, MIXER_OUTPUT_VOLUME), 0x1234u);
  // Another index asks nothing.
  EXPECT_EQ(mixerServerGetVolume(&list_, &target_, 2), MIXER_VOLUME_UNKNOWN);
  mixerServerSetVolume(&list_, &target_, 2, 7);
  mixerServerClose(&list_, &target_);
  EXPECT_EQ(target_.state, nullptr);
  LeaveCriticalSection(&drvLock);
  EXPECT_TRUE(server_->waitForLog("control 3 set to 0x12341234"));
  EXPECT_EQ(server_->logCount("received query-control request"), 2);
  EXPECT_EQ(server_->logCount("received set-control request"), 1);
}

TEST_F(MixerOperations, AServerWithoutTheControlReadsUnknownWithoutAsking) {
  serve({"--no-input-device"});
  EnterCriticalSection(&drvLock);
  ASSERT_EQ(openTarget(), 1);
  EXPECT_EQ(mixerServerGetVolume(&list_, &target_, MIXER_INPUT_VOLUME), MIXER_VOLUME_UNKNOWN);
  mixerServerClose(&list_, &target_);
  LeaveCriticalSection(&drvLock);
  EXPECT_TRUE(server_->waitForLog("closed by the driver"));
  EXPECT_EQ(server_->logCount("received query-control request"), 0);
}

TEST_F(MixerOperations, ASkippedQueryReadsUnknownAndItsRecordIsFreedWithTheSession) {
  // The reply to the query never comes; the connection ends after the
  // query, which completes it with no value.
  serve({"--withhold-replies", "--close-after", "2"});
  EnterCriticalSection(&drvLock);
  ASSERT_EQ(openTarget(), 1);
  EXPECT_EQ(mixerServerGetVolume(&list_, &target_, MIXER_OUTPUT_VOLUME), MIXER_VOLUME_UNKNOWN);
  mixerServerClose(&list_, &target_);
  LeaveCriticalSection(&drvLock);
}

TEST_F(MixerOperations, AnUnreachableServerIsMarked) {
  serve({"--withhold-setup"});
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(openTarget(), 0);  // after the 5 s wait
  EXPECT_EQ(serverMarkedUnreachable(LOOPBACK, server_->port()), 1);
  EXPECT_EQ(openTarget(), 0);
  LeaveCriticalSection(&drvLock);
  EXPECT_EQ(server_->logCount(": connected"), 1);
}

}  // namespace
