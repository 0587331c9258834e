// The driver library as the host loads it: one exported entry point, and the
// lifecycle through it, with the host's own driver services.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include "host/mmhost.h"

namespace {

typedef LRESULT(WINAPI *DriverProcFn)(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM);

TEST(Library, LoadsAndAnswersThroughDriverProc) {
  void *library = dlopen(LUMIVOX_LIBRARY, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  auto driverProc = reinterpret_cast<DriverProcFn>(dlsym(library, "DriverProc"));
  ASSERT_NE(driverProc, nullptr);
  for (const char *internal : {"drvStartIo", "loopTurn", "wakePairCreate", "drvLock"}) {
    EXPECT_EQ(dlsym(library, internal), nullptr) << internal << " must not be exported";
  }
  EXPECT_EQ(driverProc(1, nullptr, DRV_LOAD, 0, 0), 1);
  EXPECT_EQ(driverProc(1, nullptr, DRV_ENABLE, 0, 0), 1);
  MCI_OPEN_DRIVER_PARMS parms{};
  parms.wDeviceID = 42;
  EXPECT_EQ(driverProc(1, nullptr, DRV_OPEN, 0, reinterpret_cast<LPARAM>(&parms)), 42);
  // Unknown messages reach the host's DefDriverProc and come back with its answer.
  EXPECT_EQ(driverProc(1, nullptr, 11, 0, 0), DefDriverProc(1, nullptr, 11, 0, 0));
  EXPECT_EQ(driverProc(1, nullptr, DRV_CLOSE, 0, 0), 1);
  EXPECT_EQ(driverProc(1, nullptr, DRV_DISABLE, 0, 0), 1);
  EXPECT_EQ(driverProc(1, nullptr, DRV_FREE, 0, 0), 1);
  EXPECT_EQ(dlclose(library), 0);
}

}  // namespace
