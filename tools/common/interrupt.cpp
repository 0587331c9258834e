#include "tools/common/interrupt.h"

#include <csignal>

namespace {

volatile std::sig_atomic_t requested = 0;

void onInterrupt(int) {
  requested = 1;
  std::signal(SIGINT, SIG_DFL);
}

}  // namespace

void interruptInstall() { std::signal(SIGINT, onInterrupt); }

bool interruptRequested() { return requested != 0; }
