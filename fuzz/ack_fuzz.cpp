// Acknowledgements, time and loop turns through a running play sender.
//
// Each input makes a fresh slot and play sender against a loopback socket
// that plays the server. The input's first 18 bytes set it up: ring rate
// and channels, the server's leads and rate limit, adaptive, how many
// frames the application supplies, the round trip of the probe's answer
// and whether the source gives the sender up when it stalls. The rest is a
// sequence of events, an opcode byte and its fields each: acknowledgements
// built from the sender's own log (plausible, or beyond what was sent),
// datagrams of any length, acknowledgements from another host or
// family, one through the socket, tick advances, loop turns, senderRun, the
// retransmit timer firing, pause, resume, discard and the source running
// dry.
//
// After every event: at most SENDER_MAX_IN_FLIGHT packets in flight;
// leadTarget within [leadMin, leadMax] and the ring; ackedEnd and
// ackedPlayed not past sent; the source's progress never going back; every
// datagram at the server a full-size probe or a well-formed data packet
// that starts where the previous one ended; an acknowledgement from
// elsewhere changing nothing. At the end the slot is closed, the source
// hears of the stop when it heard of the start, and nothing is left on the
// loop or allocated.
#include <sys/socket.h>

#include <cstring>

#include "audio/formats.h"
#include "fuzz/fuzz_datagram.h"
#include "fuzz/fuzz_peer.h"
#include "stream/endpoint.h"
#include "stream/stream.h"

const char *fuzzTarget = "ack_fuzz";

