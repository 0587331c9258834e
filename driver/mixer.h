// The mixer device: mxdMessage and its constant topology; the volume
// reads and writes go through the server targets of devices/mixer.h.
//
// The topology is fixed: two destination lines (speakers and wave input),
// each with one source line (wave output and microphone), and one volume
// control per destination that its source line shares. Lines, controls and
// capabilities are answered from constant tables without the lock.
//
// Sizes: the records are answered in the target's own layout (MIXERLINEW
// is 284 bytes on x64 and 280 on 32-bit, MIXERCONTROLW 228). A caller whose
// size field is smaller than what an answer writes gets MMSYSERR_INVALPARAM
// and nothing is written; winmm always passes the full sizes.
#pragma once

#include "devices/mixer.h"
#include "platform/platform.h"

constexpr DWORD MIXER_LINE_COUNT = 4;
constexpr DWORD MIXER_CONTROL_COUNT = 2;

// The constant tables, in the order the lines and controls are numbered.
extern const MIXERLINEW mixerLines[MIXER_LINE_COUNT];
extern const MIXERCONTROLW mixerControls[MIXER_CONTROL_COUNT];

// The exported entry point of the mixer device.
extern "C" DWORD APIENTRY mxdMessage(UINT deviceId, UINT message, DWORD_PTR user, DWORD_PTR param1,
                                     DWORD_PTR param2);
