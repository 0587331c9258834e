// The recording driver module that the tools' process tests load
// (tests/tools/tool_driver.cpp), and the signal its input device records.
//
// It is steered by the environment of the tool's process:
//   LUMIVOX_FAKE_LOG            file the module appends one line per call to
//   LUMIVOX_FAKE_PLAYED         file the output device appends played bytes to
//   LUMIVOX_FAKE_FAIL           "wod:5=6": message 5 of wodMessage answers 6
//                               (entries wod, wid, mxd), before anything else
//   LUMIVOX_FAKE_RECORD_FRAMES  frames the input device delivers in all
//                               (default: no limit)
//   LUMIVOX_FAKE_VOLUME         the value both volume controls start with
//                               (default 0x8000)
//
// The output device plays one header each time it is asked for its
// position while not paused, following the header loop rules, and returns
// headers with WOM_DONE once no loop needs them again. The input device
// fills each added header at once while started, up to the frame limit.
#pragma once

#include <cstdint>

// Sample c of frame f of the recorded signal, 16-bit: a ramp that peaks at
// 8192, that is about -12 dBFS.
inline int16_t toolSignal16(uint64_t frame, unsigned channel) {
  return int16_t(int((frame * 37 + channel * 4096) % 16384) - 8192);
}
// The same for 8-bit (unsigned, centred on 128): peaks 32 from the centre.
inline uint8_t toolSignal8(uint64_t frame, unsigned channel) {
  return uint8_t(128 + int((frame * 3 + channel * 16) % 64) - 32);
}
