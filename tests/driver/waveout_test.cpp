// The wave output device through wodMessage: capabilities, writes and
// positions, the header life cycle with loops, pause, reset and close, and
// the close's wait for completions in progress. The stream is the
// recording stand-in of tests/support/fake_stream, which finishes headers
// on the real I/O thread as each case grants them.
#include "driver/waveout.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "driver/entry.h"
#include "net/loop.h"
#include "tests/driver/device_fixture.h"
#include "tests/support/fake_stream.h"
#include "tests/support/fake_winmm.h"

namespace {

Seen done(WAVEHDR &h) { return {WOM_DONE, reinterpret_cast<DWORD_PTR>(&h)}; }

// An open output device, played by the fake stream.
class WaveOut : public DeviceTest {
 protected:
  WaveOut() : DeviceTest(WAVE_OUTPUT) {}

  // Waits until the stream has finished count headers in all.
  void awaitPlayed(size_t count) {
    awaitLocked([count] { return fakeStreamLog.played.size() >= count; });
  }
};

// Capabilities and the messages that need no device.

// The multimedia layer passes on the application's size: what fits it is
// written, and nothing past it.
TEST(WaveOutCaps, WhatFitsTheCallersSizeIsFilled) {
  unsigned char part[90];
  std::memset(part, 0xAB, sizeof part);
  EXPECT_EQ(wodMessage(0, WODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(part), 4),
            MMSYSERR_NOERROR);
  const unsigned char ids[] = {1, 0, 100, 0, 0xAB};
  EXPECT_EQ(std::memcmp(part, ids, sizeof ids), 0);
  EXPECT_EQ(wodMessage(0, WODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(part), 90),
            MMSYSERR_NOERROR);
  EXPECT_EQ(part[83], 0);     // the last byte of the record
  EXPECT_EQ(part[84], 0xAB);  // and nothing after it
  EXPECT_EQ(wodMessage(0, WODM_GETDEVCAPS, 0, 0, 84), MMSYSERR_INVALPARAM);

  WAVEOUTCAPSW caps;
  std::memset(&caps, 0xAB, sizeof caps);
  ASSERT_EQ(wodMessage(0, WODM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), 84),
            MMSYSERR_NOERROR);
  // The record byte for byte, as the x64 layout puts it.
  const unsigned char *b = reinterpret_cast<const unsigned char *>(&caps);
  const unsigned char head[] = {1, 0, 100, 0, 0x00, 0x05, 0, 0};
  EXPECT_EQ(std::memcmp(b, head, sizeof head), 0);
  const char name[] = "Lumivox 1.0";
  for (int i = 0; i < MAXPNAMELEN; ++i) {
    WCHAR expected = i < int(sizeof name) - 1 ? WCHAR(name[i]) : 0;
    EXPECT_EQ(caps.szPname[i], expected) << "character " << i;
  }
  const unsigned char tail[] = {0xFF, 0x0F, 0, 0, 0xFF, 0xFF, 0xAB, 0xAB, 0x2C, 0, 0, 0};
  EXPECT_EQ(std::memcmp(b + 72, tail, sizeof tail), 0);  // reserved word left as passed
}

