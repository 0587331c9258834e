// Stream slots, and the creation, pause and close of the play senders and
// capture receivers they are bound to.
#include <cassert>
#include <cstring>

#include "net/lock.h"
#include "stream/endpoint.h"
#include "stream/stream.h"

// Ids of the process's slots; the first is 1. Guarded by drvLock.
static uint32_t slotLastId;

StreamSlot *slotCreate(void) {
  assert(drvLockHeld());
  SOCKET s = lvSocket(SOCK_DGRAM);
  if (s == INVALID_SOCKET) return nullptr;
  unsigned long nonBlocking = 1;
  ioctlsocket(s, FIONBIO, &nonBlocking);  // the result is not needed: recv copes either way
  uint32_t port = SLOT_PORT_BASE;
  for (; port < SLOT_PORT_END; port++) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(uint16_t(port));
    if (bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) break;
  }
  if (port == SLOT_PORT_END) {
    closesocket(s);
    return nullptr;
  }
  StreamSlot *slot = static_cast<StreamSlot *>(memAllocZero(sizeof(StreamSlot)));
  if (!slot) {
    closesocket(s);
    return nullptr;
  }
  slot->id = ++slotLastId;
  slot->kind = SLOT_BARE;
  slot->localPort = uint16_t(port);
  slot->socket = s;
  return slot;
}

void slotBindPlay(StreamSlot *slot, PlaySource *owner, uint32_t serverAddress, uint16_t serverPort,
                  uint32_t minLead, uint32_t maxLead, uint8_t adaptive, uint32_t serverRate) {
  slot->kind = SLOT_PLAY;
  slot->sender = playSenderCreate(owner, slot->socket, serverAddress, serverPort, minLead, maxLead,
                                  adaptive, serverRate);
}

void slotBindCapture(StreamSlot *slot, RecordSink *owner, uint32_t serverAddress,
                     uint32_t timebaseRate) {
  slot->kind = SLOT_CAPTURE;
  slot->receiver = captureReceiverCreate(owner, slot->socket, serverAddress, timebaseRate);
}

void slotClose(StreamSlot *slot) {
  assert(drvLockHeld());
  if (slot->sender) {
    playSenderClose(slot->sender);
  } else if (slot->receiver) {
    captureReceiverClose(slot->receiver);
  } else {
    // A bare slot, or a bound one whose stream could not be made: the
    // socket is still the slot's.
    closesocket(slot->socket);
  }
  LocalFree(slot);
}

PlaySender *playSenderCreate(PlaySource *owner, SOCKET socket, uint32_t serverAddress,
                             uint16_t serverPort, uint32_t minLead, uint32_t maxLead,
                             uint8_t adaptive, uint32_t serverRate) {
  assert(drvLockHeld());
  PlaySender *sender = static_cast<PlaySender *>(memAllocZero(sizeof(PlaySender)));
  if (!sender) return nullptr;
  watcherInit(&sender->watcher, socket, senderOnAck, sender, SENDER_ACK_PRIORITY);
  timerInit(&sender->timer, senderOnTimeout, sender, SENDER_TIMER_PRIORITY);
  workInit(&sender->work, senderRun, sender, SENDER_SEND_PRIORITY);
  sender->server.sin_family = AF_INET;
  sender->server.sin_addr.s_addr = htonl(serverAddress);
  sender->server.sin_port = htons(serverPort);
  // The server's leads are bounded by the ring: a larger one would have the
  // pump fill over audio not yet sent. The minimum never exceeds the
  // maximum, whatever the server said.
  sender->leadMax = maxLead < SENDER_LEAD_CEILING ? maxLead : SENDER_LEAD_CEILING;
  if (sender->leadMax < SENDER_LEAD_FLOOR) sender->leadMax = SENDER_LEAD_FLOOR;
  sender->leadMin = minLead > SENDER_LEAD_FLOOR ? minLead : SENDER_LEAD_FLOOR;
  if (sender->leadMin > sender->leadMax) sender->leadMin = sender->leadMax;
  sender->leadTarget = sender->leadMin;
  sender->rateLimit = serverRate > SENDER_RATE_FLOOR ? serverRate : SENDER_RATE_FLOOR;
  sender->adaptive = adaptive;
  sender->timeout = SENDER_FIRST_TIMEOUT_MS;
  sender->endpoint = owner;
  sender->next = owner->senders;
  owner->senders = sender;
  senderSwitch(sender, &wireFormats[0], SENDER_FIRST_RTT);
  uint32_t first = senderFirstPosition;
  sender->sent = sender->consumed = sender->ackedEnd = sender->ackedPlayed = first;
  sender->resampler.inTime = sender->resampler.outTime = uint64_t(first) << 32;
  loopAddReader(&sender->watcher);
  workQueue(&sender->work);
  return sender;
}

