// Critical sections, events, thread handles, priorities and interlocked
// operations of the POSIX runtime, exercised with real threads.
#include <gtest/gtest.h>

#include <thread>

#include "platform/posix/faults.h"
#include "platform/posix/sync.h"

namespace {

// For waits that must succeed: never reached when the runtime works, and long
// enough for a loaded sanitizer run.
constexpr DWORD LONG_WAIT_MS = 10000;
// For waits that must time out.
constexpr DWORD SHORT_WAIT_MS = 20;

// Priorities and faults are process-wide state that later tests read, so
// every test puts them back, whether it passed or not.
class Sync : public ::testing::Test {
 protected:
  void TearDown() override {
    lvFaultReset();
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
  }
};

HANDLE ownerId() { return reinterpret_cast<HANDLE>(uintptr_t(GetCurrentThreadId())); }

HANDLE newEvent(BOOL manualReset, BOOL initialState) {
  return CreateEventW(nullptr, manualReset, initialState, nullptr);
}

// Tries the section from a thread of its own; on success checks that the
// bookkeeping names that thread, and leaves again.
bool tryEnterElsewhere(CRITICAL_SECTION *cs) {
  bool entered = false;
  std::thread([&] {
    entered = TryEnterCriticalSection(cs) != FALSE;
    if (entered) {
      EXPECT_EQ(cs->OwningThread, ownerId());
      EXPECT_EQ(cs->RecursionCount, 1);
      LeaveCriticalSection(cs);
    }
  }).join();
  return entered;
}

DWORD WINAPI returnParam(LPVOID param) { return DWORD(uintptr_t(param)); }

// Returns 42 once the event passed in is signalled.
DWORD WINAPI waitThenReturn(LPVOID event) {
  return WaitForSingleObject(event, LONG_WAIT_MS) == WAIT_OBJECT_0 ? 42 : 1;
}

TEST_F(Sync, CriticalSectionIsRecursiveAndTracksItsOwner) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  EXPECT_TRUE(TryEnterCriticalSection(&cs)) << "the owner may always enter again";
  EXPECT_EQ(cs.OwningThread, ownerId());
  EXPECT_EQ(cs.RecursionCount, 3);
  EXPECT_FALSE(tryEnterElsewhere(&cs));
  LeaveCriticalSection(&cs);
  LeaveCriticalSection(&cs);
  EXPECT_EQ(cs.OwningThread, ownerId());
  EXPECT_EQ(cs.RecursionCount, 1);
  EXPECT_FALSE(tryEnterElsewhere(&cs)) << "held until every entry is left";
  LeaveCriticalSection(&cs);
  EXPECT_EQ(cs.OwningThread, nullptr);
  EXPECT_EQ(cs.RecursionCount, 0);
  EXPECT_TRUE(tryEnterElsewhere(&cs));
  EXPECT_EQ(cs.OwningThread, nullptr);
  DeleteCriticalSection(&cs);
}

constexpr int CONTENDERS = 4;
constexpr long ENTRIES_EACH = 5000;

struct Contention {
  CRITICAL_SECTION cs;
  long counter = 0;     // guarded by cs
  long badEntries = 0;  // guarded by cs: entries that found another thread's bookkeeping
};

DWORD WINAPI contend(LPVOID param) {
  Contention *c = static_cast<Contention *>(param);
  for (long i = 0; i < ENTRIES_EACH; ++i) {
    EnterCriticalSection(&c->cs);
    EnterCriticalSection(&c->cs);
    if (c->cs.OwningThread != ownerId() || c->cs.RecursionCount != 2) c->badEntries += 1;
    long seen = c->counter;  // a lost update shows if two threads get in at once
    c->counter = seen + 1;
    LeaveCriticalSection(&c->cs);
    LeaveCriticalSection(&c->cs);
  }
  return 0;
}