TEST(WaveOutCaps, MessagesWithFixedAnswers) {
  EXPECT_EQ(wodMessage(7, WODM_GETNUMDEVS, 0, 0, 0), 1u);
  for (UINT m : {UINT(WODM_PREPARE), UINT(WODM_UNPREPARE), UINT(WODM_GETPITCH), UINT(WODM_SETPITCH),
                 UINT(WODM_GETPLAYBACKRATE), UINT(WODM_SETPLAYBACKRATE), 21u, 0u, 0x4000u}) {
    EXPECT_EQ(wodMessage(0, m, 0, 0, 0), MMSYSERR_NOTSUPPORTED) << m;
  }
  DWORD volume = 0xFFFFFFFF;
  EXPECT_EQ(wodMessage(0, WODM_GETVOLUME, 0, reinterpret_cast<DWORD_PTR>(&volume), 0),
            MMSYSERR_NOERROR);
  EXPECT_EQ(volume, 0u);
  EXPECT_EQ(wodMessage(0, WODM_GETVOLUME, 0, 0, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(wodMessage(0, WODM_SETVOLUME, 0, 0x12345678, 0), MMSYSERR_NOERROR);
}

TEST(WaveOutCaps, DeviceMessagesWithoutAnInstanceAreRefused) {
  for (UINT m : {WODM_CLOSE, WODM_WRITE, WODM_PAUSE, WODM_RESTART, WODM_RESET, WODM_GETPOS,
                 WODM_BREAKLOOP}) {
    EXPECT_EQ(wodMessage(0, m, 0, 0, 0), MMSYSERR_INVALHANDLE) << m;
  }
}

// Writes and positions.

TEST_F(WaveOut, WriteChecksTheHeaderFlagsAndCountsWholeFrames) {
  Headers h(2, 1001);
  h[0].dwFlags = 0;
  EXPECT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[0])), WAVERR_UNPREPARED);
  h[0].dwFlags = WHDR_PREPARED | WHDR_DONE;
  EXPECT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[0])), MMSYSERR_NOERROR);
  EXPECT_EQ(h[0].dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
  EXPECT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[0])), WAVERR_STILLPLAYING);
  EXPECT_EQ(message(WODM_WRITE, 0), MMSYSERR_INVALPARAM);

  EnterCriticalSection(&drvLock);
  EXPECT_EQ(instance_->framesWritten, 250u);  // 1001 bytes at block align 4
  EXPECT_EQ(instance_->queueHead, &h[0]);
  EXPECT_EQ(h[0].lpNext, nullptr);
  EXPECT_EQ(stream_->current, &h[0]);
  EXPECT_EQ(fakeStreamLog.kicks, 1);
  LeaveCriticalSection(&drvLock);

  // A busy stream is not kicked again.
  EXPECT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[1])), MMSYSERR_NOERROR);
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(instance_->framesWritten, 500u);
  EXPECT_EQ(fakeStreamLog.kicks, 1);
  LeaveCriticalSection(&drvLock);
  EXPECT_EQ(message(WODM_RESET), MMSYSERR_NOERROR);
}

TEST_F(WaveOut, PositionIsCappedAtFramesWrittenAndReportedInSamplesOrBytes) {
  Headers h(1, 1001);
  ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[0])), MMSYSERR_NOERROR);
  auto position = [&](UINT type, DWORD streamFrames) {
    EnterCriticalSection(&drvLock);
    fakeStreamState(stream_)->position = streamFrames;
    LeaveCriticalSection(&drvLock);
    MMTIME time = {};
    time.wType = type;
    EXPECT_EQ(message(WODM_GETPOS, reinterpret_cast<DWORD_PTR>(&time), sizeof time),
              MMSYSERR_NOERROR);
    return time;
  };
  MMTIME t = position(TIME_SAMPLES, 100);
  EXPECT_EQ(t.wType, TIME_SAMPLES);
  EXPECT_EQ(t.u.sample, 100u);
  t = position(TIME_BYTES, 100);
  EXPECT_EQ(t.wType, TIME_BYTES);
  EXPECT_EQ(t.u.cb, 400u);
  t = position(TIME_MS, 100);
  EXPECT_EQ(t.wType, TIME_SAMPLES);
  EXPECT_EQ(t.u.sample, 100u);
  t = position(TIME_SAMPLES, 251);
  EXPECT_EQ(t.u.sample, 250u);
  t = position(TIME_BYTES, 100000);
  EXPECT_EQ(t.u.cb, 1000u);
  // A position behind by a wrapped difference is not capped.
  EnterCriticalSection(&drvLock);
  instance_->framesWritten = 5;
  LeaveCriticalSection(&drvLock);
  t = position(TIME_SAMPLES, 0xFFFFFFF0u);
  EXPECT_EQ(t.u.sample, 0xFFFFFFF0u);
  EXPECT_EQ(message(WODM_GETPOS, 0, 0), MMSYSERR_INVALPARAM);
  // A record smaller than an MMTIME is refused and left as it was.
  std::memset(&t, 0xAB, sizeof t);
  MMTIME before = t;
  EXPECT_EQ(message(WODM_GETPOS, reinterpret_cast<DWORD_PTR>(&t), sizeof t - 1), MMSYSERR_ERROR);
  EXPECT_EQ(std::memcmp(&t, &before, sizeof t), 0);
  EXPECT_EQ(message(WODM_RESET), MMSYSERR_NOERROR);
}

