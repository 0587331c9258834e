// The play sender and the capture receiver.
//
// Pacing follows the server's acknowledgements, not a clock: the sender
// sends when the server reports less than leadTarget frames queued
// (receivedEnd - consumed), so the server's playout clock alone sets the
// rate and no drift between two clocks builds up. Four packets in flight
// at most bound what a silent server or a lost acknowledgement can pile up,
// and one packet per loop turn lets the other streams and the control
// connection interleave. The round-trip time of each answered packet sizes
// the packets (longer trips, larger packets, so that four of them still
// cover one trip) and moves the stream to slower or faster wire formats.
//
// Both handlers take datagrams only from the audio server's IPv4 address
// (the control connection's peer), from any of its ports: a server may
// answer from a socket of its own. Another host can neither steer the
// pacing with forged acknowledgements nor inject audio or redirect the
// receiver's acknowledgements. Within that, a datagram is judged by its
// content and the plausible part of it is taken: a played position beyond
// what was sent counts as what was sent, and a recording that jumps is
// followed. The receiver answers every packet but places only audio it can
// decode: slot ports are reused, so a late acknowledgement for a closed
// playback stream may reach a recording slot, and must not synchronise it.
#include "audio/stream.h"

#include <cassert>
#include <cstring>

#include "devices/endpoint.h"
#include "driver/lock.h"
#include "platform/bytes.h"

// Coded bytes of the largest packet and of the smallest worth sending.
// 1384 leaves room below the 1400-byte payload for a coding unit that the
// resampler's rounding may add.
static constexpr uint32_t PACKET_MAX_BYTES = 1384;
static constexpr uint32_t PACKET_MIN_BYTES = 200;
// Samples added to one coding unit for the smallest packet.
static constexpr uint32_t PACKET_UNIT_SLACK = 8;
// The first round trip counts four times: it is one sample, taken with an
// idle path, and the smoothed value starts high rather than low.
static constexpr uint32_t FIRST_RTT_FACTOR = 4;
// Retransmit timeout: ten smoothed round trips, at least a second, ms.
static constexpr uint32_t TIMEOUT_RTT_FACTOR = 10;
static constexpr uint32_t TIMEOUT_FLOOR_MS = 1000;

uint32_t senderFirstPosition = 0;

void packetStoreHeader(uint8_t *bytes, const PacketHeader *header) {
  store32(bytes, header->start);
  store16(bytes + 4, header->wireFrames);
  store16(bytes + 6, header->duration);
  bytes[8] = header->kind;
  bytes[9] = header->stereo;
  bytes[10] = header->rateIndex;
  bytes[11] = 0;
}

void packetLoadHeader(const uint8_t *bytes, PacketHeader *header) {
  header->start = load32(bytes);
  header->wireFrames = load16(bytes + 4);
  header->duration = load16(bytes + 6);
  header->kind = bytes[8];
  header->stereo = bytes[9];
  header->rateIndex = bytes[10];
}

void ackStore(uint8_t *bytes, const StreamAck *ack) {
  store32(bytes, ack->consumed);
  store32(bytes + 4, ack->receivedEnd);
  store32(bytes + 8, ack->lastStart);
  store16(bytes + 12, ack->lastDuration);
  store16(bytes + 14, ack->unsolicited);
}

int ackLoad(const uint8_t *bytes, int length, StreamAck *ack) {
  if (length != int(ACK_BYTES)) return 0;
  ack->consumed = load32(bytes);
  ack->receivedEnd = load32(bytes + 4);
  ack->lastStart = load32(bytes + 8);
  ack->lastDuration = load16(bytes + 12);
  ack->unsolicited = load16(bytes + 14);
  return 1;
}

// The payload bytes that wireFrames of a row need, or -1 when the count
// cannot be coded in that row (GSM carries whole frames only).
static int64_t payloadBytes(const WireFormat *row, uint32_t wireFrames) {
  if (row->kind == WIRE_GSM) {
    if (wireFrames % GSM_FRAME_SAMPLES != 0) return -1;
    return int64_t(wireFrames / GSM_FRAME_SAMPLES) * GSM_FRAME_BYTES;
  }
  int64_t sampleBytes = row->kind == WIRE_COMPANDED ? 1 : 2;
  return int64_t(wireFrames) * (row->stereo ? 2 : 1) * sampleBytes;
}