namespace {

constexpr int MAX_EVENTS = 256;
constexpr int MAX_TURNS = 64;  // per event that runs the loop until idle
constexpr DWORD START_TICK = 1000;

SOCKET server;
sockaddr_in serverAddress;
SampleRing *rings[2];  // mono and stereo, RING_FRAMES each
PlaySource source;
Timer poll;

// What the application does and what the source was told, per input.
struct App {
  uint32_t budget;    // frames the application will still supply
  uint32_t pattern;   // sample step of the supplied audio
  int refuse;         // 1: fill produces nothing
  int giveUp;         // what the stalled callback answers
  int gaveUp;         // the source gave its sender up
  int started;        // activity(1) calls less activity(0) calls
  int stopped;        // activity(0) calls
  uint32_t progress;  // the last progress position
  int progressSeen;
  uint32_t nextStart;  // where the next data packet must start
  int dataSeen;
} app;

int appFill(PlaySource *s, uint32_t position, uint32_t amount) {
  if (app.refuse) return 0;
  int32_t need = int32_t(position + amount - s->produced);
  if (need <= 0 || app.budget == 0) return 0;
  uint32_t n = uint32_t(need) < app.budget ? uint32_t(need) : app.budget;
  if (n > s->ring->frames) fuzzFail("fill asked for more than a ring");
  app.budget -= n;
  while (n > 0) {
    uint32_t span;
    int16_t *at = ringSpan(s->ring, s->produced, &span);
    if (span > n) span = n;
    for (uint32_t i = 0; i < span * s->ring->channels; i++) {
      at[i] = int16_t((s->produced + i) * app.pattern);
    }
    s->produced += span;
    n -= span;
  }
  return 1;
}

void appActivity(PlaySource *, int flag) {
  if (flag) {
    if (app.started++ != 0) fuzzFail("activity 1 twice");
  } else {
    if (--app.started != 0) fuzzFail("activity 0 without 1");
    app.stopped++;
  }
}

void appProgress(PlaySource *, uint32_t consumed) {
  if (app.progressSeen && int32_t(consumed - app.progress) < 0) fuzzFail("progress went back");
  app.progress = consumed;
  app.progressSeen = 1;
}

int appStalled(PlaySource *, int) {
  if (app.giveUp) app.gaveUp = 1;
  return app.giveUp;
}

bool startOnce() {
  fuzzStartIo();
  server = fuzzServerSocket(&serverAddress);
  rings[0] = ringCreate(RING_FRAMES, 8000, 0);
  rings[1] = ringCreate(RING_FRAMES, 8000, 1);
  static const PlaySourceEvents appEvents = {appFill, appActivity, appProgress, appStalled};
  source.events = &appEvents;
  return rings[0] && rings[1];
}

bool timerScheduled(const Timer *t) {
  for (Timer *at = loopTimers; at; at = at->next) {
    if (at == t) return true;
  }
  return false;
}

// Reads what the sender sent and checks each datagram.
void drainServer() {
  uint8_t d[2048];
  for (;;) {
    ssize_t got = ::recv(server, d, sizeof d, MSG_TRUNC);
    if (got < 0) return;
    if (got > ssize_t(PACKET_MAX_DATAGRAM)) fuzzFail("a datagram larger than a packet");
    PacketHeader h;
    if (!packetCheck(d, int(got), &h)) fuzzFail("a malformed packet was sent");
    if (h.kind == WIRE_PROBE) continue;
    // A packet of no audio asks for the positions, where the next one starts.
    bool ask = h.duration == 0 && h.wireFrames == 0;
    if (!ask && (h.duration == 0 || h.wireFrames == 0)) fuzzFail("a data packet half empty");
    if (app.dataSeen && h.start != app.nextStart) fuzzFail("the wire positions broke");
    if (ask) continue;
    app.nextStart = h.start + h.duration;
    app.dataSeen = 1;
  }
}

void checkSender(const PlaySender *s) {
  if (s->inFlight > SENDER_MAX_IN_FLIGHT) fuzzFail("too many packets in flight");
  if (s->leadTarget < s->leadMin || s->leadTarget > s->leadMax) fuzzFail("lead outside its bounds");
  if (s->leadTarget > RING_FRAMES) fuzzFail("lead beyond the ring");
  if (int32_t(s->ackedEnd - s->sent) > 0) fuzzFail("ackedEnd past what was sent");
  if (int32_t(s->ackedPlayed - s->sent) > 0) fuzzFail("ackedPlayed past what was sent");
  if (s->packetFrames == 0) fuzzFail("empty packets");
}

// An acknowledgement shaped after the sender's log: it answers one of the
// last four packets (or a position near it), and reports an end at or
// before what was sent, or beyond it when the selector says so.
void buildAck(FuzzInput *in, const PlaySender *s, uint8_t bytes[ACK_BYTES]) {
  uint8_t sel = in->u8();
  uint16_t back = in->u16(), gap = in->u16(), off = in->u16();
  SentPacket p = {0, 0, 0};
  if (s->sentCount) p = s->sentLog[(s->sentCount - 1 - (sel & 3)) % SENDER_MAX_IN_FLIGHT];
  StreamAck ack;
  ack.receivedEnd = sel & 0x10 ? s->sent + 1 + back : s->sent - back;
  ack.consumed = sel & 0x20 ? ack.receivedEnd + gap : ack.receivedEnd - gap;
  ack.lastStart = p.start + (sel & 0x40 ? off : off % (p.duration + 1));
  ack.lastDuration = uint16_t(p.duration);
  ack.unsolicited = sel >> 7;
  if (sel & 0x08) ack.receivedEnd = s->sent, ack.consumed = s->sent - back;  // all arrived
  ackStore(bytes, &ack);
}

// Turns the loop until no work is queued (bounded).
void runWork() {
  for (int i = 0; i < MAX_TURNS && loopWork; i++) loopTurn();
}

void event(FuzzInput *in, PlaySender *s, StreamSlot *slot) {
  uint8_t bytes[64];
  switch (in->u8() % 16) {
    case 0:
    case 1:
    case 2:
      buildAck(in, s, bytes);
      senderTakeAck(s, bytes, ACK_BYTES, &serverAddress);
      break;
    case 3: {  // any bytes, any length up to 64
      int length = in->u8() % 65;
      for (int i = 0; i < length; i++) bytes[i] = in->u8();
      senderTakeAck(s, bytes, length, &serverAddress);
      break;
    }
    case 4: {  // from another host or family: nothing changes
      uint8_t which = in->u8();
      buildAck(in, s, bytes);
      sockaddr_in from = serverAddress;
      if (which % 2 == 0) from.sin_addr.s_addr = htonl(FUZZ_OTHER_HOST);
      if (which % 2 == 1) from.sin_family = AF_UNSPEC;
      PlaySender before;
      std::memcpy(&before, s, sizeof before);
      WorkItem *work = loopWork;
      senderTakeAck(s, bytes, ACK_BYTES, &from);
      if (std::memcmp(&before, s, sizeof before) != 0 || loopWork != work) {
        fuzzFail("an acknowledgement from elsewhere counted");
      }
      break;
    }
    case 5: {  // through the socket and the read watcher
      buildAck(in, s, bytes);
      sockaddr_in to = fuzzAddress(FUZZ_SERVER_HOST, slot->localPort);
      sendto(server, reinterpret_cast<const char *>(bytes), ACK_BYTES, 0,
             reinterpret_cast<const sockaddr *>(&to), sizeof to);
      loopTurn();
      break;
    }
    case 6:
      lvTickAdvance(in->u16() % 2048);
      break;
    case 7:  // long enough for the stall check
      lvTickAdvance(DWORD(in->u8()) * 250);
      break;
    case 8:
      loopTurn();
      break;
    case 9:
      runWork();
      break;
    case 10:
      senderRun(s);
      break;
    case 11:  // the retransmit timer comes due and runs
      for (int i = 0; i < 8 && timerScheduled(&s->timer); i++) {
        int32_t wait = int32_t(s->timer.due - tickNow());
        if (wait > 0) lvTickAdvance(DWORD(wait));
        loopTurn();
      }
      break;
    case 12:
      playSenderSetPaused(s, !s->paused);
      break;
    case 13:
      playSenderDiscard(s);
      break;
    case 14:
      app.refuse = !app.refuse;
      break;
    case 15:
      app.budget += DWORD(in->u8()) * 16;
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = startOnce();
  if (!ready) fuzzFail("start");
  FuzzInput in = {data, size, 0};
  uint8_t flags = in.u8();
  uint32_t rate = 8000 + in.u16() % 40001;
  uint32_t minLead = in.u32(), maxLead = in.u32(), serverRate = in.u32();
  // A few thousand frames per run at most: enough for several format
  // steps, few enough to keep a run fast.
  uint32_t budget = (uint32_t(in.u8()) + 1) * 16;
  uint32_t rtt = in.u8();
  uint32_t pattern = in.u8() * 131u + 1;

  long allocations = lvLocalAllocLive();
  lvTickFreeze(START_TICK);
  fuzzPollStart(&poll);
  app = {};
  app.budget = budget;
  app.pattern = pattern;
  app.giveUp = (flags >> 2) & 1;
  SampleRing *ring = rings[flags & 1];
  std::memset(ringSamples(ring), 0, SIZE_T(ring->frames) * ring->channels * sizeof(int16_t));
  ring->rate = rate;
  source.ring = ring;
  source.produced = 0;
  source.startedCount = 0;
  source.senders = nullptr;

  StreamSlot *slot = slotCreate();
  if (!slot) fuzzFail("slotCreate");
  slotBindPlay(slot, &source, FUZZ_SERVER_HOST, ntohs(serverAddress.sin_port), minLead, maxLead,
               (flags >> 1) & 1, serverRate);
  PlaySender *s = slot->sender;
  if (!s) fuzzFail("slotBindPlay");
  checkSender(s);
  if (!(flags & 8)) {  // answer the probe; otherwise the events may
    runWork();
    drainServer();
    lvTickAdvance(rtt);
    uint8_t answer[ACK_BYTES] = {};
    senderTakeAck(s, answer, ACK_BYTES, &serverAddress);
    if (!s->started) fuzzFail("the probe's answer did not start the sender");
  }
  for (int n = 0; n < MAX_EVENTS && !in.done() && !app.gaveUp; n++) {
    event(&in, s, slot);
    checkSender(s);
    drainServer();
  }

  int started = s->started;
  slotClose(slot);
  drainServer();
  if (source.senders) fuzzFail("the sender is still on its source");
  if (app.started != 0 || app.stopped != started) fuzzFail("activity does not match the start");
  timerCancel(&poll);
  if (loopReaders || loopWriters || loopWork || loopTimers) fuzzFail("a registration was left");
  if (lvLocalAllocLive() != allocations) fuzzFail("something was not freed");
  return 0;
}
