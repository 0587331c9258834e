// Device instances: the header queue's rules, streams of an instance, and
// instance creation with discovery. The creation cases run the real
// lumivox-session (POSIX build) so that discovery reads a published record.
#include "driver/instance.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "devices/discovery.h"
#include "devices/operations.h"
#include "driver/entry.h"
#include "driver/waveout.h"
#include "net/loop.h"
#include "tests/support/fake_stream.h"
#include "tests/support/fake_winmm.h"
#ifndef _WIN32
#include "tests/tools/session_process.h"
#endif

namespace {

// The test thread holds drvLock throughout; no I/O thread runs.
class Locked : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeStreamReset();
    waveOutputOps = &FAKE_OUTPUT_OPS;
    drvInitLock();
    EnterCriticalSection(&drvLock);
    std::memset(&instance_, 0, sizeof instance_);
    instance_.queueTail = &instance_.queueHead;
    instance_.events = &waveOutputEvents;
  }
  void TearDown() override {
    while (WaveStream *s = instance_.streams) {
      instance_.streams = s->next;
      s->outputOps->close(&instance_, s);
      LocalFree(s);
    }
    waveOutputOps = &outputStreamOps;
    LeaveCriticalSection(&drvLock);
    drvStopIo();
  }

  std::vector<WAVEHDR *> queued() {
    std::vector<WAVEHDR *> out;
    for (WAVEHDR *h = instance_.queueHead; h; h = h->lpNext) out.push_back(h);
    return out;
  }

  WaveInstance instance_;
  WAVEHDR h_[4] = {};
};

// The header queue.

TEST_F(Locked, RemovingTheNewestLeavesTheTailOnTheNewNewest) {
  for (WAVEHDR &h : h_) h.lpNext = &h;  // stale links must not matter
  hdrQueueAppend(&instance_, &h_[0]);
  hdrQueueAppend(&instance_, &h_[1]);
  hdrQueueAppend(&instance_, &h_[2]);
  hdrQueueRemove(&instance_, &h_[2]);
  EXPECT_EQ(instance_.queueTail, &h_[1].lpNext);
  hdrQueueAppend(&instance_, &h_[3]);
  EXPECT_EQ(queued(), (std::vector<WAVEHDR *>{&h_[0], &h_[1], &h_[3]}));
  hdrQueueRemove(&instance_, &h_[1]);  // from the middle
  EXPECT_EQ(queued(), (std::vector<WAVEHDR *>{&h_[0], &h_[3]}));
  hdrQueueRemove(&instance_, &h_[2]);  // not queued: nothing changes
  EXPECT_EQ(queued(), (std::vector<WAVEHDR *>{&h_[0], &h_[3]}));
  EXPECT_EQ(instance_.queueTail, &h_[3].lpNext);
}

TEST_F(Locked, RemovingTheOnlyHeaderEmptiesTheQueue) {
  hdrQueueAppend(&instance_, &h_[0]);
  hdrQueueRemove(&instance_, &h_[0]);
  EXPECT_EQ(instance_.queueHead, nullptr);
  EXPECT_EQ(instance_.queueTail, &instance_.queueHead);
  hdrQueueAppend(&instance_, &h_[1]);
  EXPECT_EQ(queued(), (std::vector<WAVEHDR *>{&h_[1]}));
}

TEST_F(Locked, OrderAndPredecessorFollowTheQueue) {
  hdrQueueAppend(&instance_, &h_[0]);
  hdrQueueAppend(&instance_, &h_[1]);
  hdrQueueAppend(&instance_, &h_[2]);
  EXPECT_FALSE(hdrQueueIsBefore(&instance_, &h_[1], &h_[1]));
  EXPECT_TRUE(hdrQueueIsBefore(&instance_, &h_[0], &h_[2]));
  EXPECT_FALSE(hdrQueueIsBefore(&instance_, &h_[2], &h_[0]));
  EXPECT_TRUE(hdrQueueIsBefore(&instance_, &h_[1], &h_[3]));   // b not queued
  EXPECT_FALSE(hdrQueueIsBefore(&instance_, &h_[3], &h_[1]));  // a not queued
  EXPECT_EQ(hdrQueuePredecessor(&instance_, &h_[0]), nullptr);
  EXPECT_EQ(hdrQueuePredecessor(&instance_, &h_[2]), &h_[1]);
  EXPECT_EQ(hdrQueuePredecessor(&instance_, &h_[3]), nullptr);
  EXPECT_EQ(hdrQueuePredecessor(&instance_, nullptr), nullptr);
}

// Streams of an instance.

TEST_F(Locked, ASecondStreamToTheSameDestinationIsNotMade) {
  EXPECT_EQ(streamAdd(&instance_, 0x0A000001, 9000), 1);
  EXPECT_EQ(streamAdd(&instance_, 0x0A000001, 9000), 1);
  EXPECT_EQ(fakeStreamLog.opens, 1);
  ASSERT_NE(instance_.streams, nullptr);
  EXPECT_EQ(instance_.streams->next, nullptr);
  EXPECT_EQ(instance_.streams->outputOps, &FAKE_OUTPUT_OPS);
  EXPECT_EQ(instance_.streams->inputOps, nullptr);
  // Another port is another destination, kept in creation order.
  EXPECT_EQ(streamAdd(&instance_, 0x0A000001, 9001), 1);
  ASSERT_NE(instance_.streams->next, nullptr);
  EXPECT_EQ(instance_.streams->next->port, 9001u);
}

