// lumivox-play: plays sound files on the wave output device, one after
// the other. See PLAY_USAGE (tools/play/options.cpp) or run with --help.
//
// Each file is decoded whole into memory (tools/common/audiofile.h) and the
// device opened at its format; a file that cannot be read is reported and
// the next one played. The samples are cut into headers of TOOL_BLOCK_MS
// and queued at once,
// which is what lets a loop over the whole file go through the device's own
// header loop. The device reports each played header with an event
// callback; the tool looks at the headers, the position, the pause and
// SIGINT every TOOL_TICK_MS at the latest.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/audiofile.h"
#include "tools/common/console.h"
#include "tools/common/device.h"
#include "tools/common/interrupt.h"
#include "tools/common/stats.h"
#include "tools/play/options.h"

namespace {

const char TOOL[] = "lumivox-play";
constexpr size_t BAR_WIDTH = 30;  // characters of the progress bar
// The device's position standing still this long while audio is queued or
// unplayed (and the device not paused by the tool) ends the file as not
// played: the stream never started, or the server went away or stopped
// playing. Longer than the driver's own wait for a first answer and than a
// short outage of the network; the driver's own bound for a close that
// sees no progress.
constexpr DWORD PLAY_STILL_MS = 10000;
// Once the device has given every header back, only what it holds is left
// to play, and a device that has started playing moves its position all
// the while: one standing still this long then has lost its server (the
// driver passes the headers of a stream whose connection ended on at
// once). A stream that has not started yet keeps the longer limit: a
// sound system may take a moment to start a stream.
constexpr DWORD PLAY_GONE_MS = 2000;

std::string describe(const AudioClip &clip, double seconds, const PlayOptions &options) {
  const WavFormat &format = clip.format;
  std::string samples =
      clip.sampleFormat.empty() ? std::to_string(format.bits) + "-bit" : clip.sampleFormat;
  std::string text = clip.kind + ", " + std::to_string(format.rate) + " Hz, " + samples + ", " +
                     (format.channels == 1 ? "mono" : "stereo") + ", " + consoleTime(seconds);
  if (options.plays == PLAY_LOOP_FOREVER)
    text += ", looping until interrupted";
  else if (options.loop)
    text += ", " + std::to_string(options.plays) + " times";
  return text;
}

// What --stats counts over all the files of a run.
struct PlayTotals {
  uint64_t headersWritten = 0;
  uint64_t headersReturned = 0;
  uint64_t framesWritten = 0;
  uint64_t framesPlayed = 0;
};

// One file's way through the device: open, queue, wait, close.
struct Player {
  const PlayOptions &options;
  ToolStats &stats;  // the run's, shared by its files
  const WavFormat &format;
  const std::vector<uint8_t> &data;
  HWAVEOUT out = nullptr;
  HANDLE event = nullptr;  // set by the device's callbacks
  std::vector<WAVEHDR> headers;
  size_t returned = 0;          // headers given back so far, in order
  uint64_t returnedFrames = 0;  // frames of those headers
  PositionCounter position;     // frames played, by the device's count
  bool positionKnown = false;   // the device has reported a position
  DWORD movedAt = 0;            // GetTickCount when the position last moved (or the start)
  uint64_t lastPosition = 0;    // position.total() then
  bool paused = false;
  bool pauseDone = false;
  DWORD pausedSince = 0;       // GetTickCount at the pause, milliseconds
  uint64_t written = 0;        // headers the device took
  uint64_t framesWritten = 0;  // frames of those headers (one pass of a loop)

  Player(const PlayOptions &o, ToolStats &s, const AudioClip &clip)
      : options(o), stats(s), format(clip.format), data(clip.data) {}

  bool fail(const char *call, MMRESULT result) {
    toolReport(TOOL, call, result);
    return false;
  }