int packetCheck(const uint8_t *bytes, int length, PacketHeader *header) {
  if (length < int(PACKET_HEADER_BYTES) || length > int(PACKET_MAX_DATAGRAM)) return 0;
  packetLoadHeader(bytes, header);
  if (header->kind == WIRE_PROBE) return length == int(PACKET_MAX_DATAGRAM);
  // Any coding at any listed rate: a server may record in a combination
  // that is no row of the sending table (16-bit linear at 8000 Hz, say).
  if (header->kind > WIRE_GSM || header->rateIndex >= WIRE_RATE_COUNT || header->stereo > 1) {
    return 0;
  }
  WireFormat row = {};
  row.kind = header->kind;
  row.stereo = header->stereo;
  return payloadBytes(&row, header->wireFrames) == length - int(PACKET_HEADER_BYTES);
}

int packetDecodable(const PacketHeader *header, uint32_t payloadLength) {
  if (header->kind == WIRE_PROBE || header->kind > WIRE_GSM) return 0;
  if (header->rateIndex >= WIRE_RATE_COUNT || header->stereo > 1 || header->wireFrames == 0) {
    return 0;
  }
  WireFormat row = {};
  row.kind = header->kind;
  row.stereo = header->stereo;
  int64_t need = payloadBytes(&row, header->wireFrames);
  return need >= 0 && need <= int64_t(payloadLength);
}

// Reads one datagram into buffer (PACKET_MAX_DATAGRAM bytes) and its
// sender into *from; returns its length, or -1 when there was none.
static int receiveFrom(SOCKET s, uint8_t *buffer, sockaddr_in *from) {
  std::memset(from, 0, sizeof *from);
  socklen_t length = sizeof *from;
  int got = recvfrom(s, reinterpret_cast<char *>(buffer), int(PACKET_MAX_DATAGRAM), 0,
                     reinterpret_cast<sockaddr *>(from), &length);
  return got > 0 ? got : -1;
}

// ---- Play sender: sending.

static SentPacket *sentEntry(PlaySender *sender, uint32_t number) {
  return &sender->sentLog[number % SENDER_MAX_IN_FLIGHT];
}

// Logs a packet just sent and counts it in flight; the timer runs from the
// first packet of an empty window.
static void senderLogSent(PlaySender *sender, uint32_t start, uint32_t duration) {
  DWORD now = tickNow();
  if (!sender->awaiting) {
    sender->awaiting = 1;  // an answer is due from now on
    sender->quietSince = sender->movedAt = now;
  }
  *sentEntry(sender, sender->sentCount) = {now, start, duration};
  sender->sentCount += 1;
  if (sender->inFlight == 0) timerSchedule(&sender->timer, now + sender->timeout);
  sender->inFlight += 1;
}

void senderProbe(PlaySender *sender) {
  uint8_t probe[PACKET_MAX_DATAGRAM];
  std::memset(probe, 0, sizeof probe);
  sendto(sender->watcher.socket, reinterpret_cast<const char *>(probe), sizeof probe, 0,
         reinterpret_cast<const sockaddr *>(&sender->server), sizeof sender->server);
  senderLogSent(sender, 0, 0);
}

// Asks a started stream's server for its positions: a data packet of no
// audio where the next packet starts. Every server answers a packet, and
// one that carries nothing places nothing, wherever the stream stands; a
// probe's start of 0 would read as half the position range away once the
// stream passes 2^31 frames. It gives no round-trip sample (senderTakeAck).
static void senderAsk(PlaySender *sender) {
  uint8_t datagram[PACKET_HEADER_BYTES];
  PacketHeader header = {sender->sent,
                         0,
                         0,
                         sender->format->kind,
                         uint8_t(sender->format->stereo),
                         sender->format->rateIndex};
  packetStoreHeader(datagram, &header);
  sendto(sender->watcher.socket, reinterpret_cast<const char *>(datagram), sizeof datagram, 0,
         reinterpret_cast<const sockaddr *>(&sender->server), sizeof sender->server);
  senderLogSent(sender, sender->sent, 0);
}

