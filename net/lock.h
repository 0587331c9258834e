// The one lock of the driver and its helpers, apart from the entry point so
// that the event loop, the streams and the device code can take it without
// the driver-management header.
//
// It guards every device instance, stream, connection and the event loop's
// lists. The first wave open or mixer value request initialises it; the
// orderly stop of the I/O thread (driver/entry) deletes it, so that a later
// open initialises it afresh.
#pragma once

#include "platform/platform.h"

// Initialised by drvInitLock, deleted by drvStopIo.
extern CRITICAL_SECTION drvLock;
// 0: not initialised; 1: drvLock is ready; DRV_LOCK_INITIALISING while a
// thread initialises it. Read and written with interlocked operations, since
// it is the one flag touched without the lock.
extern LONG volatile drvLockReady;
enum { DRV_LOCK_INITIALISING = 2 };

// Initialises drvLock once. Safe when several threads make the first open
// at the same moment: exactly one initialises, the others wait for it.
void drvInitLock(void);
// Whether the calling thread holds drvLock (for assertions).
bool drvLockHeld(void);
