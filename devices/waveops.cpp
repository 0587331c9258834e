// The wave operations: a wave stream's control connection, its play or
// record stream, the pumps, and the output drain at close.
#include <cassert>
#include <cstring>

#include "audio/convert.h"
#include "audio/formats.h"
#include "devices/endpoint.h"
#include "devices/operations.h"
#include "devices/registry.h"
#include "net/control.h"
#include "net/lock.h"
#include "session/protocol.h"
#include "stream/stream.h"

const WaveStreamOps outputStreamOps = {
    .open = waveStreamOpen,
    .close = waveStreamClose,
    .kick = outputKick,
    .position = outputPosition,
    .setPaused = outputSetPaused,
    .reset = outputReset,
    .closeBy = outputCloseBy,
};
// A reset of the input device calls no stream operation: a running stream
// keeps receiving, and drops its samples until a header is added. Its close
// waits for nothing the server does.
const WaveStreamOps inputStreamOps = {
    .open = waveStreamOpen,
    .close = waveStreamClose,
    .kick = inputKick,
    .position = inputPosition,
    .setPaused = inputSetPaused,
    .reset = nullptr,
    .closeBy = nullptr,
};

namespace {

WaveStreamState *stateOf(const WaveStream *stream) {
  return static_cast<WaveStreamState *>(stream->state);
}

// Releases drvLock, waits for the event at most ms and takes the lock back.
DWORD waitUnlocked(HANDLE event, DWORD ms) {
  LeaveCriticalSection(&drvLock);
  DWORD result = WaitForSingleObject(event, ms);
  EnterCriticalSection(&drvLock);
  return result;
}

// An output stream whose connection has gone plays to nowhere: every
// header it is given is passed at once, loops included, so that the
// application gets its headers back and the close does not wait for audio
// that can no longer be played. Runs as the pump, on the I/O thread.
void outputDiscard(WaveStreamState *state) {
  WaveInstance *instance = state->instance;
  WaveStream *stream = state->stream;
  // Passing a header returns one with drvLock released: re-read each time.
  while (stream->current && !instance->paused) {
    WAVEHDR *header = stream->current;
    // A loop ends here: its first header takes no further repetitions.
    stream->loopStart = (header->dwFlags & WHDR_BEGINLOOP) ? header : nullptr;
    stream->loopCount = 0;
    instance->events->headerDone(instance, stream);
  }
}

// The pump of an output stream: fills the ring while connected, discards
// once the connection has gone.
void outputPump(void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  if (!state->closed) {
    playPump(state);
    return;
  }
  workDequeue(&state->pump);
  outputDiscard(state);
}

// Schedules the return of the current header of an input stream whose
// connection has gone, after the header's length in time.
void inputPaceNext(WaveStreamState *state) {
  WaveStream *stream = state->stream;
  if (state->pacing || !stream->current) return;
  DWORD perSecond = state->instance->format.nAvgBytesPerSec;
  uint64_t ms = perSecond ? uint64_t(stream->current->dwBufferLength) * 1000 / perSecond : 0;
  if (ms > STREAM_STALL_MS) ms = STREAM_STALL_MS;
  state->pacing = 1;
  timerSchedule(&state->pace, tickNow() + DWORD(ms));
}

// An input stream whose connection has gone gives back the headers it had,
// each with what was recorded into it. Headers added later come back
// empty at the pace of their length (inputPace): at once would only have
// the application add them again, round and round. Runs as the pump, once.
void inputDiscard(WaveStreamState *state) {
  WaveInstance *instance = state->instance;
  WaveStream *stream = state->stream;
  DWORD queued = 0;
  for (WAVEHDR *h = instance->queueHead; h; h = h->lpNext) queued++;
  // Filling a header returns it with drvLock released: re-read each time.
  while (queued-- > 0 && stream->current) instance->events->headerDone(instance, stream);
  // Headers added meanwhile were not kicked (the stream had a header).
  if (stream->state == state) inputPaceNext(state);
}

void inputPace(void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  state->pacing = 0;
  WaveStream *stream = state->stream;
  if (!state->closed || !stream->current) return;
  // Nothing recorded, and the position stands: the recording ended where
  // the server's audio did. Silence here would pass for audio, and a
  // recorder that counts frames would mistake it for the rest of its take;
  // an empty header tells it that the source has gone.
  stream->current->dwBytesRecorded = 0;
  state->instance->events->headerDone(state->instance, stream);  // drvLock released: read afresh
  if (state->closed && stream->state == state) inputPaceNext(state);
}

void inputPump(void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  if (!state->closed) {
    recordPump(state);
    return;
  }
  workDequeue(&state->pump);
  inputDiscard(state);
}

// The most input a sender can hold back for want of more at ring rate
// `rate`: a converter's window, and with GSM a frame's worth (GSM codes
// whole frames only), rounded up.
uint32_t tailHeldMax(uint32_t rate, bool gsm) {
  return RS_MAX_TAPS + (gsm ? uint32_t(uint64_t(GSM_FRAME_SAMPLES) * rate / 8000) + 1 : 0);
}

// The played position of a granted sender, kept in the state so that it
// outlives the sender. A sender sends the last of the input only ahead of
// more input (or of the silence a close pads with): a filtered row holds
// half a window back, GSM the part of a frame. Once the application has
// nothing more queued and the server has played all that was sent, those
// last frames count as played, so that the position reaches the end of
// what was written. When the application writes more, the position stays
// there until the frames played pass it.
DWORD outputPlayed(WaveStreamState *state) {
  PlaySender *sender = state->ready ? statePlaySender(state) : nullptr;
  if (!sender || !sender->started) return state->played;
  const PlaySource *source = sender->endpoint;
  uint32_t played = sender->base + sender->ackedPlayed;
  const uint32_t rate = source->ring->rate;
  uint32_t heldMax = tailHeldMax(rate, sender->format && sender->format->kind == WIRE_GSM);
  int32_t held = int32_t(source->produced - (sender->base + sender->consumed));
  bool tailHeld = !state->stream->current && !sender->paused && sender->inFlight == 0 &&
                  sender->ackedPlayed == sender->sent && held >= 0 && uint32_t(held) <= heldMax;
  if (tailHeld) played = source->produced;
  int32_t behind = int32_t(state->played - played);
  // A position counted ahead holds until the frames played pass it; the
  // held tail of any format bounds how far ahead that can be.
  if (behind <= 0 || behind > int32_t(tailHeldMax(rate, true))) state->played = played;
  return state->played;
}

// Destroys what a connection's end leaves: the UDP stream, then the
// endpoint. Afterwards an output stream of an open device passes its
// headers on to nowhere, and an input stream gives back the headers it had.
void waveRelease(WaveStreamState *state) {
  workDequeue(&state->teardown);
  if (state->streamSlot) {
    slotClose(state->streamSlot);
    state->streamSlot = nullptr;
  }
  playSourceDestroy(state->source);
  state->source = nullptr;
  recordSinkDestroy(state->sink);
  state->sink = nullptr;
  workDequeue(&state->pump);
  if (state->stream->state == state) workQueue(&state->pump);
}

// Closes a record stream's slot through the session, as a stop does. A
// send that ends the session leaves the slot held: the closed callback, or
// the teardown it deferred, closes it.
void inputCloseSlot(WaveStreamState *state, ServerSession *session, StreamSlot *slot) {
  state->streamSlot = slot;
  requestCloseStream(session, slot);
  if (!state->closed) state->streamSlot = nullptr;
}

// Queues the pump and wakes the I/O thread.
void pumpQueue(WaveStreamState *state) {
  workQueue(&state->pump);
  loopWake();
}

// Waits until the play sender has taken every frame written and has
// nothing in flight. The closing flag is set, so the source pads with
// silence and its progress signals the event. The wait is bounded by
// progress: it ends when neither the sent nor the played position has
// moved for DRAIN_WAIT_MS of ticks, or when no progress at all was
// signalled for as long (an acknowledgement that moves nothing is no
// progress), and at once when the instance is paused.
void outputDrain(WaveInstance *instance, WaveStreamState *state) {
  if (state->ready && !state->event) state->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (state->ready && state->event && !instance->paused) {
    uint32_t lastSent = 0, lastPlayed = 0;
    DWORD movedAt = 0;
    bool first = true;
    while (state->ready) {
      PlaySender *sender = statePlaySender(state);
      if (!sender) break;
      DWORD now = tickNow();
      bool moved = first || sender->sent != lastSent || sender->ackedPlayed != lastPlayed;
      if (moved) {
        lastSent = sender->sent;
        lastPlayed = sender->ackedPlayed;
        movedAt = now;
        first = false;
      } else if (now - movedAt >= DRAIN_WAIT_MS) {
        break;
      }
      // The output position, not the input taken: a filtered row holds
      // half a window of the input back, and it goes out only ahead of
      // more (the silence the source pads with while closing).
      if (int32_t(sender->base + sender->sent - instance->framesWritten) >= 0) {
        if (sender->inFlight == 0) break;
        playSenderSetPaused(sender, 1);  // nothing more is sent; wait for what is out
      } else if (moved) {
        // The sender may have gone idle when the audio ran out, before the
        // close let the source pad with silence: it must run again. Only
        // after progress: acknowledgements and time-outs run it otherwise,
        // and queuing it at every wake-up would have the two threads wake
        // each other for as long as the server holds it back.
        workQueue(&sender->work);
        loopWake();
      }
      ResetEvent(state->event);
      if (waitUnlocked(state->event, DRAIN_WAIT_MS) == WAIT_TIMEOUT) break;
      if (instance->paused) break;
    }
  }
  workDequeue(&state->pump);
}

}  // namespace