TEST_F(Locked, ANewStreamStartsOnTheQueueHeadAndAFailedOpenLeavesNone) {
  hdrQueueAppend(&instance_, &h_[0]);
  fakeStreamOpenResult = 0;
  EXPECT_EQ(streamAdd(&instance_, 0x0A000001, 9000), 0);
  EXPECT_EQ(instance_.streams, nullptr);
  fakeStreamOpenResult = 1;
  EXPECT_EQ(streamAdd(&instance_, 0x0A000001, 9000), 1);
  EXPECT_EQ(instance_.streams->current, &h_[0]);
  EXPECT_EQ(instance_.streams->offset, 0u);
  hdrQueueRemove(&instance_, &h_[0]);
  instance_.streams->current = nullptr;
}

TEST_F(Locked, WithoutOperationsForTheDirectionNoStreamIsMade) {
  instance_.direction = WAVE_INPUT;
  waveInputOps = nullptr;
  EXPECT_EQ(streamAdd(&instance_, 0x0A000001, 9000), 0);
  waveInputOps = &inputStreamOps;
  EXPECT_EQ(instance_.streams, nullptr);
  EXPECT_EQ(fakeStreamLog.opens, 0);
}

#ifndef _WIN32

// Instance creation with discovery, through the real session tool.
class Creation : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeWinmmReset();
    fakeStreamReset();
    waveOutputOps = &FAKE_OUTPUT_OPS;
    blocks_ = lvLocalAllocLive();
  }
  void TearDown() override {
    drvStopIo();
    waveOutputOps = &outputStreamOps;
    session_.reset();
    EXPECT_EQ(lvLocalAllocLive(), blocks_);
  }
  void serve(const std::vector<std::string> &arguments) {
    session_.reset();  // one server of the session's objects at a time
    session_ = std::make_unique<SessionProcess>(arguments);
    ASSERT_TRUE(session_->ready()) << session_->line();
  }

  RuntimeDir dir_;
  std::unique_ptr<SessionProcess> session_;
  long blocks_ = 0;
};

struct Visit {
  int calls;
  DWORD address;
  DWORD port;
};

int recordVisit(void *context, DWORD address, DWORD port) {
  Visit *v = static_cast<Visit *>(context);
  v->calls += 1;
  v->address = address;
  v->port = port;
  return 7;
}

TEST_F(Creation, DiscoveryVisitsTheSessionsTerminalAtThePortOfItsDisplay) {
  serve({"--session", "4", "--record", "4", "--address", "10.0.0.1", "--display", "3"});
  Visit v = {};
  EXPECT_EQ(discoverServer(recordVisit, &v), 7);
  EXPECT_EQ(v.calls, 1);
  EXPECT_EQ(v.address, 0x0A000001u);
  EXPECT_EQ(v.port, 9003u);
}

TEST_F(Creation, DiscoveryRefusesADisplayWhosePortWouldNotFit) {
  serve({"--session", "4", "--record", "4", "--address", "10.0.0.1", "--display", "56535"});
  Visit v = {};
  EXPECT_EQ(discoverServer(recordVisit, &v), 7);
  EXPECT_EQ(v.port, 65535u);
  serve({"--session", "4", "--record", "4", "--address", "10.0.0.1", "--display", "56536"});
  v = {};
  EXPECT_EQ(discoverServer(recordVisit, &v), 0);
  EXPECT_EQ(v.calls, 0);
}

TEST_F(Creation, AnInstanceCopiesTheOpenAndGetsOneStream) {
  serve({"--session", "4", "--record", "4", "--address", "192.168.1.10", "--display", "0"});
  PCMWAVEFORMAT format = {{WAVE_FORMAT_PCM, 1, 22050, 44100, 2}, 16};
  WAVEOPENDESC description = {};
  description.hWave = reinterpret_cast<HWAVE>(0x4A4E);
  description.lpFormat = &format.wf;
  description.dwCallback = 0x1122334455667788u;  // a 64-bit address survives
  description.dwInstance = 0x99;
  drvInitLock();
  EnterCriticalSection(&drvLock);
  WaveInstance *instance = nullptr;
  ASSERT_EQ(instanceCreate(0, &description, CALLBACK_EVENT, WAVE_OUTPUT, &instance),
            MMSYSERR_NOERROR);
  EXPECT_EQ(instance->callback, 0x1122334455667788u);
  EXPECT_EQ(instance->callbackInstance, 0x99u);
  EXPECT_EQ(instance->openFlags, CALLBACK_EVENT);
  EXPECT_EQ(instance->waveHandle, description.hWave);
  EXPECT_EQ(std::memcmp(&instance->format, &format, 14), 0);
  EXPECT_EQ(instance->queueTail, &instance->queueHead);
  EXPECT_EQ(instance->framesWritten, 0u);
  EXPECT_EQ(instance->drainEvent, nullptr);
  ASSERT_NE(instance->streams, nullptr);
  EXPECT_EQ(instance->streams->address, 0xC0A8010Au);
  EXPECT_EQ(instance->streams->port, 9000u);
  WaveStream *s = instance->streams;
  instance->streams = nullptr;
  s->outputOps->close(instance, s);
  LocalFree(s);
  instanceFree(instance);
  LeaveCriticalSection(&drvLock);
}

