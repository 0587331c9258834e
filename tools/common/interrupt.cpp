#include "tools/common/interrupt.h"

#include <atomic>
#include <csignal>

#ifndef _WIN32
#include <pthread.h>
#endif

namespace {

// SIGHUP is POSIX only; the Windows runtime has SIGINT and SIGTERM.
const int STOP_SIGNALS[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
};

std::atomic<int> requested{0};  // the first stop signal, 0 until one came

// Where a thread does not block the stop signals, the handler takes the
// first, and the default action the next.
void onInterrupt(int signal) {
  int none = 0;
  requested.compare_exchange_strong(none, signal);
  for (int s : STOP_SIGNALS) std::signal(s, SIG_DFL);
}

#ifndef _WIN32
sigset_t stopSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : STOP_SIGNALS) sigaddset(&set, s);
  return set;
}

// The stop signals, blocked in every thread started after the install,
// are taken here as they come: a handler runs in whichever thread the
// signal lands on, and a sanitizer that defers handlers until that thread
// leaves a wait may never run it in a thread that waits for good (the
// driver's I/O thread). The first one sets the flag; a later one ends the
// tool as though nothing caught it.
void *waitForStop(void *) {
  sigset_t set = stopSet();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    int none = 0;
    if (requested.compare_exchange_strong(none, signal)) continue;
    std::signal(signal, SIG_DFL);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    raise(signal);
  }
  return nullptr;
}
#endif

}  // namespace

void interruptInstall() {
  for (int s : STOP_SIGNALS) std::signal(s, onInterrupt);
#ifndef _WIN32
  sigset_t set = stopSet();
  sigset_t before;
  pthread_sigmask(SIG_BLOCK, &set, &before);
  pthread_t waiter;
  if (pthread_create(&waiter, nullptr, waitForStop, nullptr) != 0) {
    pthread_sigmask(SIG_SETMASK, &before, nullptr);  // the handler alone, then
    return;
  }
  pthread_detach(waiter);
#endif
}

bool interruptRequested() { return requested.load() != 0; }

int interruptSignal() { return requested.load(); }
