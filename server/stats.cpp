#include "server/stats.h"

#include <chrono>
#include <cstdio>

namespace {
FILE *statsFile = nullptr;                     // null without --stats
std::string statsPath;                         // as given to statsOpen
std::chrono::steady_clock::time_point opened;  // when the file was opened; "time" counts from it
}  // namespace

bool statsOpen(const std::string &path) {
  statsFile = std::fopen(path.c_str(), "w");
  statsPath = path;
  opened = std::chrono::steady_clock::now();
  return statsFile != nullptr;
}

// Every line gets "time" first: milliseconds since the file was opened, on
// the monotonic clock, so that a reader can draw a stream's events over time.
void statsWrite(const std::string &json) {
  if (!statsFile || json.empty() || json[0] != '{') return;
  auto since = std::chrono::duration_cast<std::chrono::microseconds>(
      std::chrono::steady_clock::now() - opened);
  std::fprintf(statsFile, "{\"time\":%.3f,%s\n", double(since.count()) / 1000.0, json.c_str() + 1);
  std::fflush(statsFile);
}

bool statsReopen() {
  if (statsPath.empty()) return true;
  if (statsFile) std::fclose(statsFile);
  statsFile = std::fopen(statsPath.c_str(), "a");
  return statsFile != nullptr;
}

void statsClose() {
  if (statsFile) std::fclose(statsFile);
  statsFile = nullptr;
}
