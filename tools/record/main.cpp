// lumivox-record: records from the wave input device into a sound file or
// onto standard output. See RECORD_USAGE (tools/record/options.cpp) or run
// with --help.
//
// HEADERS headers of TOOL_BLOCK_MS circulate: the device fills them in the
// order they were added and gives each back with an event callback; the
// tool writes what it holds to the file and adds it again, never asking
// for more than the frames still wanted, so that the file ends exactly at
// the length asked for.
//
// The file is created only once the device has opened and started. The
// headers hold the first 400 ms meanwhile, so nothing is lost, and a
// recording that cannot start (no server for the session, say) leaves an
// existing file as it was. Creating it then, in place, rather than in a
// temporary file renamed at the end, keeps what the name stands for: its
// owner, mode and other links, or a device or pipe that the name is.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/audiofile.h"
#include "tools/common/console.h"
#include "tools/common/device.h"
#include "tools/common/interrupt.h"
#include "tools/common/stats.h"
#include "tools/record/options.h"

namespace {

const char TOOL[] = "lumivox-record";
constexpr size_t HEADERS = 4;       // headers circulating: 400 ms of audio queued
constexpr size_t METER_WIDTH = 30;  // characters of the level meter
// No audio for this long ends the recording as failed: the stream never
// started, or the audio server went away or stopped sending. The driver
// itself waits for a late server without a limit; the tool does not.
constexpr DWORD RECORD_STILL_MS = 10000;
// Once its source has gone, the device gives the headers still queued back
// empty, each after its length (100 ms): this bounds the wait for them.
constexpr DWORD GONE_WAIT_MS = 2000;

struct Recorder {
  const RecordOptions &options;
  WavFormat format;
  AudioWriter writer;
  HWAVEIN in = nullptr;
  HANDLE event = nullptr;       // set by the device's callbacks
  std::vector<uint8_t> buffer;  // HEADERS blocks
  WAVEHDR headers[HEADERS] = {};
  bool queued[HEADERS] = {};        // given to the device and not yet taken back
  size_t next = 0;                  // the header the device gives back next
  uint64_t wantedBytes = 0;         // the whole recording, bytes
  uint64_t pendingBytes = 0;        // room in the queued headers, bytes
  double peak = -INFINITY;          // of the last header taken, dBFS
  std::string fileError;            // why the file could not take the samples
  ToolStats stats;                  // what --stats writes
  uint64_t added = 0;               // headers the device took
  uint64_t returned = 0;            // headers it gave back
  int64_t returnedBeforeStop = -1;  // of those, before the stop; -1: no stop yet
  PositionCounter position;         // frames the device has recorded
  DWORD movedAt = 0;                // GetTickCount when the position last moved (or the start)
  bool sourceGone = false;          // the device gave a header back empty while recording

  // Follows the device's position; true when it has stood still for
  // RECORD_STILL_MS.
  bool stalled() {
    MMTIME time = {};
    time.wType = TIME_SAMPLES;
    uint64_t before = position.total();
    if (stats.time("waveInGetPosition",
                   [&] { return waveInGetPosition(in, &time, sizeof time); }) == MMSYSERR_NOERROR) {
      int64_t frames = toolPositionFrames(time, format);
      if (frames >= 0) position.feed(uint32_t(frames));
    }
    if (position.total() != before) movedAt = GetTickCount();
    return GetTickCount() - movedAt >= RECORD_STILL_MS;
  }

  void reportStall() {
    if (position.total() == 0) {
      std::fprintf(stderr, "%s: no audio received: the device's position stood at 0 for %u s; %s\n",
                   TOOL, unsigned(RECORD_STILL_MS / 1000), STREAM_NEVER_STARTED);
    } else {
      std::fprintf(stderr,
                   "%s: the recording stopped at %s: no audio for %u s (the audio server "
                   "went away or stopped sending)\n",
                   TOOL, consoleTime(double(position.total()) / format.rate).c_str(),
                   unsigned(RECORD_STILL_MS / 1000));
    }
  }

