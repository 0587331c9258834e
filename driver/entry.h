// The driver-management entry point and the process-wide state every other
// area shares: the one lock, and the start and orderly stop of the I/O
// thread.
//
// Nothing happens when the library is loaded. The first wave open or mixer
// value request initialises drvLock and starts the I/O thread; DRV_CLOSE
// stops the thread (after it has flushed queued work and output) and
// deletes the lock, so that a later open starts everything afresh.
#pragma once

#include "platform/platform.h"

// The one lock. It guards every device instance, stream, connection and the
// event loop's lists. Initialised by drvInitLock, deleted by drvStopIo.
extern CRITICAL_SECTION drvLock;
// 0: not initialised; 1: drvLock is ready; DRV_LOCK_INITIALISING while a
// thread initialises it. Read and written with interlocked operations, since
// it is the one flag touched without the lock.
extern LONG volatile drvLockReady;
enum { DRV_LOCK_INITIALISING = 2 };
// 1 while the I/O thread has been started and not yet stopped. drvLock held.
extern DWORD ioRunning;
// Set to ask the I/O thread to leave its loop; cleared before each start.
// drvLock held.
extern DWORD ioStop;
// Handle of the I/O thread while ioRunning.
extern HANDLE ioThread;

// Initialises drvLock once. Safe when several threads make the first open
// at the same moment: exactly one initialises, the others wait for it.
void drvInitLock(void);
// Starts the I/O thread unless it runs. Returns 1 when it runs, 0 when it
// could not be started (nothing is left half-made; the next call tries
// again). Called with drvLock held.
int drvStartIo(void);
// The orderly stop: asks the I/O thread to finish, waits for it without a
// time limit (drvLock released meanwhile), closes the wake-up pair and
// deletes the lock. Does nothing before the first drvInitLock.
void drvStopIo(void);
// Whether the calling thread holds drvLock (for assertions).
bool drvLockHeld(void);

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR driverId, HDRVR driver, UINT message,
                                     LPARAM param1, LPARAM param2);
