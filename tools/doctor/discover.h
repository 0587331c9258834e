// The doctor's first three steps, over the driver's own discovery and name
// registry (devices/discovery, devices/registry): the
// session number, the session's display address, and the audio server's
// address, port and unreachable mark.
#pragma once

#include <cstdint>

#include "tools/doctor/report.h"

// What the first steps found, for the steps after them.
struct Discovery {
  bool deviceOpened = false;  // the kernel access device could be opened
  int32_t session = 0;        // the number the driver takes
  bool addressFound = false;  // the record or the Hookup query gave an address
  bool serverFound = false;   // the driver's discovery yields a destination
  uint32_t address = 0;       // the audio server, host order
  uint32_t port = 0;          // its control port
  bool marked = false;        // marked unreachable after the step (and --clear)
};

// Step 1: the session number, from the kernel access device.
Step checkSession(Discovery &found);
// Step 2: the display address record's fields and, when the record gives
// no address, the Hookup query's answer.
Step checkAddress(Discovery &found);
// Step 3: the destination the driver's discovery yields (9000 + display)
// and its mark in the name registry. With clear, a mark is removed after
// announce has been called with the name and the target removed.
Step checkServer(Discovery &found, bool clear,
                 void (*announce)(const char *name, const char *target));
