#include "tools/record/options.h"

#include "tools/common/wav.h"

const char RECORD_USAGE[] =
    "Usage: lumivox-record [OPTION]... FILE\n"
    "Records from the wave input device into FILE, of the kind its extension\n"
    "names (wav, flac, ogg, opus, mp3, aiff, au, caf, w64, rf64, raw, ...; an\n"
    "unknown extension is refused with the list), or with FILE '-' onto\n"
    "standard output as a WAV stream. The Windows builds write WAV only.\n"
    "\n"
    "Status, the peak level meter (dBFS) and the time recorded go to standard\n"
    "error: redrawn in place on a terminal, otherwise one line per second.\n"
    "\n"
    "FILE is created only once the device has opened and started, so a\n"
    "recording that cannot start leaves an existing FILE as it was.\n"
    "\n"
    "On standard output the WAV header is rewritten with the real sizes when\n"
    "it is a file; on a pipe it cannot be, so its size fields say 'unknown'\n"
    "(0xFFFFFFFF) and readers take the data to the end of the stream.\n"
    "\n"
    "A recorder killed outright (SIGKILL, a crash) leaves a readable file:\n"
    "WAV, AIFF, AU, CAF, W64 and RF64 headers give the sizes of what was\n"
    "written, as they are updated with every write; Ogg (Vorbis, Opus), FLAC\n"
    "and MP3 have no sizes to update, and keep the audio up to their last\n"
    "complete page or frame.\n"
    "\n"
    "  -d, --seconds N        record N seconds (decimals allowed, more than 0 and up\n"
    "                         to 86400) and stop; the file holds exactly N times\n"
    "                         the rate frames, rounded down; without it, record\n"
    "                         until stopped by a signal\n"
    "  -r, --rate R           frames per second, 8000 to 192000 (default 44100)\n"
    "  -c, --channels C       1 (mono) or 2 (stereo) (default 2)\n"
    "  -b, --bits B           8 (unsigned) or 16 (signed) bits per sample (default 16)\n"
    "  -f, --format F         U8 or S16_LE, as arecord names them: -b 8 or -b 16\n"
    "  -t, --type T           raw: the samples alone, without a header, into FILE\n"
    "                         whatever its name, or onto standard output with '-';\n"
    "                         wav (the default for '-'): a WAV stream\n"
    "  -q, --quiet            no status: only errors and warnings\n"
    "  --stats FILE           when the tool ends, write to FILE one JSON line: the\n"
    "                         headers added and returned (before the tool stops\n"
    "                         the device), the frames asked for and recorded, the\n"
    "                         exit status, and the count and longest duration of\n"
    "                         each call made to the device\n"
    "  -h, --help             show this text and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "SIGINT, SIGTERM and SIGHUP stop recording: the device is stopped, reset and\n"
    "closed, and the file is finished, with correct sizes, with the frames\n"
    "recorded until then.\n"
    "\n"
    "Exit status: 0 when the file has been written (also after a stop signal),\n"
    "2 for a usage error, 1 when the file cannot be written, 3 when the device\n"
    "or the driver fails (the message names the call and its result) or no\n"
    "audio arrives for 10 s: the stream never started, or the audio server went\n"
    "away (the file keeps what was recorded, and is removed if that is\n"
    "nothing).\n";

namespace {

// The short names arecord and sox give the options, by the long ones.
std::string longName(const std::string &name) {
  const char *const names[][2] = {{"-d", "--seconds"}, {"-r", "--rate"}, {"-c", "--channels"},
                                  {"-b", "--bits"},    {"-t", "--type"}, {"-f", "--format"},
                                  {"-q", "--quiet"}};
  for (const auto &n : names) {
    if (name == n[0]) return n[1];
  }
  return name;
}

bool applyValue(const std::string &name, const std::string &value, RecordOptions &o) {
  if (name == "--type") return (o.raw = value == "raw") || value == "wav";
  if (name == "--format") {
    uint16_t bits = 0;
    bool signed8 = false;
    if (!optionSampleFormat(value, bits, signed8) || signed8) return false;
    o.bits = bits;
    return true;
  }
  if (name == "--seconds")
    return optionSeconds(value, RECORD_SECONDS_MAX, o.seconds) && o.seconds > 0;
  if (name == "--rate") return optionUnsigned(value, WAV_RATE_MIN, WAV_RATE_MAX, o.rate);
  if (name == "--channels") return optionUnsigned(value, 1, 2, o.channels);
  if (name == "--bits")
    return optionUnsigned(value, 8, 16, o.bits) && (o.bits == 8 || o.bits == 16);
  if (name == "--stats") return !(o.stats = value).empty();
  return false;
}

// What a value of the option may be, for the error text.
std::string valueRange(const std::string &name) {
  if (name == "--seconds") return "seconds, more than 0 and up to 86400";
  if (name == "--rate")
    return std::to_string(WAV_RATE_MIN) + " to " + std::to_string(WAV_RATE_MAX) + " Hz";
  if (name == "--channels") return "1 or 2";
  if (name == "--bits") return "8 or 16";
  if (name == "--type") return "raw or wav";
  if (name == "--format") return "U8 or S16_LE";
  return "a file name";
}

bool takesValue(const std::string &name) {
  return name == "--seconds" || name == "--rate" || name == "--channels" || name == "--bits" ||
         name == "--stats" || name == "--type" || name == "--format";
}

}  // namespace

ParseOutcome recordParseOptions(int argc, char **argv, RecordOptions &options, std::string &error) {
  bool haveFile = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], name, value;
    bool hasValue;
    optionSplit(arg, name, value, hasValue);
    if (name == "--help" || name == "-h") return PARSE_HELP;
    if (name == "--version") return PARSE_VERSION;
    std::string given = name;
    name = longName(name);
    if (name == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (takesValue(name)) {
      if (!optionTakeValue(argc, argv, i, given, hasValue, value, error)) return PARSE_ERROR;
      if (!applyValue(name, value, options)) {
        error = "bad value for " + given + ": " + value + " (" + valueRange(name) + ")";
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
