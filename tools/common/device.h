// What the wave tools share around the device: the open format, a wrap-free
// position, and the failure report.
#pragma once

#include <cstdint>
#include <string>

#include "tools/common/mmapi.h"
#include "tools/common/wav.h"

// The tools' wait between looks at the device, milliseconds: it bounds the
// delay of the progress display and of the reaction to SIGINT.
constexpr DWORD TOOL_TICK_MS = 50;
// Audio per wave header, milliseconds.
constexpr uint32_t TOOL_BLOCK_MS = 100;

// The open format for a WAV format.
WAVEFORMATEX toolWaveFormat(const WavFormat &format);

// Bytes per header: TOOL_BLOCK_MS of audio in whole frames, at least one.
uint32_t toolBlockBytes(const WavFormat &format);

// Turns the device's wrapping 32-bit position into a 64-bit count. The
// position never goes back, so a smaller value than the last one is taken
// as a wrap of the counter.
class PositionCounter {
 public:
  void feed(uint32_t value) {
    total_ += uint32_t(value - last_);
    last_ = value;
  }
  uint64_t total() const { return total_; }

 private:
  uint32_t last_ = 0;
  uint64_t total_ = 0;
};

// Whether the device has given the header back. The driver sets WHDR_DONE
// on its own thread while the tool polls, so the flags are read atomically
// (acquire: the header's data and length are the driver's by then).
inline bool toolHeaderDone(const WAVEHDR &header) {
  return (__atomic_load_n(&header.dwFlags, __ATOMIC_ACQUIRE) & WHDR_DONE) != 0;
}

// The device's position in frames from an MMTIME it filled (samples, bytes
// or milliseconds), or -1 for another unit.
int64_t toolPositionFrames(const MMTIME &time, const WavFormat &format);

// Prints "<tool>: <what>: <result's message>" on standard error. After
// MMSYSERR_NODRIVER, the driver's answer when it finds no audio server for
// the session, a second line points to lumivox-doctor, which looks at each
// step of that search.
void toolReport(const char *tool, const std::string &what, MMRESULT result);

// Prints why a tool finds no device of kind ("wave output", "mixer"): on
// Linux the loader's reason and the variable that names the driver
// library; on Windows, that the driver is not installed.
void toolReportNoDevice(const char *tool, const char *kind);
