// The registry of live handles.
#include "host/handles.h"

#include <mutex>
#include <new>
#include <unordered_set>

namespace {

std::mutex handlesLock;  // guards live
std::unordered_set<HostHandle *> live;

}  // namespace

HostHandle *handleCreate(HostDevice kind, UINT deviceId, DeviceEntry entry) {
  return new (std::nothrow) HostHandle{kind, deviceId, 0, entry};
}

void handlePublish(HostHandle *handle) {
  std::lock_guard<std::mutex> hold(handlesLock);
  live.insert(handle);
}

HostHandle *handleFind(HostDevice kind, const void *handle) {
  std::lock_guard<std::mutex> hold(handlesLock);
  auto found = live.find(static_cast<HostHandle *>(const_cast<void *>(handle)));
  if (found == live.end() || (*found)->kind != kind) return nullptr;
  return *found;
}

void handleDestroy(HostHandle *handle) {
  {
    std::lock_guard<std::mutex> hold(handlesLock);
    live.erase(handle);
  }
  delete handle;
}

void handlesForgetAll() {
  std::lock_guard<std::mutex> hold(handlesLock);
  for (HostHandle *h : live) delete h;
  live.clear();
}

DWORD handleMessage(HostHandle *handle, UINT message, DWORD_PTR param1, DWORD_PTR param2) {
  return handle->entry(handle->deviceId, message, handle->driverUser, param1, param2);
}
