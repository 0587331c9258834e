// The handles the host gives applications: one record per open device,
// holding what the driver needs with every message. Private to mmhost.
#pragma once

#include "host/loader.h"

struct HostHandle {
  HostDevice kind;
  UINT deviceId;
  DWORD_PTR driverUser;  // the driver's per-open value, stored by its open
  DeviceEntry entry;
};

// A new record (not yet valid for handleFind), or null without memory.
HostHandle *handleCreate(HostDevice kind, UINT deviceId, DeviceEntry entry);
// Makes a created record valid: from now on handleFind answers it.
void handlePublish(HostHandle *handle);
// The record if handle is a live one of this kind, else null.
HostHandle *handleFind(HostDevice kind, const void *handle);
// Unpublishes (if published) and frees the record.
void handleDestroy(HostHandle *handle);
// Every handle becomes invalid (the driver is going away).
void handlesForgetAll();
// Sends one message to the device behind the handle.
DWORD handleMessage(HostHandle *handle, UINT message, DWORD_PTR param1, DWORD_PTR param2);