bool openUnanswered(HANDLE event) { return WaitForSingleObject(event, 0) == WAIT_TIMEOUT; }

void serverName(char *name, DWORD address, DWORD port) {
  wsprintfA(name, "%d.%d.%d.%d:%d", int(address >> 24 & 0xFF), int(address >> 16 & 0xFF),
            int(address >> 8 & 0xFF), int(address & 0xFF), int(port));
}

const ServerDevice *sessionFindDevice(const ServerSession *session, DWORD direction) {
  for (WORD i = 0; i < session->deviceCount; i++) {
    if (serverDeviceDirection(&session->devices[i]) == direction) return &session->devices[i];
  }
  return nullptr;
}

const ServerControl *sessionFindVolume(const ServerSession *session, DWORD direction) {
  const ServerDevice *device = sessionFindDevice(session, direction);
  if (!device) return nullptr;
  WORD id = serverDeviceId(device);
  for (WORD i = 0; i < session->controlCount; i++) {
    const ServerControl *control = &session->controls[i];
    if (serverControlKind(control) == 0 && serverControlDevice(control) == id) return control;
  }
  return nullptr;
}

PlaySender *statePlaySender(const WaveStreamState *state) {
  const StreamSlot *slot = state->streamSlot;
  return slot && slot->kind == SLOT_PLAY ? slot->sender : nullptr;
}

