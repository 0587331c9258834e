#include "tools/common/device.h"

#include <cstdio>

#include "tools/common/results.h"

WAVEFORMATEX toolWaveFormat(const WavFormat &format) {
  WAVEFORMATEX wfx = {};
  wfx.wFormatTag = WAVE_FORMAT_PCM;
  wfx.nChannels = format.channels;
  wfx.nSamplesPerSec = format.rate;
  wfx.nAvgBytesPerSec = format.rate * format.blockAlign;
  wfx.nBlockAlign = format.blockAlign;
  wfx.wBitsPerSample = format.bits;
  wfx.cbSize = 0;
  return wfx;
}

uint32_t toolBlockBytes(const WavFormat &format) {
  uint32_t frames = format.rate * TOOL_BLOCK_MS / 1000;
  return (frames ? frames : 1) * format.blockAlign;
}

int64_t toolPositionFrames(const MMTIME &time, const WavFormat &format) {
  switch (time.wType) {
    case TIME_SAMPLES: return time.u.sample;
    case TIME_BYTES: return time.u.cb / format.blockAlign;
    case TIME_MS: return int64_t(time.u.ms) * format.rate / 1000;
    default: return -1;
  }
}

void toolReport(const char *tool, const std::string &what, MMRESULT result) {
  std::fprintf(stderr, "%s: %s: %s\n", tool, what.c_str(), mmResultMessage(result).c_str());
}
