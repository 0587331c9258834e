#include "tests/support/loop_support.h"

#include <cstring>

LoopbackSocket::LoopbackSocket() {
  socket_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  sender_ = ::socket(AF_INET, SOCK_DGRAM, 0);
  std::memset(&address_, 0, sizeof address_);
  address_.sin_family = AF_INET;
  address_.sin_addr.s_addr = htonl(0x7F000001);
  bind(socket_, reinterpret_cast<sockaddr *>(&address_), sizeof address_);
  socklen_t length = sizeof address_;
  getsockname(socket_, reinterpret_cast<sockaddr *>(&address_), &length);
  unsigned long on = 1;
  ioctlsocket(socket_, FIONBIO, &on);
}

LoopbackSocket::~LoopbackSocket() {
  closesocket(socket_);
  closesocket(sender_);
}

void LoopbackSocket::poke() {
  const char byte = 'x';
  sendto(sender_, &byte, 1, 0, reinterpret_cast<sockaddr *>(&address_), sizeof address_);
  // A loopback datagram is queued at the receiver before sendto returns.
}

int LoopbackSocket::drain() {
  char buffer[64];
  int count = 0;
  while (recv(socket_, buffer, sizeof buffer, 0) >= 0) count++;
  return count;
}

void LoopTest::SetUp() {
  drvInitLock();
  EnterCriticalSection(&drvLock);
  lvTickFreeze(START_TICK);
  // As drvStartIo does before the loop's first socket: Windows refuses
  // sockets to a process that has not started Winsock.
  WSADATA data;
  ASSERT_EQ(WSAStartup(0x0101, &data), 0);
}

void LoopTest::TearDown() {
  EXPECT_EQ(loopReaders, nullptr) << "a read watcher was left registered";
  EXPECT_EQ(loopWriters, nullptr) << "a write watcher was left registered";
  EXPECT_EQ(loopWork, nullptr) << "a work item was left queued";
  EXPECT_EQ(loopTimers, nullptr) << "a timer was left scheduled";
  loopReaders = nullptr;
  loopWriters = nullptr;
  loopWork = nullptr;
  loopTimers = nullptr;
  lvTickThaw();
  LeaveCriticalSection(&drvLock);
  WSACleanup();
}

int probeWatcher(void *user) {
  Probe *p = static_cast<Probe *>(user);
  p->log->calls.push_back(p->label);
  p->count++;
  return p->result;
}

void probeCallback(void *user) {
  Probe *p = static_cast<Probe *>(user);
  p->log->calls.push_back(p->label);
  p->count++;
}