// ---- Open and close, both directions.

const char *openResultText(OpenResult result) {
  switch (result) {
    case OPEN_OK:
      return "opened";
    case OPEN_NO_MEMORY:
      return "out of memory";
    case OPEN_MARKED:
      return "marked unreachable";
    case OPEN_NO_CONNECTION:
      return "no connection";
    case OPEN_NO_ANSWER:
      return "no answer";
    case OPEN_REFUSED:
      return "refused";
    case OPEN_NO_DEVICE:
      return "no device";
  }
  return "unknown";
}

OpenResult waveStreamOpen(WaveInstance *instance, WaveStream *stream) {
  assert(drvLockHeld());
  char name[SERVER_NAME_BYTES];
  serverName(name, stream->address, stream->port);
  if (serverMarkedUnreachable(stream->address, stream->port)) return OPEN_MARKED;
  OpenResult result = OPEN_NO_MEMORY;
  WaveStreamState *state = static_cast<WaveStreamState *>(memAllocZero(sizeof *state));
  HANDLE event = state ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (state && event) {
    state->event = event;
    state->instance = instance;
    state->stream = stream;
    state->direction = instance->direction;
    workInit(&state->teardown, waveStreamTeardown, state, PUMP_PRIORITY);
    timerInit(&state->pace, inputPace, state, PUMP_PRIORITY);
    timerInit(&state->closeTimer, outputCloseTimeout, state, PUMP_PRIORITY);
    if (state->direction == WAVE_INPUT) {
      state->sink = recordSinkCreate(state);
      state->paused = 1;  // stopped until the first start
      workInit(&state->pump, inputPump, state, PUMP_PRIORITY);
    } else {
      state->source = playSourceCreate(state);
      workInit(&state->pump, outputPump, state, PUMP_PRIORITY);
    }
    if (state->source || state->sink) {
      state->connection = sessionOpen(name, waveConnected, waveClosed, state);
      result = OPEN_NO_CONNECTION;
    }
    if (state->connection) {
      loopWake();
      waitUnlocked(state->event, OPEN_WAIT_MS);
      if (state->ready) {
        CloseHandle(state->event);
        state->event = nullptr;
        stream->state = state;
        return OPEN_OK;
      }
      if (openUnanswered(state->event)) {
        result = OPEN_NO_ANSWER;
      } else if (state->refusal != OPEN_OK) {
        result = state->refusal;
      }
      // The closed callback ends the UDP stream and the endpoint.
      if (state->connection) sessionClose(state->connection);
    }
    waveRelease(state);  // the stream's state is not set yet: no pump is queued
  }
  if (event) CloseHandle(event);
  if (state) LocalFree(state);
  if (result == OPEN_NO_ANSWER) markServerUnreachable(stream->address, stream->port);
  return result;
}