TEST_F(Sync, CriticalSectionExcludesContendingThreads) {
  Contention c;
  InitializeCriticalSection(&c.cs);
  HANDLE threads[CONTENDERS];
  for (HANDLE &t : threads) t = CreateThread(nullptr, 0, contend, &c, 0, nullptr);
  for (HANDLE t : threads) {
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(WaitForSingleObject(t, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(CloseHandle(t));
  }
  EXPECT_EQ(c.counter, CONTENDERS * ENTRIES_EACH);
  EXPECT_EQ(c.badEntries, 0);
  DeleteCriticalSection(&c.cs);
}

TEST_F(Sync, ManualResetEventStaysSignalledUntilReset) {
  HANDLE e = newEvent(TRUE, FALSE), on = newEvent(TRUE, TRUE);
  ASSERT_TRUE(e && on);
  EXPECT_EQ(WaitForSingleObject(e, SHORT_WAIT_MS), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, INFINITE), WAIT_OBJECT_0) << "a wait does not reset it";
  EXPECT_TRUE(ResetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, SHORT_WAIT_MS), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(on, 0), WAIT_OBJECT_0) << "created signalled";
  EXPECT_TRUE(CloseHandle(e));
  EXPECT_TRUE(CloseHandle(on));
}

TEST_F(Sync, AutoResetEventReleasesOneWaitPerSignal) {
  HANDLE e = newEvent(FALSE, TRUE);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0) << "created signalled";
  EXPECT_EQ(WaitForSingleObject(e, SHORT_WAIT_MS), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(e));
  EXPECT_TRUE(SetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT) << "signals do not accumulate";
  EXPECT_TRUE(SetEvent(e));
  EXPECT_TRUE(ResetEvent(e));
  EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
  EXPECT_TRUE(CloseHandle(e));
}

constexpr int RELAY_ROUNDS = 5000;

struct Relay {
  HANDLE go;                  // auto-reset: one round per signal
  HANDLE done[RELAY_ROUNDS];  // one manual-reset event per round, closed by the waiter
};

DWORD WINAPI relay(LPVOID param) {
  Relay *r = static_cast<Relay *>(param);
  for (HANDLE done : r->done) {
    if (WaitForSingleObject(r->go, LONG_WAIT_MS) != WAIT_OBJECT_0) return 1;
    SetEvent(done);
  }
  return 0;
}

// The waiter closes each event the moment it sees it set, while the setter
// may still be inside SetEvent: the start-up and shutdown handshakes of the
// driver do this. Polling makes the waiter return as soon as the setter lets
// go of the event's lock, so that a setter touching the event after that
// shows as a use after free in the sanitizer builds.
TEST_F(Sync, EventMayBeClosedAsSoonAsAWaiterSeesItSet) {
  Relay r;
  r.go = newEvent(FALSE, FALSE);
  for (HANDLE &done : r.done) ASSERT_NE(done = newEvent(TRUE, FALSE), nullptr);
  HANDLE t = CreateThread(nullptr, 0, relay, &r, 0, nullptr);
  ASSERT_TRUE(r.go && t);
  for (HANDLE done : r.done) {
    EXPECT_TRUE(SetEvent(r.go));
    while (WaitForSingleObject(done, 0) == WAIT_TIMEOUT) {
    }
    EXPECT_TRUE(CloseHandle(done));
  }
  EXPECT_EQ(WaitForSingleObject(t, LONG_WAIT_MS), WAIT_OBJECT_0);
  DWORD code = 1;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(CloseHandle(t));
  EXPECT_TRUE(CloseHandle(r.go));
}

TEST_F(Sync, EventCreationRefusesNamesAndInjectedFaults) {
  EXPECT_EQ(CreateEventW(nullptr, TRUE, FALSE, LV_WTEXT("LumivoxTest")), nullptr);
  lvFaultArm(LV_FAULT_CREATE_EVENT, 1, 1);
  HANDLE events[3] = {newEvent(TRUE, FALSE), newEvent(TRUE, FALSE), newEvent(TRUE, FALSE)};
  EXPECT_NE(events[0], nullptr);
  EXPECT_EQ(events[1], nullptr);
  EXPECT_NE(events[2], nullptr);
  EXPECT_TRUE(CloseHandle(events[0]));
  EXPECT_TRUE(CloseHandle(events[2]));
  EXPECT_FALSE(SetEvent(nullptr));
  EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
  EXPECT_FALSE(CloseHandle(nullptr));
}