// The header life cycle.

TEST_F(WaveOut, HeadersComeBackInWriteOrderWithDoneSet) {
  Headers h(3);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[i])), MMSYSERR_NOERROR);
  }
  fakeStreamGrant(stream_, 3);
  awaitCallbacks(3);
  EXPECT_EQ(seen(), (std::vector<Seen>{done(h[0]), done(h[1]), done(h[2])}));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(h[i].dwFlags, WHDR_PREPARED | WHDR_DONE);
  for (const DriverCallbackCall &c : fakeDriverCallbackCalls()) {
    EXPECT_EQ(c.callback, CALLBACK_VALUE);
    EXPECT_EQ(c.flags, DWORD(DCB_FUNCTION));
    EXPECT_EQ(c.user, CALLBACK_USER);
  }
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(instance_->queueHead, nullptr);
  EXPECT_EQ(instance_->queueTail, &instance_->queueHead);
  EXPECT_EQ(stream_->current, nullptr);
  LeaveCriticalSection(&drvLock);
}

TEST_F(WaveOut, ALoopOfThreeHeadersPlaysThreeTimesAndReturnsEachOnceAfterItsLastPlay) {
  Headers h(4);
  h[0].dwFlags |= WHDR_BEGINLOOP;
  h[0].dwLoops = 3;
  h[2].dwFlags |= WHDR_ENDLOOP;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[i])), MMSYSERR_NOERROR);
  }
  // Through the first two passes nothing comes back.
  fakeStreamGrant(stream_, 6);
  awaitPlayed(6);
  EXPECT_TRUE(seen().empty());
  fakeStreamGrant(stream_, 1);  // the first header's last play
  awaitCallbacks(1);
  EXPECT_EQ(seen(), (std::vector<Seen>{done(h[0])}));
  fakeStreamGrant(stream_, 3);
  awaitCallbacks(4);
  EXPECT_EQ(seen(), (std::vector<Seen>{done(h[0]), done(h[1]), done(h[2]), done(h[3])}));
  EnterCriticalSection(&drvLock);
  std::vector<WAVEHDR *> expected;
  for (int pass = 0; pass < 3; ++pass) {
    for (int i = 0; i < 3; ++i) expected.push_back(&h[i]);
  }
  expected.push_back(&h[3]);
  EXPECT_EQ(fakeStreamLog.played, expected);
  EXPECT_EQ(stream_->loopStart, nullptr);
  LeaveCriticalSection(&drvLock);
}

TEST_F(WaveOut, AHeaderWithBothLoopFlagsIsALoopByItself) {
  Headers h(2);
  h[0].dwFlags |= WHDR_BEGINLOOP | WHDR_ENDLOOP;
  h[0].dwLoops = 2;
  h[1].dwFlags |= WHDR_BEGINLOOP | WHDR_ENDLOOP;
  h[1].dwLoops = 0;  // plays once, as a count of 1 does
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[i])), MMSYSERR_NOERROR);
  }
  fakeStreamGrant(stream_, 10);
  awaitCallbacks(2);
  EXPECT_EQ(seen(), (std::vector<Seen>{done(h[0]), done(h[1])}));
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(fakeStreamLog.played, (std::vector<WAVEHDR *>{&h[0], &h[0], &h[1]}));
  LeaveCriticalSection(&drvLock);
}