void waveStreamClose(WaveInstance *instance, WaveStream *stream) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  if (!state) return;
  if (state->direction == WAVE_INPUT) {
    workDequeue(&state->pump);
    timerCancel(&state->pace);
  } else {
    outputDrain(instance, state);
    timerCancel(&state->closeTimer);
  }
  if (state->connection) sessionClose(state->connection);
  // The close has waited out every completion in progress: nothing of the
  // stream is in use, and a teardown still pending is done here.
  waveRelease(state);
  workDequeue(&state->pump);  // the release queues it
  if (state->event) CloseHandle(state->event);
  LocalFree(state);
  stream->state = nullptr;
}

void waveStreamGiveUp(WaveStreamState *state) {
  assert(drvLockHeld());
  if (state->connection) workQueue(&state->teardown);
}

// The close's time is up: the stream is given up as a stalled one is.
void outputCloseTimeout(void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  timerCancel(&state->closeTimer);
  waveStreamGiveUp(state);
}

void outputCloseBy(WaveInstance *, WaveStream *stream, const DWORD *deadline) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  if (!state) return;
  if (deadline) {
    timerSchedule(&state->closeTimer, *deadline);
    loopWake();
  } else {
    timerCancel(&state->closeTimer);
  }
}

void waveStreamTeardown(void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  workDequeue(&state->teardown);
  if (state->connection) {
    sessionClose(state->connection);  // given up: as if the connection had gone
    return;
  }
  waveRelease(state);
}

// ---- Completion callbacks.

int waveConnected(ServerSession *session, void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  state->serverDevice = sessionFindDevice(session, state->direction);
  if (!state->serverDevice) {
    state->refusal = OPEN_NO_DEVICE;
    return 0;  // the session ends; the closed callback wakes the open
  }
  if (state->direction == WAVE_INPUT) {
    state->ready = 1;
    if (state->event) SetEvent(state->event);
    return 1;
  }
  return requestOpenPlayStream(session, state->source, serverDeviceId(state->serverDevice),
                               playStreamReplied, state);
}

void waveClosed(ServerSession *session, void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  if (session->setupRefused && state->refusal == OPEN_OK) state->refusal = OPEN_REFUSED;
  if (state->direction == WAVE_OUTPUT) outputPlayed(state);
  state->connection = nullptr;
  state->ready = 0;
  state->closed = 1;
  state->serverDevice = nullptr;  // it lived in the session's lists
  // A stopped input reads position 0 as before; a recording one keeps the
  // position it reached, which then stands: it never goes back.
  if (state->direction == WAVE_INPUT) {
    if (state->paused) state->position = 0;
    state->paused = 1;
  }
  // A connection ended on an application thread (a request that found the
  // send buffer full) may end while the I/O thread is inside this stream's
  // endpoint, with drvLock released around a callback to the application;
  // it comes back to the endpoint, its ring and its network stream. Those
  // are then destroyed on a later turn of the I/O thread.
  if (state->instance->completing > 0) {
    workQueue(&state->teardown);
    loopWake();
  } else {
    waveRelease(state);
  }
  if (state->event) SetEvent(state->event);
}

void playStreamReplied(ServerSession *, StreamSlot *slot, void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  state->streamSlot = slot;
  // A slot whose sender could not be made carries nothing: the open fails
  // as for a refusal and closes it.
  if (slot && slotHasStream(slot)) {
    state->ready = 1;
  } else {
    state->refusal = slot ? OPEN_NO_MEMORY : OPEN_REFUSED;
  }
  if (state->event) SetEvent(state->event);
}

