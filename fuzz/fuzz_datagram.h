// What the datagram fuzz targets share: a reader that takes the input apart
// field by field, the loopback socket that plays the audio server, and the
// poll timer that keeps every select of a loop turn from blocking.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/loop.h"

// Reads the input front to back; past its end every field reads as 0.
struct FuzzInput {
  const uint8_t *data;
  size_t size;
  size_t at;

  bool done() const { return at >= size; }
  uint8_t u8() { return at < size ? data[at++] : 0; }
  uint16_t u16() { return uint16_t(u8() | u8() << 8); }
  uint32_t u32() { return u16() | uint32_t(u16()) << 16; }
};

constexpr uint32_t FUZZ_SERVER_HOST = 0x7F000001;  // 127.0.0.1
constexpr uint32_t FUZZ_OTHER_HOST = 0x7F000002;   // not the server

// A non-blocking datagram socket bound to an ephemeral port of
// FUZZ_SERVER_HOST; *address gets where it listens.
SOCKET fuzzServerSocket(sockaddr_in *address);
// The host-order address/port pair as a sockaddr_in.
sockaddr_in fuzzAddress(uint32_t host, uint16_t port);

// A timer of priority 0 due now: it is never dispatched, and while it is
// scheduled no loop turn waits in select.
void fuzzPollStart(Timer *poll);
