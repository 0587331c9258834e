// What the tools share on their command lines: the exit statuses, the
// outcome of parsing, and the parsing of option values.
#pragma once

#include <cstdint>
#include <string>

// Exit statuses of every tool (each --help lists the ones it uses).
enum ToolExit {
  TOOL_EXIT_OK = 0,
  TOOL_EXIT_USAGE = 1,          // bad command line
  TOOL_EXIT_FILE = 2,           // the WAV file cannot be read, used or written
  TOOL_EXIT_DEVICE = 3,         // the device or the driver failed
  TOOL_EXIT_INTERRUPTED = 130,  // stopped by SIGINT before the end (128 + SIGINT)
};

enum ParseOutcome {
  PARSE_OK,     // options filled
  PARSE_HELP,   // --help was given: print the usage and exit 0
  PARSE_ERROR,  // usage error, reason in the error text
};

// Splits "--name=value" into name and value; hasValue tells whether an '='
// was there. Anything else comes back as the name.
void optionSplit(const std::string &arg, std::string &name, std::string &value, bool &hasValue);

// A decimal integer between low and high. False for anything else (signs,
// spaces, trailing text, overflow).
bool optionUnsigned(const std::string &text, uint32_t low, uint32_t high, uint32_t &value);

// A decimal number of seconds, such as "2" or "0.25", between 0 and high.
bool optionSeconds(const std::string &text, double high, double &seconds);