static uint32_t senderEncode(PlaySender *sender, uint32_t want, uint8_t *payload,
                             uint16_t *wireFrames) {
  const WireFormat *row = sender->format;
  SampleRing *ring = sender->endpoint->ring;
  uint32_t position = sender->base + sender->consumed;
  switch (row->kind) {
    case WIRE_COMPANDED:
      return encodeCompanded(ring, position, want, payload, wireFrames, int(row->stereo),
                             &sender->resampler);
    case WIRE_LINEAR16:
      return encodeLinear16(ring, position, want, payload, wireFrames, int(row->stereo),
                            &sender->resampler);
    case WIRE_GSM:
      return encodeGsm(ring, position, want, payload, wireFrames, &sender->resampler,
                       &sender->coder);
    default:
      *wireFrames = 0;
      return 0;
  }
}

int senderSend(PlaySender *sender) {
  if (sender->inFlight >= SENDER_MAX_IN_FLIGHT) return 0;
  PlaySource *source = sender->endpoint;
  uint32_t target = rsLookahead(&sender->resampler, sender->sent + sender->packetFrames);
  uint32_t want = target - sender->consumed;
  if (int32_t(source->produced - sender->base - sender->consumed - want) < 0) {
    if (!source->fill(source, sender->base + sender->consumed, want)) return 0;
    int32_t available = int32_t(source->produced - sender->base - sender->consumed);
    if (available <= 0) return 0;
    if (uint32_t(available) < want) want = uint32_t(available);
  }
  uint32_t s = sender->sent;
  // The converter keeps the fraction of a timebase frame that its output
  // has reached; setting the position at every packet would drop it and
  // shift each packet's instants by up to a frame.
  if (rsOutPos(&sender->resampler) != s) rsSetOutPos(&sender->resampler, s);
  uint8_t datagram[PACKET_MAX_DATAGRAM];  // one packet, on the stack
  PacketHeader header = {};
  uint32_t bytes = senderEncode(sender, want, datagram + PACKET_HEADER_BYTES, &header.wireFrames);
  sender->sent = rsOutPos(&sender->resampler);
  sender->consumed = rsInPos(&sender->resampler);
  if (sender->sent == s) return 0;
  sender->movedAt = tickNow();
  header.start = s;
  header.duration = uint16_t(sender->sent - s);
  header.kind = sender->format->kind;
  header.stereo = uint8_t(sender->format->stereo);
  header.rateIndex = sender->format->rateIndex;
  packetStoreHeader(datagram, &header);
  sendto(sender->watcher.socket, reinterpret_cast<const char *>(datagram),
         int(PACKET_HEADER_BYTES + bytes), 0, reinterpret_cast<const sockaddr *>(&sender->server),
         sizeof sender->server);
  senderLogSent(sender, s, sender->sent - s);
  return sender->inFlight < SENDER_MAX_IN_FLIGHT;
}

// Keeps the quiet time: the sender waits for the server while packets are
// in flight or while the server reports its queue full; otherwise it waits
// for the application and the server owes it nothing. A full queue with
// nothing in flight is answered only by the server's progress reports; when
// a retransmit timeout passes without one (they were lost, or the server's
// last reports fell into an outage), an empty packet asks for the positions
// again: the server answers every datagram. The timer also runs out when
// the positions have stood still for STREAM_STALL_MS, so that a close
// waiting on a server that answers but plays nothing learns of it in time.
static void senderWatch(PlaySender *sender, bool queueFull) {
  if (sender->inFlight > 0) return;  // the retransmit timer runs, and checks the quiet time
  if (!queueFull || sender->paused) {
    sender->awaiting = 0;
    return;
  }
  DWORD now = tickNow();
  if (!sender->awaiting) {
    sender->awaiting = 1;
    sender->quietSince = sender->movedAt = now;
  }
  if (now - sender->quietSince >= sender->timeout) {
    senderAsk(sender);  // in flight now: its timer runs
    return;
  }
  DWORD due = sender->quietSince + sender->timeout;
  DWORD still = sender->movedAt + STREAM_STALL_MS;
  timerSchedule(&sender->timer, int32_t(still - due) < 0 ? still : due);
}

