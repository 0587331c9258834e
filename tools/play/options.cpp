#include "tools/play/options.h"

const char PLAY_USAGE[] =
    "Usage: lumivox-play [OPTION]... FILE.wav\n"
    "Plays a PCM WAV file (8- or 16-bit, mono or stereo, 1000 to 192000 Hz, at most\n"
    "1 GiB) on the wave output device. On a terminal a progress bar shows the\n"
    "elapsed and total time; otherwise one line is printed per second played.\n"
    "\n"
    "  --loop[=N]             play the file N times (N from 1), or without N until\n"
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
    "                         stood still for 2 s, or the rest of the audio and\n"
    "                         2 s more have passed), the exit status, and the\n"
    "                         count and longest duration of each call made to\n"
    "                         the device\n"
    "  --help                 show this text and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "SIGINT stops playback: the device is reset and closed.\n"
    "\n"
    "Exit status: 0 when the file has been played, 1 for a usage error, 2 when the\n"
    "file cannot be read or is not a WAV file the device takes, 3 when the device\n"
    "or the driver fails (the message names the call and its result), 130 when\n"
    "interrupted by SIGINT.\n";

namespace {

// Applies one option that takes a value.
bool applyValue(const std::string &name, const std::string &value, PlayOptions &o) {
  if (name == "--pause-at")
    return (o.pause = true) && optionSeconds(value, PLAY_SECONDS_MAX, o.pauseAt);
  if (name == "--pause-for") return optionSeconds(value, PLAY_SECONDS_MAX, o.pauseFor);
  return false;
}

}  // namespace

ParseOutcome playParseOptions(int argc, char **argv, PlayOptions &options, std::string &error) {
  bool haveFile = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], name, value;
    bool hasValue;
    optionSplit(arg, name, value, hasValue);
    if (name == "--help") return PARSE_HELP;
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
    if (name == "--pause-at" || name == "--pause-for") {
      if (!optionTakeValue(argc, argv, i, name, hasValue, value, error)) return PARSE_ERROR;
      if (!applyValue(name, value, options)) {
        error = "bad value for " + name + ": " + value + " (seconds)";
        return PARSE_ERROR;
      }
      continue;
    }
    if (!optionTakeFile(arg, options.file, haveFile, error)) return PARSE_ERROR;
  }
  if (!haveFile) {
    error = "no file given";
    return PARSE_ERROR;
  }
  return PARSE_OK;
}
