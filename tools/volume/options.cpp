#include "tools/volume/options.h"

#include <cmath>

const char VOLUME_USAGE[] =
    "Usage: lumivox-volume [get | set LEVEL] [--input]\n"
    "Reads or sets the terminal's output volume (or with --input its input volume)\n"
    "through the mixer device: it finds the speakers line (or the wave-in line) by\n"
    "its component type, that line's volume control, and reads or writes the\n"
    "control's value. It prints the value read, after a set the value read back:\n"
    "\"output volume: 32768 (50%)\".\n"
    "\n"
    "  get                    read the volume (the default)\n"
    "  set LEVEL              set the volume: LEVEL is a value of the control, 0 to\n"
    "                         65535, or a percentage of its range such as 50%\n"
    "  --input                the input volume instead of the output volume\n"
    "  -h, --help             show this text and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "Exit status: 0 on success, 2 for a usage error (also a LEVEL outside the\n"
    "control's range), 3 when the mixer device or the driver fails (the message\n"
    "names the call and its result).\n";

namespace {

bool parseLevel(const std::string &text, VolumeOptions &o) {
  if (!text.empty() && text.back() == '%') {
    o.percent = true;
    return optionSeconds(text.substr(0, text.size() - 1), 100, o.percentage);
  }
  return optionUnsigned(text, 0, 0xFFFF, o.level);
}

}  // namespace

ParseOutcome volumeParseOptions(int argc, char **argv, VolumeOptions &options, std::string &error) {
  bool haveCommand = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") return PARSE_HELP;
    if (arg == "--version") return PARSE_VERSION;
    if (arg == "--input") {
      options.input = true;
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option: " + arg;
      return PARSE_ERROR;
    } else if (haveCommand) {
      error = "unexpected argument: " + arg;
      return PARSE_ERROR;
    } else if (arg == "get") {
      haveCommand = true;
    } else if (arg == "set") {
      haveCommand = options.set = true;
      if (i + 1 >= argc) {
        error = "set needs a LEVEL";
        return PARSE_ERROR;
      }
      std::string level = argv[++i];
      if (!parseLevel(level, options)) {
        error = "bad LEVEL: " + level + " (0 to 65535, or 0% to 100%)";
        return PARSE_ERROR;
      }
    } else {
      error = "unknown command: " + arg + " (get or set)";
      return PARSE_ERROR;
    }
  }
  return PARSE_OK;
}

bool volumeLevelValue(const VolumeOptions &options, uint32_t minimum, uint32_t maximum,
                      uint32_t &value) {
  if (maximum < minimum) return false;
  if (options.percent) {
    value = minimum + uint32_t(std::llround(double(maximum - minimum) * options.percentage / 100));
    return true;
  }
  if (options.level < minimum || options.level > maximum) return false;
  value = options.level;
  return true;
}
