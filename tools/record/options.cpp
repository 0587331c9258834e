#include "tools/record/options.h"

#include "tools/common/wav.h"

const char RECORD_USAGE[] =
    "Usage: lumivox-record [OPTION]... FILE.wav\n"
    "Records from the wave input device into a PCM WAV file. On a terminal a peak\n"
    "level meter (dBFS) shows with the time recorded; otherwise one line is\n"
    "printed per second recorded.\n"
    "\n"
    "  --seconds N            record N seconds (decimals allowed) and stop; the file\n"
    "                         holds exactly N times the rate frames, rounded down;\n"
    "                         without it, record until SIGINT\n"
    "  --rate R               frames per second, 1000 to 192000 (default 44100)\n"
    "  --channels C           1 (mono) or 2 (stereo) (default 2)\n"
    "  --bits B               8 or 16 bits per sample (default 16)\n"
    "  --stats FILE           when the tool ends, write to FILE one JSON line: the\n"
    "                         headers added and returned (before the tool stops\n"
    "                         the device), the frames asked for and recorded, the\n"
    "                         exit status, and the count and longest duration of\n"
    "                         each call made to the device\n"
    "  --help                 show this text and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "SIGINT stops recording: the device is stopped, reset and closed, and the file\n"
    "is finished with the frames recorded until then.\n"
    "\n"
    "Exit status: 0 when the file has been written (also after SIGINT), 1 for a\n"
    "usage error, 2 when the file cannot be written, 3 when the device or the\n"
    "driver fails (the message names the call and its result; the file is removed\n"
    "if nothing was recorded).\n";

namespace {

bool applyValue(const std::string &name, const std::string &value, RecordOptions &o) {
  if (name == "--seconds")
    return optionSeconds(value, RECORD_SECONDS_MAX, o.seconds) && o.seconds > 0;
  if (name == "--rate") return optionUnsigned(value, WAV_RATE_MIN, WAV_RATE_MAX, o.rate);
  if (name == "--channels") return optionUnsigned(value, 1, 2, o.channels);
  if (name == "--bits")
    return optionUnsigned(value, 8, 16, o.bits) && (o.bits == 8 || o.bits == 16);
  if (name == "--stats") return !(o.stats = value).empty();
  return false;
}

bool takesValue(const std::string &name) {
  return name == "--seconds" || name == "--rate" || name == "--channels" || name == "--bits" ||
         name == "--stats";
}

}  // namespace

ParseOutcome recordParseOptions(int argc, char **argv, RecordOptions &options, std::string &error) {
  bool haveFile = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], name, value;
    bool hasValue;
    optionSplit(arg, name, value, hasValue);
    if (name == "--help") return PARSE_HELP;
    if (name == "--version") return PARSE_VERSION;
    if (takesValue(name)) {
      if (!optionTakeValue(argc, argv, i, name, hasValue, value, error)) return PARSE_ERROR;
      if (!applyValue(name, value, options)) {
        error = "bad value for " + name + ": " + value;
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
