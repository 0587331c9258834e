// What the end-to-end tests share: a session published by lumivox-session
// for a terminal on 127.0.0.1, the real driver loaded by the host, the
// callbacks an application sees, WAV files and the measurements made on
// them.
//
// Every case runs in a runtime directory of its own and on a display of its
// own (control port 9000 + display), so that cases running in parallel
// share neither a name registry nor a port. The driver keeps per-process
// state (its I/O thread, the lock); each case ends with the host's unload,
// which sends DRV_CLOSE, and checks that the I/O thread and every
// descriptor and block the driver had are gone.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/mmhost.h"
#include "tests/server/server_process.h"
#include "tests/tools/session_process.h"

using Clock = std::chrono::steady_clock;

// Bound of every wait for a callback or an exit; never reached when the
// driver works. Hang guards only: nothing is asserted about the time taken.
constexpr int E2E_WAIT_MS = 30000;

// One callback as the application saw it.
struct WaveEvent {
  UINT message;     // WOM_* or WIM_*
  WAVEHDR *header;  // parameter 1: the header of WOM_DONE and WIM_DATA
  DWORD bytes;      // the header's dwBytesRecorded when it came back
  Clock::time_point at;
};

// The callbacks of one open device, collected from whichever thread makes
// them. Pass the log as the callback instance of waveCallback.
class EventLog {
 public:
  void add(UINT message, WAVEHDR *header);
  std::vector<WaveEvent> events();
  size_t count(UINT message);
  // Waits until at least n callbacks of message have come (false after
  // E2E_WAIT_MS).
  bool waitFor(UINT message, size_t n);

 private:
  std::mutex mutex_;
  std::condition_variable grown_;
  std::vector<WaveEvent> events_;
};

void CALLBACK waveCallback(HDRVR device, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                           DWORD_PTR param2);

// The PCM format of channels x bits at rate.
WAVEFORMATEX pcmFormat(WORD channels, DWORD rate, WORD bits);

// A format record with room for the extensible tag's fields after the
// WAVEFORMATEX, which a device reads when cbSize says they are there.
#pragma pack(push, 1)
struct WaveFormatRecord {
  WAVEFORMATEX ex;
  WORD validBits;
  DWORD channelMask;
  uint8_t subformat[16];
};
#pragma pack(pop)
static_assert(sizeof(WaveFormatRecord) == 40, "the extensible record's layout");

// channels x bits at rate: integer PCM, or IEEE float when isFloat, under
// the extensible tag when extensible (with all bits valid). The average
// byte rate is left 0, as some applications leave it.
WaveFormatRecord sampleFormat(WORD channels, DWORD rate, WORD bits, bool isFloat, bool extensible);

// The fixture of every case: the driver named in LUMIVOX_DRIVER; each case
// begins with startSession for its own display, then starts the server
// with the options it needs.
class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // A runtime directory and lumivox-session for session 1, whose terminal
  // is 127.0.0.1 on `display`. Every case names a display of its own.
  void startSession(int display);

  // Starts lumivox-server on 127.0.0.1 and this case's display with the
  // extra options and the session's key (--no-auth among the options
  // serves clients without it, the raw ones of the tests).
  void startServer(const std::vector<std::string> &options);
  uint16_t port() const { return uint16_t(9000 + display_); }
  // A file in the case's runtime directory.
  std::string file(const std::string &name) const { return dir_->path() + "/" + name; }

  // Stops the server, unloads the driver (DRV_CLOSE) and checks that
  // nothing of the driver is left: no I/O thread, no descriptor, no
  // LocalAlloc block. Called by TearDown unless the case called it.
  void expectDriverGone();

  int display_ = 0;
  std::string keyFile_;  // the server's key, which the session publishes
  std::unique_ptr<RuntimeDir> dir_;
  std::unique_ptr<SessionProcess> session_;
  std::unique_ptr<ServerProcess> server_;
  int baseThreads_ = 0;      // threads of this process before the server and the driver
  int baseDescriptors_ = 0;  // descriptors then
  bool checked_ = false;     // expectDriverGone has run
};

// Threads of this process.
int threadCount();

// ---- Signals and their measurement.

// A 16-bit WAV file's frames, interleaved; empty when it cannot be read.
struct WavData {
  int rate = 0;
  int channels = 0;
  std::vector<int16_t> samples;
  size_t frames() const { return channels ? samples.size() / size_t(channels) : 0; }
};
WavData readWav(const std::string &path);

// One channel of interleaved samples, as doubles.
std::vector<double> channelOf(const std::vector<int16_t> &samples, int channels, int channel);

// The least-squares fit of a sine of frequency hz (at rate) to x: its
// amplitude, and the ratio of the sine's power to the rest's in dB.
struct SineFit {
  double amplitude = 0;
  double snrDb = 0;
};
SineFit fitSine(const std::vector<double> &x, double rate, double hz);

// The frequency of a sine from its zero crossings, interpolated between
// samples, over the whole of x. 0 without two crossings.
double zeroCrossingFrequency(const std::vector<double> &x, double rate);

// Root mean square of x.
double rms(const std::vector<double> &x);

// Median and largest of a set of values (0 when empty).
double median(std::vector<double> values);
double largest(const std::vector<double> &values);

// ---- An application that plays.

// Plays bytes of PCM through the wave output device as an application
// does: headers of headerBytes (the last one shorter), at most inFlight of
// them queued, the next written when one comes back. Each header has its
// own slice of the data, so the headers of a run are all distinct.
class Player {
 public:
  // format is a WAVEFORMATEX and the cbSize bytes after it (at most those of
  // a WaveFormatRecord).
  Player(const WAVEFORMATEX &format, std::vector<uint8_t> data, size_t headerBytes);
  ~Player();

  MMRESULT open();
  // Writes headers up to `until` (all of them by default), keeping at most
  // inFlight queued and waiting for a WOM_DONE before each write beyond
  // that. Reads the position after every write and every wait, and checks
  // that it never decreases and never exceeds the frames written.
  void play(size_t inFlight, size_t until = SIZE_MAX);
  MMRESULT close();

  // Checks the callbacks of the whole run: WOM_OPEN first, one WOM_DONE per
  // written header in write order, WOM_CLOSE last. Call after close.
  void expectCallbacksInOrder();

  EventLog log;
  HWAVEOUT handle = nullptr;
  std::vector<WAVEHDR> headers;
  size_t written = 0;          // headers written
  DWORD framesWritten = 0;     // frames of the written headers
  DWORD lastPosition = 0;      // the latest position read, frames
  size_t positionReads = 0;    // positions read
  bool checkPositions = true;  // false: positions are read but not checked

 private:
  void readPosition();
  WaveFormatRecord format_ = {};
  std::vector<uint8_t> data_;
};