  bool open() {
    if (waveOutGetNumDevs() == 0) {
      toolReportNoDevice(TOOL, "wave output");
      return false;
    }
    event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    WAVEFORMATEX wfx = toolWaveFormat(format);
    MMRESULT r = stats.time("waveOutOpen", [&] {
      return waveOutOpen(&out, WAVE_MAPPER, &wfx, reinterpret_cast<DWORD_PTR>(event), 0,
                         CALLBACK_EVENT);
    });
    if (r != MMSYSERR_NOERROR) {
      out = nullptr;
      return fail("cannot open the wave output device", r);
    }
    return true;
  }

  // Cuts the data into headers, prepares and writes them all.
  bool queue() {
    uint32_t block = toolBlockBytes(format);
    headers.resize((data.size() + block - 1) / block);
    for (size_t i = 0; i < headers.size(); ++i) {
      WAVEHDR &h = headers[i];
      h = WAVEHDR{};
      // The device only reads the samples; winmm's header is not const.
      h.lpData = reinterpret_cast<LPSTR>(const_cast<uint8_t *>(data.data()) + i * block);
      h.dwBufferLength = DWORD(std::min<size_t>(block, data.size() - i * block));
      MMRESULT r = stats.time("waveOutPrepareHeader",
                              [&] { return waveOutPrepareHeader(out, &h, sizeof h); });
      if (r != MMSYSERR_NOERROR) return fail("waveOutPrepareHeader", r);
    }
    if (options.loop && !headers.empty()) {
      headers.front().dwFlags |= WHDR_BEGINLOOP;
      headers.front().dwLoops = options.plays;
      headers.back().dwFlags |= WHDR_ENDLOOP;
    }
    for (WAVEHDR &h : headers) {
      MMRESULT r = stats.time("waveOutWrite", [&] { return waveOutWrite(out, &h, sizeof h); });
      if (r != MMSYSERR_NOERROR) return fail("waveOutWrite", r);
      ++written;
      framesWritten += h.dwBufferLength / format.blockAlign;
    }
    return true;
  }

  // Counts the headers the device has given back (it returns them in order).
  bool finished() {
    while (returned < headers.size() && toolHeaderDone(headers[returned])) {
      returnedFrames += headers[returned].dwBufferLength / format.blockAlign;
      ++returned;
    }
    return returned == headers.size();
  }

  double elapsedSeconds() {
    MMTIME time = {};
    time.wType = TIME_SAMPLES;
    if (stats.time("waveOutGetPosition", [&] {
          return waveOutGetPosition(out, &time, sizeof time);
        }) == MMSYSERR_NOERROR) {
      int64_t frames = toolPositionFrames(time, format);
      if (frames >= 0) {
        position.feed(uint32_t(frames));
        positionKnown = true;
      }
    }
    if (position.total() != lastPosition || paused) {
      lastPosition = position.total();
      movedAt = GetTickCount();
    }
    // What the device reports as played, not what it has taken: a header
    // comes back once its audio is sent, well before it is heard.
    uint64_t frames = positionKnown ? position.total() : (options.loop ? 0 : returnedFrames);
    return double(frames) / format.rate;
  }

  // Where the device's position ends: the frames written. The position
  // counts no pass of a loop beyond them, so a loop's later passes are
  // followed by its headers alone.
  uint64_t endFrames() const { return framesWritten; }

  // Whether the position has stood still for PLAY_STILL_MS short of its
  // end (at the end, a loop's later passes play without moving it).
  bool stalled(bool allBack) const {
    return !paused && position.total() < endFrames() &&
           GetTickCount() - movedAt >= stillLimit(allBack);
  }
  DWORD stillLimit(bool allBack) const {
    return allBack && position.total() > 0 ? PLAY_GONE_MS : PLAY_STILL_MS;
  }

