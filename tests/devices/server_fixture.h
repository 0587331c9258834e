// What the tests of the device operations against the real lumivox-server
// share: the I/O thread started in this process, a runtime directory of the
// case's own (so the name registry's marks reach no other case), the
// server, and the end of each case, which checks that nothing of the
// driver is left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "driver/entry.h"
#include "net/loop.h"
#include "tests/server/server_process.h"
#include "tests/support/fake_winmm.h"
#include "tests/tools/session_process.h"

constexpr DWORD LOOPBACK = 0x7F000001;

class ServerOperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeWinmmReset();
    blocks_ = lvLocalAllocLive();
    drvInitLock();
    EnterCriticalSection(&drvLock);
    ASSERT_EQ(drvStartIo(), 1);
    LeaveCriticalSection(&drvLock);
  }

  void TearDown() override {
    if (HasFailure() && server_) std::fprintf(stderr, "%s", server_->log().c_str());
    closeDevice();
    lvTickThaw();
    drvStopIo();
    EXPECT_EQ(loopReaders, nullptr);
    EXPECT_EQ(loopWork, nullptr);
    EXPECT_EQ(loopTimers, nullptr);
    EXPECT_EQ(lvLocalAllocLive(), blocks_);
    fakeWinmmReset();
  }

  // Closes what the case left open; called without drvLock.
  virtual void closeDevice() {}

  // Starts the server on an ephemeral port with the extra arguments.
  void serve(std::vector<std::string> arguments) {
    arguments.insert(arguments.end(), {"--port", "0", "--verbose", "2"});
    server_ = std::make_unique<ServerProcess>(arguments);
    ASSERT_TRUE(server_->ready());
  }

  RuntimeDir runtime_;
  std::unique_ptr<ServerProcess> server_;
  long blocks_ = 0;
};
