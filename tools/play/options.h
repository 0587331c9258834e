// The command line of lumivox-play.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/common/options.h"

constexpr uint32_t PLAY_LOOP_FOREVER = 0xFFFFFFFFu;  // dwLoops of --loop without a count
constexpr double PLAY_SECONDS_MAX = 86400;           // bound of --pause-at and --pause-for

struct PlayOptions {
  std::vector<std::string> files;  // played in this order; "-" is standard input
  uint32_t plays = 1;              // passes over the file; PLAY_LOOP_FOREVER: until interrupted
  bool loop = false;               // the headers carry the loop flags
  bool pause = false;              // --pause-at was given
  double pauseAt = 0;              // position at which to pause, seconds
  double pauseFor = 2;             // how long the pause lasts, seconds
  std::string stats;               // --stats: where the run's counts go; empty: nowhere
  bool quiet = false;              // no status lines
  // Raw PCM input (-t raw, or any of -r, -c, -b, -f): every file is samples
  // without a header, in this format.
  bool raw = false;
  uint32_t rate = 44100;
  uint32_t channels = 2;
  uint16_t bits = 16;
  bool signed8 = false;
};

extern const char PLAY_USAGE[];

// Parses argv; on PARSE_ERROR the reason is in error.
ParseOutcome playParseOptions(int argc, char **argv, PlayOptions &options, std::string &error);
