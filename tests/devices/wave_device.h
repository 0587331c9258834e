// A wave device driven as the multimedia layer drives it, for the tests of
// the device operations against a real lumivox-server: an instance with the
// real operation tables, messages through wodMessage and widMessage, the
// real I/O thread. Time that the driver measures in ticks is moved by the
// test (the runtime's tick seam).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "audio/formats.h"
#include "devices/endpoint.h"
#include "devices/operations.h"
#include "driver/entry.h"
#include "driver/instance.h"
#include "driver/wavein.h"
#include "driver/waveout.h"
#include "net/loop.h"
#include "stream/stream.h"
#include "tests/devices/server_fixture.h"
#include "tests/support/fake_winmm.h"

namespace wave_device {

constexpr DWORD_PTR CALLBACK_VALUE = 0xCA11;
constexpr int WAIT_MS = 30000;  // hang guard of every wait; never reached when the driver works
constexpr DWORD RATE = 44100;
constexpr DWORD BLOCK = 4;  // 16-bit stereo

struct Header {
  explicit Header(DWORD frames, int16_t value = 0) : data(frames * 2, value) {
    h.lpData = reinterpret_cast<LPSTR>(data.data());
    h.dwBufferLength = frames * BLOCK;
    h.dwFlags = WHDR_PREPARED;
  }
  std::vector<int16_t> data;
  WAVEHDR h{};
};

inline std::vector<DWORD> messagesSeen() {
  std::vector<DWORD> out;
  for (const DriverCallbackCall &c : fakeDriverCallbackCalls()) out.push_back(c.message);
  return out;
}

class WaveDeviceTest : public ServerOperationsTest {
 protected:
  void closeDevice() override {
    if (!instance_) return;
    message(direction_ == WAVE_OUTPUT ? WODM_RESET : WIDM_RESET);
    EXPECT_EQ(message(direction_ == WAVE_OUTPUT ? WODM_CLOSE : WIDM_CLOSE), MMSYSERR_NOERROR);
  }

  // Opens the device of the direction (44.1 kHz stereo 16-bit) on the
  // server, as instanceCreate does after discovery. Returns whether it did.
  bool open(DWORD direction) {
    direction_ = direction;
    EnterCriticalSection(&drvLock);
    WaveInstance *i = static_cast<WaveInstance *>(memAllocZero(sizeof(WaveInstance)));
    i->queueTail = &i->queueHead;
    i->direction = direction;
    i->events = direction == WAVE_OUTPUT ? &waveOutputEvents : &waveInputEvents;
    i->callback = CALLBACK_VALUE;
    i->openFlags = CALLBACK_FUNCTION;
    i->format = {WAVE_FORMAT_PCM, 2, RATE, RATE * BLOCK, BLOCK};
    instanceAddLive(i);
    bool opened = streamAdd(i, LOOPBACK, server_->port()) == 1;
    if (opened) {
      instance_ = i;
    } else {
      instanceFree(i);
    }
    LeaveCriticalSection(&drvLock);
    return opened;
  }

  DWORD message(UINT m, DWORD_PTR p1 = 0, DWORD_PTR p2 = 0) {
    DWORD_PTR user = reinterpret_cast<DWORD_PTR>(instance_);
    DWORD result =
        direction_ == WAVE_OUTPUT ? wodMessage(0, m, user, p1, p2) : widMessage(0, m, user, p1, p2);
    if ((m == WODM_CLOSE || m == WIDM_CLOSE) && result == MMSYSERR_NOERROR) instance_ = nullptr;
    return result;
  }
  DWORD write(Header &header) {
    return message(direction_ == WAVE_OUTPUT ? WODM_WRITE : WIDM_ADDBUFFER,
                   reinterpret_cast<DWORD_PTR>(&header.h));
  }
  DWORD position() {
    MMTIME time{};
    time.wType = TIME_SAMPLES;
    message(direction_ == WAVE_OUTPUT ? WODM_GETPOS : WIDM_GETPOS,
            reinterpret_cast<DWORD_PTR>(&time), sizeof time);
    return time.u.sample;
  }
  WaveStreamState *state() { return static_cast<WaveStreamState *>(instance_->streams->state); }

  // Runs call on a thread of its own while the test moves the tick on in
  // steps, and returns the milliseconds moved until call returned (past
  // WAIT_MS of ticks it gives up waiting). The steps are small against the
  // driver's limits, and each is followed by a wake-up and a moment for
  // the I/O thread to run its timers.
  DWORD whileTimePasses(const std::function<void()> &call) {
    std::atomic<bool> done{false};
    std::thread caller([&] {
      call();
      done = true;
    });
    DWORD moved = 0;
    while (!done && moved < DWORD(WAIT_MS) * 4) {
      // Small enough that an I/O thread held up by a loaded machine for
      // a few steps still sees its deadline within the bounds checked.
      lvTickAdvance(50);
      moved += 50;
      loopWake();
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    caller.join();
    return moved;
  }

  // Moves the tick on by ms in steps of 10, each followed by a wake-up and
  // a moment for the I/O thread; stops early once until() holds. Returns
  // the milliseconds moved.
  DWORD advanceTicks(DWORD ms, const std::function<bool()> &until = nullptr) {
    DWORD moved = 0;
    while (moved < ms && !(until && until())) {
      lvTickAdvance(10);
      moved += 10;
      loopWake();
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    return moved;
  }

  // Sends m on a thread of its own while the tick moves on in steps of 10
  // ms, until it returns or limit ms have passed (then waits for it all
  // the same). Returns the milliseconds moved; *result gets m's result.
  DWORD messageWhileTicksPass(UINT m, DWORD *result, DWORD limit = WAIT_MS) {
    std::atomic<bool> returned{false};
    std::thread caller([&] {
      *result = message(m);
      returned = true;
    });
    DWORD moved = advanceTicks(limit, [&] { return returned.load(); });
    caller.join();
    return moved;
  }

  std::unique_ptr<ServerProcess> relay_;
  WaveInstance *instance_ = nullptr;
  DWORD direction_ = WAVE_OUTPUT;
};

}  // namespace wave_device
