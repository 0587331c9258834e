// The doctor's tone step: one second of a sine through the wave output
// device, opened as any application opens it, so that the driver is
// loaded the way it is for real (winmm and the installed driver on
// Windows; mmhost and LUMIVOX_DRIVER, else liblumivox.so, on Linux).
#pragma once

#include <cstdint>

#include "tools/doctor/report.h"

// The tone: its length, ms, and its level, a quarter of full scale
// (about -12 dBFS), so that a loud speaker does not startle anybody.
constexpr uint32_t DOCTOR_TONE_MS = 1000;
constexpr double DOCTOR_TONE_LEVEL = 0.25;
constexpr uint32_t DOCTOR_TONE_RATE = 44100;  // Hz, mono 16-bit

Step checkTone(uint32_t hz);
