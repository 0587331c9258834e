#include "tools/common/device.h"

#include <cstdio>
#include <cstdlib>

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
    case TIME_SAMPLES:
      return time.u.sample;
    case TIME_BYTES:
      return time.u.cb / format.blockAlign;
    case TIME_MS:
      return int64_t(time.u.ms) * format.rate / 1000;
    default:
      return -1;
  }
}

void toolReport(const char *tool, const std::string &what, MMRESULT result) {
  std::fprintf(stderr, "%s: %s: %s\n", tool, what.c_str(), mmResultMessage(result).c_str());
  if (result == MMSYSERR_NODRIVER) {
    std::fprintf(stderr, "%s: run lumivox-doctor to see which step of finding the server fails\n",
                 tool);
  }
}

void toolReportNoDevice(const char *tool, const char *kind) {
#ifdef _WIN32
  std::fprintf(stderr, "%s: no %s device: the driver is not installed or cannot be loaded\n", tool,
               kind);
#else
  // The host loads the driver on the first call; a count of 0 with a load
  // error means the library itself is the trouble, not the session.
  const char *reason = mmhostLoadError();
  const char *variable = std::getenv("LUMIVOX_DRIVER");
  if (reason[0]) {
    std::fprintf(stderr, "%s: no %s device: the driver cannot be loaded: %s\n", tool, kind, reason);
  } else {
    std::fprintf(stderr, "%s: no %s device: the driver offers none\n", tool, kind);
  }
  if (variable && variable[0]) {
    std::fprintf(stderr, "%s: the driver library is LUMIVOX_DRIVER=%s\n", tool, variable);
  } else {
    std::fprintf(stderr,
                 "%s: LUMIVOX_DRIVER is not set, so liblumivox.so was looked for in the loader's "
                 "path; set LUMIVOX_DRIVER to the library's full path\n",
                 tool);
  }
#endif
}
