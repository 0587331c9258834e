// The command line of lumivox-record.
#pragma once

#include <cstdint>
#include <string>

#include "tools/common/options.h"

constexpr double RECORD_SECONDS_MAX = 86400;  // bound of --seconds

struct RecordOptions {
  std::string file;
  double seconds = 0;     // how long to record; 0: until SIGINT
  uint32_t rate = 44100;  // frames per second
  uint32_t channels = 2;  // 1 or 2
  uint32_t bits = 16;     // 8 or 16
  std::string stats;      // --stats: where the run's counts go; empty: nowhere
  bool raw = false;       // -t raw: the samples alone, no header, whatever FILE's name
  bool quiet = false;     // no status lines
};

extern const char RECORD_USAGE[];

// Parses argv; on PARSE_ERROR the reason is in error.
ParseOutcome recordParseOptions(int argc, char **argv, RecordOptions &options, std::string &error);
