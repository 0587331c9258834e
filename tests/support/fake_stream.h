// A stand-in for the stream operations of both directions: it records every
// call and plays the stream's role on the real I/O thread. An output stream
// takes whole headers through outHeaderPlayed as a test grants them; an
// input stream writes the granted number of frames into its headers,
// calling inHeaderFilled for each one it fills.
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
  DWORD budget;     // output: headers still allowed to finish; input: frames to deliver
  DWORD position;   // what position answers, in frames
  DWORD delivered;  // input: frames written into headers so far
};

extern FakeStreamLog fakeStreamLog;
// What the next opens return.
extern int fakeStreamOpenResult;
extern const WaveStreamOps FAKE_OUTPUT_OPS;
extern const WaveStreamOps FAKE_INPUT_OPS;
// The byte an input stream writes for the frame with this index (counted
// over the stream's whole delivery).
unsigned char fakeRecordedByte(DWORD frame);

// Clears the log and sets the open result to 1. drvLock need not be held.
void fakeStreamReset();
// Lets the stream finish n more headers (output) or deliver n more frames
// (input) on the I/O thread. Takes drvLock.
void fakeStreamGrant(WaveStream *stream, DWORD n);
// The state of a stream opened through FAKE_OUTPUT_OPS.
FakeStreamState *fakeStreamState(WaveStream *stream);
