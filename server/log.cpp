#include "server/log.h"

#include <unistd.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

int logLevel = LOG_INFO;

void logLine(int level, const char *format, ...) {
  if (level > logLevel) return;
  constexpr size_t LINE_MAX_BYTES = 1024;  // longer lines are cut; the newline stays
  char line[LINE_MAX_BYTES + 1];
  size_t used = size_t(std::snprintf(line, LINE_MAX_BYTES, "lumivox-server: "));
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
