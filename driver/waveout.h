// The wave output device: wodMessage and the header life cycle.
//
// Applications hand linear PCM to the device in wave headers. The device
// queues them on the instance (driver/instance.h), lets each output stream
// take their frames on the I/O thread, and returns a header to the
// application (WHDR_DONE, WOM_DONE) once every stream has played it, loops
// included: a header inside a loop comes back after its last repetition.
//
// Callbacks the application sees, in order: WOM_OPEN once after a
// successful open, one WOM_DONE per written header in write order, WOM_CLOSE
// once after the last WOM_DONE. Every DriverCallback is made with drvLock
// released; the instance counts the completions in progress meanwhile, and
// the close frees nothing while one runs.
#pragma once

#include "driver/instance.h"
#include "platform/platform.h"

// The whole capability record's size; WODM_GETDEVCAPS writes as much of it
// as the caller asks for.
constexpr DWORD WAVE_OUT_CAPS_BYTES = 84;

// A close returns at most this long after the audio still queued when it
// began has had its time to play, ms, whatever the server reports.
constexpr DWORD CLOSE_GRACE_MS = 10000;

// The stream has taken every sample frame of its current header: moves the
// stream to the next header (the loop's first while a loop repeats) and
// returns at most one header to the application. Called on the I/O thread
// by the stream's supply, with drvLock held; releases it around the
// WOM_DONE callback, so the caller re-reads the stream afterwards.
void outHeaderPlayed(WaveInstance *instance, WaveStream *stream);
// What an output instance's operations call: outHeaderPlayed, and the
// drain's wake-up.
extern const WaveInstanceEvents waveOutputEvents;

// The exported entry point of the wave output device. user is the
// instance (for WODM_OPEN: where the instance is stored).
extern "C" DWORD APIENTRY wodMessage(UINT deviceId, UINT message, DWORD_PTR user, DWORD_PTR param1,
                                     DWORD_PTR param2);
