// The host's hold on the driver library: loading, the entry points it
// exports and the driver-management messages. Private to mmhost.
#pragma once

#include "platform/platform.h"

typedef LRESULT(WINAPI *DriverProcEntry)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);
typedef DWORD(APIENTRY *DeviceEntry)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);

enum HostDevice { HOST_WAVE_OUT = 0, HOST_WAVE_IN = 1, HOST_MIXER = 2, HOST_DEVICE_KINDS = 3 };

// The entry point of a device kind in the loaded driver, loading and
// opening the driver first if need be; null when the driver cannot be
// loaded or does not export the entry point.
DeviceEntry hostEntry(HostDevice kind);
