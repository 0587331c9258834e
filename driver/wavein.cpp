// widMessage: the messages of the wave input device.
#include "driver/wavein.h"

#include <cassert>

#include "net/lock.h"

namespace {

constexpr WORD CAPS_CHANNELS = 2;

static_assert(sizeof(WAVEINCAPSW) == WAVE_IN_CAPS_BYTES, "the record of the Windows layout");

void inComplete(WaveInstance *instance, WAVEHDR *header) {
  // dwBytesRecorded keeps what was written into the header.
  instanceComplete(instance, header, WIM_DATA);
}

MMRESULT inGetCaps(DWORD_PTR param1, DWORD_PTR param2) {
  return capsAnswer<WAVEINCAPSW>(param1, param2, [](WAVEINCAPSW *caps) {
    capsFill(caps, PRODUCT_ID_INPUT, CAPS_CHANNELS);
  });
}

// The message handlers below are called with drvLock held (instanceEnter
// took it) and return with it held.

MMRESULT inAddBuffer(WaveInstance *instance, WAVEHDR *header) {
  if (!header) return MMSYSERR_INVALPARAM;
  if (instance->closeStarted) return MMSYSERR_INVALHANDLE;  // the handle is going away
  MMRESULT result = instanceCheckHeader(header);
  if (result == MMSYSERR_NOERROR) {
    header->dwBytesRecorded = 0;
    instanceQueueHeader(instance, header);
  }
  return result;
}

// The start may wait (drvLock released) for the server's answer.
MMRESULT inStart(WaveInstance *instance) {
  for (WaveStream *s = instance->streams; s; s = s->next) s->inputOps->setPaused(instance, s, 0);
  return MMSYSERR_NOERROR;
}

// A partly filled header comes back with the bytes recorded so far; empty
// headers stay queued.
MMRESULT inStop(WaveInstance *instance) {
  for (WaveStream *s = instance->streams; s; s = s->next) {
    s->inputOps->setPaused(instance, s, 1);
    if (s->current && s->offset != 0) inHeaderFilled(instance, s);
  }
  return MMSYSERR_NOERROR;
}

// Every queued header comes back, oldest first, with what it holds. No
// stream operation is called: a running stream keeps receiving, and drops
// its samples until a header is added.
MMRESULT inReset(WaveInstance *instance) {
  for (WaveStream *s = instance->streams; s; s = s->next) {
    s->current = nullptr;
    s->offset = 0;
  }
  instanceReturnAll(instance, WIM_DATA);
  return MMSYSERR_NOERROR;
}

// Fails while headers are queued; waits only for a completion in progress.
MMRESULT inClose(WaveInstance *instance) {
  if (instance->closeStarted) return MMSYSERR_INVALHANDLE;  // another close has it
  instance->closeStarted = 1;
  MMRESULT result = instanceDrain(instance, 0);
  if (result == MMSYSERR_NOERROR) {
    instanceRelease(instance, WIM_CLOSE);
  } else {
    instance->closeStarted = 0;
  }
  return result;
}

}  // namespace

void inHeaderFilled(WaveInstance *instance, WaveStream *stream) {
  assert(drvLockHeld());
  WAVEHDR *h = stream->current;
  if (!h) return;
  stream->offset = 0;
  stream->current = h->lpNext;
  hdrQueueRemove(instance, h);
  inComplete(instance, h);
  instanceSignalDrain(instance);
}

const WaveInstanceEvents waveInputEvents = {inHeaderFilled, instanceSignalDrain};

extern "C" DWORD APIENTRY widMessage(UINT deviceId, UINT message, DWORD_PTR user,
                                     DWORD_PTR param1, DWORD_PTR param2) {
  switch (message) {
    case WIDM_GETNUMDEVS: return 1;
    case WIDM_GETDEVCAPS: return inGetCaps(param1, param2);
    case WIDM_OPEN:
      // An input open that cannot start the I/O thread answers "not
      // supported", where the output open answers "no memory".
      return instanceOpen(deviceId, user, reinterpret_cast<const WAVEOPENDESC *>(param1),
                          DWORD(param2), WAVE_INPUT, MMSYSERR_NOTSUPPORTED, WIM_OPEN);
    case WIDM_CLOSE: case WIDM_ADDBUFFER: case WIDM_START: case WIDM_STOP:
    case WIDM_RESET: case WIDM_GETPOS:
      break;
    default: return MMSYSERR_NOTSUPPORTED;  // PREPARE, UNPREPARE and the rest
  }
  // Only an open hands out an instance, and a close takes it back.
  WaveInstance *instance = instanceEnter(user);
  if (!instance) return MMSYSERR_INVALHANDLE;
  MMRESULT result;
  switch (message) {
    case WIDM_CLOSE: result = inClose(instance); break;
    case WIDM_ADDBUFFER: result = inAddBuffer(instance, reinterpret_cast<WAVEHDR *>(param1)); break;
    case WIDM_START: result = inStart(instance); break;
    case WIDM_STOP: result = inStop(instance); break;
    case WIDM_RESET: result = inReset(instance); break;
    default: result = instancePosition(instance, reinterpret_cast<MMTIME *>(param1), param2, 0); break;
  }
  LeaveCriticalSection(&drvLock);
  return result;
}
