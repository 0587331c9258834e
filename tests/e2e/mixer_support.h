// Volume reads and writes as an application makes them: through the mixer
// by its number, the control ids the driver's topology gives.
#pragma once

#include "host/mmhost.h"

constexpr DWORD MIXER_CONTROL_OUTPUT = 0;  // "Output Volume"
constexpr DWORD MIXER_CONTROL_INPUT = 1;   // "Input Volume"

inline MIXERCONTROLDETAILS volumeDetails(DWORD control, MIXERCONTROLDETAILS_UNSIGNED *value) {
  MIXERCONTROLDETAILS d = {};
  d.cbStruct = sizeof d;
  d.dwControlID = control;
  d.cChannels = 1;
  d.cbDetails = sizeof *value;
  d.paDetails = value;
  return d;
}

// The level the driver answers; 0xDEADBEEF when the call itself fails.
inline DWORD readVolume(DWORD control) {
  MIXERCONTROLDETAILS_UNSIGNED value = {0xDEADBEEF};
  MIXERCONTROLDETAILS d = volumeDetails(control, &value);
  MMRESULT r = mixerGetControlDetailsW(reinterpret_cast<HMIXEROBJ>(0), &d,
                                       MIXER_OBJECTF_MIXER | MIXER_GETCONTROLDETAILSF_VALUE);
  return r == MMSYSERR_NOERROR ? value.dwValue : 0xDEADBEEF;
}

inline MMRESULT setVolume(DWORD control, DWORD level) {
  MIXERCONTROLDETAILS_UNSIGNED value = {level};
  MIXERCONTROLDETAILS d = volumeDetails(control, &value);
  return mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(0), &d,
                                MIXER_OBJECTF_MIXER | MIXER_SETCONTROLDETAILSF_VALUE);
}
