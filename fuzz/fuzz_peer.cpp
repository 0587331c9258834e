#include "fuzz/fuzz_peer.h"

#include <sys/socket.h>

#include <cstdio>
#include <cstdlib>

#include "driver/entry.h"
#include "net/loop.h"

namespace {

void noPoll(void *) { fuzzFail("the poll timer ran"); }

bool readable(SOCKET s) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval zero = {0, 0};
  return select(s + 1, &set, nullptr, nullptr, &zero) == 1;
}

}  // namespace

void fuzzFail(const char *what) {
  std::fprintf(stderr, "%s: %s\n", fuzzTarget, what);
  std::abort();
}

void fuzzStartIo(void) {
  drvInitLock();
  EnterCriticalSection(&drvLock);
  WSADATA data;
  WSAStartup(0x0101, &data);  // also lets a send to a closed peer fail instead of raising SIGPIPE
  lvTickFreeze(1000);
}

void fuzzPeerOpen(FuzzPeer *peer) {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) fuzzFail("socketpair");
  unsigned long on = 1;
  ioctlsocket(pair[0], FIONBIO, &on);
  ioctlsocket(pair[1], FIONBIO, &on);
  peer->driverEnd = pair[0];
  peer->serverEnd = pair[1];
  timerInit(&peer->poll, noPoll, nullptr, 0);
  timerSchedule(&peer->poll, tickNow());
}

void fuzzFeed(FuzzPeer *peer, ControlConnection *c, const uint8_t *data, size_t size,
              uint32_t split, void (*afterTurn)(ControlConnection *), bool drain) {
  // The record stays valid for the rest of the turn in which it closed,
  // and closed is read right after each turn.
  for (size_t at = 0; at < size && !c->closed && c->readRegistered;) {
    split = split * 1103515245u + 12345u;
    size_t chunk = 1 + (split >> 16) % FUZZ_MAX_CHUNK;
    if (chunk > size - at) chunk = size - at;
    if (send(peer->serverEnd, data + at, chunk, 0) != ssize_t(chunk)) break;
    at += chunk;
    int turns = 0;
    while (!c->closed && c->readRegistered && (c->readWatcher.ready || readable(peer->driverEnd))) {
      if (++turns > FUZZ_MAX_TURNS) fuzzFail("the receive path does not settle");
      loopTurn();
      if (afterTurn && !c->closed) afterTurn(c);
    }
    char sink[4096];
    while (drain && recv(peer->serverEnd, sink, sizeof sink, 0) > 0) {
    }
  }
}

void fuzzFinish(FuzzPeer *peer, ControlConnection *c) {
  // From the close on, the record belongs to its finalize work item.
  if (!c->closed) connClose(c);
  closesocket(peer->serverEnd);
  for (int turns = 0; loopWork || loopWriters; turns++) {
    if (turns > FUZZ_MAX_TURNS) fuzzFail("the connection is never freed");
    loopTurn();
  }
  timerCancel(&peer->poll);
  if (loopReaders || loopWriters || loopWork || loopTimers) fuzzFail("a registration was left");
}
