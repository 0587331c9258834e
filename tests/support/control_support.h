// Shared pieces of the control connection's tests: raw loopback peers whose
// writes the test controls, an owner that records what the connection hands
// it, and a fixture that drives the loop turn by turn with a frozen tick.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#ifndef _WIN32
#include <dirent.h>

#include "platform/posix/faults.h"
#endif

#include "net/control.h"
#include "tests/support/loop_support.h"

// Bound on each wait for the loopback interface or the peer, milliseconds.
constexpr long WAIT_MS = 10000;
// The longest select wait of one driven turn, milliseconds, and the number
// of such turns a case may take before it counts as hung.
constexpr DWORD POLL_MS = 20;
constexpr int MAX_TURNS = 500;
constexpr int SHUTDOWN_SEND = 1;  // SD_SEND, SHUT_WR

typedef std::vector<uint8_t> Bytes;

inline sockaddr_in addressOf(const char *ip, uint16_t port) {
  sockaddr_in a;
  std::memset(&a, 0, sizeof a);
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = inet_addr(ip);
  a.sin_port = htons(port);
  return a;
}

inline bool waitFor(SOCKET s, bool writable, long ms = WAIT_MS) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval limit{ms / 1000, (ms % 1000) * 1000};
  int n = select(int(s) + 1, writable ? nullptr : &set, writable ? &set : nullptr, nullptr, &limit);
  return n == 1;
}

struct Socket {
  SOCKET s = INVALID_SOCKET;
  Socket() = default;
  explicit Socket(SOCKET adopted) : s(adopted) {}
  Socket(const Socket &) = delete;
  Socket &operator=(Socket &&other) {
    std::swap(s, other.s);
    return *this;
  }
  ~Socket() {
    if (s != INVALID_SOCKET) closesocket(s);
  }
  void close() {
    if (s != INVALID_SOCKET) closesocket(s);
    s = INVALID_SOCKET;
  }
};

// A TCP socket bound on a loopback address; listening unless told not to
// (then its port refuses connections).
struct Listener {
  Socket socket;
  uint16_t port = 0;  // host order
  bool bound = false;