void senderRun(void *user) {
  PlaySender *sender = static_cast<PlaySender *>(user);
  assert(drvLockHeld());
  workDequeue(&sender->work);
  if (!sender->started) {
    // One probe at a time: an acknowledgement that matches nothing queues
    // this run as well, and must not send another. A lost probe is written
    // off by the retransmit timer, which asks for the next.
    if (sender->inFlight == 0) senderProbe(sender);
    return;
  }
  if (sender->inFlight > 0) {
    const SentPacket *oldest = sentEntry(sender, sender->sentCount - sender->inFlight);
    timerSchedule(&sender->timer, oldest->tick + sender->timeout);
  }
  bool changed = int32_t(sender->ackedEnd - sender->stepDownAt) >= 0 && senderStepDown(sender);
  if (!changed) changed = int32_t(sender->ackedEnd - sender->stepUpAt) >= 0 && senderStepUp(sender);
  if (!changed) senderWindow(sender, sender->smoothedRtt);
  bool queueFull = int32_t(sender->ackedEnd - sender->ackedPlayed) >= int32_t(sender->leadTarget);
  if (!sender->paused && !queueFull) {
    if (senderSend(sender)) workQueue(&sender->work);
  }
  senderWatch(sender, queueFull);
  PlaySource *source = sender->endpoint;
  source->progress(source, sender->base + sender->consumed);
}

// ---- Play sender: acknowledgements and time-outs.

// The first round trip: choose the format, fix the ring position the
// positions count from, and tell the source when it is its first sender.
static void senderStart(PlaySender *sender, uint32_t rtt) {
  PlaySource *source = sender->endpoint;
  sender->lastRtt = sender->smoothedRtt = FIRST_RTT_FACTOR * rtt;
  senderSelectInitial(sender);
  sender->base = source->produced - sender->consumed;
  sender->started = 1;
  source->startedCount += 1;
  if (source->startedCount == 1) source->activity(source, 1);
}

static void senderMeasure(PlaySender *sender, const SentPacket *packet) {
  uint32_t rtt = tickNow() - packet->tick;
  if (rtt == 0) rtt = 1;
  if (!sender->started) {
    senderStart(sender, rtt);
  } else {
    sender->lastRtt = rtt;
    sender->smoothedRtt = uint32_t((63ull * sender->smoothedRtt + rtt) / 64);
  }
  // The product is held in 64 bits and limited to 32.
  uint64_t timeout = uint64_t(TIMEOUT_RTT_FACTOR) * sender->smoothedRtt;
  if (timeout < TIMEOUT_FLOOR_MS) timeout = TIMEOUT_FLOOR_MS;
  if (timeout > 0xFFFFFFFFu) timeout = 0xFFFFFFFFu;
  sender->timeout = uint32_t(timeout);
}

// Takes the plausible part of an acknowledgement's positions: nothing the
// server reports can lie beyond what was sent. A server whose playout clock
// runs on through an underrun reports a played position past the end of
// the audio; it has played all of it. Positions are compared by signed
// difference, so they wrap with the stream after 2^32 frames.
static void ackClamp(const PlaySender *sender, StreamAck *ack) {
  if (int32_t(ack->receivedEnd - sender->sent) > 0) ack->receivedEnd = sender->sent;
  if (int32_t(ack->consumed - sender->sent) > 0) ack->consumed = sender->sent;
}

