// The play sender.
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
// The sender, like the receiver, takes datagrams only from the audio server's IPv4 address
// (the control connection's peer), from any of its ports: a server may
// answer from a socket of its own. Another host can neither steer the
// pacing with forged acknowledgements nor inject audio or redirect the
// receiver's acknowledgements. Within that, a datagram is judged by its
// content and the plausible part of it is taken: a played position beyond
// what was sent counts as what was sent, and a recording that jumps is
// followed. The receiver answers every packet but places only audio it can
// decode: slot ports are reused, so a late acknowledgement for a closed
// playback stream may reach a recording slot, and must not synchronise it.
#include <cassert>
#include <cstring>

#include "net/lock.h"
#include "stream/endpoint.h"
#include "stream/stream.h"

// Coded bytes of the largest packet and of the smallest worth sending.
// 1384 leaves room below the 1400-byte payload for a coding unit that the
// resampler's rounding may add.
static constexpr uint32_t PACKET_CODED_MAX = 1384;
static constexpr uint32_t PACKET_CODED_MIN = 200;
// Samples added to one coding unit for the smallest packet.
static constexpr uint32_t PACKET_UNIT_SLACK = 8;
// The first round trip counts four times: it is one sample, taken with an
// idle path, and the smoothed value starts high rather than low.
static constexpr uint32_t FIRST_RTT_FACTOR = 4;
// Retransmit timeout: ten smoothed round trips, at least a second, ms.
static constexpr uint32_t TIMEOUT_RTT_FACTOR = 10;
static constexpr uint32_t TIMEOUT_FLOOR_MS = 1000;
// A full queue waits for the server's progress reports, which it sends only
// as far as datagrams have paid for them; when none has come for two of the
// last round trips (at least 100 ms, at most the retransmit timeout), an
// empty packet asks for the positions. Waiting out the whole retransmit
// timeout instead (16 s at first on a 400 ms path, as the first round trip
// counts four times) held the played position still for seconds while the
// server played on.
static constexpr uint32_t ASK_RTT_FACTOR = 2;
static constexpr uint32_t ASK_FLOOR_MS = 100;

// The lead follows this sender's own lateness: one that runs out twice
// within LEAD_PAIR_MS, past the stream's first LEAD_SETTLE_MS (a start
// runs dry by nature), rises by LEAD_STEP_MS, up to LEAD_EXTRA_MAX_MS above
// the server's minimum, and each LEAD_QUIET_MS without a run-out takes a
// step back. A single late turn leaves it: an idle machine keeps its
// latency, and a busy one stops running the server dry.
static constexpr DWORD LEAD_SETTLE_MS = 1000;
static constexpr DWORD LEAD_PAIR_MS = 3000;
static constexpr DWORD LEAD_QUIET_MS = 30000;
static constexpr uint32_t LEAD_STEP_MS = 5;
static constexpr uint32_t LEAD_EXTRA_MAX_MS = 40;

static uint32_t senderAskAfter(const PlaySender *sender) {
  uint64_t after = uint64_t(ASK_RTT_FACTOR) * sender->lastRtt;
  if (after < ASK_FLOOR_MS) after = ASK_FLOOR_MS;
  return after < sender->timeout ? uint32_t(after) : sender->timeout;
}

uint32_t senderFirstPosition = 0;

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

static uint32_t leadStep(const PlaySender *sender) {
  return sender->endpoint->ring->rate * LEAD_STEP_MS / 1000;
}

// The server had played all it had while audio waited here.
static void senderLeadRanOut(PlaySender *sender) {
  sender->leadRanOut += 1;
  DWORD now = tickNow();
  if (now - sender->startedAt < LEAD_SETTLE_MS) return;
  uint32_t most = leadStep(sender) * (LEAD_EXTRA_MAX_MS / LEAD_STEP_MS);
  if (now - sender->ranOutAt < LEAD_PAIR_MS && sender->leadExtra < most)
    sender->leadExtra += leadStep(sender);
  sender->ranOutAt = sender->leadQuietFrom = now;
}

static void senderLeadQuiet(PlaySender *sender) {
  if (sender->leadExtra == 0) return;
  DWORD now = tickNow();
  if (now - sender->leadQuietFrom < LEAD_QUIET_MS) return;
  uint32_t step = leadStep(sender);
  sender->leadExtra = sender->leadExtra > step ? sender->leadExtra - step : 0;
  sender->leadQuietFrom = now;
}

