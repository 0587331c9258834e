#include "server/log.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

int logLevel = LOG_INFO;

namespace {

// The journal stamps each line itself; it says so by naming the stream it
// reads in JOURNAL_STREAM.
bool stamped() {
  static const bool stamp = std::getenv("JOURNAL_STREAM") == nullptr;
  return stamp;
}

// "2026-12-10 04:40:00.123 ": the local time to the millisecond.
size_t writeStamp(char *to, size_t room) {
  timeval now{};
  gettimeofday(&now, nullptr);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  size_t used = std::strftime(to, room, "%Y-%m-%d %H:%M:%S", &local);
  int n = std::snprintf(to + used, room - used, ".%03d ", int(now.tv_usec / 1000));
  return used + (n > 0 ? std::min(size_t(n), room - used - 1) : 0);
}

}  // namespace

void logLine(int level, const char *format, ...) {
  if (level > logLevel) return;
  constexpr size_t LINE_MAX_BYTES = 1024;  // longer lines are cut; the newline stays
  char line[LINE_MAX_BYTES + 1];
  size_t used = stamped() ? writeStamp(line, 32) : 0;
  used += size_t(std::snprintf(line + used, LINE_MAX_BYTES - used, "lumivox-server: "));
  va_list arguments;
  va_start(arguments, format);
  int n = std::vsnprintf(line + used, LINE_MAX_BYTES - used, format, arguments);
  va_end(arguments);
  if (n > 0) used += std::min(size_t(n), LINE_MAX_BYTES - used - 1);
  line[used++] = '\n';
  // A short write to standard error loses the rest of the line; nothing to
  // retry against.
  ssize_t ignored = write(STDERR_FILENO, line, used);
  (void)ignored;
}
