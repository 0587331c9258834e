// Arbitrary byte streams through the control connection's receive path.
//
// The input's first two bytes seed the split points; the rest is what the
// peer sends, in chunks of 1 to 64 bytes, each followed by as many loop
// turns as the connection takes to consume it. The peer is the other end of
// a stream socket pair, so framing, compaction, the buffer-full stop and the
// closes all run as they do on a TCP connection. Handlers switch tables,
// echo messages back (the send path) and close on request, and every
// message they get must lie whole inside the receive buffer. After each
// input the connection is closed and must be freed with nothing left on
// the loop's lists; a case that does not finish in a bounded number of
// turns counts as a hang.
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/entry.h"
#include "net/control.h"

namespace {

constexpr int MAX_TURNS = 100000;   // per chunk and for the final close
constexpr uint32_t MAX_CHUNK = 64;  // bytes per peer write

int closedCalls;

void fail(const char *what) {
  std::fprintf(stderr, "control_fuzz: %s\n", what);
  std::abort();
}

void checkInvariants(const ControlConnection *c) {
  if (c->recvStart > c->recvFill || c->recvFill > CONN_BUFFER_BYTES) fail("receive bounds");
  if (c->sendDone > c->sendFill || c->sendFill > CONN_BUFFER_BYTES) fail("send bounds");
  if (c->neededLength < CONN_MIN_MESSAGE_BYTES) fail("needed length below a header");
}

// Reads every byte of the message, so that ASan sees any read past it.
unsigned touch(ControlConnection *c, const BYTE *m) {
  DWORD length = connMessageBytes(m);
  if (m < c->recvBuffer || length < CONN_MIN_MESSAGE_BYTES ||
      m + length > c->recvBuffer + CONN_BUFFER_BYTES) {
    fail("message outside the receive buffer");
  }
  unsigned sum = 0;
  for (DWORD i = 0; i < length; i++) sum += m[i];
  return sum;
}

void onClosed(ControlConnection *) {
  if (++closedCalls > 1) fail("closed callback ran twice");
}

extern const MessageTable FIRST_TABLE, SECOND_TABLE;

void onSwitch(ControlConnection *c, const BYTE *m) {
  touch(c, m);
  if (m[1] & 1) c->table = c->table == &FIRST_TABLE ? &SECOND_TABLE : &FIRST_TABLE;
}

void onEcho(ControlConnection *c, const BYTE *m) {
  touch(c, m);
  BYTE copy[CONN_BUFFER_BYTES];
  std::memcpy(copy, m, connMessageBytes(m));
  connSend(c, copy);
  loopWake();
}

void onClose(ControlConnection *c, const BYTE *m) {
  touch(c, m);
  if (m[1] == 0xFF) connClose(c);
}

const MessageEntry FIRST_ENTRIES[] = {{"bbsss", onSwitch}, {"bbsl", onEcho}, {"bbsl", onClose}};
const MessageEntry SECOND_ENTRIES[] = {{"bbsss", onSwitch}, {"bbsl", nullptr}};
const MessageTable FIRST_TABLE = {FIRST_ENTRIES,
                                  DWORD(sizeof FIRST_ENTRIES / sizeof FIRST_ENTRIES[0])};
const MessageTable SECOND_TABLE = {SECOND_ENTRIES,
                                   DWORD(sizeof SECOND_ENTRIES / sizeof SECOND_ENTRIES[0])};

void noPoll(void *) { fail("the poll timer ran"); }

bool readable(SOCKET s) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval zero = {0, 0};
  return select(s + 1, &set, nullptr, nullptr, &zero) == 1;
}

// The fuzzer's thread plays the I/O thread for the whole run.
bool startOnce() {
  drvInitLock();
  EnterCriticalSection(&drvLock);
  WSADATA data;
  WSAStartup(0x0101, &data);  // also lets a send to a closed peer fail instead of raising SIGPIPE
  lvTickFreeze(1000);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool started = startOnce();
  (void)started;
  if (size < 2) return 0;
  uint32_t split = uint32_t(data[0]) | uint32_t(data[1]) << 8;
  data += 2;
  size -= 2;

  long allocations = lvLocalAllocLive();
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) fail("socketpair");
  unsigned long on = 1;
  ioctlsocket(pair[0], FIONBIO, &on);
  ioctlsocket(pair[1], FIONBIO, &on);
  closedCalls = 0;
  ControlConnection *c = connCreate(pair[0], &FIRST_TABLE, onClosed);
  if (!c) fail("connCreate");
  connStartIo(c);
  // A due timer of priority 0 never runs but keeps every select a poll.
  Timer poll;
  timerInit(&poll, noPoll, nullptr, 0);
  timerSchedule(&poll, tickNow());

  for (size_t at = 0; at < size && !closedCalls && c->readRegistered;) {
    split = split * 1103515245u + 12345u;
    size_t chunk = 1 + (split >> 16) % MAX_CHUNK;
    if (chunk > size - at) chunk = size - at;
    if (send(pair[1], data + at, chunk, 0) != ssize_t(chunk)) break;
    at += chunk;
    int turns = 0;
    while (!closedCalls && c->readRegistered && (c->readWatcher.ready || readable(pair[0]))) {
      if (++turns > MAX_TURNS) fail("the receive path does not settle");
      loopTurn();
      if (!closedCalls) checkInvariants(c);
    }
  }
  // From the close on, the record belongs to its finalize work item.
  if (!closedCalls) connClose(c);
  closesocket(pair[1]);
  for (int turns = 0; loopWork || loopWriters; turns++) {
    if (turns > MAX_TURNS) fail("the connection is never freed");
    loopTurn();
  }
  timerCancel(&poll);
  if (loopReaders || loopWriters || loopWork || loopTimers) fail("a registration was left");
  if (closedCalls != 1) fail("closed callback count");
  if (lvLocalAllocLive() != allocations) fail("the record was not freed");
  return 0;
}
