// The cost of one turn of the event loop, on its two paths, against a bare
// polling select on the same socket measured in the same run.
//
// Work above every watcher: the best work item outranks every registered
// watcher, so the turn walks its lists and dispatches without calling select
// at all. Its cost is the loop's own bookkeeping.
//
// Ready watcher: a read watcher on a loopback datagram socket with one
// pending datagram, whose callback leaves the datagram in place. With
// stays_ready=1 the callback returns 1, so from the second turn on the
// watcher is dispatchable before select: the turn polls (zero time-out) and
// dispatches it again; its socket is then not in the set. With stays_ready=0
// the callback returns 0, so every turn puts the socket in the set and select
// finds it readable. work=1 adds a queued work item of priority 1, below the
// watcher's 2, which must never run.
//
// Each benchmark times the same number of bare selects (zero time-out, the
// socket in the read set) right after its own loop and reports
// vs_select = turn time / bare select time, so the ratio does not depend on
// which benchmarks a filter selected.
//
// The benchmark acts as the I/O thread: it holds drvLock for the whole run,
// as the loop requires, and leaves every list empty when it ends.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>

#include "driver/entry.h"
#include "net/loop.h"

// The driver's entry point forwards unknown messages to DefDriverProc, so
// the core links against the multimedia layer's services. The loop never
// reaches them; these stand-ins only satisfy the link.
extern "C" LRESULT WINAPI DefDriverProc(DWORD_PTR, HDRVR, UINT, LPARAM, LPARAM) { return 0; }
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR, DWORD, HDRVR, DWORD, DWORD_PTR, DWORD_PTR,
                                      DWORD_PTR) {
  return FALSE;
}

namespace {

using Clock = std::chrono::steady_clock;

// Bounds for the reference measurement: enough selects to average out the
// clock's resolution, few enough to keep each run under a second or so.
constexpr int64_t REFERENCE_MIN_CALLS = 10000;
constexpr int64_t REFERENCE_MAX_CALLS = 2000000;
constexpr long READY_WAIT_US = 100000;  // 0.1 s for a loopback datagram to arrive

// A datagram socket bound to an ephemeral loopback port, with one datagram
// pending on it. The sender stays open for as long as the receiver.
struct PendingDatagram {
  SOCKET receiver = INVALID_SOCKET;
  SOCKET sender = INVALID_SOCKET;