TEST_F(Sync, ThreadHandleIsSignalledWhenTheThreadReturns) {
  HANDLE go = newEvent(TRUE, FALSE);
  ASSERT_NE(go, nullptr);
  HANDLE t = CreateThread(nullptr, 0, waitThenReturn, go, 0, nullptr);
  ASSERT_NE(t, nullptr);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, STILL_ACTIVE);
  EXPECT_EQ(WaitForSingleObject(t, SHORT_WAIT_MS), WAIT_TIMEOUT);
  EXPECT_TRUE(SetEvent(go));
  EXPECT_EQ(WaitForSingleObject(t, LONG_WAIT_MS), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(t, 0), WAIT_OBJECT_0) << "an ended thread stays signalled";
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, 42u);
  EXPECT_TRUE(CloseHandle(t));
  EXPECT_TRUE(CloseHandle(go));
}

struct Handshake {
  HANDLE go;
  HANDLE done;
};

DWORD WINAPI goThenDone(LPVOID param) {
  Handshake *h = static_cast<Handshake *>(param);
  WaitForSingleObject(h->go, LONG_WAIT_MS);
  SetEvent(h->done);  // the last the thread touches of what the test owns
  return 0;
}

// The thread keeps its own reference, so it runs to the end without the
// handle; the test learns of its end through done instead.
TEST_F(Sync, ClosingARunningThreadsHandleLetsItFinish) {
  Handshake h{newEvent(TRUE, FALSE), newEvent(TRUE, FALSE)};
  ASSERT_TRUE(h.go && h.done);
  HANDLE t = CreateThread(nullptr, 0, goThenDone, &h, 0, nullptr);
  ASSERT_NE(t, nullptr);
  EXPECT_TRUE(CloseHandle(t));
  EXPECT_TRUE(SetEvent(h.go));
  EXPECT_EQ(WaitForSingleObject(h.done, LONG_WAIT_MS), WAIT_OBJECT_0);
  EXPECT_TRUE(CloseHandle(h.go));
  EXPECT_TRUE(CloseHandle(h.done));
}

TEST_F(Sync, CreateThreadRefusesWhatItCannotHonourAndInjectedFaults) {
  const DWORD CREATE_SUSPENDED = 0x4;
  EXPECT_EQ(CreateThread(nullptr, 0, nullptr, nullptr, 0, nullptr), nullptr);
  EXPECT_EQ(CreateThread(nullptr, 0, returnParam, nullptr, CREATE_SUSPENDED, nullptr), nullptr);
  lvFaultArm(LV_FAULT_CREATE_THREAD, 1, 1);
  HANDLE threads[3];
  for (uintptr_t i = 0; i < 3; ++i) {
    threads[i] = CreateThread(nullptr, 0, returnParam, reinterpret_cast<LPVOID>(i + 7), 0, nullptr);
  }
  EXPECT_EQ(threads[1], nullptr);
  for (int i : {0, 2}) {
    ASSERT_NE(threads[i], nullptr);
    EXPECT_EQ(WaitForSingleObject(threads[i], LONG_WAIT_MS), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(threads[i], &code));
    EXPECT_EQ(code, DWORD(i + 7));
    EXPECT_TRUE(CloseHandle(threads[i]));
  }
}

// Once released, returns the priority the thread sees and then raises
// itself, so that both directions through the handle can be checked.
DWORD WINAPI priorityProbe(LPVOID go) {
  if (WaitForSingleObject(go, LONG_WAIT_MS) != WAIT_OBJECT_0) return 0xBAD;
  int seen = GetThreadPriority(GetCurrentThread());
  SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_ABOVE_NORMAL);
  return DWORD(seen);
}

