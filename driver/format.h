// The application formats the wave devices play and record, and the one
// rule that decides: a format query and a real open of either device ask
// it alike, so that a query answers yes exactly when the open would take
// the format.
//
// Taken: WAVE_FORMAT_PCM with 8-, 16-, 24- or 32-bit samples,
// WAVE_FORMAT_IEEE_FLOAT with 32-bit samples, and WAVE_FORMAT_EXTENSIBLE
// with either as its subformat; 1 or 2 channels; a block align of channels
// times the container's bytes; WAVE_RATE_MIN to WAVE_RATE_MAX Hz. An
// extensible integer format may have fewer valid bits than its container
// (they sit at its top, where the conversion reads and writes); a float
// one must use all 32. The average byte rate is not examined: the devices
// work from the rate and the block align. Everything else is
// WAVERR_BADFORMAT, the answer on which the multimedia layer's wave mapper
// puts a converter of its own in front of the device.
#pragma once

#include "audio/pcm.h"
#include "platform/platform.h"

// The sample rates a real open accepts, in Hz: from the lowest wire rate to
// four times the highest. The rate converter's window is sized for the
// widest ratio of the two (192 kHz to 8 kHz, RS_MAX_TAPS).
constexpr DWORD WAVE_RATE_MIN = 8000;
constexpr DWORD WAVE_RATE_MAX = 192000;

// The format tags beside WAVE_FORMAT_PCM, as the multimedia headers name
// them.
constexpr WORD WAVE_TAG_IEEE_FLOAT = 3;
constexpr WORD WAVE_TAG_EXTENSIBLE = 0xFFFE;

// Whether the devices take the format that format points at (a
// PCMWAVEFORMAT for WAVE_FORMAT_PCM, a WAVEFORMATEX for the other tags).
// MMSYSERR_NOERROR with the sample kind in *sample, or WAVERR_BADFORMAT
// with *sample untouched. Reads nothing beyond what the tag says the
// record holds.
MMRESULT waveFormatCheck(const WAVEFORMAT *format, PcmSample *sample);
