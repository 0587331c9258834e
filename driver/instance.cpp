// Instance creation, the streams of an instance, server discovery and the
// header queue.
#include "driver/instance.h"

#include <cassert>
#include <cstring>

#include "devices/discovery.h"
#include "devices/operations.h"
#include "driver/entry.h"
#include "driver/wavein.h"
#include "driver/waveout.h"
#include "net/loop.h"

const WaveStreamOps *waveOutputOps = &outputStreamOps;
const WaveStreamOps *waveInputOps = &inputStreamOps;
WaveInstance *instancesLive;
DWORD instanceCount;

MMRESULT instanceCreate(DWORD deviceId, const WAVEOPENDESC *description, DWORD openFlags,
                        DWORD direction, WaveInstance **out) {
  assert(drvLockHeld());
  *out = nullptr;
  PcmSample sample;
  MMRESULT format = waveFormatCheck(description->lpFormat, &sample);
  if (format != MMSYSERR_NOERROR) return format;
  if (instanceCount >= WAVE_INSTANCES_MAX) return MMSYSERR_ALLOCATED;
  // A fixed block without zero fill: every field is set below.
  WaveInstance *instance = static_cast<WaveInstance *>(LocalAlloc(LMEM_FIXED, sizeof *instance));
  if (!instance) return MMSYSERR_NOMEM;
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
  instance->format.nAvgBytesPerSec = instance->format.nSamplesPerSec * instance->format.nBlockAlign;
  instance->sample = sample;
  instance->completing = 0;
  instance->closeStarted = 0;
  instance->nextLive = nullptr;
  instance->events = direction == WAVE_OUTPUT ? &waveOutputEvents : &waveInputEvents;
  // Counted while it opens: the open releases drvLock while it waits.
  instanceCount += 1;
  if (!discoverServer(streamAdd, instance)) {
    instanceCount -= 1;
    LocalFree(instance);
    return MMSYSERR_NODRIVER;
  }
  instanceCount -= 1;
  instanceAddLive(instance);
  *out = instance;
  return MMSYSERR_NOERROR;
}

void instanceAddLive(WaveInstance *instance) {
  assert(drvLockHeld());
  instance->nextLive = instancesLive;
  instancesLive = instance;
  instanceCount += 1;
}

void instanceFree(WaveInstance *instance) {
  assert(drvLockHeld());
  assert(!instance->streams && instance->completing == 0);
  for (WaveInstance **link = &instancesLive; *link; link = &(*link)->nextLive) {
    if (*link == instance) {
      *link = instance->nextLive;
      instanceCount -= 1;
      break;
    }
  }
  LocalFree(instance);
}

