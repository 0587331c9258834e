// wodMessage: the messages of the wave output device, the header queue's
// completions and the drain at close.
#include "driver/waveout.h"

#include <cassert>
#include <cstring>

#include "driver/entry.h"

namespace {

const WCHAR PRODUCT_NAME[] = LV_WTEXT("Lumivox 1.0");
constexpr WORD MANUFACTURER_ID = 1;
constexpr WORD PRODUCT_ID_OUTPUT = 100;
constexpr MMVERSION DRIVER_VERSION = 0x0500;  // 5.0
// Every standard format from 11.025 kHz mono 8-bit to 44.1 kHz stereo 16-bit.
constexpr DWORD CAPS_FORMATS = 0x00000FFF;
constexpr WORD CAPS_CHANNELS = 0xFFFF;
constexpr DWORD CAPS_SUPPORT = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;

static_assert(sizeof(WAVEOUTCAPSW) == WAVE_OUT_CAPS_BYTES, "the record the size check names");

// One DriverCallback of this instance. Called with drvLock released.
void outNotify(WaveInstance *instance, DWORD message, DWORD_PTR param1) {
  DriverCallback(instance->callback, instance->openFlags >> 16,
                 reinterpret_cast<HDRVR>(instance->waveHandle), message, instance->callbackInstance,
                 param1, 0);
}

// Wakes a close waiting for the queue to drain once nothing is queued and no
// completion is in progress. Called with drvLock held.
void outSignalDrain(WaveInstance *instance) {
  if (!instance->queueHead && instance->completing == 0 && instance->drainEvent) {
    SetEvent(instance->drainEvent);
  }
}

// Returns a header that is already off the queue to the application.
// Called with drvLock held; releases it around the callback. The count of
// completions in progress keeps the close from freeing the instance (and
// the stream whose supply called us) until the callback has returned and
// the caller has let go of the lock.
void outComplete(WaveInstance *instance, WAVEHDR *header) {
  instance->completing += 1;
  LeaveCriticalSection(&drvLock);
  header->lpNext = nullptr;
  header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  if (instance->callback) outNotify(instance, WOM_DONE, reinterpret_cast<DWORD_PTR>(header));
  EnterCriticalSection(&drvLock);
  instance->completing -= 1;
  outSignalDrain(instance);
}

// A stream's position: the header it must still play from. Null means it
// has passed every queued header.
WAVEHDR *outStreamPosition(const WaveStream *stream) {
  return stream->loopStart ? stream->loopStart : stream->current;
}

// Returns the oldest header that every stream has passed, if any: at most
// one per call, since a stream passes one header at a time. Called with
// drvLock held.
void outRetire(WaveInstance *instance) {
  WAVEHDR *candidate = instance->queueHead;
  if (instance->streams) {
    WAVEHDR *earliest = nullptr;
    for (WaveStream *s = instance->streams; s; s = s->next) {
      WAVEHDR *position = outStreamPosition(s);
      if (position && (!earliest || hdrQueueIsBefore(instance, position, earliest))) {
        earliest = position;
      }
    }
    if (earliest) candidate = hdrQueuePredecessor(instance, earliest);
  }
  if (!candidate) return;
  hdrQueueRemove(instance, candidate);
  outComplete(instance, candidate);
  outSignalDrain(instance);
}

MMRESULT outGetCaps(DWORD_PTR param1, DWORD_PTR param2) {
  if (param2 != WAVE_OUT_CAPS_BYTES) return MMSYSERR_ERROR;
  WAVEOUTCAPSW *caps = reinterpret_cast<WAVEOUTCAPSW *>(param1);
  if (!caps) return MMSYSERR_INVALPARAM;
  caps->wMid = MANUFACTURER_ID;
  caps->wPid = PRODUCT_ID_OUTPUT;
  caps->vDriverVersion = DRIVER_VERSION;
  std::memset(caps->szPname, 0, sizeof caps->szPname);
  std::memcpy(caps->szPname, PRODUCT_NAME, sizeof PRODUCT_NAME);
  caps->dwFormats = CAPS_FORMATS;
  caps->wChannels = CAPS_CHANNELS;
  caps->dwSupport = CAPS_SUPPORT;  // wReserved1 stays as the caller passed it
  return MMSYSERR_NOERROR;
}

MMRESULT outOpen(UINT deviceId, DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2) {
  const WAVEOPENDESC *description = reinterpret_cast<const WAVEOPENDESC *>(param1);
  DWORD flags = DWORD(param2);
  if (flags & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;  // the format is not examined
  if (!description || !description->lpFormat || !user) return MMSYSERR_INVALPARAM;
  if (description->lpFormat->wFormatTag != WAVE_FORMAT_PCM) return MMSYSERR_NOTSUPPORTED;
  if (!instanceFormatUsable(description->lpFormat)) return MMSYSERR_NOTSUPPORTED;
  drvInitLock();
  EnterCriticalSection(&drvLock);
  if (!drvStartIo()) {
    LeaveCriticalSection(&drvLock);
    return MMSYSERR_NOMEM;
  }
  WaveInstance *instance;
  MMRESULT result = instanceCreate(deviceId, description, flags, WAVE_OUTPUT, &instance);
  LeaveCriticalSection(&drvLock);
  if (result != MMSYSERR_NOERROR) return result;
  *reinterpret_cast<DWORD_PTR *>(user) = reinterpret_cast<DWORD_PTR>(instance);
  if (instance->callback) outNotify(instance, WOM_OPEN, 0);
  return MMSYSERR_NOERROR;
}

MMRESULT outWrite(WaveInstance *instance, WAVEHDR *header) {
  if (!header) return MMSYSERR_INVALPARAM;
  EnterCriticalSection(&drvLock);
  MMRESULT result = MMSYSERR_NOERROR;
  if (!(header->dwFlags & WHDR_PREPARED)) {
    result = WAVERR_UNPREPARED;
  } else if (header->dwFlags & WHDR_INQUEUE) {
    result = WAVERR_STILLPLAYING;
  } else {
    // Whole frames; a remainder is dropped. The open refused block align 0.
    instance->framesWritten += header->dwBufferLength / instance->format.nBlockAlign;
    header->dwFlags = (header->dwFlags | WHDR_INQUEUE) & ~WHDR_DONE;
    hdrQueueAppend(instance, header);
    for (WaveStream *s = instance->streams; s; s = s->next) {
      if (s->current) continue;
      s->offset = 0;
      s->current = instance->queueHead;
      s->outputOps->kick(instance, s);
    }
  }
  LeaveCriticalSection(&drvLock);
  return result;
}

MMRESULT outPause(WaveInstance *instance) {
  EnterCriticalSection(&drvLock);
  if (!instance->paused) {
    instance->paused = 1;
    for (WaveStream *s = instance->streams; s; s = s->next) s->outputOps->setPaused(instance, s, 1);
  }
  LeaveCriticalSection(&drvLock);
  return MMSYSERR_NOERROR;
}

MMRESULT outRestart(WaveInstance *instance) {
  EnterCriticalSection(&drvLock);
  if (instance->paused) {
    instance->paused = 0;
    for (WaveStream *s = instance->streams; s; s = s->next) {
      if (!s->current) {
        s->current = instance->queueHead;
        s->offset = 0;
      }
      s->outputOps->setPaused(instance, s, 0);
    }
  }
  LeaveCriticalSection(&drvLock);
  return MMSYSERR_NOERROR;
}

// Every queued header comes back, oldest first, on the calling thread. No
// stream operation is called: a stream with no current header takes
// nothing. Paused and frames written stay as they are.
MMRESULT outReset(WaveInstance *instance) {
  EnterCriticalSection(&drvLock);
  for (WaveStream *s = instance->streams; s; s = s->next) {
    s->current = nullptr;
    s->loopStart = nullptr;
    s->offset = 0;
    s->loopCount = 0;
  }
  // The head is read afresh after each callback: the lock was released.
  while (WAVEHDR *header = instance->queueHead) {
    hdrQueueRemove(instance, header);
    outComplete(instance, header);
  }
  outSignalDrain(instance);
  LeaveCriticalSection(&drvLock);
  return MMSYSERR_NOERROR;
}

MMRESULT outGetPosition(WaveInstance *instance, MMTIME *time) {
  if (!time) return MMSYSERR_INVALPARAM;
  EnterCriticalSection(&drvLock);
  WaveStream *first = instance->streams;
  DWORD frames = first ? first->outputOps->position(instance, first) : 0;
  // Wrapping counters: compared by signed difference.
  if (LONG(frames - instance->framesWritten) > 0) frames = instance->framesWritten;
  if (time->wType == TIME_BYTES) {
    time->u.cb = frames * instance->format.nBlockAlign;
  } else {
    time->wType = TIME_SAMPLES;
    time->u.sample = frames;
  }
  LeaveCriticalSection(&drvLock);
  return MMSYSERR_NOERROR;
}

MMRESULT outBreakLoop(WaveInstance *instance) {
  EnterCriticalSection(&drvLock);
  for (WaveStream *s = instance->streams; s; s = s->next) {
    if (s->current && (s->current->dwFlags & WHDR_BEGINLOOP)) s->loopStart = s->current;
    if (s->loopStart) s->loopCount = 0;
  }
  LeaveCriticalSection(&drvLock);
  return MMSYSERR_NOERROR;
}

// Waits (drvLock released, no time limit) until every queued header has
// been returned and no completion is in progress. A paused device plays
// nothing, so a close that would wait on one fails instead and changes
// nothing. Called with drvLock held; returns MMSYSERR_NOERROR once drained.
MMRESULT outDrain(WaveInstance *instance) {
  for (;;) {
    if (instance->queueHead && instance->paused) return WAVERR_STILLPLAYING;
    if (!instance->queueHead && instance->completing == 0) return MMSYSERR_NOERROR;
    if (!instance->drainEvent) {
      instance->drainEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
      if (!instance->drainEvent) return MMSYSERR_NOMEM;
    } else {
      ResetEvent(instance->drainEvent);
    }
    // Set under the lock by outSignalDrain, so the moment cannot be missed.
    HANDLE event = instance->drainEvent;
    LeaveCriticalSection(&drvLock);
    WaitForSingleObject(event, INFINITE);
    EnterCriticalSection(&drvLock);
  }
}

MMRESULT outClose(WaveInstance *instance) {
  EnterCriticalSection(&drvLock);
  MMRESULT drained = outDrain(instance);
  if (drained != MMSYSERR_NOERROR) {
    LeaveCriticalSection(&drvLock);
    return drained;
  }
  instance->closing = 1;
  while (WaveStream *s = instance->streams) {
    instance->streams = s->next;
    s->outputOps->close(instance, s);
    LocalFree(s);
  }
  if (instance->drainEvent) {
    CloseHandle(instance->drainEvent);
    instance->drainEvent = nullptr;
  }
  if (instance->callback) {
    LeaveCriticalSection(&drvLock);
    outNotify(instance, WOM_CLOSE, 0);
    EnterCriticalSection(&drvLock);
  }
  instanceFree(instance);
  LeaveCriticalSection(&drvLock);
  return MMSYSERR_NOERROR;
}

}  // namespace

void outHeaderPlayed(WaveInstance *instance, WaveStream *stream) {
  assert(drvLockHeld());
  WAVEHDR *h = stream->current;
  if (!h) return;
  if (h->dwFlags & WHDR_BEGINLOOP) {
    if (!stream->loopStart) stream->loopCount = h->dwLoops;  // the loop is entered now
    if (stream->loopCount > 0) stream->loopCount -= 1;
    stream->loopStart = stream->loopCount ? h : nullptr;
  }
  // A header with both flags is a loop by itself.
  bool repeat = (h->dwFlags & WHDR_ENDLOOP) && stream->loopStart;
  stream->current = repeat ? stream->loopStart : h->lpNext;
  stream->offset = 0;
  outRetire(instance);
}

extern "C" DWORD APIENTRY wodMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2) {
  WaveInstance *instance = reinterpret_cast<WaveInstance *>(user);
  switch (message) {
    case WODM_GETNUMDEVS: return 1;
    case WODM_GETDEVCAPS: return outGetCaps(param1, param2);
    case WODM_OPEN: return outOpen(deviceId, user, param1, param2);
    case WODM_GETVOLUME:
      if (!param1) return MMSYSERR_INVALPARAM;
      *reinterpret_cast<DWORD *>(param1) = 0;
      return MMSYSERR_NOERROR;
    case WODM_SETVOLUME: return MMSYSERR_NOERROR;  // the value is ignored
    case WODM_CLOSE: case WODM_WRITE: case WODM_PAUSE: case WODM_RESTART:
    case WODM_RESET: case WODM_GETPOS: case WODM_BREAKLOOP:
      // Only an open hands out an instance; a message without one cannot
      // have come from the multimedia layer for an open device.
      if (!instance) return MMSYSERR_INVALHANDLE;
      break;
    default: return MMSYSERR_NOTSUPPORTED;  // PREPARE, UNPREPARE, pitch, rate, the rest
  }
  switch (message) {
    case WODM_CLOSE: return outClose(instance);
    case WODM_WRITE: return outWrite(instance, reinterpret_cast<WAVEHDR *>(param1));
    case WODM_PAUSE: return outPause(instance);
    case WODM_RESTART: return outRestart(instance);
    case WODM_RESET: return outReset(instance);
    case WODM_GETPOS: return outGetPosition(instance, reinterpret_cast<MMTIME *>(param1));
    default: return outBreakLoop(instance);
  }
}
