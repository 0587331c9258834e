// The wave input device: widMessage and the life of the application's
// empty headers.
//
// The application adds headers; the input stream writes recorded audio into
// each stream's current header on the I/O thread and calls inHeaderFilled
// when it is full. A header comes back (WHDR_DONE, WIM_DATA) when it is
// full, when recording stops with it partly filled, or on reset, always in
// the order the headers were added. The instance, the queue and the
// callback rules are the output device's (driver/instance.h).
//
// Callbacks the application sees: WIM_OPEN once, one WIM_DATA per added
// header, WIM_CLOSE once, and only when no header is queued: a close with
// headers queued fails with WAVERR_STILLPLAYING, and the application resets
// first.
#pragma once

#include "driver/instance.h"
#include "platform/platform.h"

// The whole capability record's size; WIDM_GETDEVCAPS writes as much of it
// as the caller asks for.
constexpr DWORD WAVE_IN_CAPS_BYTES = 80;

// The stream's current header is full: returns it and moves the stream to
// the next queued header (or to none). Called on the I/O thread by the
// stream's delivery, with drvLock held; releases it around the WIM_DATA
// callback, so the caller re-reads the stream afterwards.
void inHeaderFilled(WaveInstance *instance, WaveStream *stream);
// What an input instance's operations call: inHeaderFilled, and the
// drain's wake-up.
extern const WaveInstanceEvents waveInputEvents;

// The exported entry point of the wave input device. user is the instance
// (for WIDM_OPEN: where the instance is stored).
extern "C" DWORD APIENTRY widMessage(UINT deviceId, UINT message, DWORD_PTR user, DWORD_PTR param1,
                                     DWORD_PTR param2);