void senderTakeAck(PlaySender *sender, const uint8_t *datagram, int length,
                   const sockaddr_in *from) {
  assert(drvLockHeld());
  StreamAck ack;
  // Any port of the server's host: a server may answer every stream from
  // one socket of its own.
  if (from->sin_family != AF_INET || from->sin_addr.s_addr != sender->server.sin_addr.s_addr) {
    return;
  }
  if (!ackLoad(datagram, length, &ack)) return;
  ackClamp(sender, &ack);
  // Oldest first: an acknowledgement at a packet boundary matches the
  // packet that ends there.
  uint32_t first = sender->sentCount - sender->inFlight;
  uint32_t matched = 0;
  bool found = false;
  for (uint32_t n = first; n != sender->sentCount && !found; n++) {
    const SentPacket *p = sentEntry(sender, n);
    if (ack.lastStart - p->start <= p->duration) {
      matched = n;
      found = true;
    }
  }
  // A reordered acknowledgement reports older positions: they never go back.
  DWORD now = tickNow();
  if (int32_t(ack.receivedEnd - sender->ackedEnd) > 0) sender->ackedEnd = ack.receivedEnd;
  if (int32_t(ack.consumed - sender->ackedPlayed) > 0) {
    sender->ackedPlayed = ack.consumed;
    sender->movedAt = now;
  }
  if (found) {
    // An empty packet of a started stream (senderAsk) is no full-size
    // datagram: its round trip would understate the path's.
    const SentPacket *p = sentEntry(sender, matched);
    bool sample = ack.unsolicited == 0 && (p->duration != 0 || !sender->started);
    if (sample) senderMeasure(sender, p);
    sender->inFlight = sender->sentCount - matched - 1;
  }
  sender->quietSince = now;  // the server is there; senderRun decides whether it owes more
  workQueue(&sender->work);
}

int senderOnAck(void *user) {
  PlaySender *sender = static_cast<PlaySender *>(user);
  uint8_t datagram[PACKET_MAX_DATAGRAM];
  sockaddr_in from;
  int got = receiveFrom(sender->watcher.socket, datagram, &from);
  if (got > 0) senderTakeAck(sender, datagram, got, &from);
  return 0;
}

// Whether the sender has waited STREAM_STALL_MS for the server, without an
// answer or without its positions moving, and its source gave it up. A
// source that keeps it has the waits start afresh.
static bool senderStalled(PlaySender *sender, DWORD now) {
  if (!sender->awaiting || sender->paused) return false;
  bool silent = now - sender->quietSince >= STREAM_STALL_MS;
  if (!silent && now - sender->movedAt < STREAM_STALL_MS) return false;
  PlaySource *source = sender->endpoint;
  if (source->stalled && source->stalled(source, silent ? 1 : 0)) return true;
  sender->quietSince = sender->movedAt = now;
  return false;
}

void senderOnTimeout(void *user) {
  PlaySender *sender = static_cast<PlaySender *>(user);
  assert(drvLockHeld());
  DWORD now = tickNow();
  for (uint32_t newer = 0; newer < sender->inFlight; newer++) {
    const SentPacket *p = sentEntry(sender, sender->sentCount - 1 - newer);
    if (int32_t(now - sender->timeout - p->tick) >= 0) {
      sender->inFlight = newer;  // this one and every older one are written off
      break;
    }
  }
  // Given up: the endpoint's teardown ends this sender on a later turn.
  if (senderStalled(sender, now)) return;
  workQueue(&sender->work);
}

// ---- Play sender: window and format choice.

void senderWindow(PlaySender *sender, uint32_t rtt) {
  const WireFormat *row = sender->format;
  uint64_t a = sender->endpoint->ring->rate;
  // 64-bit products: a ring rate times 1384 fits, and so does times rtt.
  uint64_t maxFrames = a * PACKET_MAX_BYTES / row->bytesPerSecond;
  uint64_t minFrames = a * PACKET_MIN_BYTES / row->bytesPerSecond;
  uint64_t unitFrames = (row->samplesPerUnit + PACKET_UNIT_SLACK) * a / row->rate;
  uint64_t h = maxFrames * rtt / row->rttLimit;
  if (h < sender->leadMin / 4) h = sender->leadMin / 4;
  if (h > maxFrames) h = maxFrames;
  if (h < minFrames) h = minFrames;
  if (h < unitFrames) h = unitFrames;
  sender->packetFrames = uint32_t(h);
  uint64_t lead = 4 * h;
  if (lead > sender->leadMax) lead = sender->leadMax;
  if (lead < sender->leadMin) lead = sender->leadMin;
  sender->leadTarget = uint32_t(lead);
}

