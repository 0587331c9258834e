// Instance creation, the streams of an instance, server discovery and the
// header queue.
#include "driver/instance.h"

#include <cassert>
#include <cstring>

#include "devices/discovery.h"
#include "driver/entry.h"
#include "net/loop.h"

const WaveStreamOps *waveOutputOps;
const WaveStreamOps *waveInputOps;

// The highest display number whose port still fits 16 bits.
static constexpr DWORD DISPLAY_MAX = 0xFFFF - AUDIO_PORT_BASE;

int instanceFormatUsable(const WAVEFORMAT *format) {
  WORD bits = reinterpret_cast<const PCMWAVEFORMAT *>(format)->wBitsPerSample;
  WORD channels = format->nChannels;
  if (channels != 1 && channels != 2) return 0;
  if (bits != 8 && bits != 16) return 0;
  if (format->nBlockAlign != channels * (bits / 8)) return 0;
  return format->nSamplesPerSec >= WAVE_RATE_MIN && format->nSamplesPerSec <= WAVE_RATE_MAX;
}

MMRESULT instanceCreate(DWORD deviceId, const WAVEOPENDESC *description, DWORD openFlags,
                        DWORD direction, WaveInstance **out) {
  assert(drvLockHeld());
  // A fixed block without zero fill: every field is set below.
  WaveInstance *instance = static_cast<WaveInstance *>(LocalAlloc(LMEM_FIXED, sizeof *instance));
  if (!instance) {
    *out = nullptr;
    return MMSYSERR_NOMEM;
  }
  instance->queueHead = nullptr;
  instance->queueTail = &instance->queueHead;
  instance->streams = nullptr;
  instance->paused = 0;
  instance->closing = 0;
  instance->drainEvent = nullptr;
  instance->framesWritten = 0;
  instance->direction = direction;
  instance->deviceId = deviceId;
  instance->callback = description->dwCallback;
  instance->callbackInstance = description->dwInstance;
  instance->openFlags = openFlags;
  instance->waveHandle = description->hWave;
  std::memcpy(&instance->format, description->lpFormat, sizeof instance->format);
  instance->completing = 0;
  if (!discoverServer(streamAdd, instance)) {
    LocalFree(instance);
    *out = nullptr;
    return MMSYSERR_NODRIVER;
  }
  *out = instance;
  return MMSYSERR_NOERROR;
}

void instanceFree(WaveInstance *instance) {
  assert(drvLockHeld());
  assert(!instance->streams && instance->completing == 0);
  LocalFree(instance);
}

int discoverServer(ServerVisitor visitor, void *context) {
  DWORD address = 0;
  DWORD display = 0;
  LONG session = QuerySessionNumber(0);
  if (LookupDisplayAddress(session, &address, &display) < 0) return 0;
  // Written by another component: a display number whose port would not
  // fit 16 bits names no server the driver could reach.
  if (display > DISPLAY_MAX) return 0;
  return visitor(context, address, AUDIO_PORT_BASE + display);
}

int streamAdd(void *context, DWORD address, DWORD port) {
  WaveInstance *instance = static_cast<WaveInstance *>(context);
  assert(drvLockHeld());
  for (WaveStream *s = instance->streams; s; s = s->next) {
    if (s->address == address && s->port == port) return 1;
  }
  const WaveStreamOps *ops = instance->direction == WAVE_OUTPUT ? waveOutputOps : waveInputOps;
  if (!ops) return 0;
  WaveStream *stream = static_cast<WaveStream *>(memAllocZero(sizeof *stream));
  if (!stream) return 0;
  stream->current = instance->queueHead;
  stream->address = address;
  stream->port = port;
  if (instance->direction == WAVE_OUTPUT) {
    stream->outputOps = ops;
  } else {
    stream->inputOps = ops;
  }
  if (!ops->open(instance, stream)) {
    LocalFree(stream);
    return 0;
  }
  // The open may have released drvLock: find the end afresh.
  WaveStream **link = &instance->streams;
  while (*link) link = &(*link)->next;
  *link = stream;
  return 1;
}

void hdrQueueAppend(WaveInstance *instance, WAVEHDR *header) {
  assert(drvLockHeld());
  *instance->queueTail = header;
  header->lpNext = nullptr;
  instance->queueTail = &header->lpNext;
}

void hdrQueueRemove(WaveInstance *instance, WAVEHDR *header) {
  assert(drvLockHeld());
  for (WAVEHDR **link = &instance->queueHead; *link; link = &(*link)->lpNext) {
    if (*link == header) {
      *link = header->lpNext;
      if (!*link) instance->queueTail = link;
      return;
    }
  }
}

int hdrQueueIsBefore(WaveInstance *instance, WAVEHDR *a, WAVEHDR *b) {
  assert(drvLockHeld());
  if (a == b) return 0;
  for (WAVEHDR *h = instance->queueHead; h; h = h->lpNext) {
    if (h == a) return 1;
    if (h == b) return 0;
  }
  return 0;
}

WAVEHDR *hdrQueuePredecessor(WaveInstance *instance, WAVEHDR *header) {
  assert(drvLockHeld());
  if (!header) return nullptr;  // the newest header's lpNext is null too
  for (WAVEHDR *h = instance->queueHead; h; h = h->lpNext) {
    if (h->lpNext == header) return h;
  }
  return nullptr;
}
