// The status line and its formatting.
#include "tools/common/console.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr double METER_FLOOR_DB = -60.0;  // the empty end of the meter

}  // namespace

bool consoleIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) != 0;
#endif
}

bool consoleQuiet = false;

void StatusLine::show(const std::string &text, int64_t step) {
  if (consoleQuiet) return;
  if (terminal_) {
    if (drawn_ && text == last_) return;
    // Back to the line's start, the text, then clear what a longer text left.
    std::fprintf(stderr, "\r%s\033[K", text.c_str());
    std::fflush(stderr);
    drawn_ = true;
    last_ = text;
    return;
  }
  if (step == lastStep_ || text == last_) return;
  lastStep_ = step;
  last_ = text;
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

void StatusLine::end() {
  if (terminal_ && drawn_) std::fputs("\n", stderr);
  drawn_ = false;
  std::fflush(stderr);
}

std::string consoleTime(double seconds) {
  if (!(seconds > 0)) seconds = 0;
  long long whole = (long long)seconds;
  char text[32];
  if (whole >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", whole / 3600, whole / 60 % 60,
                  whole % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", whole / 60, whole % 60);
  }
  return text;
}

std::string consoleBar(double fraction, size_t width) {
  if (!(fraction > 0)) fraction = 0;
  if (fraction > 1) fraction = 1;
  size_t full = size_t(fraction * double(width) + 0.5);
  return "[" + std::string(full, '#') + std::string(width - full, '-') + "]";
}

double consolePeakDbfs(const uint8_t *samples, size_t bytes, int bits) {
  int peak = 0;
  double fullScale;
  if (bits == 8) {
    fullScale = 128;
    for (size_t i = 0; i < bytes; ++i) peak = std::max(peak, std::abs(int(samples[i]) - 128));
  } else {
    fullScale = 32768;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
      int s = int16_t(uint16_t(samples[i] | samples[i + 1] << 8));
      peak = std::max(peak, std::abs(s));
    }
  }
  if (peak == 0) return -INFINITY;
  return 20 * std::log10(double(peak) / fullScale);
}

std::string consoleMeter(double dbfs, size_t width) {
  double fraction = std::isinf(dbfs) ? 0 : 1 - dbfs / METER_FLOOR_DB;
  if (fraction < 0) fraction = 0;
  if (fraction > 1) fraction = 1;
  size_t full = size_t(fraction * double(width) + 0.5);
  char level[32];
  if (std::isinf(dbfs)) {
    std::snprintf(level, sizeof level, " -inf dBFS");
  } else {
    std::snprintf(level, sizeof level, " %.1f dBFS", dbfs);
  }
  return "[" + std::string(full, '=') + std::string(width - full, ' ') + "]" + level;
}