  explicit Recorder(const RecordOptions &o) : options(o) {}

  bool fail(const char *call, MMRESULT result) {
    toolReport(TOOL, call, result);
    return false;
  }

  bool open() {
    if (waveInGetNumDevs() == 0) {
      toolReportNoDevice(TOOL, "wave input");
      return false;
    }
    event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    WAVEFORMATEX wfx = toolWaveFormat(format);
    MMRESULT r = stats.time("waveInOpen", [&] {
      return waveInOpen(&in, WAVE_MAPPER, &wfx, reinterpret_cast<DWORD_PTR>(event), 0,
                        CALLBACK_EVENT);
    });
    if (r != MMSYSERR_NOERROR) {
      in = nullptr;
      return fail("cannot open the wave input device", r);
    }
    uint32_t block = toolBlockBytes(format);
    buffer.resize(size_t(block) * HEADERS);
    for (size_t i = 0; i < HEADERS; ++i) {
      headers[i].lpData = reinterpret_cast<LPSTR>(buffer.data() + i * block);
      headers[i].dwBufferLength = block;
      r = stats.time("waveInPrepareHeader",
                     [&] { return waveInPrepareHeader(in, &headers[i], sizeof headers[i]); });
      if (r != MMSYSERR_NOERROR) return fail("waveInPrepareHeader", r);
    }
    return true;
  }

  // Adds header i with room for what is still wanted, if anything is.
  bool add(size_t i) {
    uint64_t want = wantedBytes - writer.dataBytes() - pendingBytes;
    uint32_t room = uint32_t(std::min<uint64_t>(want, buffer.size() / HEADERS));
    if (room == 0) return true;
    headers[i].dwBufferLength = room;
    headers[i].dwFlags &= ~WHDR_DONE;
    MMRESULT r = stats.time("waveInAddBuffer",
                            [&] { return waveInAddBuffer(in, &headers[i], sizeof headers[i]); });
    if (r != MMSYSERR_NOERROR) return fail("waveInAddBuffer", r);
    ++added;
    queued[i] = true;
    pendingBytes += room;
    return true;
  }

  // Writes the headers the device has given back, in order; with refill,
  // adds them again. False when the file or the device fails.
  bool take(bool refill) {
    while (queued[next] && toolHeaderDone(headers[next])) {
      WAVEHDR &h = headers[next];
      queued[next] = false;
      ++returned;
      pendingBytes -= h.dwBufferLength;
      uint64_t left = wantedBytes - writer.dataBytes();
      size_t bytes =
          size_t(std::min<uint64_t>(std::min(h.dwBytesRecorded, h.dwBufferLength), left));
      bytes -= bytes % format.blockAlign;
      // While recording, a header comes back empty only when the device's
      // source has gone (the audio server's connection ended): the take
      // ends with what came, and nothing is made up for the rest.
      if (refill && h.dwBytesRecorded == 0) {
        sourceGone = true;
        refill = false;
      }
      if (bytes > 0)
        peak = consolePeakDbfs(reinterpret_cast<uint8_t *>(h.lpData), bytes, format.bits);
      if (!writer.write(h.lpData, bytes, fileError)) return false;
      if (refill && !add(next)) return false;
      next = (next + 1) % HEADERS;
    }
    return true;
  }

  std::string status(bool terminal) {
    double elapsed = double(writer.dataBytes() / format.blockAlign) / format.rate;
    std::string text = consoleTime(elapsed);
    if (options.seconds > 0) text += " / " + consoleTime(options.seconds);
    if (terminal) return consoleMeter(peak, METER_WIDTH) + " " + text;
    char level[32];
    std::snprintf(level, sizeof level, std::isinf(peak) ? "  peak -inf dBFS" : "  peak %.1f dBFS",
                  peak);
    return text + level;
  }