  // Says why the file did not play to its end.
  int notPlayed(StatusLine &line, double total, bool allBack) {
    line.end();
    unsigned seconds = unsigned(stillLimit(allBack) / 1000);
    if (position.total() == 0) {
      std::fprintf(stderr,
                   "%s: nothing was played: the device's position stood at 0 for %u s; %s\n", TOOL,
                   seconds, STREAM_NEVER_STARTED);
    } else {
      std::fprintf(stderr,
                   "%s: playback stopped at %s of %s: the device's position stood still for "
                   "%u s%s (the audio server went away or stopped playing)\n",
                   TOOL, consoleTime(double(position.total()) / format.rate).c_str(),
                   consoleTime(total).c_str(), seconds,
                   allBack ? " with every buffer given back" : "");
    }
    return TOOL_EXIT_DEVICE;
  }

  // Pauses once the position reaches --pause-at and resumes after
  // --pause-for. False when the device refuses.
  bool steerPause(double elapsed) {
    if (!options.pause || pauseDone) return true;
    if (!paused && elapsed >= options.pauseAt) {
      MMRESULT r = stats.time("waveOutPause", [&] { return waveOutPause(out); });
      if (r != MMSYSERR_NOERROR) return fail("waveOutPause", r);
      paused = true;
      pausedSince = GetTickCount();
    }
    if (paused && GetTickCount() - pausedSince >= DWORD(options.pauseFor * 1000)) {
      MMRESULT r = stats.time("waveOutRestart", [&] { return waveOutRestart(out); });
      if (r != MMSYSERR_NOERROR) return fail("waveOutRestart", r);
      paused = false;
      pauseDone = true;
    }
    return true;
  }

  std::string status(double elapsed, double total, bool terminal) {
    std::string text;
    if (options.plays == PLAY_LOOP_FOREVER) {
      text = consoleTime(elapsed) + " (looping)";
    } else {
      if (elapsed > total) elapsed = total;
      text = consoleTime(elapsed) + " / " + consoleTime(total);
      if (terminal) text = consoleBar(total > 0 ? elapsed / total : 1, BAR_WIDTH) + " " + text;
    }
    return paused ? text + " paused" : text;
  }

  // Waits for the last header and then for the device's position to reach
  // the end, showing progress. Returns TOOL_EXIT_OK once the device reports
  // every frame played; TOOL_EXIT_DEVICE, with the reason, when the position
  // stands still for PLAY_STILL_MS first (or the device has no position to
  // report when the headers are back); TOOL_EXIT_INTERRUPTED (whatever the
  // signal).
  int run() {
    bool terminal = consoleIsTerminal();
    StatusLine line(terminal);
    double total = double(data.size() / format.blockAlign) / format.rate * options.plays;
    movedAt = GetTickCount();
    for (;;) {
      bool back = finished();
      if (interruptRequested()) {
        line.end();
        return TOOL_EXIT_INTERRUPTED;
      }
      if (back && !positionKnown) break;  // a device without a position: its headers are all
      if (back && position.total() >= endFrames()) break;
      if (stalled(back)) return notPlayed(line, total, back);
      WaitForSingleObject(event, back ? TOOL_TICK_MS / 5 : TOOL_TICK_MS);
      double elapsed = elapsedSeconds();
      if (!steerPause(elapsed)) {
        line.end();
        return TOOL_EXIT_DEVICE;
      }
      line.show(status(elapsed, total, terminal), int64_t(elapsed));
    }
    line.show(status(total, total, terminal), int64_t(total) + 1);
    line.end();
    return TOOL_EXIT_OK;
  }

  // The counts of --stats, taken before the reset gives back what is still
  // queued: the headers the device gave back by itself, and the position
  // it reports (run has followed it to the end, or until it stood still).
  void count(PlayTotals &totals) {
    uint64_t back = 0;
    for (const WAVEHDR &h : headers) back += toolHeaderDone(h);
    if (out && written > 0) elapsedSeconds();
    totals.headersWritten += written;
    totals.headersReturned += back;
    totals.framesWritten += framesWritten * (options.loop ? options.plays : 1);
    totals.framesPlayed += position.total();
  }

