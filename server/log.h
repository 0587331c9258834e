// The server's log on standard error. Each line is written with one write
// so that lines of a server under test never interleave with other output.
#pragma once

enum : int {
  LOG_ERROR = 0,  // the server cannot go on, or cannot serve something at all
  LOG_INFO = 1,   // connections, setups, streams, bad input from a driver
  LOG_DEBUG = 2,  // every message received and sent
};

// Lines above this level are dropped. Set once by main from --verbose.
extern int logLevel;

// Writes the local time, "lumivox-server: " and the formatted text as one
// line (cut at 1 KiB). Under the journal (JOURNAL_STREAM set), which
// stamps the lines itself, the time is left out.
void logLine(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
