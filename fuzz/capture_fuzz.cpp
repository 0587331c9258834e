// Datagrams through a capture receiver: checking, placing, decoding and
// mixing into a record sink's ring, and the credit the application's reads
// earn the server.
//
// Each input makes a fresh slot and receiver. Its first 7 bytes set them up:
// the ring's channels, length and rate (what an application may open: 8000
// to 48000 Hz) and the receiver's timebase, which the server chooses freely.
// The endpoints' rings are RING_FRAMES long; the shorter ones make wraps,
// overruns and packets longer than the ring cheap to reach, and gaps cheap
// to fill.
// The rest is a sequence of events, an opcode byte and its fields each:
// well-formed audio packets of every kind, rate and channel count with
// starts near the positions seen or anywhere, raw datagrams of any length,
// the probe, packets from another host or family, the application's reads
// (as the record pump makes them), a discard and a stop.
//
// After every event: a datagram from elsewhere changes nothing; once
// synchronised, the highest end seen goes back only when a packet more
// than a ring away moves the stream there (and the credit with it), and no
// probe or undecodable packet moves it;
// one packet moves the write position by no more than a ring of gap plus
// what its frames make at the ring's rate, and the converter's output never
// runs ahead of its input; the server's credit since synchronisation is
// exactly what the application read, in timebase frames, nothing lost to
// rounding; every acknowledgement is 16 bytes; the sink counts the receiver
// active exactly while it is synchronised. At the end the slot is closed
// and nothing is left on the loop or allocated.
#include <sys/socket.h>

#include <cstring>

#include "audio/formats.h"
#include "fuzz/fuzz_datagram.h"
#include "fuzz/fuzz_peer.h"
#include "stream/endpoint.h"
#include "stream/stream.h"

const char *fuzzTarget = "capture_fuzz";

