// Shared pieces for tests that drive the event loop from the test thread:
// a fixture that acts as the I/O thread (holds drvLock, frozen tick) and
// loopback datagram sockets that can be made readable on demand.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "driver/entry.h"
#include "net/loop.h"

// A datagram socket bound to an ephemeral loopback port. poke() makes it
// readable by sending it one byte from a second socket.
class LoopbackSocket {
 public:
  LoopbackSocket();
  ~LoopbackSocket();
  LoopbackSocket(const LoopbackSocket &) = delete;
  LoopbackSocket &operator=(const LoopbackSocket &) = delete;

  SOCKET socket() const { return socket_; }
  void poke();        // one pending datagram more
  int drain();        // reads every pending datagram (non-blocking); returns the count

 private:
  SOCKET socket_;
  SOCKET sender_;
  sockaddr_in address_;
};

// The test thread plays the I/O thread: it holds drvLock for the whole test
// and the tick is frozen at a value the test chooses. TearDown checks that
// the test left every list empty.
class LoopTest : public ::testing::Test {
 protected:
  static constexpr DWORD START_TICK = 100000;

  void SetUp() override;
  void TearDown() override;
};

// Records which callbacks ran, in order, by label.
struct CallLog {
  std::vector<int> calls;
};

// A watcher, timer or work item that appends its label to a log when it runs.
// Watchers return `result` (1: still ready).
struct Probe {
  CallLog *log;
  int label;
  int result;
  int count;
  Watcher watcher;
  Timer timer;
  WorkItem work;
};

int probeWatcher(void *user);
void probeCallback(void *user);
