// The server's log on standard error. Each line is written with one write
// so that lines of a server under test never interleave with other output.
//
// Lines of bad or excessive input a client causes (its connections,
// requests and datagrams) go through logFrom, which limits them so that no flood fills a disk: per
// kind (the call site's format) and client address, at most `burst` lines
// a minute, the rest collapsed into one line "... N more like this in the
// last S s"; and over all clients at most LOG_CLIENT_BYTES_PER_MINUTE, the
// rest counted in one line a minute. At the debug level (--verbose 2)
// nothing is limited: whoever asks for every message gets every message.
#pragma once

#include <cstddef>
#include <cstdint>

enum : int {
  LOG_ERROR = 0,  // the server cannot go on, or cannot serve something at all
  LOG_INFO = 1,   // connections, setups, streams, bad input from a driver
  LOG_DEBUG = 2,  // every message received and sent
};

// Lines above this level are dropped. Set once by main from --verbose.
extern int logLevel;

// Lines of one kind from one client a minute, by default and for refusals
// that a client may provoke at will (one a minute tells the operator).
constexpr uint32_t LOG_BURST = 10;
constexpr uint32_t LOG_BURST_RARE = 1;
// Bytes of client lines (and their summaries) a minute, over all clients.
constexpr size_t LOG_CLIENT_BYTES_PER_MINUTE = 768 * 1024;

// Writes the local time, "lumivox-server: " and the formatted text as one
// line (cut at 1 KiB). Under the journal (JOURNAL_STREAM set), which
// stamps the lines itself, the time is left out and the line begins with
// its priority instead: <3> for errors, <4> for lines of bad or excessive
// input from clients (logFrom), <6> for the rest (<7> for debug lines).
void logLine(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// A routine line of a client's lawful use (connected, set up, a stream
// opened, closed or ended): never limited per kind, as the connection and
// stream limits bound these already, but counted in the budget over all
// clients, so that no flood of connections fills a disk either.
void logRoutine(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
void logRoutineText(int level, const char *text);

// A line of bad or excessive input caused by `client` (IPv4, host order),
// limited as above.
void logFrom(uint32_t client, int level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));
// The same for a text already formatted, of the kind `kind` (a string
// literal: it is told apart by its address), at most `burst` a minute.
void logTextFrom(uint32_t client, const char *kind, uint32_t burst, int level, const char *text);
// Writes the summaries of the minutes that have ended. Called now and then
// by the server's loop, and at exit (`all`: every pending count, ended or
// not).
void logFlush(bool all = false);
