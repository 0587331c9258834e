// The doctor's steps against the audio server, over the driver's own
// control connection, protocol and play sender, on the driver's own I/O
// thread: the setup (step 4) and, when asked for, a short play stream
// (step 5).
#pragma once

#include <cstdint>

#include "tools/doctor/report.h"

// The application format the stream step stands for: what the wire
// format choice depends on besides the server's limits.
constexpr uint32_t DOCTOR_STREAM_RATE = 44100;  // Hz, stereo, 16-bit
// Audio the stream step sends, ms of silence.
constexpr uint32_t DOCTOR_STREAM_MS = 500;

struct ServerSteps {
  Step setup;
  Step stream;
  bool setupPassed = false;
};

// Opens a session with the server at address:port (host order) as a device
// open does, waits for its setup as long as an open does, and with stream
// opens a play stream and sends DOCTOR_STREAM_MS of silence through it.
// Every wait is bounded: OPEN_WAIT_MS for each answer, STREAM_STALL_MS for
// the stream's audio. Starts and stops the I/O thread itself.
ServerSteps checkServerSession(uint32_t address, uint32_t port, bool stream);
