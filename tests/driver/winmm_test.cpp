// LUMIVOX.dll as the multimedia layer loads it: winmm's own OpenDriver,
// SendDriverMessage and CloseDriver, and winmm's DriverCallback delivering
// to a function and to an event the way the driver will call it.
//
// Winmm sends DRV_OPEN twice for the first open of a module, once with a
// zero lParam2 (a driver-wide open) and once with the caller's; each open
// gets its DRV_CLOSE. The driver answers both kinds, so these tests accept
// either order and only look at what winmm reports.
#include <gtest/gtest.h>

#include <thread>

#include "platform/platform.h"

namespace {

const wchar_t DRIVER_NAME[] = L"LUMIVOX.dll";

// An open with an MCI open record, as the MCI layer makes it.
struct OpenedDriver {
  MCI_OPEN_DRIVER_PARMS parms{};
  HDRVR driver = nullptr;

  explicit OpenedDriver(UINT deviceId) {
    parms.wDeviceID = deviceId;
    parms.lpstrParams = L"";
    parms.wCustomCommandTable = 0;
    parms.wType = 0;
    driver = OpenDriver(DRIVER_NAME, nullptr, reinterpret_cast<LPARAM>(&parms));
  }
  ~OpenedDriver() {
    if (driver) CloseDriver(driver, 0, 0);
  }
};

TEST(Winmm, OpenDriverLoadsTheDllAndTheOpenFillsTheMciRecord) {
  ASSERT_EQ(GetModuleHandleW(DRIVER_NAME), nullptr) << "loaded before the first open";
  {
    OpenedDriver opened(0x1234);
    ASSERT_NE(opened.driver, nullptr) << "winmm refused the driver";
    HMODULE module = GetModuleHandleW(DRIVER_NAME);
    EXPECT_NE(module, nullptr);
    EXPECT_EQ(GetDriverModuleHandle(opened.driver), module);
    EXPECT_EQ(opened.parms.wCustomCommandTable, MCI_NO_COMMAND_TABLE);
    EXPECT_EQ(opened.parms.wType, UINT(MCI_DEVTYPE_WAVEFORM_AUDIO));
    EXPECT_EQ(opened.parms.wDeviceID, 0x1234u);
  }
  EXPECT_EQ(GetModuleHandleW(DRIVER_NAME), nullptr) << "the last CloseDriver unloads the DLL";
}

TEST(Winmm, OpenWithoutMciRecordAndManagementMessages) {
  HDRVR driver = OpenDriver(DRIVER_NAME, nullptr, 0);
  ASSERT_NE(driver, nullptr);
  EXPECT_EQ(SendDriverMessage(driver, DRV_QUERYCONFIGURE, 0, 0), 1);
  EXPECT_EQ(SendDriverMessage(driver, DRV_CONFIGURE, 0, 0), 1);
  // A message the driver does not know reaches winmm's DefDriverProc, which
  // answers 0.
  EXPECT_EQ(SendDriverMessage(driver, DRV_USER + 7, 1, 2), 0);
  EXPECT_NE(CloseDriver(driver, 0, 0), 0);
  EXPECT_EQ(GetModuleHandleW(DRIVER_NAME), nullptr);
}

TEST(Winmm, TwoOpensShareTheModuleUntilTheLastClose) {
  HDRVR first = OpenDriver(DRIVER_NAME, nullptr, 0);
  HDRVR second = OpenDriver(DRIVER_NAME, nullptr, 0);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_NE(first, second);
  EXPECT_EQ(GetDriverModuleHandle(first), GetDriverModuleHandle(second));
  CloseDriver(first, 0, 0);
  EXPECT_NE(GetModuleHandleW(DRIVER_NAME), nullptr) << "still open once";
  CloseDriver(second, 0, 0);
  EXPECT_EQ(GetModuleHandleW(DRIVER_NAME), nullptr);

  // After the last close everything starts afresh.
  OpenedDriver again(7);
  EXPECT_NE(again.driver, nullptr);
  EXPECT_EQ(again.parms.wType, UINT(MCI_DEVTYPE_WAVEFORM_AUDIO));
}

// What a CALLBACK_FUNCTION callback received.
struct Delivery {
  HDRVR device;
  UINT message;
  DWORD_PTR user;
  DWORD_PTR param1;
  DWORD_PTR param2;
  DWORD threadId;
  int calls;
};

void CALLBACK recordDelivery(HDRVR device, UINT message, DWORD_PTR user, DWORD_PTR param1,
                             DWORD_PTR param2) {
  Delivery *d = reinterpret_cast<Delivery *>(user);
  *d = {device, message, user, param1, param2, GetCurrentThreadId(), d->calls + 1};
}

// The driver notifies from its I/O thread, so the calls are made from a
// thread of their own: a function callback runs on the notifying thread,
// before DriverCallback returns.
TEST(Winmm, DriverCallbackReachesAFunctionAndAnEvent) {
  Delivery delivery{};
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_NE(event, nullptr);
  HDRVR device = reinterpret_cast<HDRVR>(uintptr_t(0xD0));
  BOOL toFunction = FALSE, toEvent = FALSE;
  DWORD notifier = 0;
  std::thread io([&] {
    notifier = GetCurrentThreadId();
    toFunction = DriverCallback(reinterpret_cast<DWORD_PTR>(recordDelivery), DCB_FUNCTION, device,
                                WOM_DONE, reinterpret_cast<DWORD_PTR>(&delivery), 0x11, 0x22);
    toEvent = DriverCallback(reinterpret_cast<DWORD_PTR>(event), DCB_EVENT, device, WOM_DONE, 0, 0,
                             0);
  });
  io.join();

  EXPECT_TRUE(toFunction);
  EXPECT_EQ(delivery.calls, 1);
  EXPECT_EQ(delivery.device, device);
  EXPECT_EQ(delivery.message, UINT(WOM_DONE));
  EXPECT_EQ(delivery.param1, 0x11u);
  EXPECT_EQ(delivery.param2, 0x22u);
  EXPECT_EQ(delivery.threadId, notifier);

  EXPECT_TRUE(toEvent);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "the event is set";
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "and stays set: it is manual-reset";
  CloseHandle(event);
}

}  // namespace
