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
#include <cstdio>
#include <cstdlib>

#include "audio/formats.h"
#include "stream/endpoint.h"
#include "driver/entry.h"
#include "fuzz/fuzz_peer.h"
#include "net/loop.h"
#include "session/protocol.h"
#include "stream/stream.h"

#ifndef PROTOCOL_FUZZ_RUNNING
#define PROTOCOL_FUZZ_RUNNING 0
#endif

const char *fuzzTarget = "protocol_fuzz";

namespace {

int requests;     // requests that expect a completion
int completions;  // completions seen
int closes;       // closed callbacks
bool acceptSetup;
PlaySource source;

void onQueried(ServerSession *, DWORD, DWORD, void *) { completions++; }
void onStream(ServerSession *, StreamSlot *slot, void *) {
  completions++;
  if (slot) slotClose(slot);
}
void onClosed(ServerSession *, void *) {
  if (++closes > 1) fuzzFail("the owner heard of the end twice");
}

void makeRequests(ServerSession *s, int count) {
  for (int i = 0; i < count; i++) {
    int queued = i % 2 ? requestOpenPlayStream(s, &source, WORD(i), onStream, nullptr)
                       : requestQueryControl(s, WORD(i), onQueried, nullptr);
    if (!queued) fuzzFail("a request could not be queued");
    requests++;
  }
}

int onSetup(ServerSession *s, void *) {
  if (!acceptSetup) return 0;
  makeRequests(s, 2);
  requestSetControl(s, 1, 0x00010001);
  return 1;
}

bool startOnce() {
  fuzzStartIo();
  source.ring = ringCreate(65536, 44100, 1);
  return source.ring != nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool started = startOnce();
  if (!started) fuzzFail("start");
  if (size < 2) return 0;
  uint8_t mode = data[0];
  uint32_t split = data[1];
  data += 2;
  size -= 2;

  long allocations = lvLocalAllocLive();
  FuzzPeer peer;
  fuzzPeerOpen(&peer);
  requests = completions = closes = 0;
  acceptSetup = mode & 1;

  ControlConnection *c = connCreate(peer.driverEnd, &sessionSetupTable, sessionOnClosed);
  if (!c) fuzzFail("connCreate");
  ServerSession *s = static_cast<ServerSession *>(memAllocZero(sizeof(ServerSession)));
  if (!s) fuzzFail("session");
  s->connection = c;
  s->setupCallback = onSetup;
  s->closedCallback = onClosed;
  c->session = s;
  connStartIo(c);
  if (PROTOCOL_FUZZ_RUNNING) {
    c->table = &sessionRunningTable;
    makeRequests(s, mode & 7);
  }
  fuzzFeed(&peer, c, data, size, split, nullptr, true);
  fuzzFinish(&peer, c);
  if (closes != 1) fuzzFail("the owner did not hear of the end");
  if (completions != requests) fuzzFail("a request completed twice or never");
  if (lvLocalAllocLive() != allocations) fuzzFail("something was not freed");
  return 0;
}
