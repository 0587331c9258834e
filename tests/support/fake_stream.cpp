#include "tests/support/fake_stream.h"

#include "driver/entry.h"
#include "driver/wavein.h"
#include "driver/waveout.h"

FakeStreamLog fakeStreamLog;
int fakeStreamOpenResult = 1;

namespace {

// One whole header per turn while the budget lasts; the item leaves the
// work list when there is nothing to take, as a real pump does.
void fakeSupply(void *user) {
  FakeStreamState *state = static_cast<FakeStreamState *>(user);
  WaveStream *stream = state->stream;
  if (state->instance->paused || !stream->current || state->budget == 0) {
    workDequeue(&state->supply);
    return;
  }
  state->budget -= 1;
  fakeStreamLog.played.push_back(stream->current);
  outHeaderPlayed(state->instance, stream);
}

// Writes the granted frames into the current headers, as a record sink
// does: a header is returned when full and the rest goes into the next one;
// frames that find no header wait for one.
void fakeDeliver(void *user) {
  FakeStreamState *state = static_cast<FakeStreamState *>(user);
  WaveStream *stream = state->stream;
  DWORD blockAlign = state->instance->format.nBlockAlign;
  while (state->budget > 0 && stream->current) {
    WAVEHDR *h = stream->current;
    DWORD room = h->dwBufferLength / blockAlign - stream->offset;
    DWORD n = room < state->budget ? room : state->budget;
    for (DWORD i = 0; i < n * blockAlign; ++i) {
      h->lpData[stream->offset * blockAlign + i] = char(fakeRecordedByte(state->delivered + i / blockAlign));
    }
    state->delivered += n;
    state->budget -= n;
    stream->offset += n;
    h->dwBytesRecorded = stream->offset * blockAlign;
    if (stream->offset * blockAlign + blockAlign > h->dwBufferLength) inHeaderFilled(state->instance, stream);
  }
  workDequeue(&state->supply);
}

OpenResult fakeOpen(WaveInstance *instance, WaveStream *stream) {
  fakeStreamLog.opens += 1;
  fakeStreamLog.address = stream->address;
  fakeStreamLog.port = stream->port;
  if (!fakeStreamOpenResult) return OPEN_NO_CONNECTION;
  FakeStreamState *state = new FakeStreamState{};
  workInit(&state->supply, instance->direction == WAVE_OUTPUT ? fakeSupply : fakeDeliver, state, 1);
  state->instance = instance;
  state->stream = stream;
  stream->state = state;
  return OPEN_OK;
}

void fakeClose(WaveInstance *, WaveStream *stream) {
  fakeStreamLog.closes += 1;
  FakeStreamState *state = fakeStreamState(stream);
  workDequeue(&state->supply);
  delete state;
  stream->state = nullptr;
}

void fakeKick(WaveInstance *, WaveStream *stream) {
  fakeStreamLog.kicks += 1;
  workQueue(&fakeStreamState(stream)->supply);
  loopWake();
}

DWORD fakePosition(WaveInstance *, WaveStream *stream) { return fakeStreamState(stream)->position; }

void fakeSetPaused(WaveInstance *, WaveStream *stream, int paused) {
  fakeStreamLog.pauses.push_back(paused);
  if (!paused) {
    workQueue(&fakeStreamState(stream)->supply);
    loopWake();
  }
}

}  // namespace

const WaveStreamOps FAKE_OUTPUT_OPS = {
    .open = fakeOpen,
    .close = fakeClose,
    .kick = fakeKick,
    .position = fakePosition,
    .setPaused = fakeSetPaused,
    .reset = nullptr,
    .closeBy = nullptr,
};

const WaveStreamOps FAKE_INPUT_OPS = {
    .open = fakeOpen,
    .close = fakeClose,
    .kick = fakeKick,
    .position = fakePosition,
    .setPaused = fakeSetPaused,
    .reset = nullptr,
    .closeBy = nullptr,
};

unsigned char fakeRecordedByte(DWORD frame) { return static_cast<unsigned char>(frame * 7 + 1); }

void fakeStreamReset() {
  fakeStreamLog = FakeStreamLog{};
  fakeStreamOpenResult = 1;
}

void fakeStreamGrant(WaveStream *stream, DWORD n) {
  EnterCriticalSection(&drvLock);
  FakeStreamState *state = fakeStreamState(stream);
  state->budget += n;
  workQueue(&state->supply);
  loopWake();
  LeaveCriticalSection(&drvLock);
}

FakeStreamState *fakeStreamState(WaveStream *stream) {
  return static_cast<FakeStreamState *>(stream->state);
}