TEST_F(WaveOut, BreakLoopOnTheFirstHeaderEndsTheLoopAfterThatPass) {
  Headers h(2);
  h[0].dwFlags |= WHDR_BEGINLOOP;
  h[0].dwLoops = 100;
  h[1].dwFlags |= WHDR_ENDLOOP;
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[i])), MMSYSERR_NOERROR);
  }
  fakeStreamGrant(stream_, 2);  // the first pass
  // The stream is back on the loop's first header; break the loop there.
  awaitPlayed(2);
  EXPECT_EQ(message(WODM_BREAKLOOP), MMSYSERR_NOERROR);
  fakeStreamGrant(stream_, 10);
  awaitCallbacks(2);
  EXPECT_EQ(seen(), (std::vector<Seen>{done(h[0]), done(h[1])}));
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(fakeStreamLog.played, (std::vector<WAVEHDR *>{&h[0], &h[1], &h[0], &h[1]}));
  LeaveCriticalSection(&drvLock);
}

TEST_F(WaveOut, ResetReturnsEveryHeaderInQueueOrderAndLeavesNoLoopBehind) {
  Headers h(4);
  h[0].dwFlags |= WHDR_BEGINLOOP;
  h[0].dwLoops = 5;
  h[1].dwFlags |= WHDR_ENDLOOP;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[i])), MMSYSERR_NOERROR);
  }
  fakeStreamGrant(stream_, 3);  // inside the second pass
  awaitPlayed(3);
  EXPECT_EQ(message(WODM_RESET), MMSYSERR_NOERROR);
  EXPECT_EQ(seen(), (std::vector<Seen>{done(h[0]), done(h[1]), done(h[2])}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(h[i].dwFlags & (WHDR_DONE | WHDR_INQUEUE), WHDR_DONE);
    EXPECT_EQ(h[i].lpNext, nullptr);
  }
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(stream_->current, nullptr);
  EXPECT_EQ(stream_->loopStart, nullptr);
  EXPECT_EQ(stream_->loopCount, 0u);
  EXPECT_EQ(instance_->framesWritten, 300u);
  EXPECT_TRUE(fakeStreamLog.pauses.empty());
  LeaveCriticalSection(&drvLock);

  // A header written afterwards plays once and comes back.
  ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[3])), MMSYSERR_NOERROR);
  fakeStreamGrant(stream_, 5);
  awaitCallbacks(4);
  EXPECT_EQ(seen().back(), done(h[3]));
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(std::count(fakeStreamLog.played.begin(), fakeStreamLog.played.end(), &h[3]), 1);
  LeaveCriticalSection(&drvLock);
}

// A header written from another thread while a reset returns the queue
// comes back with that reset. The write hands the queue head to the idle
// stream; were the stream left on it once the reset has returned it, it
// would play a header the application already has back, skip the next one
// and then sit idle with headers queued, so that the close never drains.
TEST_F(WaveOut, AWriteDuringAResetLeavesTheStreamOnNoReturnedHeader) {
  Headers h(5);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[i])), MMSYSERR_NOERROR);
  }
  bool wrote = false;  // only the resetting thread runs the hook
  fakeDriverCallbackHook([&](const DriverCallbackCall &call) {
    if (wrote || call.param1 != reinterpret_cast<DWORD_PTR>(&h[0])) return;
    wrote = true;
    std::thread writer([&] {
      EXPECT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[2])), MMSYSERR_NOERROR);
    });
    writer.join();
  });
  EXPECT_EQ(message(WODM_RESET), MMSYSERR_NOERROR);
  fakeDriverCallbackHook(nullptr);
  EXPECT_EQ(seen(), (std::vector<Seen>{done(h[0]), done(h[1]), done(h[2])}));
  EnterCriticalSection(&drvLock);
  WAVEHDR *left = stream_->current;
  EXPECT_EQ(instance_->queueHead, nullptr);
  LeaveCriticalSection(&drvLock);
  ASSERT_EQ(left, nullptr);

  for (int i = 3; i < 5; ++i) {
    ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[i])), MMSYSERR_NOERROR);
  }
  fakeStreamGrant(stream_, 2);
  awaitCallbacks(5);
  EXPECT_EQ(seen(),
            (std::vector<Seen>{done(h[0]), done(h[1]), done(h[2]), done(h[3]), done(h[4])}));
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(fakeStreamLog.played, (std::vector<WAVEHDR *>{&h[3], &h[4]}));
  LeaveCriticalSection(&drvLock);
}

