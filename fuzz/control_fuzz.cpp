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
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "driver/entry.h"
#include "fuzz/fuzz_peer.h"
#include "net/control.h"

const char *fuzzTarget = "control_fuzz";

namespace {

int closedCalls;

void checkInvariants(ControlConnection *c) {
  if (c->recvStart > c->recvFill || c->recvFill > CONN_BUFFER_BYTES) fuzzFail("receive bounds");
  if (c->sendDone > c->sendFill || c->sendFill > CONN_BUFFER_BYTES) fuzzFail("send bounds");
  if (c->neededLength < CONN_MIN_MESSAGE_BYTES) fuzzFail("needed length below a header");
}

// Reads every byte of the message, so that ASan sees any read past it.
unsigned touch(ControlConnection *c, const BYTE *m) {
  DWORD length = connMessageBytes(m);
  if (m < c->recvBuffer || length < CONN_MIN_MESSAGE_BYTES ||
      m + length > c->recvBuffer + CONN_BUFFER_BYTES) {
    fuzzFail("message outside the receive buffer");
  }
  unsigned sum = 0;
  for (DWORD i = 0; i < length; i++) sum += m[i];
  return sum;
}

void onClosed(ControlConnection *) {
  if (++closedCalls > 1) fuzzFail("closed callback ran twice");
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool started = (fuzzStartIo(), true);
  (void)started;
  if (size < 2) return 0;
  uint32_t split = uint32_t(data[0]) | uint32_t(data[1]) << 8;
  data += 2;
  size -= 2;

  long allocations = lvLocalAllocLive();
  FuzzPeer peer;
  fuzzPeerOpen(&peer);
  closedCalls = 0;
  ControlConnection *c = connCreate(peer.driverEnd, &FIRST_TABLE, onClosed);
  if (!c) fuzzFail("connCreate");
  connStartIo(c);
  fuzzFeed(&peer, c, data, size, split, checkInvariants, false);
  fuzzFinish(&peer, c);
  if (closedCalls != 1) fuzzFail("closed callback count");
  if (lvLocalAllocLive() != allocations) fuzzFail("the record was not freed");
  return 0;
}