// Through wodMessage: discovery, the stream's open and WOM_OPEN.
class Open : public Creation {
 protected:
  DWORD open(DWORD_PTR *stored) {
    description_.lpFormat = &format_.wf;
    description_.dwCallback = 0xCA11;
    description_.hWave = reinterpret_cast<HWAVE>(0x4A4E);
    return wodMessage(0, WODM_OPEN, reinterpret_cast<DWORD_PTR>(stored),
                      reinterpret_cast<DWORD_PTR>(&description_), CALLBACK_FUNCTION);
  }
  PCMWAVEFORMAT format_ = {{WAVE_FORMAT_PCM, 2, 48000, 192000, 4}, 16};
  WAVEOPENDESC description_ = {};
};

TEST_F(Open, WithoutAnAddressTheOpenFailsAndNoConnectionIsTried) {
  serve({"--session", "4"});  // no record, no Hookup channel
  DWORD_PTR stored = 0x5555;
  EXPECT_EQ(open(&stored), MMSYSERR_NODRIVER);
  EXPECT_EQ(stored, 0x5555u);
  EXPECT_EQ(fakeStreamLog.opens, 0);
  EXPECT_TRUE(fakeDriverCallbackCalls().empty());
}

TEST_F(Open, AFailedStreamOpenFailsTheDeviceOpenWithNothingLeft) {
  serve({"--session", "4", "--record", "4", "--address", "10.0.0.1", "--display", "0"});
  fakeStreamOpenResult = 0;
  DWORD_PTR stored = 0;
  EXPECT_EQ(open(&stored), MMSYSERR_NODRIVER);
  EXPECT_EQ(fakeStreamLog.opens, 1);
  EXPECT_EQ(stored, 0u);
  EXPECT_TRUE(fakeDriverCallbackCalls().empty());
}

// Each open keeps two sockets in the I/O thread's select set; past the
// set's room an open is refused with its own code, before any discovery or
// connection, and the next one after a close succeeds again.
TEST_F(Open, OpensBeyondTheSelectSetsRoomAreRefusedAsAllocated) {
  serve({"--session", "4", "--record", "4", "--address", "10.0.0.1", "--display", "0"});
  DWORD_PTR stored = 0;
  ASSERT_EQ(open(&stored), MMSYSERR_NOERROR);  // starts the lock and the I/O thread
  EnterCriticalSection(&drvLock);
  DWORD live = instanceCount;
  instanceCount = WAVE_INSTANCES_MAX;  // as if the others were open
  LeaveCriticalSection(&drvLock);
  DWORD_PTR refused = 0;
  EXPECT_EQ(open(&refused), MMSYSERR_ALLOCATED);
  EXPECT_EQ(fakeStreamLog.opens, 1);
  EnterCriticalSection(&drvLock);
  instanceCount = live;
  LeaveCriticalSection(&drvLock);
  EXPECT_EQ(wodMessage(0, WODM_CLOSE, stored, 0, 0), MMSYSERR_NOERROR);
  static_assert(1 + MIXER_READER_RESERVE + 2 * WAVE_INSTANCES_MAX <= LV_SELECT_SET_LIMIT);
}

TEST_F(Open, ASuccessfulOpenReportsOpenThenCloseToTheApplication) {
  serve({"--session", "4", "--record", "4", "--address", "10.0.0.1", "--display", "0"});
  DWORD_PTR stored = 0;
  ASSERT_EQ(open(&stored), MMSYSERR_NOERROR);
  EXPECT_EQ(fakeStreamLog.address, 0x0A000001u);
  EXPECT_EQ(fakeStreamLog.port, 9000u);
  ASSERT_NE(stored, 0u);
  EXPECT_EQ(wodMessage(0, WODM_CLOSE, stored, 0, 0), MMSYSERR_NOERROR);
  std::vector<DriverCallbackCall> calls = fakeDriverCallbackCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].message, DWORD(WOM_OPEN));
  EXPECT_EQ(calls[0].flags, DWORD(DCB_FUNCTION));
  EXPECT_EQ(calls[0].device, reinterpret_cast<HDRVR>(0x4A4E));
  EXPECT_EQ(calls[0].callback, 0xCA11u);
  EXPECT_EQ(calls[1].message, DWORD(WOM_CLOSE));
  EXPECT_EQ(fakeStreamLog.closes, 1);
}

#endif  // _WIN32

}  // namespace