void senderSwitch(PlaySender *sender, const WireFormat *row, uint32_t rtt) {
  const SampleRing *ring = sender->endpoint->ring;
  sender->format = row;
  senderWindow(sender, rtt);
  rsSetup(&sender->resampler, ring->rate, ring->rate, row->rate, ring->channels);
}

static int senderEligible(const PlaySender *sender, const WireFormat *row) {
  return formatEligible(row, sender->endpoint->ring, sender->rateLimit);
}

// A round trip measured on the current row scaled to another: a row with
// more bytes per second needs proportionally longer for the same packets.
static uint32_t scaledRtt(const WireFormat *row, uint32_t rtt, const WireFormat *current) {
  return uint32_t(uint64_t(row->bytesPerSecond) * rtt / current->bytesPerSecond);
}

void senderSelectInitial(PlaySender *sender) {
  uint32_t r = 1;
  if (sender->adaptive && sender->lastRtt != 0) r = sender->lastRtt;
  const WireFormat *chosen = &wireFormats[0];
  for (int i = WIRE_FORMAT_COUNT - 1; i >= 1; i--) {
    if (senderEligible(sender, &wireFormats[i]) && formatPassesRtt(&wireFormats[i], r)) {
      chosen = &wireFormats[i];
      break;
    }
  }
  senderSwitch(sender, chosen, r);
  sender->stepUpAt = sender->sent + 8 * sender->leadTarget;
  sender->stepDownAt = sender->sent + 2 * sender->leadTarget;
}

int senderStepDown(PlaySender *sender) {
  const WireFormat *current = sender->format;
  if (current->rttLimit >= sender->lastRtt || current == wireFormats) return 0;
  const WireFormat *chosen = nullptr;
  uint32_t chosenRtt = 0;
  const WireFormat *row = current - 1;
  while (row > wireFormats && row->bytesPerSecond == current->bytesPerSecond) row--;
  for (; row > wireFormats; row--) {
    uint32_t t = scaledRtt(row, sender->lastRtt, current);
    if (t >= row->rttLimit) continue;
    if (!senderEligible(sender, row)) break;
    chosen = row;
    chosenRtt = t;
  }
  if (!chosen) return 0;
  senderSwitch(sender, chosen, chosenRtt);
  sender->smoothedRtt = uint32_t((uint64_t(sender->smoothedRtt) + chosenRtt) / 2);
  sender->stepUpAt = sender->stepDownAt = sender->sent + 8 * sender->leadTarget;
  return 1;
}

int senderStepUp(PlaySender *sender) {
  const WireFormat *current = sender->format;
  const WireFormat *chosen = nullptr;
  uint32_t chosenRtt = 0;
  const WireFormat *row = current + 1;
  while (row->kind != 0 && row->bytesPerSecond == current->bytesPerSecond) row++;
  for (; row->kind != 0; row++) {
    if (!senderEligible(sender, row)) continue;
    uint32_t t = scaledRtt(row, sender->smoothedRtt, current);
    if (t >= row->rttLimit) break;
    chosen = row;
    chosenRtt = t;
  }
  if (!chosen) return 0;
  senderSwitch(sender, chosen, chosenRtt);
  sender->smoothedRtt = uint32_t((uint64_t(chosenRtt) + sender->smoothedRtt) / 2);
  sender->stepUpAt = sender->sent + 8 * sender->leadTarget;
  sender->stepDownAt = sender->sent + 3 * sender->leadTarget;
  return 1;
}

// ---- Capture receiver.

