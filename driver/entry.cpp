// DriverProc, the lock and the I/O thread's start and stop.
#include "driver/entry.h"

#include <cassert>
#include <cstring>

#include "net/loop.h"

CRITICAL_SECTION drvLock;
LONG volatile drvLockReady;
DWORD ioRunning;
DWORD ioStop;
HANDLE ioThread;

static constexpr WORD WINSOCK_VERSION_1_1 = 0x0101;

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

int drvStartIo(void) {
  assert(drvLockHeld());
  if (ioRunning) return 1;
  WSADATA data;
  WSAStartup(WINSOCK_VERSION_1_1, &data);  // nothing to undo if it failed
  // Without its wake-up socket the loop would spin on a failing select, so a
  // start that cannot make the pair fails here instead.
  if (wakePairCreate(wakePair) != 0) return 0;
  ioStop = 0;
  ioThread = CreateThread(nullptr, 0, ioThreadMain, nullptr, 0, nullptr);
  if (!ioThread) {
    wakePairClose(wakePair);
    return 0;
  }
  ioRunning = 1;
  return 1;
}

void drvStopIo(void) {
  if (InterlockedCompareExchange(&drvLockReady, 0, 0) != 1) return;  // never opened
  EnterCriticalSection(&drvLock);
  InterlockedExchange(&drvLockReady, 0);
  if (ioRunning) {
    ioRunning = 0;
    ioStop = 1;
    loopWake();
    LeaveCriticalSection(&drvLock);
    // No limit: the thread ends once its queued work and output are done.
    WaitForSingleObject(ioThread, INFINITE);
    EnterCriticalSection(&drvLock);
    CloseHandle(ioThread);
    ioThread = nullptr;
    wakePairClose(wakePair);
  }
  LeaveCriticalSection(&drvLock);
  DeleteCriticalSection(&drvLock);
  std::memset(&drvLock, 0, sizeof drvLock);
}

// DRV_OPEN with an MCI open record: the driver has no command table of its
// own and is a waveform audio device.
static LRESULT drvOpen(LPARAM param2) {
  if (param2 == 0) return 1;
  MCI_OPEN_DRIVER_PARMS *parms = reinterpret_cast<MCI_OPEN_DRIVER_PARMS *>(param2);
  parms->wCustomCommandTable = MCI_NO_COMMAND_TABLE;
  parms->wType = MCI_DEVTYPE_WAVEFORM_AUDIO;
  return parms->wDeviceID;
}

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR driverId, HDRVR driver, UINT message,
                                     LPARAM param1, LPARAM param2) {
  switch (message) {
    case DRV_LOAD:
    case DRV_ENABLE:
    case DRV_DISABLE:
    case DRV_FREE:
    case DRV_CONFIGURE:
    case DRV_QUERYCONFIGURE:
    case DRV_REMOVE:
      return 1;
    case DRV_OPEN:
      return drvOpen(param2);
    case DRV_CLOSE:
      drvStopIo();
      return 1;
    case DRV_INSTALL:
      return DRVCNF_RESTART;
    default:
      return DefDriverProc(driverId, driver, message, param1, param2);
  }
}
