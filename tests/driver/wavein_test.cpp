// The wave input device through widMessage: capabilities, adding headers,
// filling them across header boundaries, stop, reset, position and close.
// The fake input stream writes a known byte pattern into the headers on the
// real I/O thread as each case grants it frames.
#include "driver/wavein.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "tests/driver/device_fixture.h"

namespace {

Seen data(WAVEHDR &h) { return {WIM_DATA, reinterpret_cast<DWORD_PTR>(&h)}; }

class WaveIn : public DeviceTest {
 protected:
  WaveIn() : DeviceTest(WAVE_INPUT) {}

  void add(WAVEHDR &h) {
    ASSERT_EQ(message(WIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(&h)), MMSYSERR_NOERROR);
  }
  void awaitDelivered(DWORD frames) {
    awaitLocked([&] { return fakeStreamState(stream_)->delivered >= frames; });
  }
  // Whether bytes [from, from + frames) of h hold the frames delivered
  // from index first on.
  static bool holds(const WAVEHDR &h, DWORD fromFrame, DWORD frames, DWORD first) {
    for (DWORD f = 0; f < frames; ++f) {
      for (DWORD b = 0; b < 4; ++b) {
        if (static_cast<unsigned char>(h.lpData[(fromFrame + f) * 4 + b]) !=
            fakeRecordedByte(first + f)) {
          return false;
        }
      }
    }
    return true;
  }
};

TEST(WaveInCaps, WhatFitsTheCallersSizeIsFilled) {
  unsigned char part[84];
  std::memset(part, 0xAB, sizeof part);
  EXPECT_EQ(widMessage(0, WIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(part), 84),
            MMSYSERR_NOERROR);
  EXPECT_EQ(part[76], 2);     // the channels
  EXPECT_EQ(part[80], 0xAB);  // nothing past the record
  EXPECT_EQ(widMessage(0, WIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(part), 0),
            MMSYSERR_NOERROR);

  WAVEINCAPSW caps;
  std::memset(&caps, 0xAB, sizeof caps);
  ASSERT_EQ(widMessage(0, WIDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&caps), 80),
            MMSYSERR_NOERROR);
  const unsigned char *b = reinterpret_cast<const unsigned char *>(&caps);
  const unsigned char head[] = {1, 0, 101, 0, 0x00, 0x05, 0, 0};
  EXPECT_EQ(std::memcmp(b, head, sizeof head), 0);
  const char name[] = "Lumivox 1.0";
  for (int i = 0; i < MAXPNAMELEN; ++i) {
    EXPECT_EQ(caps.szPname[i], i < int(sizeof name) - 1 ? WCHAR(name[i]) : 0) << i;
  }
  const unsigned char tail[] = {0xFF, 0x0F, 0, 0, 2, 0, 0xAB, 0xAB};
  EXPECT_EQ(std::memcmp(b + 72, tail, sizeof tail), 0);
}

TEST(WaveInCaps, FixedAnswers) {
  EXPECT_EQ(widMessage(3, WIDM_GETNUMDEVS, 0, 0, 0), 1u);
  for (UINT m : {UINT(WIDM_PREPARE), UINT(WIDM_UNPREPARE), 61u, 0u, UINT(WODM_WRITE)}) {
    EXPECT_EQ(widMessage(0, m, 0, 0, 0), MMSYSERR_NOTSUPPORTED) << m;
  }
  for (UINT m : {UINT(WIDM_CLOSE), UINT(WIDM_ADDBUFFER), UINT(WIDM_START), UINT(WIDM_STOP),
                 UINT(WIDM_RESET), UINT(WIDM_GETPOS)}) {
    EXPECT_EQ(widMessage(0, m, 0, 0, 0), MMSYSERR_INVALHANDLE) << m;
  }
}

