// A wave device opened without discovery, for the front-end tests of both
// directions: the instance as instanceCreate makes it, one stream to a
// fixed destination added by streamAdd over the fake stream operations,
// and the real I/O thread running.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>
#include <vector>

#include "devices/operations.h"
#include "driver/entry.h"
#include "driver/instance.h"
#include "driver/wavein.h"
#include "driver/waveout.h"
#include "net/loop.h"
#include "tests/support/fake_stream.h"
#include "tests/support/fake_winmm.h"

constexpr DWORD_PTR CALLBACK_VALUE = 0xCA11;
constexpr DWORD_PTR CALLBACK_USER = 0x05E4;
constexpr DWORD OPEN_FLAGS = CALLBACK_FUNCTION;
constexpr int WAIT_MS = 10000;  // bound on waits for the I/O thread; never reached when it works

// A message the application saw and its first parameter (the header).
struct Seen {
  DWORD message;
  DWORD_PTR header;
  bool operator==(const Seen &) const = default;
};

inline std::vector<Seen> seen() {
  std::vector<Seen> out;
  for (const DriverCallbackCall &c : fakeDriverCallbackCalls())
    out.push_back({c.message, c.param1});
  return out;
}

// Headers over one buffer each, prepared as the multimedia layer does.
struct Headers {
  explicit Headers(int n, DWORD bytes = 400) : data(size_t(n) * bytes), h(size_t(n)) {
    for (int i = 0; i < n; ++i) {
      h[size_t(i)].lpData = data.data() + size_t(i) * bytes;
      h[size_t(i)].dwBufferLength = bytes;
      h[size_t(i)].dwFlags = WHDR_PREPARED;
    }
  }
  WAVEHDR &operator[](int i) { return h[size_t(i)]; }
  std::vector<char> data;
  std::vector<WAVEHDR> h;
};

class DeviceTest : public ::testing::Test {
 protected:
  explicit DeviceTest(DWORD direction) : direction_(direction) {}

  void SetUp() override {
    fakeWinmmReset();
    fakeStreamReset();
    waveOutputOps = &FAKE_OUTPUT_OPS;
    waveInputOps = &FAKE_INPUT_OPS;
    blocksBefore_ = liveBlocks();
    drvInitLock();
    EnterCriticalSection(&drvLock);
    ASSERT_EQ(drvStartIo(), 1);
    instance_ = static_cast<WaveInstance *>(memAllocZero(sizeof(WaveInstance)));
    instance_->queueTail = &instance_->queueHead;
    instance_->direction = direction_;
    instance_->events = direction_ == WAVE_OUTPUT ? &waveOutputEvents : &waveInputEvents;
    instance_->callback = CALLBACK_VALUE;
    instance_->callbackInstance = CALLBACK_USER;
    instance_->openFlags = OPEN_FLAGS;
    instance_->format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4};
    instanceAddLive(instance_);
    ASSERT_EQ(streamAdd(instance_, 0x0A000001, 9000), 1);
    stream_ = instance_->streams;
    LeaveCriticalSection(&drvLock);
  }

  void TearDown() override {
    // Each case leaves no header queued: its headers are gone by now.
    if (instance_) {
      EXPECT_EQ(close(), MMSYSERR_NOERROR);
    }
    drvStopIo();
    EXPECT_EQ(loopWork, nullptr);
    EXPECT_EQ(loopReaders, nullptr);
    EXPECT_EQ(loopWriters, nullptr);
    EXPECT_EQ(liveBlocks(), blocksBefore_);
    waveOutputOps = &outputStreamOps;
    waveInputOps = &inputStreamOps;
    fakeWinmmReset();
  }

  static long liveBlocks() {
#ifdef _WIN32
    return 0;  // the system's allocator keeps no count
#else
    return lvLocalAllocLive();
#endif
  }

  // One message to the device of this direction.
  DWORD message(UINT m, DWORD_PTR param1 = 0, DWORD_PTR param2 = 0) {
    DWORD_PTR user = reinterpret_cast<DWORD_PTR>(instance_);
    return direction_ == WAVE_OUTPUT ? wodMessage(0, m, user, param1, param2)
                                     : widMessage(0, m, user, param1, param2);
  }

  // Closes the device now; forgets it once closed.
  DWORD close() {
    DWORD result = message(direction_ == WAVE_OUTPUT ? WODM_CLOSE : WIDM_CLOSE);
    if (result == MMSYSERR_NOERROR) instance_ = nullptr;
    return result;
  }

  // Waits until the application has seen count callbacks.
  void awaitCallbacks(size_t count) { ASSERT_TRUE(fakeWaitForDriverCallbacks(count, WAIT_MS)); }

  // Waits until done() holds, read with drvLock held.
  void awaitLocked(const std::function<bool()> &done) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(WAIT_MS);
    for (;;) {
      EnterCriticalSection(&drvLock);
      bool reached = done();
      LeaveCriticalSection(&drvLock);
      if (reached) return;
      ASSERT_LT(std::chrono::steady_clock::now(), end) << "the I/O thread did not get there";
      std::this_thread::yield();
    }
  }

  // Starts the close on another thread from inside a completion callback
  // and returns once that close waits for the callback (or has returned,
  // which it must not). Returns the stream closes seen at that moment.
  int closeDuringCompletion(std::thread &closer, std::atomic<bool> &closeReturned) {
    closer = std::thread([&] {
      EXPECT_EQ(close(), MMSYSERR_NOERROR);
      closeReturned = true;
    });
    for (;;) {
      if (closeReturned) break;
      EnterCriticalSection(&drvLock);
      bool waiting = instance_->drainEvent != nullptr;
      LeaveCriticalSection(&drvLock);
      if (waiting) break;
      std::this_thread::yield();
    }
    EnterCriticalSection(&drvLock);
    int closes = fakeStreamLog.closes;
    LeaveCriticalSection(&drvLock);
    return closes;
  }

  DWORD direction_;
  WaveInstance *instance_ = nullptr;
  WaveStream *stream_ = nullptr;
  long blocksBefore_ = 0;
};