  // Records until the wanted length or SIGINT. Returns a tool exit status.
  int run() {
    for (size_t i = 0; i < HEADERS; ++i) {
      if (!add(i)) return TOOL_EXIT_DEVICE;
    }
    MMRESULT r = stats.time("waveInStart", [&] { return waveInStart(in); });
    if (r != MMSYSERR_NOERROR) {
      fail("waveInStart", r);
      return TOOL_EXIT_DEVICE;
    }
    int result = TOOL_EXIT_OK;
    if (writer.open(options.file, format, fileError, options.raw)) {
      if (!consoleQuiet) {
        std::fprintf(stderr, "%s: recording %s: %u Hz, %u-bit, %s%s\n", TOOL, shownName().c_str(),
                     unsigned(options.rate), unsigned(options.bits),
                     options.channels == 1 ? "mono" : "stereo", options.raw ? ", raw" : "");
      }
    } else {
      result = TOOL_EXIT_FILE;
    }
    bool terminal = consoleIsTerminal();
    StatusLine line(terminal);
    movedAt = GetTickCount();
    while (result == TOOL_EXIT_OK && writer.dataBytes() < wantedBytes && !interruptRequested()) {
      if (!take(true)) {
        result = fileError.empty() ? TOOL_EXIT_DEVICE : TOOL_EXIT_FILE;
        break;
      }
      if (sourceGone) {
        line.end();
        std::fprintf(
            stderr,
            "%s: the recording ended at %s: the device gave a buffer back empty (the "
            "audio server went away)\n",
            TOOL,
            consoleTime(double(writer.dataBytes() / format.blockAlign) / format.rate).c_str());
        result = TOOL_EXIT_DEVICE;
        // The device gives back the rest of the headers, empty, at the
        // pace of their length: taken as they come, not refilled.
        for (DWORD begin = GetTickCount(); anyQueued() && GetTickCount() - begin < GONE_WAIT_MS;) {
          if (!take(false)) break;
          if (anyQueued()) WaitForSingleObject(event, TOOL_TICK_MS);
        }
        break;
      }
      if (stalled()) {
        line.end();
        reportStall();
        result = TOOL_EXIT_DEVICE;
        break;
      }
      line.show(status(terminal), int64_t(writer.dataBytes() / format.blockAlign / format.rate));
      if (writer.dataBytes() < wantedBytes && !(queued[next] && toolHeaderDone(headers[next]))) {
        WaitForSingleObject(event, TOOL_TICK_MS);
      }
    }
    line.end();
    returnedBeforeStop = returnedNow();
    // Stopping gives back the header being filled with what it holds; the
    // reset gives back the rest.
    stats.time("waveInStop", [&] { return waveInStop(in); });
    if (result == TOOL_EXIT_OK && !take(false)) result = TOOL_EXIT_FILE;
    stats.time("waveInReset", [&] { return waveInReset(in); });
    if (result == TOOL_EXIT_OK && !take(false)) result = TOOL_EXIT_FILE;
    return result;
  }

  // The output's name in messages.
  std::string shownName() const {
    return options.file == AUDIO_STANDARD_STREAM ? "standard output" : options.file;
  }

  bool anyQueued() const {
    for (size_t i = 0; i < HEADERS; ++i) {
      if (queued[i]) return true;
    }
    return false;
  }

  // The headers the device has given back so far.
  uint64_t returnedNow() const {
    uint64_t back = returned;
    for (size_t i = 0; i < HEADERS; ++i) back += queued[i] && toolHeaderDone(headers[i]);
    return back;
  }

  // The counts of --stats: the headers the device gave back by itself, so
  // before the tool stopped it (after a normal end none is left then; after
  // SIGINT, those still queued come back only with the stop and the
  // reset), and the frames the recording holds.
  void count() {
    stats.set("headersAdded", added);
    stats.set("headersReturned", returnedBeforeStop < 0 ? returnedNow() : returnedBeforeStop);
    stats.set("framesAsked", wantedBytes / format.blockAlign);
    stats.set("framesRecorded", writer.dataBytes() / format.blockAlign);
  }

