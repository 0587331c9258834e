// Loading the driver and its driver-management messages.
#include "host/loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "host/handles.h"
#include "host/mmhost.h"

namespace {

const char *const ENTRY_NAMES[HOST_DEVICE_KINDS] = {"wodMessage", "widMessage", "mxdMessage"};

struct Driver {
  void *library;  // dlopen handle; null while not loaded
  DriverProcEntry driverProc;
  DeviceEntry entries[HOST_DEVICE_KINDS];
  DWORD_PTR driverId;  // what DRV_OPEN answered
};

std::mutex driverLock;  // guards driver; held across the management messages
Driver driver;
// Why the last load failed, for mmhostLoadError. A fixed buffer, so that
// the text a caller holds stays valid while another load writes it anew.
char loadError[512];

// Keeps the reason of a failed load. Called with driverLock held.
void noteLoadError(const char *path, const char *reason) {
  std::snprintf(loadError, sizeof loadError, "%s: %s", path, reason ? reason : "unknown reason");
}

// The driver's file beside this library, as an installation puts them:
// the loader finds it there through this library's run path, but not when
// a runtime that intercepts dlopen (a sanitizer's) makes the call its own.
std::string besideHost() {
  Dl_info info;
  if (!dladdr(reinterpret_cast<void *>(&noteLoadError), &info) || !info.dli_fname) return {};
  const char *slash = std::strrchr(info.dli_fname, '/');
  if (!slash) return {};
  return std::string(info.dli_fname, size_t(slash - info.dli_fname)) + "/liblumivox.so";
}

// Loads and opens the driver. Called with driverLock held.
bool driverLoad() {
  const char *path = std::getenv("LUMIVOX_DRIVER");
  bool named = path && path[0];
  if (!named) path = "liblumivox.so";
  void *library = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    // dlerror names the path already, in its own words.
    const char *reason = dlerror();
    std::snprintf(loadError, sizeof loadError, "%s", reason ? reason : path);
    std::string beside = named ? std::string() : besideHost();
    if (beside.empty() || access(beside.c_str(), F_OK) != 0) return false;
    library = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      reason = dlerror();
      std::snprintf(loadError, sizeof loadError, "%s", reason ? reason : beside.c_str());
      return false;
    }
  }
  DriverProcEntry proc = reinterpret_cast<DriverProcEntry>(dlsym(library, "DriverProc"));
  // A driver without DriverProc is not a driver; winmm refuses it too.
  if (!proc || !proc(0, nullptr, DRV_LOAD, 0, 0)) {
    noteLoadError(path, proc ? "the driver refused DRV_LOAD" : "no DriverProc exported");
    dlclose(library);
    return false;
  }
  loadError[0] = 0;
  proc(0, nullptr, DRV_ENABLE, 0, 0);
  driver.library = library;
  driver.driverProc = proc;
  driver.driverId = DWORD_PTR(proc(0, nullptr, DRV_OPEN, 0, 0));
  for (int k = 0; k < HOST_DEVICE_KINDS; ++k) {
    driver.entries[k] = reinterpret_cast<DeviceEntry>(dlsym(library, ENTRY_NAMES[k]));
  }
  return true;
}

// At exit the driver gets its orderly stop, as it does when winmm unloads it.
struct UnloadAtExit {
  ~UnloadAtExit() { mmhostUnload(); }
} unloadAtExit;

}  // namespace

DeviceEntry hostEntry(HostDevice kind) {
  std::lock_guard<std::mutex> hold(driverLock);
  if (!driver.library && !driverLoad()) return nullptr;
  return driver.entries[kind];
}

extern "C" const char *mmhostLoadError(void) {
  std::lock_guard<std::mutex> hold(driverLock);
  return loadError;
}

extern "C" void mmhostUnload(void) {
  std::lock_guard<std::mutex> hold(driverLock);
  if (!driver.library) return;
  handlesForgetAll();
  driver.driverProc(driver.driverId, nullptr, DRV_CLOSE, 0, 0);
  driver.driverProc(driver.driverId, nullptr, DRV_DISABLE, 0, 0);
  driver.driverProc(driver.driverId, nullptr, DRV_FREE, 0, 0);
  dlclose(driver.library);
  driver = Driver{};
}