TEST_F(WaveIn, AddBufferChecksFlagsAndClearsTheBytesRecorded) {
  Headers h(2);
  h[0].dwFlags = 0;
  EXPECT_EQ(message(WIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(&h[0])), WAVERR_UNPREPARED);
  h[0].dwFlags = WHDR_PREPARED | WHDR_DONE;
  h[0].dwBytesRecorded = 77;
  add(h[0]);
  EXPECT_EQ(h[0].dwBytesRecorded, 0u);
  EXPECT_EQ(h[0].dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
  EXPECT_EQ(message(WIDM_ADDBUFFER, reinterpret_cast<DWORD_PTR>(&h[0])), WAVERR_STILLPLAYING);
  EXPECT_EQ(message(WIDM_ADDBUFFER, 0), MMSYSERR_INVALPARAM);
  add(h[1]);
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(stream_->current, &h[0]);
  EXPECT_EQ(fakeStreamLog.kicks, 1);  // the busy stream is not kicked again
  LeaveCriticalSection(&drvLock);
  EXPECT_EQ(message(WIDM_RESET), MMSYSERR_NOERROR);
}

TEST_F(WaveIn, AFullHeaderComesBackAndTheRestStartsTheNext) {
  Headers h(2, 4000);  // 1000 frames each at block align 4
  add(h[0]);
  add(h[1]);
  fakeStreamGrant(stream_, 999);
  awaitDelivered(999);
  EXPECT_TRUE(seen().empty());
  fakeStreamGrant(stream_, 501);
  awaitCallbacks(1);
  awaitDelivered(1500);
  EXPECT_EQ(seen(), (std::vector<Seen>{data(h[0])}));
  EXPECT_EQ(h[0].dwBytesRecorded, 4000u);
  EXPECT_EQ(h[0].dwFlags, WHDR_PREPARED | WHDR_DONE);
  EXPECT_TRUE(holds(h[0], 0, 1000, 0));
  EXPECT_EQ(h[1].dwBytesRecorded, 2000u);
  EXPECT_TRUE(holds(h[1], 0, 500, 1000));
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(stream_->current, &h[1]);
  EXPECT_EQ(stream_->offset, 500u);
  LeaveCriticalSection(&drvLock);
  EXPECT_EQ(message(WIDM_RESET), MMSYSERR_NOERROR);
}

TEST_F(WaveIn, StopReturnsAPartlyFilledHeaderAndKeepsEmptyOnes) {
  Headers h(2, 3000);  // 750 frames
  EXPECT_EQ(message(WIDM_START), MMSYSERR_NOERROR);
  add(h[0]);
  add(h[1]);
  fakeStreamGrant(stream_, 250);
  awaitDelivered(250);
  EXPECT_EQ(message(WIDM_STOP), MMSYSERR_NOERROR);
  EXPECT_EQ(seen(), (std::vector<Seen>{data(h[0])}));
  EXPECT_EQ(h[0].dwBytesRecorded, 1000u);  // one third of its length
  // The next header is current but empty: a second stop returns nothing.
  EXPECT_EQ(message(WIDM_STOP), MMSYSERR_NOERROR);
  EXPECT_EQ(seen().size(), 1u);
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(fakeStreamLog.pauses, (std::vector<int>{0, 1, 1}));
  EXPECT_EQ(instance_->queueHead, &h[1]);
  LeaveCriticalSection(&drvLock);
  EXPECT_EQ(message(WIDM_RESET), MMSYSERR_NOERROR);
}

TEST_F(WaveIn, ResetReturnsEveryHeaderWithWhatItHolds) {
  Headers h(3, 400);  // 100 frames
  for (int i = 0; i < 3; ++i) add(h[i]);
  fakeStreamGrant(stream_, 130);
  awaitDelivered(130);
  awaitCallbacks(1);
  EXPECT_EQ(message(WIDM_RESET), MMSYSERR_NOERROR);
  EXPECT_EQ(seen(), (std::vector<Seen>{data(h[0]), data(h[1]), data(h[2])}));
  EXPECT_EQ(h[0].dwBytesRecorded, 400u);
  EXPECT_EQ(h[1].dwBytesRecorded, 120u);
  EXPECT_EQ(h[2].dwBytesRecorded, 0u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(h[i].dwFlags, WHDR_PREPARED | WHDR_DONE);
  EnterCriticalSection(&drvLock);
  EXPECT_EQ(stream_->current, nullptr);
  EXPECT_EQ(stream_->offset, 0u);
  EXPECT_TRUE(fakeStreamLog.pauses.empty());
  LeaveCriticalSection(&drvLock);
}

// A buffer added from another thread while a reset returns the queue comes
// back with that reset, and the stream is left on none of the returned
// headers: it would fill one again and hand it back a second time.
TEST_F(WaveIn, AnAddDuringAResetLeavesTheStreamOnNoReturnedHeader) {
  Headers h(4, 400);  // 100 frames
  add(h[0]);
  add(h[1]);
  bool added = false;  // only the resetting thread runs the hook
  fakeDriverCallbackHook([&](const DriverCallbackCall &call) {
    if (added || call.param1 != reinterpret_cast<DWORD_PTR>(&h[0])) return;
    added = true;
    std::thread adder([&] { add(h[2]); });
    adder.join();
  });
  EXPECT_EQ(message(WIDM_RESET), MMSYSERR_NOERROR);
  fakeDriverCallbackHook(nullptr);
  EXPECT_EQ(seen(), (std::vector<Seen>{data(h[0]), data(h[1]), data(h[2])}));
  EnterCriticalSection(&drvLock);
  WAVEHDR *left = stream_->current;
  EXPECT_EQ(instance_->queueHead, nullptr);
  LeaveCriticalSection(&drvLock);
  ASSERT_EQ(left, nullptr);

  add(h[3]);
  fakeStreamGrant(stream_, 100);
  awaitCallbacks(4);
  awaitDelivered(100);
  EXPECT_EQ(seen(), (std::vector<Seen>{data(h[0]), data(h[1]), data(h[2]), data(h[3])}));
  EXPECT_TRUE(holds(h[3], 0, 100, 0));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(h[i].dwBytesRecorded, 0u) << i;
}

TEST_F(WaveIn, PositionIsTheStreamsWithoutACap) {
  EnterCriticalSection(&drvLock);
  fakeStreamState(stream_)->position = 5000;  // nothing was ever written
  LeaveCriticalSection(&drvLock);
  MMTIME time = {};
  time.wType = TIME_BYTES;
  EXPECT_EQ(message(WIDM_GETPOS, reinterpret_cast<DWORD_PTR>(&time), sizeof time),
            MMSYSERR_NOERROR);
  EXPECT_EQ(time.u.cb, 20000u);
  time.wType = TIME_SMPTE;
  EXPECT_EQ(message(WIDM_GETPOS, reinterpret_cast<DWORD_PTR>(&time), sizeof time),
            MMSYSERR_NOERROR);
  EXPECT_EQ(time.wType, TIME_SAMPLES);
  EXPECT_EQ(time.u.sample, 5000u);
  time.wType = TIME_BYTES;
  EXPECT_EQ(message(WIDM_GETPOS, reinterpret_cast<DWORD_PTR>(&time), sizeof time - 1),
            MMSYSERR_ERROR);
  EXPECT_EQ(time.wType, TIME_BYTES);
  EXPECT_EQ(time.u.sample, 5000u);
}

TEST_F(WaveIn, CloseWithHeadersQueuedFailsUntilAReset) {
  Headers h(1);
  add(h[0]);
  EXPECT_EQ(close(), WAVERR_STILLPLAYING);
  EXPECT_TRUE(seen().empty());
  EXPECT_EQ(fakeStreamLog.closes, 0);
  EXPECT_EQ(message(WIDM_RESET), MMSYSERR_NOERROR);
  EXPECT_EQ(close(), MMSYSERR_NOERROR);
  EXPECT_EQ(seen(), (std::vector<Seen>{data(h[0]), {WIM_CLOSE, 0}}));
  EXPECT_EQ(fakeStreamLog.closes, 1);
}

TEST_F(WaveIn, CloseWaitsForACompletionInProgress) {
  Headers h(1, 4);
  std::atomic<int> closesWhenCallbackReturned{-1};
  std::atomic<bool> closeReturned{false};
  std::thread closer;
  fakeDriverCallbackHook([&](const DriverCallbackCall &call) {
    if (call.message == WIM_DATA)
      closesWhenCallbackReturned = closeDuringCompletion(closer, closeReturned);
  });
  add(h[0]);
  fakeStreamGrant(stream_, 1);
  awaitCallbacks(2);
  closer.join();
  EXPECT_EQ(closesWhenCallbackReturned, 0);
  EXPECT_EQ(seen(), (std::vector<Seen>{data(h[0]), {WIM_CLOSE, 0}}));
}

}  // namespace
