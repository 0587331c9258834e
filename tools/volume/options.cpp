#include "tools/volume/options.h"

#include <algorithm>
#include <cctype>
#include <cmath>

const char VOLUME_USAGE[] =
    "Usage: lumivox-volume [get | set LEVEL | +STEP | -STEP | mute] [--input]\n"
    "Reads or sets the terminal's output volume (or with --input its input volume)\n"
    "through the mixer device: it finds the speakers line (or the wave-in line) by\n"
    "its component type, that line's volume control, and reads or writes the\n"
    "control's value. It prints the value read, after a set the value read back:\n"
    "\"output volume: 32768 (50%)\".\n"
    "\n"
    "  get                    read the volume (the default)\n"
    "  set LEVEL              set the volume: LEVEL is a value of the control, 0 to\n"
    "                         65535, or a percentage of its range such as 50%;\n"
    "                         with a sign (+5%, -5%, +1000) it is a step from the\n"
    "                         volume now, held to the range\n"
    "  +STEP, -STEP           the same as set +STEP, set -STEP: lumivox-volume +5%\n"
    "  mute                   set the volume to its lowest (the mixer has no switch\n"
    "                         of its own; set a level again to hear it)\n"
    "  --input                the input volume instead of the output volume\n"
    "  -h, --help             show this text and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "Exit status: 0 on success, 2 for a usage error (also a LEVEL outside the\n"
    "control's range), 3 when the mixer device or the driver fails (the message\n"
    "names the call and its result).\n";

namespace {

bool parseLevel(std::string text, VolumeOptions &o) {
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    o.step = text[0] == '+' ? 1 : -1;
    text.erase(0, 1);
  }
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
    bool step = arg.size() > 1 && (arg[0] == '+' || arg[0] == '-') &&
                std::isdigit(static_cast<unsigned char>(arg[1]));
    if (arg == "--input") {
      options.input = true;
    } else if (step && !haveCommand) {
      haveCommand = options.set = true;
      if (!parseLevel(arg, options)) {
        error = "bad STEP: " + arg + " (0 to 65535, or 0% to 100%, after + or -)";
        return PARSE_ERROR;
      }
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option: " + arg;
      return PARSE_ERROR;
    } else if (haveCommand) {
      error = "unexpected argument: " + arg;
      return PARSE_ERROR;
    } else if (arg == "get") {
      haveCommand = true;
    } else if (arg == "mute") {
      haveCommand = options.set = options.percent = true;
      options.percentage = 0;
    } else if (arg == "set") {
      haveCommand = options.set = true;
      if (i + 1 >= argc) {
        error = "set needs a LEVEL";
        return PARSE_ERROR;
      }
      std::string level = argv[++i];
      if (!parseLevel(level, options)) {
        error = "bad LEVEL: " + level + " (0 to 65535, or 0% to 100%, or either after + or -)";
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
                      uint32_t current, uint32_t &value) {
  if (maximum < minimum) return false;
  if (options.step) {
    double delta = options.percent ? double(maximum - minimum) * options.percentage / 100
                                   : double(options.level);
    double wanted = std::round(double(current) + options.step * delta);
    value = uint32_t(std::clamp(wanted, double(minimum), double(maximum)));
    return true;
  }
  if (options.percent) {
    value = minimum + uint32_t(std::llround(double(maximum - minimum) * options.percentage / 100));
    return true;
  }
  if (options.level < minimum || options.level > maximum) return false;
  value = options.level;
  return true;
}
