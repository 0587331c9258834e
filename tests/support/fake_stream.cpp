#include "tests/support/fake_stream.h"

#include "driver/entry.h"
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

int fakeOpen(WaveInstance *instance, WaveStream *stream) {
  fakeStreamLog.opens += 1;
  fakeStreamLog.address = stream->address;
  fakeStreamLog.port = stream->port;
  if (!fakeStreamOpenResult) return 0;
  FakeStreamState *state = new FakeStreamState{};
  workInit(&state->supply, fakeSupply, state, 1);
  state->instance = instance;
  state->stream = stream;
  stream->state = state;
  return 1;
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
};

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