WaveInstance *instanceEnter(DWORD_PTR user) {
  // Before the first open there is no lock, and no instance either.
  if (InterlockedCompareExchange(&drvLockReady, 0, 0) != 1 || !user) return nullptr;
  EnterCriticalSection(&drvLock);
  for (WaveInstance *i = instancesLive; i; i = i->nextLive) {
    if (reinterpret_cast<DWORD_PTR>(i) == user) return i;
  }
  LeaveCriticalSection(&drvLock);
  return nullptr;
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
  if (ops->open(instance, stream) != OPEN_OK) {
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

const WaveStreamOps *streamOps(const WaveInstance *instance, const WaveStream *stream) {
  return instance->direction == WAVE_OUTPUT ? stream->outputOps : stream->inputOps;
}

MMRESULT instanceOpen(UINT deviceId, DWORD_PTR user, const WAVEOPENDESC *description,
                      DWORD openFlags, DWORD direction, MMRESULT startFailure, DWORD openMessage) {
  if (!description || !description->lpFormat) return MMSYSERR_INVALPARAM;
  PcmSample sample;
  MMRESULT format = waveFormatCheck(description->lpFormat, &sample);
  if (format != MMSYSERR_NOERROR || (openFlags & WAVE_FORMAT_QUERY)) return format;
  if (!user) return MMSYSERR_INVALPARAM;
  drvInitLock();
  EnterCriticalSection(&drvLock);
  if (!drvStartIo()) {
    LeaveCriticalSection(&drvLock);
    return startFailure;
  }
  WaveInstance *instance;
  MMRESULT result = instanceCreate(deviceId, description, openFlags, direction, &instance);
  LeaveCriticalSection(&drvLock);
  if (result != MMSYSERR_NOERROR) return result;
  // Nobody else knows the instance yet: its fields are read without the lock.
  *reinterpret_cast<DWORD_PTR *>(user) = reinterpret_cast<DWORD_PTR>(instance);
  if (instance->callback) instanceNotify(instance, openMessage, 0);
  return MMSYSERR_NOERROR;
}

MMRESULT instanceCheckHeader(const WAVEHDR *header) {
  if (!(header->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  return MMSYSERR_NOERROR;
}

void instanceQueueHeader(WaveInstance *instance, WAVEHDR *header) {
  assert(drvLockHeld());
  header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
  hdrQueueAppend(instance, header);
  for (WaveStream *s = instance->streams; s; s = s->next) {
    if (s->current) continue;
    s->offset = 0;
    s->current = instance->queueHead;
    streamOps(instance, s)->kick(instance, s);
  }
}

// Leaves no stream on a header that is about to go back: a stream whose
// current header (or loop start) it is becomes idle. Called with drvLock
// held.
static void streamsRelease(WaveInstance *instance, WAVEHDR *header) {
  assert(drvLockHeld());
  for (WaveStream *s = instance->streams; s; s = s->next) {
    if (s->loopStart == header) {
      s->loopStart = nullptr;
      s->loopCount = 0;
    }
    if (s->current == header) {
      s->current = nullptr;
      s->offset = 0;
    }
  }
}

void instanceReturnAll(WaveInstance *instance, DWORD message) {
  assert(drvLockHeld());
  // The head is read afresh after each callback: the lock was released, and
  // a write meanwhile queues its header behind the ones still to go back
  // and gives an idle stream the queue head, which is one of them. Each
  // header therefore takes every stream off itself as it leaves; a stream
  // left on a returned header would play or fill it after the application
  // has it back, and would not be kicked by later writes.
  while (WAVEHDR *header = instance->queueHead) {
    hdrQueueRemove(instance, header);
    streamsRelease(instance, header);
    instanceComplete(instance, header, message);
  }
  instanceSignalDrain(instance);
}

void instanceNotify(WaveInstance *instance, DWORD message, DWORD_PTR param1) {
  DriverCallback(instance->callback, instance->openFlags >> 16,
                 reinterpret_cast<HDRVR>(instance->waveHandle), message, instance->callbackInstance,
                 param1, 0);
}

void instanceComplete(WaveInstance *instance, WAVEHDR *header, DWORD message) {
  assert(drvLockHeld());
  instance->completing += 1;
  header->lpNext = nullptr;  // under the lock: the I/O thread follows the links
  LeaveCriticalSection(&drvLock);
  // Applications poll WHDR_DONE from their own threads without a lock: the
  // flags are stored atomically, after everything else in the header.
  InterlockedExchange(reinterpret_cast<LONG volatile *>(&header->dwFlags),
                      LONG((header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE));
  if (instance->callback) instanceNotify(instance, message, reinterpret_cast<DWORD_PTR>(header));
  EnterCriticalSection(&drvLock);
  instance->completing -= 1;
  instanceSignalDrain(instance);
}

void instanceSignalDrain(WaveInstance *instance) {
  if (!instance->queueHead && instance->completing == 0 && instance->drainEvent) {
    SetEvent(instance->drainEvent);
  }
}

MMRESULT instanceDrain(WaveInstance *instance, int waitForQueue) {
  assert(drvLockHeld());
  for (;;) {
    if (instance->queueHead && (!waitForQueue || instance->paused)) return WAVERR_STILLPLAYING;
    if (!instance->queueHead && instance->completing == 0) return MMSYSERR_NOERROR;
    if (!instance->drainEvent) {
      instance->drainEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      if (!instance->drainEvent) return MMSYSERR_NOMEM;
    } else {
      ResetEvent(instance->drainEvent);
    }
    // Set under the lock by instanceSignalDrain, so the moment cannot be
    // missed between the reset and the wait.
    HANDLE event = instance->drainEvent;
    LeaveCriticalSection(&drvLock);
    WaitForSingleObject(event, INFINITE);
    EnterCriticalSection(&drvLock);
  }
}

void instanceRelease(WaveInstance *instance, DWORD closeMessage) {
  assert(drvLockHeld());
  instance->closing = 1;
  while (WaveStream *s = instance->streams) {
    instance->streams = s->next;
    streamOps(instance, s)->close(instance, s);
    LocalFree(s);
  }
  if (instance->drainEvent) {
    CloseHandle(instance->drainEvent);
    instance->drainEvent = nullptr;
  }
  if (instance->callback) {
    LeaveCriticalSection(&drvLock);
    instanceNotify(instance, closeMessage, 0);
    EnterCriticalSection(&drvLock);
  }
  instanceFree(instance);
}

MMRESULT instancePosition(WaveInstance *instance, MMTIME *time, DWORD_PTR timeBytes,
                          int capAtWritten) {
  assert(drvLockHeld());
  if (!time) return MMSYSERR_INVALPARAM;
  if (timeBytes < sizeof *time) return MMSYSERR_ERROR;
  WaveStream *first = instance->streams;
  DWORD frames = first ? streamOps(instance, first)->position(instance, first) : 0;
  // Wrapping counters: compared by signed difference.
  if (capAtWritten && LONG(frames - instance->framesWritten) > 0) frames = instance->framesWritten;
  if (time->wType == TIME_BYTES) {
    time->u.cb = frames * instance->format.nBlockAlign;
  } else {
    time->wType = TIME_SAMPLES;
    time->u.sample = frames;
  }
  return MMSYSERR_NOERROR;
}

void capsProductName(WCHAR name[MAXPNAMELEN]) {
  static const WCHAR PRODUCT_NAME[] = LV_WTEXT("Lumivox 1.0");
  static_assert(sizeof PRODUCT_NAME <= MAXPNAMELEN * sizeof(WCHAR));
  std::memset(name, 0, MAXPNAMELEN * sizeof(WCHAR));
  std::memcpy(name, PRODUCT_NAME, sizeof PRODUCT_NAME);
}