TEST_F(Sync, ThreadPriorityIsKeptPerThreadAndRefusesUnknownValues) {
  HANDLE me = GetCurrentThread();
  EXPECT_EQ(GetThreadPriority(me), THREAD_PRIORITY_NORMAL);
  for (int p : {THREAD_PRIORITY_IDLE, THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_TIME_CRITICAL,
                THREAD_PRIORITY_HIGHEST}) {
    EXPECT_TRUE(SetThreadPriority(me, p)) << p;
    EXPECT_EQ(GetThreadPriority(me), p);
  }
  for (int bad : {3, -3, 14, 16, -16}) EXPECT_FALSE(SetThreadPriority(me, bad)) << bad;
  EXPECT_EQ(GetThreadPriority(me), THREAD_PRIORITY_HIGHEST);
  std::thread([] {
    EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
  }).join();

  HANDLE go = newEvent(TRUE, FALSE);
  HANDLE t = CreateThread(nullptr, 0, priorityProbe, go, 0, nullptr);
  ASSERT_TRUE(go && t);
  EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_NORMAL) << "not inherited from the creator";
  EXPECT_TRUE(SetThreadPriority(t, THREAD_PRIORITY_LOWEST));
  EXPECT_FALSE(SetThreadPriority(t, 3));
  EXPECT_TRUE(SetEvent(go));
  EXPECT_EQ(WaitForSingleObject(t, LONG_WAIT_MS), WAIT_OBJECT_0);
  DWORD code = 0;
  EXPECT_TRUE(GetExitCodeThread(t, &code));
  EXPECT_EQ(code, DWORD(THREAD_PRIORITY_LOWEST)) << "the thread sees what its handle was given";
  EXPECT_EQ(GetThreadPriority(t), THREAD_PRIORITY_ABOVE_NORMAL);
  EXPECT_EQ(GetThreadPriority(me), THREAD_PRIORITY_HIGHEST);
  EXPECT_EQ(GetThreadPriority(go), THREAD_PRIORITY_ERROR_RETURN);
  EXPECT_FALSE(SetThreadPriority(go, THREAD_PRIORITY_NORMAL));
  EXPECT_TRUE(CloseHandle(t));
  EXPECT_TRUE(CloseHandle(go));
}

TEST_F(Sync, PriorityClassIsKeptForTheProcess) {
  HANDLE process = GetCurrentProcess();
  EXPECT_EQ(GetPriorityClass(process), NORMAL_PRIORITY_CLASS);
  for (DWORD c : {IDLE_PRIORITY_CLASS, BELOW_NORMAL_PRIORITY_CLASS, ABOVE_NORMAL_PRIORITY_CLASS,
                  REALTIME_PRIORITY_CLASS, HIGH_PRIORITY_CLASS}) {
    EXPECT_TRUE(SetPriorityClass(process, c)) << c;
    EXPECT_EQ(GetPriorityClass(process), c);
  }
  for (DWORD bad : {0x0u, 0x10u, NORMAL_PRIORITY_CLASS | HIGH_PRIORITY_CLASS}) {
    EXPECT_FALSE(SetPriorityClass(process, bad)) << bad;
  }
  EXPECT_EQ(GetPriorityClass(process), HIGH_PRIORITY_CLASS);
  std::thread([] { EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), HIGH_PRIORITY_CLASS); }).join();
  EXPECT_FALSE(SetPriorityClass(GetCurrentThread(), NORMAL_PRIORITY_CLASS));
  EXPECT_EQ(GetPriorityClass(nullptr), 0u);
}

TEST_F(Sync, InterlockedOperationsReturnTheDocumentedValues) {
  LONG volatile v = 5;
  EXPECT_EQ(InterlockedCompareExchange(&v, 9, 4), 5);
  EXPECT_EQ(v, 5) << "no exchange without a match";
  EXPECT_EQ(InterlockedCompareExchange(&v, 9, 5), 5);
  EXPECT_EQ(v, 9);
  EXPECT_EQ(InterlockedExchange(&v, -1), 9);
  EXPECT_EQ(InterlockedIncrement(&v), 0);
  EXPECT_EQ(InterlockedDecrement(&v), -1);

  // Under contention exactly one claim succeeds and no increment is lost.
  LONG volatile claim = 0, wins = 0, count = 0;
  std::thread racers[CONTENDERS];
  for (int i = 0; i < CONTENDERS; ++i) {
    racers[i] = std::thread([&, i] {
      if (InterlockedCompareExchange(&claim, i + 1, 0) == 0) InterlockedIncrement(&wins);
      for (long n = 0; n < ENTRIES_EACH; ++n) InterlockedIncrement(&count);
    });
  }
  for (std::thread &r : racers) r.join();
  EXPECT_EQ(wins, 1);
  EXPECT_EQ(count, CONTENDERS * ENTRIES_EACH);
}

}  // namespace
