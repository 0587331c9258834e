// DriverProc and the I/O thread's start and stop.
#include "driver/entry.h"

#include <cassert>
#include <cstring>

#include "driver/instance.h"
#include "net/loop.h"

DWORD ioRunning;
HANDLE ioThread;

static constexpr WORD WINSOCK_VERSION_1_1 = 0x0101;

// A fork copies the driver's memory into the child but none of its threads:
// the I/O thread is not there, and drvLock may be held by a thread that is
// not there either. So the fork takes drvLock first (the I/O thread lets go
// of it in its select), which leaves the lists whole; the child then
// starts from nothing. It closes its copies of the parent's sockets, so
// that a long-lived child keeps none of the parent's connections or
// streams open on the server, and forgets the rest: the parent's handles
// name no instance in the child, the child's first open starts its own I/O
// thread, and its DRV_CLOSE waits for no thread of the parent's. The
// records themselves stay as the fork copied them, unfreed.
static DWORD forkHeld;  // drvLock taken by forkPrepare for the fork in progress

static void forkPrepare(void) {
  if (InterlockedCompareExchange(&drvLockReady, 0, 0) != 1) return;  // never opened
  EnterCriticalSection(&drvLock);
  forkHeld = 1;
}

static void forkParent(void) {
  if (!forkHeld) return;
  forkHeld = 0;
  LeaveCriticalSection(&drvLock);
}

static void closeWatched(const Watcher *list) {
  // A connection watched both ways is closed twice; the second close fails
  // harmlessly, since nothing else runs in the child yet.
  for (const Watcher *w = list; w; w = w->next) closesocket(w->socket);
}

static void forkChild(void) {
  if (!forkHeld) return;
  forkHeld = 0;
  closeWatched(loopReaders);  // the wake-up socket's receiving end among them
  closeWatched(loopWriters);
  if (wakePair[WAKE_SEND] != INVALID_SOCKET) closesocket(wakePair[WAKE_SEND]);
  wakePair[WAKE_SEND] = wakePair[WAKE_RECEIVE] = INVALID_SOCKET;
  loopReaders = loopWriters = nullptr;
  loopWork = nullptr;
  loopTimers = nullptr;
  instancesLive = nullptr;
  instanceCount = 0;
  ioRunning = 0;
  ioStop = 0;
  ioThread = nullptr;
  std::memset(&drvLock, 0, sizeof drvLock);
  InterlockedExchange(&drvLockReady, 0);
}

int drvStartIo(void) {
  assert(drvLockHeld());
  if (ioRunning) return 1;
  // Removed by the stop, before the library can be unloaded.
  lvSetForkHandlers(forkPrepare, forkParent, forkChild);
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
  lvSetForkHandlers(nullptr, nullptr, nullptr);
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
