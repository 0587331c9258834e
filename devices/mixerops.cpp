// The mixer operations: one control connection per target, the volume
// writes and the volume queries with their bounded wait.
#include <cassert>

#include "devices/operations.h"
#include "devices/registry.h"
#include "net/control.h"
#include "net/lock.h"
#include "session/protocol.h"

const MixerOps serverMixerOps = {mixerServerOpen, mixerServerClose, mixerServerSetVolume,
                                 mixerServerGetVolume};

namespace {

MixerState *stateOf(const MixerTarget *target) { return static_cast<MixerState *>(target->state); }

// The control of a volume index, or null for another index or a server
// without that control.
const ServerControl *mixerControl(const MixerState *state, DWORD index) {
  if (index == MIXER_OUTPUT_VOLUME) return state->outputControl;
  if (index == MIXER_INPUT_VOLUME) return state->inputControl;
  return nullptr;
}

void queryFree(VolumeQuery *query) {
  CloseHandle(query->event);
  LocalFree(query);
}

}  // namespace

int mixerServerOpen(MixerTargetList *list, MixerTarget *target) {
  assert(drvLockHeld());
  char name[SERVER_NAME_BYTES];
  serverName(name, target->address, target->port);
  if (serverMarkedUnreachable(target->address, target->port)) return 0;
  bool unanswered = false;
  MixerState *state = static_cast<MixerState *>(memAllocZero(sizeof *state));
  HANDLE event = state ? CreateEventW(nullptr, TRUE, FALSE, nullptr) : nullptr;
  if (state && event) {
    state->event = event;
    state->targetList = list;
    state->target = target;
    state->connection = sessionOpen(name, mixerConnected, mixerClosed, state);
    if (state->connection) {
      loopWake();
      LeaveCriticalSection(&drvLock);
      WaitForSingleObject(event, OPEN_WAIT_MS);
      EnterCriticalSection(&drvLock);
      unanswered = openUnanswered(event);
      if (state->ready) {
        CloseHandle(event);
        state->event = nullptr;
        target->state = state;
        return 1;
      }
      if (!state->closed && state->connection) sessionClose(state->connection);
    }
  }
  if (event) CloseHandle(event);
  if (state) LocalFree(state);
  if (unanswered) markServerUnreachable(target->address, target->port);
  return 0;
}

void mixerServerClose(MixerTargetList *, MixerTarget *target) {
  assert(drvLockHeld());
  MixerState *state = stateOf(target);
  if (!state) return;
  // Pending queries complete (with no value) in the closed callback.
  if (state->connection) sessionClose(state->connection);
  if (state->event) CloseHandle(state->event);
  LocalFree(state);
  target->state = nullptr;
}

void mixerServerSetVolume(MixerTargetList *, MixerTarget *target, DWORD index, DWORD value) {
  assert(drvLockHeld());
  MixerState *state = stateOf(target);
  const ServerControl *control = state ? mixerControl(state, index) : nullptr;
  if (!control || !state->connection) return;
  // The same level in both halves: left and right.
  value &= 0xFFFF;
  requestSetControl(state->connection, serverControlId(control), value << 16 | value);
  loopWake();
}

DWORD mixerServerGetVolume(MixerTargetList *, MixerTarget *target, DWORD index) {
  assert(drvLockHeld());
  MixerState *state = stateOf(target);
  const ServerControl *control = state ? mixerControl(state, index) : nullptr;
  if (!control || !state->connection) return MIXER_VOLUME_UNKNOWN;
  VolumeQuery *query = static_cast<VolumeQuery *>(memAllocZero(sizeof *query));
  if (!query) return MIXER_VOLUME_UNKNOWN;
  query->value = QUERY_NO_VALUE;
  query->event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (!query->event) {
    LocalFree(query);
    return MIXER_VOLUME_UNKNOWN;
  }
  int queued =
      requestQueryControl(state->connection, serverControlId(control), volumeReplied, query);
  if (queued) {
    loopWake();
    LeaveCriticalSection(&drvLock);
    WaitForSingleObject(query->event, QUERY_WAIT_MS);
    EnterCriticalSection(&drvLock);
  }
  DWORD value = query->value >> 16;
  // A request that was queued completes exactly once, with the reply or
  // with no value when the session ends; one that was not never completes.
  // If the completion is still to come, it frees the record.
  if (query->delivered || !queued) {
    queryFree(query);
  } else {
    query->abandoned = 1;
  }
  return value;
}

// ---- Completion callbacks.

int mixerConnected(ServerSession *session, void *user) {
  MixerState *state = static_cast<MixerState *>(user);
  assert(drvLockHeld());
  state->outputControl = sessionFindVolume(session, WAVE_OUTPUT);
  state->inputControl = sessionFindVolume(session, WAVE_INPUT);
  state->ready = 1;
  if (state->event) SetEvent(state->event);
  return 1;  // a server without the controls still answers reads with "unknown"
}

void mixerClosed(ServerSession *, void *user) {
  MixerState *state = static_cast<MixerState *>(user);
  assert(drvLockHeld());
  state->connection = nullptr;
  state->ready = 0;
  state->closed = 1;
  state->outputControl = nullptr;
  state->inputControl = nullptr;
  if (state->event) SetEvent(state->event);
}

void volumeReplied(ServerSession *, DWORD, DWORD value, void *user) {
  VolumeQuery *query = static_cast<VolumeQuery *>(user);
  assert(drvLockHeld());
  if (query->abandoned) {
    queryFree(query);
    return;
  }
  query->value = value;
  query->delivered = 1;
  SetEvent(query->event);
}
