// A recording stand-in for the multimedia layer's driver services, for tests
// that call the driver's code directly instead of through mmhost.
#pragma once

#include <functional>
#include <vector>

#include "platform/platform.h"

struct DefDriverProcCall {
  DWORD_PTR driverId;
  HDRVR driver;
  UINT message;
  LPARAM param1;
  LPARAM param2;
};

struct DriverCallbackCall {
  DWORD_PTR callback;
  DWORD flags;
  HDRVR device;
  DWORD message;
  DWORD_PTR user;
  DWORD_PTR param1;
  DWORD_PTR param2;
};

// What the fake DefDriverProc answers, so that forwarding is visible.
constexpr LRESULT FAKE_DEF_DRIVER_PROC_RESULT = 0x5EED;

// Calls seen so far, oldest first; guarded internally.
std::vector<DefDriverProcCall> fakeDefDriverProcCalls();
std::vector<DriverCallbackCall> fakeDriverCallbackCalls();
// Clears the records and the hook.
void fakeWinmmReset();
// Runs after each DriverCallback has been recorded, on the calling thread and
// outside the recorder's lock, so it may block or call back into the driver.
void fakeDriverCallbackHook(std::function<void(const DriverCallbackCall &)> hook);
// Waits until at least count DriverCallback calls have been recorded, or
// for at most ms milliseconds; returns whether they were.
bool fakeWaitForDriverCallbacks(size_t count, int ms);