void receiverAck(CaptureReceiver *receiver, uint16_t unsolicited) {
  receiver->creditedPos += receiver->pendingCredit;
  receiver->pendingCredit = 0;
  StreamAck ack = {receiver->creditedPos, receiver->receivedEnd, receiver->lastStart,
                   receiver->lastDuration, unsolicited};
  uint8_t bytes[ACK_BYTES];
  ackStore(bytes, &ack);
  sendto(receiver->watcher.socket, reinterpret_cast<const char *>(bytes), sizeof bytes, 0,
         reinterpret_cast<const sockaddr *>(&receiver->source), sizeof receiver->source);
}

// Places a data packet on the ring: a gap since the previous packet is
// filled by repeating the last frame, then the payload is decoded at
// writePos. A timebase of 0 decodes nothing. At synchronisation the
// converter's output is placed at the packet's start, so that the first
// packet lands at the reader's position whatever the server's positions
// start from (a converter still at 0 would take the whole distance to the
// first start for a gap to fill).
static void receiverPlace(CaptureReceiver *receiver, const PacketHeader *header,
                          const uint8_t *payload, uint32_t length, bool first) {
  RecordSink *sink = receiver->endpoint;
  SampleRing *ring = sink->ring;
  if (receiver->timebaseRate == 0) return;
  receiver->writePos +=
      rsPlacePacket(&receiver->resampler, receiver->timebaseRate, wireRates[header->rateIndex],
                    ring, header->start, first, receiver->writePos, sink->readPos);
  AudioPayload packet = {header->wireFrames, header->stereo, payload, length};
  uint32_t made = 0;
  switch (header->kind) {
    case WIRE_COMPANDED:
      made =
          decodeCompanded(&packet, receiver->writePos, ring, sink->readPos, &receiver->resampler);
      break;
    case WIRE_LINEAR16:
      made = decodeLinear16(&packet, receiver->writePos, ring, sink->readPos, &receiver->resampler);
      break;
    case WIRE_GSM:
      made = decodeGsm(&packet, receiver->writePos, ring, sink->readPos, &receiver->resampler,
                       &receiver->coder);
      break;
    default:
      break;
  }
  receiver->writePos += made;
}

// Whether a data packet of a synchronised receiver starts more than a
// ring's length (in timebase frames) from the highest end seen, either
// way, `jump` frames after it. A server sends no further ahead than its
// credit, which never exceeds the ring; a start beyond that is the server's
// clock having run on through a stall of its own (a busy terminal, a
// capture device held up), or a stray packet. Either way the stream is
// followed from there: filling the distance would hand the application a
// flood of filler, and waiting for positions that never come would stop
// the recording for good.
static bool receiverBeyondReach(const CaptureReceiver *receiver, int32_t jump) {
  const SampleRing *ring = receiver->endpoint->ring;
  if (receiver->timebaseRate == 0) return false;  // places nothing anyway
  int64_t reach =
      int64_t(uint64_t(ring->frames) * receiver->timebaseRate / (ring->rate ? ring->rate : 1));
  return jump > reach || -int64_t(jump) > reach;
}

// The first data packet sets where the positions run. Once synchronised, a
// packet within reach moves the highest end on by signed difference (so it
// wraps with the stream), and one beyond reach moves the stream there: its
// audio follows what was placed last, with no gap, and the credit moves by
// the same distance, so that the server sees as much outstanding as before.
// Returns whether the receiver (re)synchronised on this packet.
static bool receiverFollow(CaptureReceiver *receiver, const PacketHeader *header) {
  RecordSink *sink = receiver->endpoint;
  uint32_t end = header->start + header->duration;
  if (!receiver->synced) {
    receiver->writePos = receiver->creditedRead = sink->readPos;
    receiver->receivedEnd = end;
    receiver->creditedPos = end;
    receiver->pendingCredit = 0;
    receiver->creditRemainder = 0;
    receiver->synced = 1;
    return true;
  }
  int32_t jump = int32_t(header->start - receiver->receivedEnd);
  if (receiverBeyondReach(receiver, jump)) {
    receiver->creditedPos += uint32_t(jump);
    receiver->receivedEnd = end;
    return true;
  }
  if (int32_t(end - receiver->receivedEnd) > 0) receiver->receivedEnd = end;
  return false;
}

