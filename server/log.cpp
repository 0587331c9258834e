#include "server/log.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <unordered_map>

int logLevel = LOG_INFO;

namespace {

constexpr size_t LINE_MAX_BYTES = 1024;  // longer lines are cut; the newline stays

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

// The journal's priorities, as sd-daemon.h defines them: each line under
// the journal begins with one, so that journalctl -p finds it.
enum Priority { PRIORITY_ERROR = 3, PRIORITY_WARNING = 4, PRIORITY_INFO = 6, PRIORITY_DEBUG = 7 };

// Writes one line: the stamp (or, under the journal, the priority), the
// prefix, the text; returns its bytes.
size_t writeLine(Priority priority, const char *format, va_list arguments) {
  char line[LINE_MAX_BYTES + 1];
  size_t used =
      stamped() ? writeStamp(line, 32) : size_t(std::snprintf(line, 8, "<%d>", int(priority)));
  used += size_t(std::snprintf(line + used, LINE_MAX_BYTES - used, "lumivox-server: "));
  int n = std::vsnprintf(line + used, LINE_MAX_BYTES - used, format, arguments);
  if (n > 0) used += std::min(size_t(n), LINE_MAX_BYTES - used - 1);
  line[used++] = '\n';
  // A short write to standard error loses the rest of the line; nothing to
  // retry against.
  ssize_t ignored = write(STDERR_FILENO, line, used);
  (void)ignored;
  return used;
}

size_t writeText(Priority priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
size_t writeText(Priority priority, const char *format, ...) {
  va_list arguments;
  va_start(arguments, format);
  size_t bytes = writeLine(priority, format, arguments);
  va_end(arguments);
  return bytes;
}

// ---- The limit on client lines.

using Clock = std::chrono::steady_clock;
constexpr auto WINDOW = std::chrono::seconds(60);
constexpr size_t KINDS_MAX = 1024;  // kinds and clients followed at once
constexpr size_t KEPT_TEXT = 240;   // of the last line held back, for its summary
constexpr auto SWEEP = std::chrono::seconds(1);

struct Key {
  const char *kind;
  uint32_t client;
  bool operator==(const Key &o) const { return kind == o.kind && client == o.client; }
};
struct KeyHash {
  size_t operator()(const Key &k) const {
    return std::hash<const void *>()(k.kind) ^ (size_t(k.client) * 0x9E3779B97F4A7C15ull);
  }
};
struct Window {
  Clock::time_point start;
  uint32_t written = 0;  // lines of this minute written
  uint64_t held = 0;     // lines of this minute held back
  std::string last;      // the last one held back, cut at KEPT_TEXT
};

struct Limit {
  std::unordered_map<Key, Window, KeyHash> windows;
  Clock::time_point budgetStart = Clock::now();
  size_t budgetUsed = 0;    // bytes of client lines in this minute
  uint64_t overBudget = 0;  // lines dropped for the budget (or a full table) this minute
  Clock::time_point lastSweep;
};

Limit &limit() {
  static Limit l;
  return l;
}

long secondsSince(Clock::time_point start, Clock::time_point now) {
  return long(std::chrono::duration_cast<std::chrono::seconds>(now - start).count());
}

// Ends the budget's minute (`all`: ends it whether or not it has run):
// counts what was over it, and starts the next.
void closeBudget(Limit &l, Clock::time_point now, bool all) {
  if (!all && now - l.budgetStart < WINDOW) return;
  if (l.overBudget) {
    writeText(PRIORITY_WARNING,
              "... %llu more lines from clients in the last %ld s, over the log's limit",
              (unsigned long long)l.overBudget, secondsSince(l.budgetStart, now));
  }
  l.budgetStart = now;
  l.budgetUsed = 0;
  l.overBudget = 0;
}

// Writes a client line within the minute's budget; false when over it.
bool spend(Limit &l, Clock::time_point now, size_t bytes) {
  closeBudget(l, now, false);
  if (l.budgetUsed + bytes > LOG_CLIENT_BYTES_PER_MINUTE) {
    ++l.overBudget;
    return false;
  }
  l.budgetUsed += bytes;
  return true;
}

// The summary of a window's held-back lines.
void summarise(Limit &l, Window &w, Clock::time_point now) {
  if (!w.held) return;
  size_t bytes = w.last.size() + 80;
  if (spend(l, now, bytes)) {
    writeText(PRIORITY_WARNING, "%s ... %llu more like this in the last %ld s", w.last.c_str(),
              (unsigned long long)w.held, secondsSince(w.start, now));
  } else {
    l.overBudget += w.held - 1;
  }
  w.held = 0;
}

void sweep(Limit &l, Clock::time_point now, bool all) {
  l.lastSweep = now;
  for (auto it = l.windows.begin(); it != l.windows.end();) {
    Window &w = it->second;
    if (all || now - w.start >= WINDOW) {
      summarise(l, w, now);
      it = l.windows.erase(it);
    } else {
      ++it;
    }
  }
  closeBudget(l, now, all);
}

void limited(uint32_t client, const char *kind, uint32_t burst, const char *text) {
  Limit &l = limit();
  auto now = Clock::now();
  if (now - l.lastSweep >= SWEEP) sweep(l, now, false);
  Key key{kind, client};
  auto it = l.windows.find(key);
  if (it == l.windows.end()) {
    if (l.windows.size() >= KINDS_MAX) {
      ++l.overBudget;  // more kinds and clients at once than followed: counted only
      return;
    }
    Window fresh;
    fresh.start = now;
    it = l.windows.emplace(key, std::move(fresh)).first;
  }
  Window &w = it->second;
  if (w.written < burst) {
    size_t bytes = std::strlen(text) + 48;
    if (!spend(l, now, bytes)) return;
    ++w.written;
    writeText(PRIORITY_WARNING, "%s", text);
    return;
  }
  ++w.held;
  w.last.assign(text, std::min(std::strlen(text), KEPT_TEXT));
}

}  // namespace

static Priority priorityOf(int level) {
  return level == LOG_ERROR ? PRIORITY_ERROR : level == LOG_DEBUG ? PRIORITY_DEBUG : PRIORITY_INFO;
}

void logLine(int level, const char *format, ...) {
  if (level > logLevel) return;
  va_list arguments;
  va_start(arguments, format);
  writeLine(priorityOf(level), format, arguments);
  va_end(arguments);
}

void logRoutine(int level, const char *format, ...) {
  if (level > logLevel) return;
  char text[LINE_MAX_BYTES];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  logRoutineText(level, text);
}

void logRoutineText(int level, const char *text) {
  if (level > logLevel) return;
  if (logLevel < LOG_DEBUG) {
    Limit &l = limit();
    auto now = Clock::now();
    if (now - l.lastSweep >= SWEEP) sweep(l, now, false);
    if (!spend(l, now, std::strlen(text) + 48)) return;
  }
  writeText(priorityOf(level), "%s", text);
}

void logTextFrom(uint32_t client, const char *kind, uint32_t burst, int level, const char *text) {
  if (level > logLevel) return;
  if (logLevel >= LOG_DEBUG) {
    writeText(level == LOG_INFO ? PRIORITY_WARNING : priorityOf(level), "%s", text);
    return;
  }
  limited(client, kind, burst, text);
}

void logFrom(uint32_t client, int level, const char *format, ...) {
  if (level > logLevel) return;
  char text[LINE_MAX_BYTES];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(text, sizeof text, format, arguments);
  va_end(arguments);
  logTextFrom(client, format, LOG_BURST, level, text);
}

void logFlush(bool all) {
  Limit &l = limit();
  auto now = Clock::now();
  if (all || now - l.lastSweep >= SWEEP) sweep(l, now, all);
}
