// The host's driver services: callbacks reach the application the way it
// asked for at open, and DefDriverProc gives the multimedia layer's defaults.
#include <gtest/gtest.h>

#include <thread>

#include "host/mmhost.h"

namespace {

struct Received {
  HDRVR device;
  UINT message;
  DWORD_PTR user, param1, param2;
  int calls;
};
Received received;

void CALLBACK recordCallback(HDRVR device, UINT message, DWORD_PTR user, DWORD_PTR p1,
                             DWORD_PTR p2) {
  received = {device, message, user, p1, p2, received.calls + 1};
}

TEST(DriverCallback, FunctionCallbackGetsEveryArgument) {
  received = {};
  HDRVR device = reinterpret_cast<HDRVR>(uintptr_t(0x77));
  EXPECT_TRUE(DriverCallback(reinterpret_cast<DWORD_PTR>(recordCallback), DCB_FUNCTION, device,
                             WOM_DONE, 0xAB, 0xCD, 0xEF));
  EXPECT_EQ(received.calls, 1);
  EXPECT_EQ(received.device, device);
  EXPECT_EQ(received.message, UINT(WOM_DONE));
  EXPECT_EQ(received.user, 0xABu);
  EXPECT_EQ(received.param1, 0xCDu);
  EXPECT_EQ(received.param2, 0xEFu);
  // The type is in the low three bits; other flag bits do not change it.
  EXPECT_TRUE(DriverCallback(reinterpret_cast<DWORD_PTR>(recordCallback),
                             DCB_FUNCTION | DCB_NOSWITCH, device, WOM_OPEN, 0, 0, 0));
  EXPECT_EQ(received.calls, 2);
  EXPECT_FALSE(DriverCallback(0, DCB_FUNCTION, device, WOM_OPEN, 0, 0, 0)) << "no function";
}

TEST(DriverCallback, EventCallbackSignalsTheEventFromAnotherThread) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  BOOL delivered = FALSE;
  std::thread driverThread([&] {
    delivered = DriverCallback(reinterpret_cast<DWORD_PTR>(event), DCB_EVENT, nullptr, WIM_DATA,
                               0, 0, 0);
  });
  EXPECT_EQ(WaitForSingleObject(event, 10000), WAIT_OBJECT_0);
  driverThread.join();
  EXPECT_TRUE(delivered);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT) << "an auto-reset event was consumed";
  CloseHandle(event);
}

TEST(DriverCallback, NullMakesNoCallAndReceiverlessTypesFail) {
  received = {};
  EXPECT_TRUE(DriverCallback(reinterpret_cast<DWORD_PTR>(recordCallback), DCB_NULL, nullptr,
                             WOM_DONE, 0, 0, 0));
  EXPECT_FALSE(DriverCallback(1, DCB_WINDOW, nullptr, WOM_DONE, 0, 0, 0));
  EXPECT_FALSE(DriverCallback(1, DCB_TASK, nullptr, WOM_DONE, 0, 0, 0));
  EXPECT_EQ(received.calls, 0);
}

TEST(DefDriverProc, GivesTheDefaultAnswers) {
  for (UINT m : {DRV_LOAD, DRV_FREE, DRV_ENABLE, DRV_DISABLE}) {
    EXPECT_EQ(DefDriverProc(0, nullptr, m, 0, 0), 1) << m;
  }
  EXPECT_EQ(DefDriverProc(0, nullptr, DRV_INSTALL, 0, 0), DRVCNF_OK);
  EXPECT_EQ(DefDriverProc(0, nullptr, DRV_REMOVE, 0, 0), DRVCNF_OK);
  for (UINT m : {0u, 11u, UINT(DRV_QUERYCONFIGURE), 0x4000u}) {
    EXPECT_EQ(DefDriverProc(0, nullptr, m, 1, 2), 0) << m;
  }
}

}  // namespace
