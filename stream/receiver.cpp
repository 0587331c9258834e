// The capture receiver.
//
// It takes datagrams only from the audio server's IPv4 address (the control
// connection's peer), from any of its ports: a server may send from a
// socket of its own. Another host can neither inject audio nor redirect
// the receiver's acknowledgements. Within that, a datagram is judged by its
// content: a recording that jumps is followed, and every packet is
// answered, but only audio the receiver can decode is placed. Slot ports
// are reused, so a late acknowledgement for a closed playback stream may
// reach a recording slot, and must not synchronise it.
#include <cassert>
#include <cstring>

#include "net/lock.h"
#include "stream/endpoint.h"
#include "stream/stream.h"

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
  if (positionAfter(end, receiver->receivedEnd)) receiver->receivedEnd = end;
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
    if (positionAfter(end, receiver->receivedEnd)) receiver->receivedEnd = end;
  }
  receiverAck(receiver, 0);
  if (!wasSynced && receiver->synced) sinkReceiverStarted(sink);
  sink->events->dataReady(sink);
}

int receiverOnDatagram(void *user) {
  CaptureReceiver *receiver = static_cast<CaptureReceiver *>(user);
  uint8_t datagram[PACKET_MAX_DATAGRAM];
  sockaddr_in from;
  int got = streamReceive(receiver->watcher.socket, datagram, &from);
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
