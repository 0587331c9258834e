#include "tests/support/fake_winmm.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {
std::mutex mutex;
std::vector<DefDriverProcCall> defCalls;
std::vector<DriverCallbackCall> callbackCalls;
std::condition_variable recorded;
std::function<void(const DriverCallbackCall &)> callbackHook;
}  // namespace

extern "C" LRESULT WINAPI DefDriverProc(DWORD_PTR driverId, HDRVR driver, UINT message,
                                        LPARAM param1, LPARAM param2) {
  std::lock_guard<std::mutex> hold(mutex);
  defCalls.push_back({driverId, driver, message, param1, param2});
  return FAKE_DEF_DRIVER_PROC_RESULT;
}

extern "C" BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                                      DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2) {
  DriverCallbackCall call{callback, flags, device, message, user, param1, param2};
  std::function<void(const DriverCallbackCall &)> hook;
  {
    std::lock_guard<std::mutex> hold(mutex);
    callbackCalls.push_back(call);
    hook = callbackHook;
  }
  recorded.notify_all();
  if (hook) hook(call);
  return TRUE;
}

std::vector<DefDriverProcCall> fakeDefDriverProcCalls() {
  std::lock_guard<std::mutex> hold(mutex);
  return defCalls;
}

std::vector<DriverCallbackCall> fakeDriverCallbackCalls() {
  std::lock_guard<std::mutex> hold(mutex);
  return callbackCalls;
}

void fakeWinmmReset() {
  std::lock_guard<std::mutex> hold(mutex);
  defCalls.clear();
  callbackCalls.clear();
  callbackHook = nullptr;
}

void fakeDriverCallbackHook(std::function<void(const DriverCallbackCall &)> hook) {
  std::lock_guard<std::mutex> hold(mutex);
  callbackHook = std::move(hook);
}

bool fakeWaitForDriverCallbacks(size_t count, int ms) {
  std::unique_lock<std::mutex> hold(mutex);
  return recorded.wait_for(hold, std::chrono::milliseconds(ms),
                           [count] { return callbackCalls.size() >= count; });
}