int senderSend(PlaySender *sender) {
  if (sender->inFlight >= SENDER_MAX_IN_FLIGHT) return 0;
  PlaySource *source = sender->endpoint;
  uint32_t target = rsLookahead(&sender->resampler, sender->sent + sender->packetFrames);
  uint32_t want = target - sender->consumed;
  if (int32_t(source->produced - sender->base - sender->consumed - want) < 0) {
    // What the ring holds goes, even when the application has nothing more
    // to add: the pump may have filled it ahead, and the last of a sound
    // would otherwise wait for audio that never comes.
    source->events->fill(source, sender->base + sender->consumed, want);
    int32_t available = int32_t(source->produced - sender->base - sender->consumed);
    if (available <= 0) {
      sender->serverDry = 0;  // nothing here: a server that ran dry waited for the application
      sender->drained = 1;
      return 0;
    }
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
  if (sender->sent == s) {
    sender->serverDry = 0;  // all of it held back for a window to come
    sender->drained = 1;
    return 0;
  }
  sender->drained = 0;
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
  // The server had played all it had while this audio waited here: the
  // lead ran out (this thread came late, or the sound system took a burst).
  if (sender->serverDry) {
    sender->serverDry = 0;
    senderLeadRanOut(sender);
  }
  return sender->inFlight < SENDER_MAX_IN_FLIGHT;
}

// Keeps the quiet time: the sender waits for the server while packets are
// in flight or while the server reports its queue full; otherwise it waits
// for the application and the server owes it nothing. A full queue with
// nothing in flight is answered only by the server's progress reports, as
// many as its datagrams paid for; when senderAskAfter passes without one
// (the credit is spent, they were lost, or they fell into an outage), an
// empty packet asks for the positions again: the server answers every
// datagram. The timer also runs out when
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
  DWORD askAfter = senderAskAfter(sender);
  if (now - sender->quietSince >= askAfter) {
    senderAsk(sender);  // in flight now: its timer runs
    return;
  }
  DWORD due = sender->quietSince + askAfter;
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
  bool changed = positionDiff(sender->ackedEnd, sender->stepDownAt) >= 0 && senderStepDown(sender);
  if (!changed)
    changed = positionDiff(sender->ackedEnd, sender->stepUpAt) >= 0 && senderStepUp(sender);
  senderLeadQuiet(sender);
  if (!changed) senderWindow(sender, sender->smoothedRtt);
  // Full: the server holds the lead, or one more packet would put audio
  // beyond its largest lead of what it has played (packets in flight
  // count), which it drops.
  bool queueFull = int32_t(sender->ackedEnd - sender->ackedPlayed) >= int32_t(sender->leadTarget) ||
                   (int32_t(sender->sent - sender->ackedPlayed) > 0 &&
                    int64_t(int32_t(sender->sent - sender->ackedPlayed)) + sender->packetFrames >
                        int64_t(sender->leadMax));
  if (!sender->paused && !queueFull) {
    if (senderSend(sender)) workQueue(&sender->work);
  }
  // All sent and the server still playing it: its progress reports are
  // paid for by our datagrams, and the last of a stream (a large buffering
  // at the server plays long after the last packet) may outlast them. The
  // sender waits for the played position as for a full queue, and asks.
  bool owed = sender->drained && positionAfter(sender->sent, sender->ackedPlayed);
  senderWatch(sender, queueFull || owed);
  PlaySource *source = sender->endpoint;
  source->events->progress(source, sender->base + sender->consumed);
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
  sender->startedAt = tickNow();
  sender->ranOutAt = sender->startedAt - LEAD_PAIR_MS;  // no run-out yet to pair with
  sourceSenderStarted(source);
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
  // The plausible part: nothing the server reports lies beyond what was sent.
  ackClampToSent(&ack, sender->sent);
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
  if (positionAfter(ack.receivedEnd, sender->ackedEnd)) sender->ackedEnd = ack.receivedEnd;
  if (positionAfter(ack.consumed, sender->ackedPlayed)) {
    sender->ackedPlayed = ack.consumed;
    sender->movedAt = now;
  }
  sender->serverDry = sender->started && !sender->paused && sender->ackedPlayed == sender->ackedEnd;
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
  int got = streamReceive(sender->watcher.socket, datagram, &from);
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
  if (source->events->stalled && source->events->stalled(source, silent ? 1 : 0)) return true;
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
  uint64_t maxFrames = a * PACKET_CODED_MAX / row->bytesPerSecond;
  uint64_t minFrames = a * PACKET_CODED_MIN / row->bytesPerSecond;
  uint64_t unitFrames = (row->samplesPerUnit + PACKET_UNIT_SLACK) * a / row->rate;
  uint64_t h = maxFrames * rtt / row->rttLimit;
  if (h < sender->leadMin / 4) h = sender->leadMin / 4;
  if (h > maxFrames) h = maxFrames;
  if (h < minFrames) h = minFrames;
  if (h < unitFrames) h = unitFrames;
  sender->packetFrames = uint32_t(h);
  uint64_t lead = 4 * h;
  if (lead < uint64_t(sender->leadMin) + sender->leadExtra)
    lead = sender->leadMin + sender->leadExtra;
  if (lead > sender->leadMax) lead = sender->leadMax;
  if (lead < sender->leadMin) lead = sender->leadMin;
  sender->leadTarget = uint32_t(lead);
}

void senderSwitch(PlaySender *sender, const WireFormat *row, uint32_t rtt) {
  const SampleRing *ring = sender->endpoint->ring;
  sender->format = row;
  senderWindow(sender, rtt);
  rsSetup(&sender->resampler, ring->rate, ring->rate, row->rate, ring->channels);
  // At the ring's own rate the wire frames are the ring's frames: the
  // output goes back to whole frames, so that the converter copies (its
  // lookahead first) instead of delaying every frame by the fraction the
  // last row had reached. The receiver places such a row the same way.
  if (row->rate == ring->rate) rsSetOutPos(&sender->resampler, rsOutPos(&sender->resampler));
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
