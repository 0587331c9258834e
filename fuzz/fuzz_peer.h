// What the control-connection fuzz targets share: the fuzzer's thread as
// the I/O thread, a connection on one end of a stream socket pair whose
// other end plays the server, the input written to it in seeded chunks of
// 1 to FUZZ_MAX_CHUNK bytes with the loop turned until each is consumed,
// and the end of a case, which must leave nothing behind.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/control.h"

constexpr int FUZZ_MAX_TURNS = 100000;   // per chunk and for the final close
constexpr uint32_t FUZZ_MAX_CHUNK = 64;  // bytes per peer write

// Reports what went wrong, prefixed with the target's name, and aborts.
[[noreturn]] void fuzzFail(const char *what);
// The target's name in every report.
extern const char *fuzzTarget;

// Once per run: drvLock taken for good, sockets started, the tick frozen.
void fuzzStartIo(void);

struct FuzzPeer {
  int driverEnd;  // the connection's socket
  int serverEnd;  // what the input is written to
  Timer poll;     // due at once with priority 0: keeps every select a poll
};

// Makes the pair, both ends non-blocking, and starts the poll timer.
void fuzzPeerOpen(FuzzPeer *peer);

// Writes data to the server end in chunks whose sizes follow split, turning
// the loop after each until the connection has taken what it can or has
// closed. afterTurn (may be null) runs after each turn on an open
// connection; with drain set, what the driver sent is read off after each
// chunk so that the pair never fills.
void fuzzFeed(FuzzPeer *peer, ControlConnection *c, const uint8_t *data, size_t size,
              uint32_t split, void (*afterTurn)(ControlConnection *), bool drain);

// Closes the connection unless it closed itself, closes the server end,
// turns the loop until the record is freed and checks that no registration
// is left.
void fuzzFinish(FuzzPeer *peer, ControlConnection *c);
