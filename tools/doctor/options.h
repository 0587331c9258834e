// The command line of lumivox-doctor.
#pragma once

#include <cstdint>
#include <string>

#include "tools/common/options.h"

// The test tone's frequency bounds and default, Hz: the audible range.
constexpr uint32_t DOCTOR_TONE_HZ_MIN = 20;
constexpr uint32_t DOCTOR_TONE_HZ_MAX = 20000;
constexpr uint32_t DOCTOR_TONE_HZ_DEFAULT = 440;

struct DoctorOptions {
  bool clear = false;  // remove this session's unreachable mark for its server
  bool stream = true;  // run a short play stream over the driver's own sender
  bool tone = false;   // play a second of tone through the real device path
  bool json = false;   // one JSON object on standard output instead of the text
  uint32_t toneHz = DOCTOR_TONE_HZ_DEFAULT;
};

extern const char DOCTOR_USAGE[];

// Exit status when a check failed (the usage error keeps TOOL_EXIT_USAGE).
constexpr int DOCTOR_EXIT_FAILED = 4;

// Parses argv; on PARSE_ERROR the reason is in error.
ParseOutcome doctorParseOptions(int argc, char **argv, DoctorOptions &options, std::string &error);
