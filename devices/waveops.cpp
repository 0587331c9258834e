// The wave operations: a wave stream's control connection, its play or
// record stream, the pumps, and the output drain at close.
#include <cassert>

#include "audio/formats.h"
#include "audio/stream.h"
#include "devices/endpoint.h"
#include "devices/operations.h"
#include "driver/entry.h"
#include "driver/registry.h"
#include "driver/waveout.h"
#include "net/control.h"
#include "net/protocol.h"

const WaveStreamOps outputStreamOps = {waveStreamOpen, waveStreamClose, outputKick, outputPosition,
                                       outputSetPaused};
const WaveStreamOps inputStreamOps = {waveStreamOpen, waveStreamClose, inputKick, inputPosition,
                                      inputSetPaused};

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

// Ends the session's connection; its closed callback runs before this
// returns. The I/O thread is woken to flush and free the connection.
void sessionEnd(ServerSession *session) {
  connClose(session->connection);
  loopWake();
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
    outHeaderPlayed(instance, stream);
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

// Queues the pump and wakes the I/O thread.
void pumpQueue(WaveStreamState *state) {
  workQueue(&state->pump);
  loopWake();
}

// Waits until the play sender has taken every frame written and has
// nothing in flight, at most DRAIN_WAIT_MS per wait. The closing flag is
// set, so the source pads with silence and its progress signals the event.
void outputDrain(WaveInstance *instance, WaveStreamState *state) {
  if (state->ready && !state->event) state->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (state->ready && state->event && !instance->paused) {
    while (state->ready) {
      PlaySender *sender = statePlaySender(state);
      if (!sender) break;
      // The output position, not the input taken: a filtered row holds
      // half a window of the input back, and it goes out only ahead of
      // more (the silence the source pads with while closing).
      if (int32_t(sender->base + sender->sent - instance->framesWritten) >= 0) {
        if (sender->inFlight == 0) break;
        playSenderSetPaused(sender, 1);  // nothing more is sent; wait for what is out
      }
      ResetEvent(state->event);
      if (waitUnlocked(state->event, DRAIN_WAIT_MS) == WAIT_TIMEOUT) break;
      if (instance->paused) break;
    }
  }
  workDequeue(&state->pump);
}

}  // namespace

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
  const StreamSlot *slot = state->udpStream;
  return slot && slot->kind == SLOT_PLAY ? static_cast<PlaySender *>(slot->stream) : nullptr;
}

// ---- Open and close, both directions.

int waveStreamOpen(WaveInstance *instance, WaveStream *stream) {
  assert(drvLockHeld());
  char name[SERVER_NAME_BYTES];
  serverName(name, stream->address, stream->port);
  if (serverMarkedUnreachable(stream->address, stream->port)) return 0;
  WaveStreamState *state = static_cast<WaveStreamState *>(memAllocZero(sizeof *state));
  HANDLE event = state ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (state && event) {
    state->event = event;
    state->instance = instance;
    state->stream = stream;
    state->direction = instance->direction;
    if (state->direction == WAVE_INPUT) {
      state->endpoint = recordSinkCreate(state);
      state->paused = 1;  // stopped until the first start
      workInit(&state->pump, recordPump, state, PUMP_PRIORITY);
    } else {
      state->endpoint = playSourceCreate(state);
      workInit(&state->pump, outputPump, state, PUMP_PRIORITY);
    }
    if (state->endpoint) state->connection = sessionOpen(name, waveConnected, waveClosed, state);
    if (state->connection) {
      loopWake();
      waitUnlocked(state->event, OPEN_WAIT_MS);
      if (state->ready) {
        CloseHandle(state->event);
        state->event = nullptr;
        stream->state = state;
        return 1;
      }
      // The closed callback ends the UDP stream and the endpoint.
      if (state->connection) sessionEnd(state->connection);
    }
    if (state->udpStream) slotClose(state->udpStream);
    if (state->endpoint) endpointDestroy(state->endpoint);
  }
  if (event) CloseHandle(event);
  if (state) LocalFree(state);
  markServerUnreachable(stream->address, stream->port);
  return 0;
}

void waveStreamClose(WaveInstance *instance, WaveStream *stream) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  if (!state) return;
  if (state->direction == WAVE_INPUT) {
    workDequeue(&state->pump);
  } else {
    outputDrain(instance, state);
  }
  if (state->connection) sessionEnd(state->connection);
  workDequeue(&state->pump);  // the closed callback may have queued it
  if (state->event) CloseHandle(state->event);
  LocalFree(state);
  stream->state = nullptr;
}

// ---- Completion callbacks.

int waveConnected(ServerSession *session, void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  state->serverDevice = sessionFindDevice(session, state->direction);
  if (!state->serverDevice) return 0;  // the session ends; the closed callback wakes the open
  if (state->direction == WAVE_INPUT) {
    state->ready = 1;
    if (state->event) SetEvent(state->event);
    return 1;
  }
  return requestOpenPlayStream(session, static_cast<PlaySource *>(state->endpoint),
                               serverDeviceId(state->serverDevice), playStreamReplied, state);
}