// Pause and restart.

TEST_F(WaveOut, PauseTwiceThenRestartOnceResumes) {
  Headers h(2);
  EXPECT_EQ(message(WODM_PAUSE), MMSYSERR_NOERROR);
  EXPECT_EQ(message(WODM_PAUSE), MMSYSERR_NOERROR);
  for (int i = 0; i < 2; ++i) {
    ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[i])), MMSYSERR_NOERROR);
  }
  fakeStreamGrant(stream_, 2);              // a paused stream takes nothing
  EXPECT_EQ(close(), WAVERR_STILLPLAYING);  // a paused device would never drain
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(fakeStreamLog.pauses, (std::vector<int>{1}));
  EXPECT_TRUE(fakeStreamLog.played.empty());
  EXPECT_EQ(instance_->closing, 0u);
  EXPECT_EQ(fakeStreamLog.closes, 0);
  LeaveCriticalSection(&drvLock);
  EXPECT_EQ(message(WODM_RESTART), MMSYSERR_NOERROR);
  EXPECT_EQ(message(WODM_RESTART), MMSYSERR_NOERROR);  // not paused: nothing
  awaitCallbacks(2);
  EXPECT_EQ(seen(), (std::vector<Seen>{done(h[0]), done(h[1])}));
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(fakeStreamLog.pauses, (std::vector<int>{1, 0}));
  LeaveCriticalSection(&drvLock);
}

TEST_F(WaveOut, RestartGivesAnIdleStreamTheQueueHead) {
  Headers h(1);
  EXPECT_EQ(message(WODM_PAUSE), MMSYSERR_NOERROR);
  ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[0])), MMSYSERR_NOERROR);
  EnterCriticalSection(&drvLock);
  stream_->current = nullptr;  // as a reset during the pause leaves it
  LeaveCriticalSection(&drvLock);
  fakeStreamGrant(stream_, 1);
  EXPECT_EQ(message(WODM_RESTART), MMSYSERR_NOERROR);
  awaitCallbacks(1);
  EXPECT_EQ(seen(), (std::vector<Seen>{done(h[0])}));
}

// Close.

TEST_F(WaveOut, CloseWaitsForEveryHeaderAndSendsCloseLast) {
  Headers h(3);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[i])), MMSYSERR_NOERROR);
  }
  std::thread closer([&] { EXPECT_EQ(close(), MMSYSERR_NOERROR); });
  fakeStreamGrant(stream_, 3);
  closer.join();
  EXPECT_EQ(seen(), (std::vector<Seen>{done(h[0]), done(h[1]), done(h[2]), {WOM_CLOSE, 0}}));
  EXPECT_EQ(fakeStreamLog.closes, 1);
}

TEST_F(WaveOut, CloseOfAnIdleDeviceWithoutCallbackSendsNothing) {
  EnterCriticalSection(&drvLock);
  instance_->callback = 0;
  LeaveCriticalSection(&drvLock);
  EXPECT_EQ(close(), MMSYSERR_NOERROR);
  EXPECT_TRUE(fakeDriverCallbackCalls().empty());
  EXPECT_EQ(fakeStreamLog.closes, 1);
}