  Listener(const char *ip, uint16_t wanted, bool listening = true, int backlog = 4)
      : socket(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in a = addressOf(ip, wanted);
    if (bind(socket.s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) return;
    socklen_t length = sizeof a;
    getsockname(socket.s, reinterpret_cast<sockaddr *>(&a), &length);
    port = ntohs(a.sin_port);
    bound = !listening || listen(socket.s, backlog) == 0;
  }
  Socket accept() {
    if (!waitFor(socket.s, false)) return Socket();
    return Socket(::accept(socket.s, nullptr, nullptr));
  }
};

inline std::string textFor(const char *ip, uint16_t port) {
  return std::string(ip) + ":" + std::to_string(port);
}

// A framed message of `bytes` bytes (a multiple of 4), body filled from `fill`.
inline Bytes message(BYTE type, size_t bytes, BYTE fill = 0x40) {
  Bytes m(bytes);
  m[0] = type;
  m[1] = 0xA5;
  m[2] = BYTE(bytes / 4);
  m[3] = BYTE(bytes / 4 >> 8);
  for (size_t i = 4; i < bytes; i++) m[i] = BYTE(fill + i);
  return m;
}

inline Bytes joined(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes &p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

inline void peerSend(SOCKET s, const Bytes &bytes) {
  ASSERT_EQ(send(s, reinterpret_cast<const char *>(bytes.data()), int(bytes.size()), 0),
            int(bytes.size()));
}

// Reads until `bytes` bytes or the end of the stream; bounded per read.
inline Bytes peerReceive(SOCKET s, size_t bytes) {
  Bytes got;
  char buffer[1024];
  while (got.size() < bytes && waitFor(s, false)) {
    int n = recv(s, buffer, int(std::min(sizeof buffer, bytes - got.size())), 0);
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

inline bool peerSeesEnd(SOCKET s) {
  char byte;
  return waitFor(s, false) && recv(s, &byte, 1, 0) == 0;
}

// What the owner of the connection saw.
struct Owner {
  int closedCalls = 0;
  std::vector<Bytes> received;             // type byte first, in dispatch order
  int closeOnType = -1;                    // the handler closes the connection on this type
  const MessageTable *switchTo = nullptr;  // the handler of type 0 installs this table
};
inline Owner *owner;

inline void onClosed(ControlConnection *) { owner->closedCalls++; }

inline void onMessage(ControlConnection *c, const BYTE *m) {
  owner->received.push_back(Bytes(m, m + connMessageBytes(m)));
  if (m[0] == owner->closeOnType) connClose(c);
  if (m[0] == 0 && owner->switchTo) c->table = owner->switchTo;
}

inline void onSecondTable(ControlConnection *, const BYTE *m) {
  Bytes tagged(m, m + connMessageBytes(m));
  tagged[0] += 100;
  owner->received.push_back(tagged);
}

constexpr MessageEntry THREE_ENTRIES[] = {
    {"bbss", onMessage}, {"bbsl", onMessage}, {"bbsl", onMessage}};
constexpr MessageTable THREE_TYPES = {THREE_ENTRIES, DWORD(std::size(THREE_ENTRIES))};
constexpr MessageEntry TWO_ENTRIES[] = {{"bbss", onSecondTable}, {"bbsl", onSecondTable}};
constexpr MessageTable TWO_TYPES = {TWO_ENTRIES, DWORD(std::size(TWO_ENTRIES))};

inline void neverRuns(void *) { ADD_FAILURE() << "the poll timer ran"; }

#ifndef _WIN32
inline int openDescriptors() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  while (dir && readdir(dir)) count++;
  if (dir) closedir(dir);
  return count;
}
#endif

class Control : public LoopTest {
 protected:
  Owner seen;
  Timer poll;  // priority 0: never runs, bounds each driven turn's select
#ifndef _WIN32
  long allocations = 0;
  int descriptors = 0;
#endif

  void SetUp() override {
    LoopTest::SetUp();
    owner = &seen;
    timerInit(&poll, neverRuns, nullptr, 0);
#ifndef _WIN32
    allocations = lvLocalAllocLive();
    descriptors = openDescriptors();
#endif
  }
  void TearDown() override {
    timerCancel(&poll);
#ifndef _WIN32
    lvFaultReset();
    EXPECT_EQ(lvLocalAllocLive(), allocations) << "a connection record was not freed";
    EXPECT_EQ(openDescriptors(), descriptors) << "a socket was left open";
#endif
    LoopTest::TearDown();
  }

  // One turn whose select waits at most POLL_MS.
  void pollTurn() {
    timerSchedule(&poll, tickNow() + POLL_MS);
    loopTurn();
    timerCancel(&poll);
  }
  template <class Done>
  bool turnUntil(Done done) {
    return turnUntilPublic(done);
  }

 public:
  template <class Done>
  bool turnUntilPublic(Done done) {
    for (int i = 0; i < MAX_TURNS && !done(); i++) pollTurn();
    return done();
  }

 protected:
  // Nothing of any connection is left on the loop's lists.
  static bool nothingRegistered() {
    return !loopReaders && !loopWriters && !loopWork && !loopTimers;
  }
  void finishAll() { ASSERT_TRUE(turnUntil(nothingRegistered)) << "the connection was not freed"; }

  // Connects to the listener and waits for the connect watcher to hand over.
  ControlConnection *openConnected(Listener &listener, const char *ip, Socket *peer) {
    ControlConnection *c = connOpen(textFor(ip, listener.port).c_str(), &THREE_TYPES, onClosed);
    if (!c) return nullptr;
    *peer = listener.accept();
    if (!turnUntil([&] { return c->readRegistered == 1; })) return nullptr;
    return c;
  }
  // One turn for data the peer has just written.
  void readTurn(ControlConnection *c) {
    ASSERT_TRUE(waitFor(c->socket, false));
    loopTurn();
  }
};
