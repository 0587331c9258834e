#include "tools/common/options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/version.h"

int toolParseExit(const char *tool, ParseOutcome outcome, const char *usage,
                  const std::string &error) {
  switch (outcome) {
    case PARSE_HELP:
      std::fputs(usage, stdout);
      return TOOL_EXIT_OK;
    case PARSE_VERSION:
      std::printf("%s %s\n", tool, LUMIVOX_VERSION);
      return TOOL_EXIT_OK;
    default:
      std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", tool, error.c_str(), tool);
      return TOOL_EXIT_USAGE;
  }
}

void optionSplit(const std::string &arg, std::string &name, std::string &value, bool &hasValue) {
  size_t equals = arg.find('=');
  hasValue = arg.rfind("--", 0) == 0 && equals != std::string::npos;
  name = hasValue ? arg.substr(0, equals) : arg;
  value = hasValue ? arg.substr(equals + 1) : std::string();
}

bool optionTakeValue(int argc, char **argv, int &index, const std::string &name, bool hasValue,
                     std::string &value, std::string &error) {
  if (hasValue) return true;
  if (index + 1 >= argc) {
    error = name + " needs a value";
    return false;
  }
  value = argv[++index];
  return true;
}

bool optionTakeFile(const std::string &arg, std::string &file, bool &haveFile, std::string &error) {
  if (arg.size() > 1 && arg[0] == '-') {
    error = "unknown option: " + arg;
    return false;
  }
  if (haveFile) {
    error = "one file only: " + arg;
    return false;
  }
  file = arg;
  haveFile = true;
  return true;
}

bool optionUnsigned(const std::string &text, uint32_t low, uint32_t high, uint32_t &value) {
  if (text.empty() || text.size() > 10) return false;
  uint64_t v = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    v = v * 10 + uint64_t(c - '0');
  }
  if (v < low || v > high) return false;
  value = uint32_t(v);
  return true;
}

bool optionSampleFormat(const std::string &text, uint16_t &bits, bool &signed8) {
  std::string name;
  for (char c : text) name += char(std::toupper(static_cast<unsigned char>(c)));
  if (name == "U8" || name == "S8") {
    bits = 8;
    signed8 = name == "S8";
    return true;
  }
  if (name == "S16_LE" || name == "S16") {
    bits = 16;
    signed8 = false;
    return true;
  }
  return false;
}

bool optionSeconds(const std::string &text, double high, double &seconds) {
  // Digits with at most one point: no signs, exponents or hexadecimal.
  size_t points = 0;
  for (char c : text) {
    if (c == '.')
      ++points;
    else if (!std::isdigit(static_cast<unsigned char>(c)))
      return false;
  }
  if (text.empty() || points > 1 || text == ".") return false;
  errno = 0;
  char *end = nullptr;
  double v = std::strtod(text.c_str(), &end);
  if (errno || *end || !std::isfinite(v) || v < 0 || v > high) return false;
  seconds = v;
  return true;
}