// The application sees WHDR_DONE while WOM_DONE still runs on the I/O thread
// and closes from another thread: the close must wait until the callback
// and the supply that made it have returned.
TEST_F(WaveOut, CloseWaitsForACompletionInProgress) {
  Headers h(1);
  std::atomic<int> closesWhenCallbackReturned{-1};
  std::atomic<bool> closeReturned{false};
  std::thread closer;
  fakeDriverCallbackHook([&](const DriverCallbackCall &call) {
    if (call.message == WOM_DONE)
      closesWhenCallbackReturned = closeDuringCompletion(closer, closeReturned);
  });
  ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[0])), MMSYSERR_NOERROR);
  fakeStreamGrant(stream_, 1);
  awaitCallbacks(2);
  closer.join();
  EXPECT_EQ(closesWhenCallbackReturned, 0);
  EXPECT_EQ(seen(), (std::vector<Seen>{done(h[0]), {WOM_CLOSE, 0}}));
}

// A close that waits for a queued header owns the handle: a second close
// and a write are refused meanwhile, and once the instance is freed every
// message naming it is refused without following the pointer.
TEST_F(WaveOut, ASecondCloseAndCallsAfterACloseAreRefused) {
  Headers h(2);
  const DWORD_PTR user = reinterpret_cast<DWORD_PTR>(instance_);
  ASSERT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(&h[0])), MMSYSERR_NOERROR);
  std::atomic<DWORD> first{~0u};
  std::thread closer([&] { first = wodMessage(0, WODM_CLOSE, user, 0, 0); });
  awaitLocked([&] { return instance_->drainEvent != nullptr; });  // the close waits
  EXPECT_EQ(wodMessage(0, WODM_CLOSE, user, 0, 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(wodMessage(0, WODM_WRITE, user, reinterpret_cast<DWORD_PTR>(&h[1]), 0),
            MMSYSERR_INVALHANDLE);
  EXPECT_EQ(wodMessage(0, WODM_RESET, user, 0, 0), MMSYSERR_NOERROR);  // lets the close go on
  closer.join();
  EXPECT_EQ(first, MMSYSERR_NOERROR);
  instance_ = nullptr;
  MMTIME time{};
  EXPECT_EQ(wodMessage(0, WODM_GETPOS, user, reinterpret_cast<DWORD_PTR>(&time), 0),
            MMSYSERR_INVALHANDLE);
  EXPECT_EQ(wodMessage(0, WODM_CLOSE, user, 0, 0), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(seen(), (std::vector<Seen>{done(h[0]), {WOM_CLOSE, 0}}));
}

// Several application threads write and reset while the I/O thread
// completes headers; every header comes back exactly once and the close
// finds the device drained.
TEST_F(WaveOut, ConcurrentWritesResetsAndCompletionsReturnEveryHeaderOnce) {
  constexpr int THREADS = 3;
  constexpr int PER_THREAD = 60;
  Headers h(THREADS * PER_THREAD, 16);
  std::vector<std::thread> writers;
  for (int t = 0; t < THREADS; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < PER_THREAD; ++i) {
        WAVEHDR *header = &h[t * PER_THREAD + i];
        EXPECT_EQ(message(WODM_WRITE, reinterpret_cast<DWORD_PTR>(header)), MMSYSERR_NOERROR);
        if (t == 0 && i % 15 == 14) {
          EXPECT_EQ(message(WODM_RESET), MMSYSERR_NOERROR);
        }
        if (i % 10 == 0) fakeStreamGrant(stream_, 7);
      }
    });
  }
  for (std::thread &w : writers) w.join();
  fakeStreamGrant(stream_, THREADS * PER_THREAD);
  EXPECT_EQ(close(), MMSYSERR_NOERROR);
  std::vector<DWORD_PTR> returned;
  for (const Seen &s : seen()) {
    if (s.message == WOM_DONE) returned.push_back(s.header);
  }
  EXPECT_EQ(seen().back(), (Seen{WOM_CLOSE, 0}));
  std::sort(returned.begin(), returned.end());
  EXPECT_EQ(std::adjacent_find(returned.begin(), returned.end()), returned.end());
  EXPECT_EQ(returned.size(), size_t(THREADS * PER_THREAD));
}

}  // namespace
