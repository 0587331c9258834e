#include "tools/play/options.h"

#include "tools/common/wav.h"

const char PLAY_USAGE[] =
    "Usage: lumivox-play [OPTION]... FILE...\n"
    "Plays sound files on the wave output device, one after the other, each with\n"
    "the device opened at its own rate and channels. A FILE of '-' is standard\n"
    "input.\n"
    "\n"
    "Every kind of file libsndfile reads is played (WAV, FLAC, Ogg Vorbis and\n"
    "Opus, MP3, AIFF, AU, CAF, ...), as 16-bit samples at the file's rate (8000\n"
    "to 192000 Hz). Of a file with more than two channels the first two are\n"
    "played, and a note says so. Standard input is read to its end before it\n"
    "is played, so every kind works from a pipe too. A file or input holds at\n"
    "most 1 GiB, and as much again once decoded. The Windows builds have no\n"
    "libsndfile: they play PCM WAV (8- or 16-bit, mono or stereo) only.\n"
    "\n"
    "Status goes to standard error: on a terminal a progress bar with the\n"
    "elapsed and total time, otherwise one line per second played.\n"
    "\n"
    "  --loop[=N]             play each file N times (N from 1), or without N until\n"
    "                         interrupted, through the device's header loop: the\n"
    "                         first buffer carries WHDR_BEGINLOOP with dwLoops N,\n"
    "                         the last WHDR_ENDLOOP\n"
    "  --pause-at SECONDS     when the device's position reaches SECONDS, pause it\n"
    "                         (waveOutPause), wait, and resume it (waveOutRestart)\n"
    "  --pause-for SECONDS    how long that pause lasts (default 2; 0 resumes at once)\n"
    "  --stats FILE           when the tool ends, write to FILE one JSON line: the\n"
    "                         headers written and returned, the frames written\n"
    "                         and played (the device's position once every header\n"
    "                         is back and the position has reached the end, or\n"
    "                         stood still for 10 s), the exit status, and the\n"
    "                         count and longest duration of each call made to\n"
    "                         the device\n"
    "  -q, --quiet            no status: only errors and warnings\n"
    "  -t raw, --type raw     the files (or standard input) are raw PCM, samples\n"
    "                         without a header, in the format of the options\n"
    "                         below; any of them alone means raw too\n"
    "  -r, --rate R           raw: frames per second, 8000 to 192000 (default 44100)\n"
    "  -c, --channels C       raw: 1 (mono) or 2 (stereo) (default 2)\n"
    "  -b, --bits B           raw: 8 (unsigned) or 16 (signed little-endian)\n"
    "                         bits per sample (default 16)\n"
    "  -f, --format F         raw: U8, S8 or S16_LE, as aplay names them\n"
    "  -h, --help             show this text and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "SIGINT, SIGTERM and SIGHUP stop playback: the device is reset and closed,\n"
    "and no further file is played.\n"
    "\n"
    "Exit status: 0 when the device has reported every frame of every file\n"
    "played, 2 for a usage error, 1 when a file cannot be read or decoded (it is\n"
    "reported and the next one played), 3 when the device or the driver fails\n"
    "(the message names the call and its result) or the audio was not played:\n"
    "the stream never started, or the device's position stood still for 10 s\n"
    "(the audio server went away); the files after it are not played; 128 plus\n"
    "the signal's number\n"
    "when stopped by a signal (130 for SIGINT).\n";

namespace {

// The options of raw input, each taking a value: canonical name, short name.
const char *const RAW_OPTIONS[][2] = {
    {"--type", "-t"}, {"--rate", "-r"}, {"--channels", "-c"}, {"--bits", "-b"}, {"--format", "-f"}};

// The long name of a raw input option, or empty.
std::string rawOption(const std::string &name) {
  for (const auto &names : RAW_OPTIONS) {
    if (name == names[0] || name == names[1]) return names[0];
  }
  return "";
}

// Applies one raw input option; false for a bad value, with what is valid
// in range.
bool applyRaw(const std::string &name, const std::string &value, PlayOptions &o,
              std::string &range) {
  o.raw = true;
  uint32_t bits = 0;
  if (name == "--type") return (range = "raw", value == "raw");
  if (name == "--rate") {
    range = std::to_string(WAV_RATE_MIN) + " to " + std::to_string(WAV_RATE_MAX) + " Hz";
    return optionUnsigned(value, WAV_RATE_MIN, WAV_RATE_MAX, o.rate);
  }
  if (name == "--channels") return (range = "1 or 2", optionUnsigned(value, 1, 2, o.channels));
  if (name == "--bits") {
    range = "8 or 16";
    if (!optionUnsigned(value, 8, 16, bits) || (bits != 8 && bits != 16)) return false;
    o.bits = uint16_t(bits);
    o.signed8 = false;
    return true;
  }
  range = "U8, S8 or S16_LE";
  return optionSampleFormat(value, o.bits, o.signed8);
}

// Applies one option that takes a value.
bool applyValue(const std::string &name, const std::string &value, PlayOptions &o) {
  if (name == "--pause-at")
    return (o.pause = true) && optionSeconds(value, PLAY_SECONDS_MAX, o.pauseAt);
  if (name == "--pause-for") return optionSeconds(value, PLAY_SECONDS_MAX, o.pauseFor);
  return false;
}

}  // namespace

ParseOutcome playParseOptions(int argc, char **argv, PlayOptions &options, std::string &error) {
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], name, value;
    bool hasValue;
    optionSplit(arg, name, value, hasValue);
    if (name == "--help" || name == "-h") return PARSE_HELP;
    if (name == "--version") return PARSE_VERSION;
    if (name == "--loop") {
      options.loop = true;
      options.plays = PLAY_LOOP_FOREVER;
      if (hasValue && !optionUnsigned(value, 1, PLAY_LOOP_FOREVER - 1, options.plays)) {
        error = "bad value for --loop: " + value + " (a count from 1)";
        return PARSE_ERROR;
      }
      continue;
    }
    if (name == "--stats") {
      if (!optionTakeValue(argc, argv, i, name, hasValue, value, error)) return PARSE_ERROR;
      if (value.empty()) {
        error = "--stats needs a file name";
        return PARSE_ERROR;
      }
      options.stats = value;
      continue;
    }
    if (name == "--quiet" || name == "-q") {
      options.quiet = true;
      continue;
    }
    if (std::string raw = rawOption(name); !raw.empty()) {
      std::string range;
      if (!optionTakeValue(argc, argv, i, name, hasValue, value, error)) return PARSE_ERROR;
      if (!applyRaw(raw, value, options, range)) {
        error = "bad value for " + name + ": " + value + " (" + range + ")";
        return PARSE_ERROR;
      }
      continue;
    }
    if (name == "--pause-at" || name == "--pause-for") {
      if (!optionTakeValue(argc, argv, i, name, hasValue, value, error)) return PARSE_ERROR;
      if (!applyValue(name, value, options)) {
        error = "bad value for " + name + ": " + value + " (seconds, 0 to 86400)";
        return PARSE_ERROR;
      }
      continue;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option: " + arg;
      return PARSE_ERROR;
    }
    options.files.push_back(arg);
  }
  if (options.files.empty()) {
    error = "no file given";
    return PARSE_ERROR;
  }
  return PARSE_OK;
}
