#include "tools/common/interrupt.h"

#include <csignal>

namespace {

// SIGHUP is POSIX only; the Windows runtime has SIGINT and SIGTERM.
const int STOP_SIGNALS[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
};

volatile std::sig_atomic_t requested = 0;  // the first stop signal, 0 until one came

void onInterrupt(int signal) {
  if (!requested) requested = signal;
  for (int s : STOP_SIGNALS) std::signal(s, SIG_DFL);
}

}  // namespace

void interruptInstall() {
  for (int s : STOP_SIGNALS) std::signal(s, onInterrupt);
}

bool interruptRequested() { return requested != 0; }

int interruptSignal() { return requested; }
