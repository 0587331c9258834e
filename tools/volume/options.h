// The command line of lumivox-volume.
#pragma once

#include <cstdint>
#include <string>

#include "tools/common/options.h"

struct VolumeOptions {
  bool set = false;       // "set LEVEL"; otherwise "get"
  bool input = false;     // the input volume instead of the output volume
  bool percent = false;   // LEVEL was a percentage of the control's range
  double percentage = 0;  // that percentage, 0 to 100
  uint32_t level = 0;     // LEVEL as a control value, 0 to 65535
  int step = 0;           // +1 or -1: LEVEL (a value or a percentage) is added or taken off
};

extern const char VOLUME_USAGE[];

// Parses argv; on PARSE_ERROR the reason is in error.
ParseOutcome volumeParseOptions(int argc, char **argv, VolumeOptions &options, std::string &error);

// The control value for options' LEVEL in a control ranging from minimum
// to maximum that stands at current now; a step is held to the range.
// False when a plain value lies outside that range.
bool volumeLevelValue(const VolumeOptions &options, uint32_t minimum, uint32_t maximum,
                      uint32_t current, uint32_t &value);
