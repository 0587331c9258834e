// What the fake driver module records (tests/host/fake_driver.cpp).
#pragma once

#include <vector>

#include "platform/platform.h"

enum { FAKE_DRIVER_PROC = 0, FAKE_WOD = 1, FAKE_WID = 2, FAKE_MXD = 3 };

struct FakeDriverCall {
  int entry;  // FAKE_*
  UINT device;
  UINT message;
  DWORD_PTR user;  // the per-open value (for DriverProc: the driver id)
  DWORD_PTR param1;
  DWORD_PTR param2;
  DWORD headerFlags;  // WODM_WRITE and WIDM_ADDBUFFER: the header's flags on arrival
};

// Exported by the module; looked up with dlsym.
typedef std::vector<FakeDriverCall> (*FakeDriverCallsFn)();
