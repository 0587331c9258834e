// Every call an application makes returns, against servers and paths that
// do not do what the driver needs: a playback nobody acknowledges (a silent
// server, a reply naming port 0, a path that drops every datagram), a
// recording that never comes, a control connection the server stopped
// reading while callbacks are in progress; and the reset and pause paths
// that used to stream discarded audio or lose a pause.
//
// The device runs here as the multimedia layer drives it: an instance with
// the real operation tables, messages through wodMessage and widMessage,
// the real I/O thread, lumivox-server in its own process. Time that the
// driver measures in ticks is moved by the test (the runtime's tick seam).
#include <gtest/gtest.h>
#include <sndfile.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/devices/wave_device.h"

namespace {

using namespace wave_device;

class BoundedWaits : public WaveDeviceTest {};

// ---- A playback that is never acknowledged.

struct DeadPath {
  const char *name;
  std::vector<std::string> serverOptions;
  bool viaBlockedRelay;  // the datagrams go to a relay that drops every one
};

class DeadPlayback : public BoundedWaits, public ::testing::WithParamInterface<DeadPath> {};

// The probe is never answered, so the stream never starts and takes no
// audio: the close waits for a header that cannot play. After the quiet
// time the stream is given up as a lost connection would be: the header
// comes back, then WOM_CLOSE, and the server sees the connection end.
TEST_P(DeadPlayback, TheCloseReturnsOnceTheStreamHasBeenQuietForTheLimit) {
  std::vector<std::string> options = GetParam().serverOptions;
  if (GetParam().viaBlockedRelay) {
    uint16_t streamPort = freeUdpPort();
    relay_ = std::make_unique<ServerProcess>(LUMIVOX_RELAY, "lumivox-relay: relaying ",
                                             std::vector<std::string>{
                                                 "--to", std::to_string(streamPort), "--loss", "1"});
    ASSERT_TRUE(relay_->ready());
    options.insert(options.end(), {"--udp-port", std::to_string(streamPort), "--advertise-udp-port",
                                   std::to_string(relay_->port())});
  }
  serve(options);
  lvTickFreeze(1000);
  ASSERT_TRUE(open(WAVE_OUTPUT));
  Header header(RATE);  // one second
  ASSERT_EQ(write(header), MMSYSERR_NOERROR);
  DWORD closeResult = 1;
  DWORD moved = whileTimePasses([&] { closeResult = message(WODM_CLOSE); });
  EXPECT_EQ(closeResult, MMSYSERR_NOERROR);
  EXPECT_GE(moved, STREAM_STALL_MS) << "given up before the quiet time was over";
  EXPECT_LT(moved, DWORD(WAIT_MS)) << "the close did not return";
  EXPECT_EQ(messagesSeen(), (std::vector<DWORD>{WOM_DONE, WOM_CLOSE}));
  EXPECT_TRUE(header.h.dwFlags & WHDR_DONE);
  EXPECT_TRUE(server_->waitForLog("closed by the driver"));
  std::fprintf(stderr, "%s: close returned after %u ms of ticks\n", GetParam().name, moved);
}

INSTANTIATE_TEST_SUITE_P(Paths, DeadPlayback,
                         ::testing::Values(DeadPath{"silent", {"--silent-streams"}, false},
                                           DeadPath{"port0", {"--advertise-udp-port", "0"}, false},
                                           DeadPath{"blocked", {}, true}),
                         [](const auto &info) { return std::string(info.param.name); });

// A server that answers every datagram but plays one frame for each moves
// its positions often enough for any stall limit: the close still returns
// within the audio's time and CLOSE_GRACE_MS, with the header back first.
TEST_F(BoundedWaits, ACloseIsBoundedInTotalAgainstACrawlingServer) {
  serve({"--crawl"});
  lvTickFreeze(1000);
  ASSERT_TRUE(open(WAVE_OUTPUT));
  Header header(3 * RATE);  // more than any lead lets the driver send unplayed
  ASSERT_EQ(write(header), MMSYSERR_NOERROR);
  DWORD closeResult = 1;
  DWORD moved = whileTimePasses([&] { closeResult = message(WODM_CLOSE); });
  EXPECT_EQ(closeResult, MMSYSERR_NOERROR);
  EXPECT_GE(moved, 3000u) << "the server's progress did not hold the close";
  EXPECT_LE(moved, 3000 + CLOSE_GRACE_MS + 500) << "the close outlived its bound";
  EXPECT_EQ(messagesSeen(), (std::vector<DWORD>{WOM_DONE, WOM_CLOSE}));
  EXPECT_TRUE(server_->waitForLog("closed by the driver"));
  std::fprintf(stderr, "crawling server: close returned after %u ms of ticks\n", moved);
}

// ---- A recording that never comes.

// The stream is granted and then nothing arrives: the recording waits for
// the server as long as the stream stands (a microphone may open late),
// and stop, reset and close still return at once, the buffer with them.
TEST_F(BoundedWaits, ASilentRecordingWaitsAndStopResetAndCloseReturnAtOnce) {
  serve({"--silent-streams"});
  lvTickFreeze(1000);
  ASSERT_TRUE(open(WAVE_INPUT));
  Header header(4410);
  ASSERT_EQ(write(header), MMSYSERR_NOERROR);
  ASSERT_EQ(message(WIDM_START), MMSYSERR_NOERROR);
  ASSERT_TRUE(server_->waitForLog("recording"));
  advanceTicks(3 * STREAM_STALL_MS);
  EXPECT_TRUE(messagesSeen().empty()) << "the recording was given up";
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(state()->ready, 1u);
  EXPECT_NE(state()->streamSlot, nullptr);
  LeaveCriticalSection(&drvLock);
  EXPECT_EQ(message(WIDM_STOP), MMSYSERR_NOERROR);  // an empty buffer stays queued
  EXPECT_EQ(message(WIDM_CLOSE), WAVERR_STILLPLAYING);
  EXPECT_EQ(message(WIDM_RESET), MMSYSERR_NOERROR);
  EXPECT_EQ(messagesSeen(), std::vector<DWORD>{WIM_DATA});
  EXPECT_EQ(header.h.dwBytesRecorded, 0u);
  EXPECT_EQ(message(WIDM_CLOSE), MMSYSERR_NOERROR);
  EXPECT_TRUE(server_->waitForLog("closed by the driver"));
}

// ---- Reset, pause and the teardown.

std::vector<int16_t> leftChannel(const std::string &path) {
  SF_INFO info{};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<int16_t> all(size_t(info.frames) * size_t(info.channels)), left;
  if (!f) return left;
  sf_readf_short(f, all.data(), info.frames);
  sf_close(f);
  for (size_t i = 0; i < all.size(); i += size_t(info.channels)) left.push_back(all[i]);
  return left;
}

// Three seconds are written and reset after half a second: what the
// server played is a stretch of the first audio and then, sample for
// sample, all of the write that followed the reset. Neither the ring's
// lead of discarded audio nor the silence a close used to stream for it
// comes between.
TEST_F(BoundedWaits, AResetDropsWhatItDiscardedAndTheNextWritePlaysWhole) {
  std::string played = runtime_.path() + "/played.wav";
  serve({"--output", played, "--adaptive", "0"});  // starts on the row that copies exactly
  ASSERT_TRUE(open(WAVE_OUTPUT));
  std::vector<std::unique_ptr<Header>> before;
  for (int i = 0; i < 30; i++) {
    before.push_back(std::make_unique<Header>(RATE / 10, 1000));
    ASSERT_EQ(write(*before.back()), MMSYSERR_NOERROR);
  }
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
  while (position() < RATE / 2 && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ASSERT_EQ(message(WODM_RESET), MMSYSERR_NOERROR);
  for (auto &h : before) EXPECT_TRUE(h->h.dwFlags & WHDR_DONE);
  Header after(RATE / 5, -2000);
  ASSERT_EQ(write(after), MMSYSERR_NOERROR);
  auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(message(WODM_CLOSE), MMSYSERR_NOERROR);
  auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - begin);
  std::fprintf(stderr, "close after the reset: %lld ms (0.2 s written after it)\n",
               static_cast<long long>(took.count()));
  ASSERT_TRUE(server_->waitForLog("closed by the driver"));
  server_->stop();

  // A round trip slowed by the sanitizers may move the stream to a
  // converted row for a while: levels are compared with a margin, and the
  // converter's edges may take a few frames.
  constexpr size_t EDGE = 64;
  std::vector<int16_t> left = leftChannel(played);
  size_t second = 0;  // the first frame of the write after the reset
  while (second < left.size() && left[second] > -1000) second++;
  size_t firstAudio = 0, secondAudio = 0;
  for (size_t i = 0; i < second; i++) firstAudio += std::abs(left[i] - 1000) < 200;
  for (size_t i = second; i < left.size(); i++) secondAudio += std::abs(left[i] + 2000) < 300;
  EXPECT_GT(firstAudio, 0u);
  EXPECT_LT(firstAudio, size_t(RATE)) << "more of the discarded audio played than the reset left";
  EXPECT_LE(second - firstAudio, EDGE) << "something else came before the write after the reset";
  EXPECT_GE(secondAudio + EDGE, size_t(RATE / 5)) << "the write after the reset was cut";
  EXPECT_LE(left.size() - second, size_t(RATE / 5) + EDGE) << "something came after it";
}

// A pause given before the first write is kept by the device alone; the
// write, the restart and the next pause must still reach the server.
TEST_F(BoundedWaits, APauseAfterAPauseBeforeTheFirstWriteReachesTheServer) {
  serve({"--fast"});
  ASSERT_TRUE(open(WAVE_OUTPUT));
  ASSERT_EQ(message(WODM_PAUSE), MMSYSERR_NOERROR);
  Header header(RATE / 10);
  ASSERT_EQ(write(header), MMSYSERR_NOERROR);
  ASSERT_EQ(message(WODM_RESTART), MMSYSERR_NOERROR);
  ASSERT_EQ(message(WODM_PAUSE), MMSYSERR_NOERROR);
  EXPECT_TRUE(server_->waitForLog("received pause-stream request"));
  ASSERT_EQ(message(WODM_RESTART), MMSYSERR_NOERROR);
  ASSERT_EQ(message(WODM_CLOSE), MMSYSERR_NOERROR);
  EXPECT_EQ(server_->logCount("received pause-stream request"), 1);
}

// A pause that finds the control connection's send buffer full ends the
// connection on the application's thread, while the I/O thread is inside
// the play source returning a header (drvLock released for WOM_DONE). What
// the I/O thread comes back to must still be there: under the sanitizers
// a use after free fails the run. The stream then plays its headers to
// nowhere and the close returns them all.
TEST_F(BoundedWaits, AConnectionEndedDuringACompletionFreesNothingUnderTheIoThread) {
  serve({"--stop-reading-after", "2", "--fast"});  // the setup and the open-stream request
  ASSERT_TRUE(open(WAVE_OUTPUT));
  std::atomic<bool> hooked{false};
  int pauses = 0;
  fakeDriverCallbackHook([&](const DriverCallbackCall &call) {
    if (call.message != WOM_DONE || hooked.exchange(true)) return;
    std::thread application([&] {
      for (bool closed = false; !closed && pauses < 1000000; pauses++) {
        message(WODM_PAUSE);
        message(WODM_RESTART);
        EnterCriticalSection(&drvLock);
        closed = state()->closed;
        LeaveCriticalSection(&drvLock);
      }
    });
    application.join();
  });
  std::vector<std::unique_ptr<Header>> headers;
  for (int i = 0; i < 8; i++) {
    headers.push_back(std::make_unique<Header>(RATE / 20, int16_t(i)));
    ASSERT_EQ(write(*headers.back()), MMSYSERR_NOERROR);
  }
  ASSERT_TRUE(fakeWaitForDriverCallbacks(8, WAIT_MS));
  EXPECT_TRUE(hooked);
  ASSERT_EQ(message(WODM_CLOSE), MMSYSERR_NOERROR);
  std::vector<DWORD> expected(8, WOM_DONE);
  expected.push_back(WOM_CLOSE);
  EXPECT_EQ(messagesSeen(), expected);
  std::fprintf(stderr, "the connection ended after %d pauses\n", pauses);
}

// ---- Input stop and start.

// A stop drops what was recorded and not handed on: the next start places
// its audio at a clean read position instead of behind (or mixed into)
// the old.
TEST_F(BoundedWaits, AStopDropsTheUnreadRecordingAndTheNextStartBeginsClean) {
  serve({"--fast"});
  ASSERT_TRUE(open(WAVE_INPUT));
  ASSERT_EQ(message(WIDM_START), MMSYSERR_NOERROR);  // no buffer: the ring fills
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
  uint32_t written = 0;
  for (;;) {
    EnterCriticalSection(&drvLock);
    RecordSink *sink = state()->sink;
    CaptureReceiver *r = sink->receivers;
    if (r && r->synced) written = r->writePos - sink->readPos;
    LeaveCriticalSection(&drvLock);
    if (written > 0 || std::chrono::steady_clock::now() > until) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_GT(written, 0u);
  ASSERT_EQ(message(WIDM_STOP), MMSYSERR_NOERROR);
  EnterCriticalSection(&drvLock);
  RecordSink *sink = state()->sink;
  const int16_t *ring = ringSamples(sink->ring);
  size_t loud = 0;
  for (uint32_t i = 0; i < sink->ring->frames * sink->ring->channels; i++) loud += ring[i] != 0;
  EXPECT_EQ(loud, 0u) << "the unread recording is still on the ring";
  EXPECT_EQ(sink->active, 0u);
  LeaveCriticalSection(&drvLock);
  Header header(4410);
  ASSERT_EQ(write(header), MMSYSERR_NOERROR);
  ASSERT_EQ(message(WIDM_START), MMSYSERR_NOERROR);
  ASSERT_TRUE(fakeWaitForDriverCallbacks(1, WAIT_MS));
  EXPECT_EQ(header.h.dwBytesRecorded, 4410u * BLOCK);
  EXPECT_EQ(server_->logCount("received open-stream request"), 2);
}

}  // namespace
