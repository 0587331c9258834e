// What the tools share on their command lines: the exit statuses, the
// outcome of parsing, and the parsing of option values.
#pragma once

#include <cstdint>
#include <string>

// Exit statuses of every tool (each --help lists the ones it uses).
enum ToolExit {
  TOOL_EXIT_OK = 0,
  TOOL_EXIT_FILE = 1,           // a sound file cannot be read, used or written
  TOOL_EXIT_USAGE = 2,          // bad command line, as for the server, session and relay
  TOOL_EXIT_DEVICE = 3,         // the device or the driver failed
  TOOL_EXIT_INTERRUPTED = 130,  // stopped by SIGINT before the end (128 + SIGINT; 128 + any signal)
};

// Why a stream that never moved did not: the same words for every tool.
constexpr char STREAM_NEVER_STARTED[] =
    "the stream never started (is the terminal's audio server reachable, and UDP between the two "
    "not blocked?)";

enum ParseOutcome {
  PARSE_OK,       // options filled
  PARSE_HELP,     // --help was given: print the usage and exit 0
  PARSE_VERSION,  // --version was given: print "PROGRAM VERSION" and exit 0
  PARSE_ERROR,    // usage error, reason in the error text
};

// What a tool does with any outcome but PARSE_OK: prints the usage, its
// name and version, or the error with a pointer to --help, and returns the
// exit status.
int toolParseExit(const char *tool, ParseOutcome outcome, const char *usage,
                  const std::string &error);

// Splits "--name=value" into name and value; hasValue tells whether an '='
// was there. Anything else comes back as the name.
void optionSplit(const std::string &arg, std::string &name, std::string &value, bool &hasValue);

// The value of an option that takes one: the "=value" optionSplit found, or
// else the next argument, which index then passes. False with error set
// when there is none.
bool optionTakeValue(int argc, char **argv, int &index, const std::string &name, bool hasValue,
                     std::string &value, std::string &error);

// An argument that is no option of the tool: the one file, or an error
// (an unknown option, a second file) in error with false.
bool optionTakeFile(const std::string &arg, std::string &file, bool &haveFile, std::string &error);

// A decimal integer between low and high. False for anything else (signs,
// spaces, trailing text, overflow).
bool optionUnsigned(const std::string &text, uint32_t low, uint32_t high, uint32_t &value);

// aplay's and arecord's names of a sample format (-f): U8, S8 and S16_LE
// (S16 too). Sets bits and whether 8-bit samples are signed; false for any
// other name.
bool optionSampleFormat(const std::string &text, uint16_t &bits, bool &signed8);

// A decimal number of seconds, such as "2" or "0.25", between 0 and high.
bool optionSeconds(const std::string &text, double high, double &seconds);
