// The lock's storage, its one-time initialisation and the ownership test.
#include "net/lock.h"

#include <cstdint>

CRITICAL_SECTION drvLock;
LONG volatile drvLockReady;

// A one-time initialisation that can be undone by the stop: the thread that
// moves the flag from 0 claims the initialisation, the others wait the few
// microseconds it takes. (A system once-primitive could not be reset for the
// open that follows a DRV_CLOSE.)
void drvInitLock(void) {
  for (;;) {
    LONG seen = InterlockedCompareExchange(&drvLockReady, DRV_LOCK_INITIALISING, 0);
    if (seen == 1) return;
    if (seen == 0) {
      InitializeCriticalSection(&drvLock);
      InterlockedExchange(&drvLockReady, 1);
      return;
    }
    Sleep(0);  // another thread is between the two interlocked operations
  }
}

// The readiness flag is not consulted: the stop clears it while the I/O
// thread still holds the lock for its last turns. Zeroed storage has no
// owner, so this is false before the first initialisation. The owner field
// is read atomically since the asking thread may not be the owner.
bool drvLockHeld(void) {
  HANDLE owner = __atomic_load_n(&drvLock.OwningThread, __ATOMIC_RELAXED);
  return DWORD(uintptr_t(owner)) == GetCurrentThreadId();
}
