// Arbitrary server messages through the control protocol's handlers.
//
// A session sits on one end of a stream socket pair; the input, after its
// first two bytes, is what the server sends, written in chunks of 1 to 64
// bytes (the second byte seeds the split points), each followed by as many
// loop turns as the connection takes. Built twice:
//   protocol_setup_fuzz    the session starts in the setup phase; the setup
//                          callback accepts when bit 0 of the first byte is
//                          set and then queues a query, a stream request and
//                          a set-control, as the device operations do;
//   protocol_running_fuzz  the session starts in the running phase with the
//                          first byte's low three bits' worth of pending
//                          queries and stream requests, so replies, skips and
//                          stale numbers meet a real pending list.
// Every request made must complete exactly once (by a reply, a skip or the
// session's end), the owner must hear of the end once, and everything must
// be freed with nothing left on the loop's lists.
#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

#include "audio/formats.h"
#include "devices/endpoint.h"
#include "driver/entry.h"
#include "net/loop.h"
#include "net/protocol.h"

#ifndef PROTOCOL_FUZZ_RUNNING
#define PROTOCOL_FUZZ_RUNNING 0
#endif

namespace {

constexpr int MAX_TURNS = 100000;
constexpr uint32_t MAX_CHUNK = 64;

int requests;     // requests that expect a completion
int completions;  // completions seen
int closes;       // closed callbacks
bool acceptSetup;
PlaySource source;

void fail(const char *what) {
  std::fprintf(stderr, "protocol_fuzz: %s\n", what);
  std::abort();
}

void onQueried(ServerSession *, DWORD, DWORD, void *) { completions++; }
void onStream(ServerSession *, StreamSlot *slot, void *) {
  completions++;
  if (slot) slotClose(slot);
}
void onClosed(ServerSession *, void *) {
  if (++closes > 1) fail("the owner heard of the end twice");
}

void makeRequests(ServerSession *s, int count) {
  for (int i = 0; i < count; i++) {
    int queued = i % 2 ? requestOpenPlayStream(s, &source, WORD(i), onStream, nullptr)
                       : requestQueryControl(s, WORD(i), onQueried, nullptr);
    if (!queued) fail("a request could not be queued");
    requests++;
  }
}

int onSetup(ServerSession *s, void *) {
  if (!acceptSetup) return 0;
  makeRequests(s, 2);
  requestSetControl(s, 1, 0x00010001);
  return 1;
}

void noPoll(void *) { fail("the poll timer ran"); }

bool readable(SOCKET s) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval zero = {0, 0};
  return select(s + 1, &set, nullptr, nullptr, &zero) == 1;
}

bool startOnce() {
  drvInitLock();
  EnterCriticalSection(&drvLock);
  WSADATA data;
  WSAStartup(0x0101, &data);
  lvTickFreeze(1000);
  source.ring = ringCreate(65536, 44100, 1);
  return source.ring != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool started = startOnce();
  if (!started) fail("start");
  if (size < 2) return 0;
  uint8_t mode = data[0];
  uint32_t split = data[1];
  data += 2;
  size -= 2;

  long allocations = lvLocalAllocLive();
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) fail("socketpair");
  unsigned long on = 1;
  ioctlsocket(pair[0], FIONBIO, &on);
  ioctlsocket(pair[1], FIONBIO, &on);
  requests = completions = closes = 0;
  acceptSetup = mode & 1;

  ControlConnection *c = connCreate(pair[0], &sessionSetupTable, sessionRelease);
  if (!c) fail("connCreate");
  ServerSession *s = static_cast<ServerSession *>(memAllocZero(sizeof(ServerSession)));
  if (!s) fail("session");
  s->connection = c;
  s->setupCallback = onSetup;
  s->closedCallback = onClosed;
  c->session = s;
  connStartIo(c);
  if (PROTOCOL_FUZZ_RUNNING) {
    c->table = &sessionRunningTable;
    makeRequests(s, mode & 7);
  }
  Timer poll;
  timerInit(&poll, noPoll, nullptr, 0);
  timerSchedule(&poll, tickNow());

  for (size_t at = 0; at < size && !c->closed && c->readRegistered;) {
    split = split * 1103515245u + 12345u;
    size_t chunk = 1 + (split >> 16) % MAX_CHUNK;
    if (chunk > size - at) chunk = size - at;
    if (send(pair[1], data + at, chunk, 0) != ssize_t(chunk)) break;
    at += chunk;
    int turns = 0;
    while (!c->closed && c->readRegistered && (c->readWatcher.ready || readable(pair[0]))) {
      if (++turns > MAX_TURNS) fail("the handlers do not settle");
      loopTurn();
    }
    // Whatever the driver sent is read off, so the pair never fills.
    char sink[4096];
    while (recv(pair[1], sink, sizeof sink, 0) > 0) {
    }
  }
  if (!c->closed) connClose(c);
  closesocket(pair[1]);
  for (int turns = 0; loopWork || loopWriters; turns++) {
    if (turns > MAX_TURNS) fail("the connection is never freed");
    loopTurn();
  }
  timerCancel(&poll);
  if (loopReaders || loopWriters || loopWork || loopTimers) fail("a registration was left");
  if (closes != 1) fail("the owner did not hear of the end");
  if (completions != requests) fail("a request completed twice or never");
  if (lvLocalAllocLive() != allocations) fail("something was not freed");
  return 0;
}
