#include "server/stats.h"

#include <cstdio>

namespace {
FILE *statsFile = nullptr;  // null without --stats
}

bool statsOpen(const std::string &path) {
  statsFile = std::fopen(path.c_str(), "w");
  return statsFile != nullptr;
}

void statsWrite(const std::string &json) {
  if (!statsFile) return;
  std::fputs(json.c_str(), statsFile);
  std::fputc('\n', statsFile);
  std::fflush(statsFile);
}

void statsClose() {
  if (statsFile) std::fclose(statsFile);
  statsFile = nullptr;
}