  bool close() {
    MMRESULT r = MMSYSERR_NOERROR;
    if (in) {
      stats.time("waveInReset", [&] { return waveInReset(in); });
      for (WAVEHDR &h : headers) {
        if (h.dwFlags & WHDR_PREPARED) {
          stats.time("waveInUnprepareHeader",
                     [&] { return waveInUnprepareHeader(in, &h, sizeof h); });
        }
      }
      r = stats.time("waveInClose", [&] { return waveInClose(in); });
      in = nullptr;
    }
    if (event) CloseHandle(event);
    event = nullptr;
    return r == MMSYSERR_NOERROR || fail("waveInClose", r);
  }
};

int recordWith(Recorder &recorder, const RecordOptions &options) {
  recorder.format = wavMakeFormat(options.rate, uint16_t(options.channels), uint16_t(options.bits));
  uint64_t limitFrames = WAV_DATA_LIMIT / recorder.format.blockAlign;
  uint64_t frames = options.seconds > 0 ? uint64_t(options.seconds * options.rate) : limitFrames;
  if (frames > limitFrames) {
    std::fprintf(stderr, "%s: %g seconds do not fit in a WAV file at this format\n", TOOL,
                 options.seconds);
    return TOOL_EXIT_USAGE;
  }
  recorder.wantedBytes = frames * recorder.format.blockAlign;
  std::string error;
  consoleQuiet = options.quiet;
  if (!options.raw && !audioCheckOutput(options.file, recorder.format, error)) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", TOOL, error.c_str(), TOOL);
    return TOOL_EXIT_USAGE;
  }
#ifdef SIGPIPE
  // A reader of standard output that goes away is a write error that ends
  // the recording with the device closed, not a signal that kills the tool.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  interruptInstall();
  int status = recorder.open() ? recorder.run() : TOOL_EXIT_DEVICE;
  recorder.count();
  if (!recorder.close() && status == TOOL_EXIT_OK) status = TOOL_EXIT_DEVICE;
  std::string name = recorder.shownName();
  if (status == TOOL_EXIT_FILE) {
    std::fprintf(stderr, "%s: %s: %s\n", TOOL, name.c_str(), recorder.fileError.c_str());
  }
  if (!recorder.writer.isOpen()) return status;
  uint64_t recorded = recorder.writer.dataBytes() / recorder.format.blockAlign;
  if (!recorder.writer.finish(error)) {
    std::fprintf(stderr, "%s: %s: %s\n", TOOL, name.c_str(), error.c_str());
    return TOOL_EXIT_FILE;
  }
  if (status == TOOL_EXIT_DEVICE && recorded == 0 && options.file != AUDIO_STANDARD_STREAM) {
    std::remove(options.file.c_str());
    return status;
  }
  if (interruptSignal() != 0) {
    std::fprintf(stderr, "%s: stopped by signal %d\n", TOOL, interruptSignal());
  }
  if (!consoleQuiet) {
    std::fprintf(stderr, "%s: %s: %llu frames, %s\n", TOOL, name.c_str(),
                 (unsigned long long)recorded,
                 consoleTime(double(recorded) / options.rate).c_str());
  }
  return status;
}

int record(const RecordOptions &options) {
  Recorder recorder(options);
  int status = recordWith(recorder, options);
  if (!options.stats.empty() && !recorder.stats.write(options.stats, TOOL, status)) {
    std::fprintf(stderr, "%s: %s: cannot write the statistics\n", TOOL, options.stats.c_str());
  }
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  RecordOptions options;
  std::string error;
  ParseOutcome outcome = recordParseOptions(argc, argv, options, error);
  return outcome == PARSE_OK ? record(options) : toolParseExit(TOOL, outcome, RECORD_USAGE, error);
}