namespace {

constexpr int MAX_EVENTS = 256;
constexpr DWORD START_TICK = 1000;

SOCKET server;  // the receiver's acknowledgements arrive here
sockaddr_in serverAddress;
constexpr uint32_t RING_LENGTHS[4] = {RING_FRAMES, 8192, 2048, RING_FRAMES};
SampleRing *rings[4][2];  // by length, mono and stereo
RecordSink sink;

struct Model {
  uint64_t read;        // frames the application read since synchronisation
  uint32_t creditBase;  // creditedPos at synchronisation
  int dataReady;        // dataReady calls
  uint64_t inputEnd;    // the converter's furthest input position (32.32)
} model;

void onDataReady(RecordSink *) { model.dataReady++; }
void onActivity(RecordSink *, int) {}

bool startOnce() {
  fuzzStartIo();
  server = fuzzServerSocket(&serverAddress);
  for (int i = 0; i < 4; i++) {
    for (int stereo = 0; stereo < 2; stereo++) {
      rings[i][stereo] = ringCreate(RING_LENGTHS[i], 8000, stereo);
      if (!rings[i][stereo]) return false;
    }
  }
  static const RecordSinkEvents events = {onDataReady, onActivity};
  sink.events = &events;
  return true;
}

void drainServer() {
  uint8_t d[2048];
  for (;;) {
    ssize_t got = ::recv(server, d, sizeof d, MSG_TRUNC);
    if (got < 0) return;
    if (got != ssize_t(ACK_BYTES)) fuzzFail("an acknowledgement that is not 16 bytes");
  }
}

// Payload bytes from a small generator, so that a packet costs the input
// only its header fields.
void fillPayload(uint8_t *p, uint32_t length, uint32_t seed) {
  uint32_t x = seed * 2654435761u + 1;
  for (uint32_t i = 0; i < length; i++) {
    x ^= x << 13, x ^= x >> 17, x ^= x << 5;
    p[i] = uint8_t(x >> 11);
  }
}

// A well-formed audio packet; returns its length.
int buildPacket(FuzzInput *in, const CaptureReceiver *r, uint8_t *d) {
  uint8_t sel = in->u8();
  PacketHeader h = {};
  h.kind = uint8_t(WIRE_COMPANDED + sel % 3);
  h.stereo = (sel >> 2) & 1;
  h.rateIndex = uint8_t(in->u8() % WIRE_RATE_COUNT);
  // Mostly short packets, which keep a run fast; full ones when asked.
  uint32_t frames = sel & 0x40 ? in->u16() : in->u8();
  uint32_t bytes;
  if (h.kind == WIRE_GSM) {
    if (!(sel & 0x40)) frames %= 8;
    frames = frames % (PACKET_PAYLOAD_MAX / GSM_FRAME_BYTES + 1);
    bytes = frames * GSM_FRAME_BYTES;
    frames *= GSM_FRAME_SAMPLES;
  } else {
    uint32_t frameBytes = (h.kind == WIRE_LINEAR16 ? 2 : 1) * (h.stereo ? 2 : 1);
    frames = frames % (PACKET_PAYLOAD_MAX / frameBytes + 1);
    bytes = frames * frameBytes;
  }
  h.wireFrames = uint16_t(frames);
  uint32_t wireRate = wireRates[h.rateIndex];
  h.duration = uint16_t(uint64_t(frames) * r->timebaseRate / wireRate);
  if (sel & 0x08) h.duration = in->u16();
  h.start = r->receivedEnd;
  if (sel & 0x10) h.start += uint32_t(int16_t(in->u16()));  // a little off, either way
  if (sel & 0x20) h.start = in->u32();                      // anywhere
  packetStoreHeader(d, &h);
  fillPayload(d + PACKET_HEADER_BYTES, bytes, in->u8());
  return int(PACKET_HEADER_BYTES + bytes);
}

// The application reads what the receiver wrote, as the record pump does:
// up to the write position, one ring span at a time, clearing what it read.
void appRead(CaptureReceiver *r, uint32_t want) {
  int32_t unread = int32_t(r->writePos - sink.readPos);
  if (unread <= 0) return;
  uint32_t span;
  ringSpan(sink.ring, sink.readPos, &span);
  uint32_t n = want < uint32_t(unread) ? want : uint32_t(unread);
  if (n > span) n = span;
  ringClear(sink.ring, sink.readPos, n);
  sink.readPos += n;
  if (r->synced) model.read += n;
  receiverCredit(&sink);
}

// Whether a packet starting jump frames after the highest end seen lies
// beyond the receiver's reach: a ring's length in timebase frames.
bool beyondReach(const CaptureReceiver *r, int32_t jump) {
  if (r->timebaseRate == 0) return false;
  int64_t reach = int64_t(uint64_t(sink.ring->frames) * r->timebaseRate / sink.ring->rate);
  return jump > reach || -int64_t(jump) > reach;
}

void take(CaptureReceiver *r, const uint8_t *d, int length, const sockaddr_in *from) {
  uint32_t synced = r->synced;
  uint32_t receivedEnd = r->receivedEnd;
  uint32_t writeFrom = synced ? r->writePos : sink.readPos;
  PacketHeader h = {};
  bool packet = length >= int(PACKET_HEADER_BYTES) && length <= int(PACKET_MAX_DATAGRAM);
  if (packet) packetLoadHeader(d, &h);
  bool fromServer =
      from->sin_family == AF_INET && from->sin_addr.s_addr == serverAddress.sin_addr.s_addr;
  bool data = packet && fromServer && h.kind != WIRE_PROBE &&
              packetDecodable(&h, uint32_t(length) - PACKET_HEADER_BYTES);
  int32_t jump = int32_t(h.start - receivedEnd);
  bool follows = data && synced && beyondReach(r, jump);
  receiverTakeDatagram(r, d, length, from);
  if (!synced && r->synced) {
    model.read = 0;
    model.creditBase = r->creditedPos;
    model.inputEnd = r->resampler.inTime;
  }
  if (follows) {
    // The stream moved: the credit with it, by the same distance.
    model.creditBase += uint32_t(jump);
    model.inputEnd = r->resampler.inTime;
    if (r->receivedEnd != h.start + h.duration) fuzzFail("a jump did not move the stream");
  } else if (synced && r->synced && int32_t(r->receivedEnd - receivedEnd) < 0) {
    fuzzFail("the highest end seen went back");
  }
  if (synced && !data && r->receivedEnd != receivedEnd) fuzzFail("a probe moved the positions");
  if (data && r->synced) {
    // What the packet's frames make, and at a change of wire rate the
    // outputs that the old rate's longer window held back (half a window
    // of the join's band, half the lowest rate's, at most).
    uint64_t made = (uint64_t(h.wireFrames) + 2) * sink.ring->rate / wireRates[h.rateIndex] + 3 +
                    uint64_t(RS_TABLE_TAPS / 2 + 1) * sink.ring->rate / (wireRates[0] / 2);
    if (r->writePos - writeFrom > sink.ring->frames + made) {
      fuzzFail("one packet moved the write position too far");
    }
    // A late or repeated packet adds nothing past what the converter was
    // given: its output never runs ahead of its furthest input.
    const Resampler *rs = &r->resampler;
    if (int64_t(rs->inTime - model.inputEnd) > 0) model.inputEnd = rs->inTime;
    if (r->timebaseRate && int64_t(rs->outTime - model.inputEnd) > int64_t(rs->outStep)) {
      fuzzFail("the converter's output ran ahead of its input");
    }
  }
}

void check(const CaptureReceiver *r) {
  if (sink.activeCount != r->synced) fuzzFail("the sink's count does not match");
  if (!r->synced) return;
  uint64_t earned = model.read * r->timebaseRate;
  uint32_t credited = r->creditedPos + r->pendingCredit - model.creditBase;
  if (credited != uint32_t(earned / sink.ring->rate) ||
      r->creditRemainder != uint32_t(earned % sink.ring->rate)) {
    fuzzFail("the credit is not what the application read");
  }
}

void event(FuzzInput *in, CaptureReceiver *r) {
  uint8_t d[PACKET_MAX_DATAGRAM];
  switch (in->u8() % 12) {
    case 0:
    case 1:
    case 2:
    case 3: {
      int length = buildPacket(in, r, d);
      take(r, d, length, &serverAddress);
      break;
    }
    case 4: {  // any bytes, any length
      int length = in->u16() % (PACKET_MAX_DATAGRAM + 1);
      int given = in->u8();
      for (int i = 0; i < length; i++) d[i] = i < given ? in->u8() : 0;
      take(r, d, length, &serverAddress);
      break;
    }
    case 5:  // the probe
      std::memset(d, 0, sizeof d);
      take(r, d, int(PACKET_MAX_DATAGRAM), &serverAddress);
      break;
    case 6: {  // from another host or family: nothing changes
      uint8_t which = in->u8();
      int length = buildPacket(in, r, d);
      sockaddr_in from = serverAddress;
      if (which & 1)
        from.sin_addr.s_addr = htonl(FUZZ_OTHER_HOST);
      else
        from.sin_family = AF_UNSPEC;
      CaptureReceiver before;
      std::memcpy(&before, r, sizeof before);
      int ready = model.dataReady;
      receiverTakeDatagram(r, d, length, &from);
      if (std::memcmp(&before, r, sizeof before) != 0 || model.dataReady != ready) {
        fuzzFail("a datagram from elsewhere counted");
      }
      break;
    }
    case 7:
    case 8:
    case 9:
      appRead(r, in->u16());
      break;
    case 10:
      sinkDiscard(&sink);
      break;
    case 11:
      receiverStop(r);
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
  uint32_t timebase = in.u32();

  long allocations = lvLocalAllocLive();
  lvTickFreeze(START_TICK);
  model = {};
  SampleRing *ring = rings[(flags >> 1) & 3][flags & 1];
  std::memset(ringSamples(ring), 0, SIZE_T(ring->frames) * ring->channels * sizeof(int16_t));
  ring->rate = rate;
  sink.ring = ring;
  sink.readPos = flags * 40503u;  // anywhere: positions wrap
  sink.activeCount = sink.active = sink.endPos = 0;
  sink.receivers = nullptr;

  StreamSlot *slot = slotCreate();
  if (!slot) fuzzFail("slotCreate");
  slotBindCapture(slot, &sink, FUZZ_SERVER_HOST, timebase);
  CaptureReceiver *r = slot->receiver;
  if (!r) fuzzFail("slotBindCapture");
  for (int n = 0; n < MAX_EVENTS && !in.done(); n++) {
    event(&in, r);
    check(r);
    drainServer();
  }

  slotClose(slot);
  drainServer();
  if (sink.receivers || sink.activeCount) fuzzFail("the receiver is still on its sink");
  if (loopReaders || loopWriters || loopWork || loopTimers) fuzzFail("a registration was left");
  if (lvLocalAllocLive() != allocations) fuzzFail("something was not freed");
  return 0;
}
