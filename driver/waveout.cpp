// wodMessage: the messages of the wave output device, the header queue's
// completions and the drain at close.
#include "driver/waveout.h"

#include <cassert>

#include "net/lock.h"
#include "net/loop.h"

namespace {

constexpr WORD CAPS_CHANNELS = 0xFFFF;
constexpr DWORD CAPS_SUPPORT = WAVECAPS_VOLUME | WAVECAPS_LRVOLUME | WAVECAPS_SAMPLEACCURATE;

static_assert(sizeof(WAVEOUTCAPSW) == WAVE_OUT_CAPS_BYTES, "the record of the Windows layout");

void outComplete(WaveInstance *instance, WAVEHDR *header) {
  instanceComplete(instance, header, WOM_DONE);
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
  instanceSignalDrain(instance);
}

MMRESULT outGetCaps(DWORD_PTR param1, DWORD_PTR param2) {
  return capsAnswer<WAVEOUTCAPSW>(param1, param2, [](WAVEOUTCAPSW *caps) {
    capsFill(caps, PRODUCT_ID_OUTPUT, CAPS_CHANNELS);
    caps->dwSupport = CAPS_SUPPORT;
  });
}

// The message handlers below are called with drvLock held (instanceEnter
// took it) and return with it held.

MMRESULT outWrite(WaveInstance *instance, WAVEHDR *header) {
  if (!header) return MMSYSERR_INVALPARAM;
  if (instance->closeStarted) return MMSYSERR_INVALHANDLE;  // the handle is going away
  MMRESULT result = instanceCheckHeader(header);
  if (result == MMSYSERR_NOERROR) {
    // Whole frames; a remainder is dropped. The open refused block align 0.
    instance->framesWritten += header->dwBufferLength / instance->format.nBlockAlign;
    instanceQueueHeader(instance, header);
  }
  return result;
}

MMRESULT outPause(WaveInstance *instance) {
  if (!instance->paused) {
    instance->paused = 1;
    for (WaveStream *s = instance->streams; s; s = s->next) s->outputOps->setPaused(instance, s, 1);
    // A close waiting for the queue gives up at once: nothing plays now.
    if (instance->drainEvent) SetEvent(instance->drainEvent);
  }
  return MMSYSERR_NOERROR;
}

MMRESULT outRestart(WaveInstance *instance) {
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
  return MMSYSERR_NOERROR;
}

// Every queued header comes back, oldest first, on the calling thread. The
// streams drop what they took from the headers and have not sent, and
// frames written comes down to what the first stream took: the discarded
// audio is neither played after the reset nor waited for (as silence) by
// a close. Paused stays as it was.
MMRESULT outReset(WaveInstance *instance) {
  DWORD taken = instance->framesWritten;
  for (WaveStream *s = instance->streams; s; s = s->next) {
    s->current = nullptr;
    s->loopStart = nullptr;
    s->offset = 0;
    s->loopCount = 0;
    DWORD streamTaken = s->outputOps->reset ? s->outputOps->reset(instance, s) : taken;
    if (s == instance->streams) taken = streamTaken;
  }
  // Only ever lowered: positions already reported stay within it.
  if (LONG(taken - instance->framesWritten) < 0) instance->framesWritten = taken;
  instanceReturnAll(instance, WOM_DONE);
  return MMSYSERR_NOERROR;
}

MMRESULT outBreakLoop(WaveInstance *instance) {
  for (WaveStream *s = instance->streams; s; s = s->next) {
    if (s->current && (s->current->dwFlags & WHDR_BEGINLOOP)) s->loopStart = s->current;
    if (s->loopStart) s->loopCount = 0;
  }
  return MMSYSERR_NOERROR;
}

// The tick by which a close starting now must be over: when the audio
// still to play has played, and CLOSE_GRACE_MS later. A server that answers
// but barely plays keeps moving its positions, which is all the streams'
// own stall limits look at; this bound holds whatever it reports.
DWORD outCloseDeadline(WaveInstance *instance) {
  WaveStream *first = instance->streams;
  DWORD played = first ? first->outputOps->position(instance, first) : instance->framesWritten;
  DWORD left = LONG(instance->framesWritten - played) > 0 ? instance->framesWritten - played : 0;
  uint64_t ms = uint64_t(left) * 1000 / instance->format.nSamplesPerSec;
  return tickNow() + DWORD(ms) + CLOSE_GRACE_MS;
}

// Tells every stream that can give up its server when the close must be
// over (deadline), or that the close failed (null).
void outCloseBy(WaveInstance *instance, const DWORD *deadline) {
  for (WaveStream *s = instance->streams; s; s = s->next) {
    if (s->outputOps->closeBy) s->outputOps->closeBy(instance, s, deadline);
  }
}

// Waits until every queued header has been played and returned, and the
// streams have sent what they took, by the close's deadline at most; a
// paused device plays nothing, so its close fails instead and changes
// nothing.
MMRESULT outClose(WaveInstance *instance) {
  if (instance->closeStarted) return MMSYSERR_INVALHANDLE;  // another close has it
  instance->closeStarted = 1;
  DWORD deadline = outCloseDeadline(instance);
  outCloseBy(instance, &deadline);
  MMRESULT result = instanceDrain(instance, 1);
  if (result == MMSYSERR_NOERROR) {
    instanceRelease(instance, WOM_CLOSE);
  } else {
    outCloseBy(instance, nullptr);
    instance->closeStarted = 0;
  }
  return result;
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

const WaveInstanceEvents waveOutputEvents = {outHeaderPlayed, instanceSignalDrain};

extern "C" DWORD APIENTRY wodMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2) {
  switch (message) {
    case WODM_GETNUMDEVS: return 1;
    case WODM_GETDEVCAPS: return outGetCaps(param1, param2);
    case WODM_OPEN:
      return instanceOpen(deviceId, user, reinterpret_cast<const WAVEOPENDESC *>(param1),
                          DWORD(param2), WAVE_OUTPUT, MMSYSERR_NOMEM, WOM_OPEN);
    case WODM_GETVOLUME:
      if (!param1) return MMSYSERR_INVALPARAM;
      *reinterpret_cast<DWORD *>(param1) = 0;
      return MMSYSERR_NOERROR;
    case WODM_SETVOLUME: return MMSYSERR_NOERROR;  // the value is ignored
    case WODM_CLOSE: case WODM_WRITE: case WODM_PAUSE: case WODM_RESTART:
    case WODM_RESET: case WODM_GETPOS: case WODM_BREAKLOOP:
      break;
    default: return MMSYSERR_NOTSUPPORTED;  // PREPARE, UNPREPARE, pitch, rate, the rest
  }
  // Only an open hands out an instance, and a close takes it back: a value
  // that names no live instance is refused without being followed.
  WaveInstance *instance = instanceEnter(user);
  if (!instance) return MMSYSERR_INVALHANDLE;
  MMRESULT result;
  switch (message) {
    case WODM_CLOSE: result = outClose(instance); break;
    case WODM_WRITE: result = outWrite(instance, reinterpret_cast<WAVEHDR *>(param1)); break;
    case WODM_PAUSE: result = outPause(instance); break;
    case WODM_RESTART: result = outRestart(instance); break;
    case WODM_RESET: result = outReset(instance); break;
    case WODM_GETPOS:
      result = instancePosition(instance, reinterpret_cast<MMTIME *>(param1), param2, 1);
      break;
    default: result = outBreakLoop(instance); break;
  }
  LeaveCriticalSection(&drvLock);
  return result;
}