void waveClosed(ServerSession *, void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  state->connection = nullptr;
  state->ready = 0;
  state->closed = 1;
  state->serverDevice = nullptr;  // it lived in the session's lists
  if (state->udpStream) {
    slotClose(state->udpStream);
    state->udpStream = nullptr;
  }
  if (state->endpoint) {
    endpointDestroy(state->endpoint);
    state->endpoint = nullptr;
  }
  workDequeue(&state->pump);
  // An output stream that was playing gives its headers back from now on.
  if (state->stream->state == state && state->direction == WAVE_OUTPUT) workQueue(&state->pump);
  if (state->event) SetEvent(state->event);
}

void playStreamReplied(ServerSession *, StreamSlot *slot, void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  state->udpStream = slot;
  // A slot whose sender could not be made carries nothing: the open fails
  // as for a refusal and closes it.
  if (slot && slot->stream) state->ready = 1;
  if (state->event) SetEvent(state->event);
}

void recordStreamReplied(ServerSession *session, StreamSlot *slot, void *user) {
  WaveStreamState *state = static_cast<WaveStreamState *>(user);
  assert(drvLockHeld());
  if (state->abandonedStarts > 0) {
    // The start that asked for this gave up waiting and left the stream
    // stopped: a stream granted now is handed back.
    state->abandonedStarts -= 1;
    if (slot && state->connection == session) {
      // Held while the request goes out: if the send ends the session,
      // the closed callback closes it.
      state->udpStream = slot;
      requestCloseStream(session, slot);
      state->udpStream = nullptr;
    } else if (slot) {
      slotClose(slot);
    }
    return;
  }
  state->paused = 0;
  state->udpStream = slot;
  if (state->event) SetEvent(state->event);
}

// ---- Output.

void outputKick(WaveInstance *instance, WaveStream *stream) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  if (instance->paused) return;
  if (state->ready) {
    state->started = 1;
    pumpQueue(state);
  } else if (state->closed) {
    pumpQueue(state);  // passes the header on, to nowhere
  }
}

DWORD outputPosition(WaveInstance *, WaveStream *stream) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  PlaySender *sender = state->ready ? statePlaySender(state) : nullptr;
  return sender ? sender->base + sender->ackedPlayed : 0;
}

void outputSetPaused(WaveInstance *instance, WaveStream *stream, int paused) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  DWORD flag = paused ? 1 : 0;
  if (state->started && state->ready && flag != state->paused) {
    state->paused = flag;
    requestPauseStream(state->connection, state->udpStream, flag);
    loopWake();
  }
  // The request may have ended the session: ready is read afresh.
  if ((state->ready || state->closed) && !instance->paused && stream->current) pumpQueue(state);
}

// ---- Input.

void inputKick(WaveInstance *, WaveStream *stream) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  if (!state->paused && stream->current) pumpQueue(state);
}

DWORD inputPosition(WaveInstance *, WaveStream *stream) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  return state->paused ? 0 : state->position;
}

void inputSetPaused(WaveInstance *instance, WaveStream *stream, int paused) {
  assert(drvLockHeld());
  WaveStreamState *state = stateOf(stream);
  if (paused) {
    if (state->paused || !state->udpStream) return;
    // Still held during the request: if its send ends the session, the
    // closed callback closes the stream.
    requestCloseStream(state->connection, state->udpStream);
    state->udpStream = nullptr;
    state->paused = 1;
    workDequeue(&state->pump);
    loopWake();
    return;
  }
  if (!state->paused || !state->ready) return;
  if (!state->event) state->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!state->event) return;
  if (!requestOpenRecordStream(state->connection, static_cast<RecordSink *>(state->endpoint),
                               serverDeviceId(state->serverDevice), recordStreamReplied, state)) {
    return;
  }
  loopWake();
  // The wait is bounded: a server that accepted the connection but never
  // answers must not hang the application's start. The count of
  // completions in progress keeps a concurrent close from freeing the
  // state under the waiting thread.
  instance->completing += 1;
  DWORD begin = tickNow();
  while (state->ready && state->paused) {
    DWORD waited = tickNow() - begin;
    DWORD result = WAIT_TIMEOUT;
    if (waited < START_WAIT_MS) {
      ResetEvent(state->event);
      result = waitUnlocked(state->event, START_WAIT_MS - waited);
    }
    if (result == WAIT_TIMEOUT) {
      // Still no answer: the stream stays stopped, and the reply, when it
      // comes, is handed back.
      if (state->ready && state->paused) state->abandonedStarts += 1;
      break;
    }
  }
  instance->completing -= 1;
  instanceSignalDrain(instance);
  if (state->ready && !state->paused) pumpQueue(state);
}
