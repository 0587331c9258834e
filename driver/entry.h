// The driver-management entry point and the start and orderly stop of the
// I/O thread; the one lock they share with every other area is in
// net/lock.
//
// Nothing happens when the library is loaded. The first wave open or mixer
// value request initialises drvLock and starts the I/O thread; DRV_CLOSE
// stops the thread (after it has flushed queued work and output) and
// deletes the lock, so that a later open starts everything afresh.
#pragma once

#include "net/lock.h"
#include "platform/platform.h"

// 1 while the I/O thread has been started and not yet stopped. drvLock held.
extern DWORD ioRunning;
// Handle of the I/O thread while ioRunning.
extern HANDLE ioThread;

// Starts the I/O thread unless it runs. Returns 1 when it runs, 0 when it
// could not be started (nothing is left half-made; the next call tries
// again). Called with drvLock held.
int drvStartIo(void);
// The orderly stop: asks the I/O thread to finish, waits for it without a
// time limit (drvLock released meanwhile), closes the wake-up pair and
// deletes the lock. Does nothing before the first drvInitLock.
void drvStopIo(void);

extern "C" LRESULT WINAPI DriverProc(DWORD_PTR driverId, HDRVR driver, UINT message,
                                     LPARAM param1, LPARAM param2);