void playSenderClose(PlaySender *sender) {
  assert(drvLockHeld());
  PlaySource *source = sender->endpoint;
  for (PlaySender **link = &source->senders; *link; link = &(*link)->next) {
    if (*link == sender) {
      *link = sender->next;
      break;
    }
  }
  if (sender->started) sourceSenderStopped(source);
  loopRemoveReader(&sender->watcher);
  workDequeue(&sender->work);
  timerCancel(&sender->timer);
  closesocket(sender->watcher.socket);
  gsmCoderFree(&sender->coder);
  LocalFree(sender);
}

void playSenderSetPaused(PlaySender *sender, uint32_t paused) {
  assert(drvLockHeld());
  if (sender->paused == paused) return;
  sender->paused = paused;
  if (!paused) {
    sender->awaiting = 0;  // the quiet time counts from the next wait, not through the pause
    // The server dropped what it had queued while paused; count from what
    // was sent so that the lead fills again at once.
    sender->ackedEnd = sender->sent;
    sender->ackedPlayed = sender->sent;
    workQueue(&sender->work);
  }
}

void playSenderDiscard(PlaySender *sender) {
  assert(drvLockHeld());
  if (!sender->started) return;  // the start takes base from produced
  PlaySource *source = sender->endpoint;
  uint32_t from = sender->base + sender->consumed;
  int32_t skip = int32_t(source->produced - from);
  if (skip <= 0) return;
  // The source never runs more than a ring ahead of what was taken.
  uint32_t left = uint32_t(skip) < source->ring->frames ? uint32_t(skip) : source->ring->frames;
  for (uint32_t at = from; left > 0;) {
    uint32_t span;
    ringSpan(source->ring, at, &span);
    if (span > left) span = left;
    ringClear(source->ring, at, span);
    at += span;
    left -= span;
  }
  // The wire positions run on unbroken, so the server sees no gap; the
  // ring positions jump, and what the converter still held is forgotten.
  sender->base += uint32_t(skip);
  rsClearHistory(&sender->resampler);
}

CaptureReceiver *captureReceiverCreate(RecordSink *owner, SOCKET socket, uint32_t serverAddress,
                                       uint32_t timebaseRate) {
  assert(drvLockHeld());
  CaptureReceiver *receiver = static_cast<CaptureReceiver *>(memAllocZero(sizeof(CaptureReceiver)));
  if (!receiver) return nullptr;
  watcherInit(&receiver->watcher, socket, receiverOnDatagram, receiver, RECEIVER_PRIORITY);
  receiver->endpoint = owner;
  receiver->timebaseRate = timebaseRate <= RECEIVER_TIMEBASE_MAX ? timebaseRate : 0;
  receiver->serverAddress.s_addr = htonl(serverAddress);
  receiver->next = owner->receivers;
  owner->receivers = receiver;
  loopAddReader(&receiver->watcher);
  timerInit(&receiver->watchdog, receiverOnQuiet, receiver, RECEIVER_WATCHDOG_PRIORITY);
  receiver->heardAt = tickNow();
  timerSchedule(&receiver->watchdog, receiver->heardAt + RECEIVER_REPEAT_MS);
  return receiver;
}

void captureReceiverClose(CaptureReceiver *receiver) {
  assert(drvLockHeld());
  RecordSink *sink = receiver->endpoint;
  for (CaptureReceiver **link = &sink->receivers; *link; link = &(*link)->next) {
    if (*link == receiver) {
      *link = receiver->next;
      break;
    }
  }
  receiverStop(receiver);
  timerCancel(&receiver->watchdog);
  loopRemoveReader(&receiver->watcher);
  closesocket(receiver->watcher.socket);
  gsmCoderFree(&receiver->coder);
  LocalFree(receiver);
}

// Reads one datagram into buffer (PACKET_MAX_DATAGRAM bytes) and its
// sender into *from; returns its length, or -1 when there was none.
int streamReceive(SOCKET s, uint8_t *buffer, sockaddr_in *from) {
  std::memset(from, 0, sizeof *from);
  socklen_t length = sizeof *from;
  int got = recvfrom(s, reinterpret_cast<char *>(buffer), int(PACKET_MAX_DATAGRAM), 0,
                     reinterpret_cast<sockaddr *>(from), &length);
  return got > 0 ? got : -1;
}