void receiverTakeDatagram(CaptureReceiver *receiver, const uint8_t *datagram, int length,
                          const sockaddr_in *from) {
  assert(drvLockHeld());
  RecordSink *sink = receiver->endpoint;
  if (from->sin_family != AF_INET || from->sin_addr.s_addr != receiver->serverAddress.s_addr) {
    return;
  }
  if (length < int(PACKET_HEADER_BYTES) || length > int(PACKET_MAX_DATAGRAM)) return;
  PacketHeader header;
  packetLoadHeader(datagram, &header);
  uint32_t payload = uint32_t(length) - PACKET_HEADER_BYTES;
  // Every packet is answered, so that the server's pacing goes on; only
  // audio the receiver can decode is placed and moves the positions. A
  // probe carries no audio: once synchronised its positions move nothing.
  bool data = header.kind != WIRE_PROBE && packetDecodable(&header, payload);
  receiver->heardAt = tickNow();
  receiver->source = *from;
  receiver->lastStart = header.start;
  receiver->lastDuration = header.duration;
  bool wasSynced = receiver->synced != 0;
  bool placeFirst = false;
  if (data) {
    placeFirst = receiverFollow(receiver, &header);
    receiverPlace(receiver, &header, datagram + PACKET_HEADER_BYTES, payload, placeFirst);
  } else if (header.kind == WIRE_PROBE && !wasSynced) {
    uint32_t end = header.start + header.duration;
    if (int32_t(end - receiver->receivedEnd) > 0) receiver->receivedEnd = end;
  }
  receiverAck(receiver, 0);
  if (!wasSynced && receiver->synced) sinkReceiverStarted(sink);
  sink->dataReady(sink);
}

int receiverOnDatagram(void *user) {
  CaptureReceiver *receiver = static_cast<CaptureReceiver *>(user);
  uint8_t datagram[PACKET_MAX_DATAGRAM];
  sockaddr_in from;
  int got = receiveFrom(receiver->watcher.socket, datagram, &from);
  if (got > 0) receiverTakeDatagram(receiver, datagram, got, &from);
  return 0;
}

void receiverCredit(RecordSink *sink) {
  assert(drvLockHeld());
  const uint32_t ringRate = sink->ring->rate ? sink->ring->rate : 1;
  for (CaptureReceiver *r = sink->receivers; r; r = r->next) {
    if (!r->synced) continue;
    int32_t read = int32_t(sink->readPos - r->creditedRead);
    if (read < 0) continue;
    // A read of at most a ring (65536 frames) times 48000 Hz fits in 64 bits.
    uint64_t a = uint64_t(uint32_t(read)) * r->timebaseRate + r->creditRemainder;
    r->pendingCredit += uint32_t(a / ringRate);
    r->creditRemainder = uint32_t(a % ringRate);
    r->creditedRead = sink->readPos;
    if (r->pendingCredit >= r->lastDuration) receiverAck(r, 1);
  }
}

void receiverOnQuiet(void *user) {
  CaptureReceiver *receiver = static_cast<CaptureReceiver *>(user);
  assert(drvLockHeld());
  DWORD now = tickNow();
  // The server may be waiting for credit whose last report was lost: it is
  // repeated, and says nothing the server has not heard. The recording
  // itself waits for the server as long as the stream is granted.
  if (now - receiver->heardAt >= RECEIVER_REPEAT_MS) {
    if (receiver->synced) receiverAck(receiver, 1);
    receiver->heardAt = now;
  }
  timerSchedule(&receiver->watchdog, receiver->heardAt + RECEIVER_REPEAT_MS);
}

void receiverStop(CaptureReceiver *receiver) {
  assert(drvLockHeld());
  if (!receiver->synced) return;
  receiver->synced = 0;
  sinkReceiverStopped(receiver->endpoint, receiver->writePos);
}