  // Returns false when the sockets cannot be made or the datagram does not
  // arrive within READY_WAIT_US.
  bool open() {
    receiver = socket(AF_INET, SOCK_DGRAM, 0);
    sender = socket(AF_INET, SOCK_DGRAM, 0);
    if (receiver == INVALID_SOCKET || sender == INVALID_SOCKET) return false;
    if (!lvSocketSelectable(receiver)) return false;
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0x7F000001);  // network order
    if (bind(receiver, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return false;
    socklen_t length = sizeof address;  // 16 bytes
    getsockname(receiver, reinterpret_cast<sockaddr *>(&address), &length);
    const char byte = 'x';
    if (sendto(sender, &byte, 1, 0, reinterpret_cast<sockaddr *>(&address), sizeof address) != 1) {
      return false;
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(receiver, &set);
    timeval wait = {0, READY_WAIT_US};
    return select(int(receiver) + 1, &set, nullptr, nullptr, &wait) == 1;
  }

  ~PendingDatagram() {
    if (receiver != INVALID_SOCKET) closesocket(receiver);
    if (sender != INVALID_SOCKET) closesocket(sender);
  }
};

// Nanoseconds per bare select with a zero time-out and `s` alone in the read
// set, averaged over `calls` calls. Returns 0 if a select does not report the
// socket readable.
double bareSelectNs(SOCKET s, int64_t calls) {
  calls = std::clamp(calls, REFERENCE_MIN_CALLS, REFERENCE_MAX_CALLS);
  Clock::time_point start = Clock::now();
  for (int64_t i = 0; i < calls; i++) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval zero = {0, 0};
    if (select(int(s) + 1, &set, nullptr, nullptr, &zero) != 1) return 0;
  }
  std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
  return elapsed.count() / double(calls);
}

// Reports the ratio of the timed loop's cost per iteration to a bare select,
// both measured here.
void reportAgainstSelect(benchmark::State &state, std::chrono::duration<double, std::nano> loop,
                         SOCKET s) {
  if (state.iterations() == 0) return;
  double turnNs = loop.count() / double(state.iterations());
  double selectNs = bareSelectNs(s, int64_t(state.iterations()));
  if (selectNs == 0) {
    state.SkipWithError("the reference select did not see the pending datagram");
    return;
  }
  state.counters["turn_ns"] = turnNs;
  state.counters["select_ns"] = selectNs;
  state.counters["vs_select"] = turnNs / selectNs;
}

// Callbacks count their calls; the watcher returns what the run asked for.
struct Counts {
  int64_t watcherCalls;
  int64_t workCalls;
  int watcherResult;  // 1: still ready
};

int countWatcher(void *user) {
  Counts *c = static_cast<Counts *>(user);
  c->watcherCalls++;
  return c->watcherResult;
}

void countWork(void *user) { static_cast<Counts *>(user)->workCalls++; }

// Takes drvLock as the I/O thread does. Returns with it held.
void actAsIoThread() {
  drvInitLock();
  EnterCriticalSection(&drvLock);
}

// Gives drvLock back and reports a registration left behind.
void leaveAsIoThread(benchmark::State &state) {
  if (loopReaders || loopWriters || loopWork || loopTimers) {
    state.SkipWithError("a registration was left on the loop's lists");
  }
  LeaveCriticalSection(&drvLock);
}

// Path (a): a work item of priority 2 over a read watcher of priority 1
// whose socket is readable. The work item stays queued, so every turn runs
// it; the watcher never becoming ready shows that select was never called.
void BM_LoopTurnWorkAboveWatchers(benchmark::State &state) {
  PendingDatagram socket;
  if (!socket.open()) {
    state.SkipWithError("no readable loopback socket");
    return;
  }
  actAsIoThread();
  Counts counts = {0, 0, 0};
  Watcher watcher;
  WorkItem work;
  loopAddReader(watcherInit(&watcher, socket.receiver, countWatcher, &counts, 1));
  workInit(&work, countWork, &counts, 2);
  workQueue(&work);

  Clock::time_point start = Clock::now();
  for (auto _ : state) loopTurn();
  std::chrono::duration<double, std::nano> loop = Clock::now() - start;

  workDequeue(&work);
  loopRemoveReader(&watcher);
  if (counts.workCalls != int64_t(state.iterations()) || counts.watcherCalls != 0) {
    state.SkipWithError("a turn did not dispatch the work item");
  } else if (watcher.ready) {
    state.SkipWithError("select ran although the work item outranks every watcher");
  }
  leaveAsIoThread(state);
  reportAgainstSelect(state, loop, socket.receiver);
}
BENCHMARK(BM_LoopTurnWorkAboveWatchers);

// Path (b): a read watcher of priority 2 on a socket with a pending
// datagram, optionally with a work item of priority 1 queued below it.
void BM_LoopTurnReadyWatcher(benchmark::State &state) {
  const int staysReady = int(state.range(0));
  const bool withWork = state.range(1) != 0;
  PendingDatagram socket;
  if (!socket.open()) {
    state.SkipWithError("no readable loopback socket");
    return;
  }
  actAsIoThread();
  Counts counts = {0, 0, staysReady};
  Watcher watcher;
  WorkItem work;
  loopAddReader(watcherInit(&watcher, socket.receiver, countWatcher, &counts, 2));
  workInit(&work, countWork, &counts, 1);
  if (withWork) workQueue(&work);

  Clock::time_point start = Clock::now();
  for (auto _ : state) loopTurn();
  std::chrono::duration<double, std::nano> loop = Clock::now() - start;

  workDequeue(&work);
  loopRemoveReader(&watcher);
  if (counts.watcherCalls != int64_t(state.iterations()) || counts.workCalls != 0) {
    state.SkipWithError("a turn did not dispatch the ready watcher");
  }
  leaveAsIoThread(state);
  reportAgainstSelect(state, loop, socket.receiver);
}
BENCHMARK(BM_LoopTurnReadyWatcher)
    ->ArgNames({"stays_ready", "work"})
    ->Args({1, 0})
    ->Args({1, 1})
    ->Args({0, 0})
    ->Args({0, 1});

// The reference on its own: one bare select with a zero time-out and the
// pending socket in the read set.
void BM_BareSelectZeroTimeout(benchmark::State &state) {
  PendingDatagram socket;
  if (!socket.open()) {
    state.SkipWithError("no readable loopback socket");
    return;
  }
  for (auto _ : state) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket.receiver, &set);
    timeval zero = {0, 0};
    benchmark::DoNotOptimize(select(int(socket.receiver) + 1, &set, nullptr, nullptr, &zero));
  }
}
BENCHMARK(BM_BareSelectZeroTimeout);

}  // namespace
