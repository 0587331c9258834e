// A stand-in for the output stream operations: it records every call and
// plays the stream's role on the real I/O thread, taking whole headers
// through outHeaderPlayed as a test grants them.
#pragma once

#include <vector>

#include "driver/instance.h"
#include "net/loop.h"

// What the operations were asked, for all fake streams together. Read and
// written with drvLock held.
struct FakeStreamLog {
  int opens;
  int closes;
  int kicks;
  std::vector<int> pauses;  // setPaused flags, in call order
  DWORD address;            // of the last open
  DWORD port;
  std::vector<WAVEHDR *> played;  // headers finished, in play order
};

// The state each fake stream's open makes.
struct FakeStreamState {
  WorkItem supply;  // priority 1 on the I/O thread, as a real stream's pump
  WaveInstance *instance;
  WaveStream *stream;
  DWORD budget;     // headers still allowed to finish
  DWORD position;   // what position answers, in frames
};

extern FakeStreamLog fakeStreamLog;
// What the next opens return.
extern int fakeStreamOpenResult;
extern const WaveStreamOps FAKE_OUTPUT_OPS;

// Clears the log and sets the open result to 1. drvLock need not be held.
void fakeStreamReset();
// Lets the stream finish n more headers on the I/O thread. Takes drvLock.
void fakeStreamGrant(WaveStream *stream, DWORD n);
// The state of a stream opened through FAKE_OUTPUT_OPS.
FakeStreamState *fakeStreamState(WaveStream *stream);
