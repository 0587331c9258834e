// The play sender's window and format switch, and the capture receiver's
// stop.
//
// Pacing, acknowledgements, probes and format adaptation are not written
// yet. Until they are, the loop handlers below move no audio: they take a
// pending datagram off the socket (so that a readable socket cannot make the
// loop spin) and the send work item takes itself off the work list, so a
// sender and a receiver that the control protocol binds stay idle and
// harmless.
#include "audio/stream.h"

#include <cassert>

#include "devices/endpoint.h"
#include "driver/entry.h"

// Receive buffer of the handlers: one audio packet at most (12-byte header
// and 1400 payload bytes).
static constexpr int DATAGRAM_BYTES = 1412;

// Coded bytes of the largest packet and of the smallest worth sending.
static constexpr uint32_t PACKET_MAX_BYTES = 1384;
static constexpr uint32_t PACKET_MIN_BYTES = 200;
// Samples added to one coding unit for the smallest packet.
static constexpr uint32_t PACKET_UNIT_SLACK = 8;

static void discardDatagram(SOCKET s) {
  char buffer[DATAGRAM_BYTES];
  recv(s, buffer, sizeof buffer, 0);
}

int senderOnAck(void *user) {
  discardDatagram(static_cast<PlaySender *>(user)->watcher.socket);
  return 0;
}

void senderOnTimeout(void *user) { (void)user; }

void senderRun(void *user) { workDequeue(&static_cast<PlaySender *>(user)->work); }

int receiverOnDatagram(void *user) {
  discardDatagram(static_cast<CaptureReceiver *>(user)->watcher.socket);
  return 0;
}

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

void receiverStop(CaptureReceiver *receiver) {
  assert(drvLockHeld());
  if (!receiver->synced) return;
  receiver->synced = 0;
  sinkReceiverStopped(receiver->endpoint, receiver->writePos);
}