void recordStreamReplied(ServerSession *session, StreamSlot *slot, void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  // The start that asked for this gave up waiting and left the stream
  // stopped, so a stream granted now is handed back; so is one whose
  // receiver could not be made. A refusal leaves the stream stopped, and
  // the next start asks again.
  bool abandoned = state->abandonedStarts > 0;
  if (abandoned) {
    state->abandonedStarts -= 1;
  } else {
    state->starting = 0;
  }
  if (slot && slotHasStream(slot) && !abandoned) {
    state->paused = 0;
    state->streamSlot = slot;
  } else if (slot && state->connection == session) {
    inputCloseSlot(state, session, slot);
  } else if (slot) {
    slotClose(slot);
  }
  if (!abandoned && state->event) SetEvent(state->event);
}

// ---- Output.

void outputKick(WaveInstance *instance, WaveStream *stream) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  // A header given while paused starts the stream all the same, so that
  // the pauses and restarts that follow reach the server.
  if (state->ready) state->started = 1;
  if (instance->paused) return;
  if (state->ready || state->closed) pumpQueue(state);  // closed: passed on, to nowhere
}

DWORD outputPosition(WaveInstance *, WaveStream *stream) {
  assert(drvLockHeld());
  return outputPlayed(stateOf(stream));
}

DWORD outputReset(WaveInstance *instance, WaveStream *stream) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  PlaySource *source = state->ready ? state->source : nullptr;
  if (!source) return instance->framesWritten;
  for (PlaySender *sender = source->senders; sender; sender = sender->next) {
    playSenderDiscard(sender);
  }
  return source->produced;
}

void outputSetPaused(WaveInstance *instance, WaveStream *stream, int paused) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  DWORD flag = paused ? 1 : 0;
  if (state->started && state->ready && flag != state->paused) {
    state->paused = flag;
    requestPauseStream(state->connection, state->streamSlot, flag);
    loopWake();
  }
  // A close draining the stream looks at the pause at once.
  if (paused && state->event) SetEvent(state->event);
  // The request may have ended the session: ready is read afresh.
  if ((state->ready || state->closed) && !instance->paused && stream->current) pumpQueue(state);
}

// ---- Input.

void inputKick(WaveInstance *, WaveStream *stream) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  if (!state->paused && !state->closed && stream->current) pumpQueue(state);
  if (state->closed && stream->current) {
    inputPaceNext(state);
    loopWake();
  }
}

DWORD inputPosition(WaveInstance *, WaveStream *stream) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  return state->paused && !state->closed ? 0 : state->position;
}

void inputSetPaused(WaveInstance *instance, WaveStream *stream, int paused) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  if (paused) {
    if (state->paused || !state->streamSlot) return;
    // What was recorded and not yet handed on goes with the stop: a later
    // start must begin with its own audio.
    if (state->sink) sinkDiscard(state->sink);
    state->paused = 1;
    workDequeue(&state->pump);
    inputCloseSlot(state, state->connection, state->streamSlot);
    loopWake();
    return;
  }
  if (!state->paused || !state->ready) return;
  if (!state->event) state->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!state->event) return;
  if (!requestOpenRecordStream(state->connection, state->sink, serverDeviceId(state->serverDevice),
                               recordStreamReplied, state)) {
    return;
  }
  state->starting = 1;  // the reply cannot come before the wait releases drvLock
  loopWake();
  // The wait is bounded: a server that accepted the connection but never
  // answers must not hang the application's start. The count of
  // completions in progress keeps a concurrent close from freeing the
  // state under the waiting thread.
  instance->completing += 1;
  DWORD begin = tickNow();
  while (state->ready && state->starting) {
    DWORD waited = tickNow() - begin;
    DWORD result = WAIT_TIMEOUT;
    if (waited < START_WAIT_MS) {
      ResetEvent(state->event);
      result = waitUnlocked(state->event, START_WAIT_MS - waited);
    }
    if (result == WAIT_TIMEOUT) {
      // Still no answer: the stream stays stopped, and the reply, when it
      // comes, is handed back.
      if (state->ready && state->starting) {
        state->abandonedStarts += 1;
        state->starting = 0;
      }
      break;
    }
  }
  instance->completing -= 1;
  instance->events->drainCheck(instance);
  if (state->ready && !state->paused) pumpQueue(state);
}