  // Resets the device (every queued header comes back), unprepares the
  // headers and closes the device. False when the close fails.
  bool close() {
    MMRESULT r = MMSYSERR_NOERROR;
    if (out) {
      stats.time("waveOutReset", [&] { return waveOutReset(out); });
      for (WAVEHDR &h : headers) {
        if (h.dwFlags & WHDR_PREPARED) {
          stats.time("waveOutUnprepareHeader",
                     [&] { return waveOutUnprepareHeader(out, &h, sizeof h); });
        }
      }
      r = stats.time("waveOutClose", [&] { return waveOutClose(out); });
      out = nullptr;
    }
    if (event) CloseHandle(event);
    event = nullptr;
    return r == MMSYSERR_NOERROR || fail("waveOutClose", r);
  }
};

// Plays one decoded file. Returns TOOL_EXIT_OK, TOOL_EXIT_INTERRUPTED or
// TOOL_EXIT_DEVICE.
int playClip(const PlayOptions &options, const std::string &name, const AudioClip &clip,
             ToolStats &stats, PlayTotals &totals) {
  Player player(options, stats, clip);
  // The file's end: closes the device and adds to the counts of --stats.
  auto finish = [&](int status) {
    player.count(totals);
    if (!player.close() && status == TOOL_EXIT_OK) status = TOOL_EXIT_DEVICE;
    return status;
  };
  if (!player.open()) return finish(TOOL_EXIT_DEVICE);
  double seconds = double(clip.data.size() / clip.format.blockAlign) / clip.format.rate;
  if (!consoleQuiet) {
    std::fprintf(stderr, "%s: %s: %s\n", TOOL, name.c_str(),
                 describe(clip, seconds, options).c_str());
  }
  if (!clip.note.empty())
    std::fprintf(stderr, "%s: %s: %s\n", TOOL, name.c_str(), clip.note.c_str());
  return finish(player.queue() ? player.run() : TOOL_EXIT_DEVICE);
}

// Plays the files in order. A file that cannot be read is reported and
// the next one played, the run then ending with TOOL_EXIT_FILE; a device
// failure or a stop signal ends the run, since the next file would meet
// the same device or the same wish to stop.
int play(const PlayOptions &options) {
  consoleQuiet = options.quiet;
  interruptInstall();
  ToolStats stats;
  PlayTotals totals;
  int status = TOOL_EXIT_OK;
  for (const std::string &file : options.files) {
    if (interruptRequested()) break;
    std::string name = file == AUDIO_STANDARD_STREAM ? "standard input" : file;
    AudioClip clip;
    std::string error;
    RawPcm raw{options.rate, uint16_t(options.channels), options.bits, options.signed8};
    if (!(options.raw ? audioLoadRaw(file, raw, clip, error) : audioLoad(file, clip, error))) {
      std::fprintf(stderr, "%s: %s: %s\n", TOOL, name.c_str(), error.c_str());
      status = TOOL_EXIT_FILE;
      continue;
    }
    int result = playClip(options, name, clip, stats, totals);
    if (result != TOOL_EXIT_OK) {
      status = result;
      break;
    }
  }
  if (interruptRequested()) {
    std::fprintf(stderr, "%s: interrupted\n", TOOL);
    status = 128 + interruptSignal();
  }
  stats.set("headersWritten", totals.headersWritten);
  stats.set("headersReturned", totals.headersReturned);
  stats.set("framesWritten", totals.framesWritten);
  stats.set("framesPlayed", totals.framesPlayed);
  if (!options.stats.empty() && !stats.write(options.stats, TOOL, status)) {
    std::fprintf(stderr, "%s: %s: cannot write the statistics\n", TOOL, options.stats.c_str());
  }
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  PlayOptions options;
  std::string error;
  ParseOutcome outcome = playParseOptions(argc, argv, options, error);
  return outcome == PARSE_OK ? play(options) : toolParseExit(TOOL, outcome, PLAY_USAGE, error);
}
