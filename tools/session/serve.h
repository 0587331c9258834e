// What lumivox-session makes in the runtime directory, and the loop that
// answers the kernel access device and the Hookup channel.
#pragma once

#include "tools/session/options.h"

// Creates every object the options ask for, prints the ready line, and
// answers requests until SIGINT or SIGTERM; then removes every file and
// directory it made. Returns the exit status (0, or 1 with a message on
// standard error when an object cannot be made).
int sessionServe(const SessionOptions &options);
