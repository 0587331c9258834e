// Test seams of the Windows build. Everything else comes from the system as
// it is; only the tick the driver reads can be frozen, with the same calls
// as in the POSIX runtime, so that the loop's timer tests run under Wine too.
#pragma once

#include <windows.h>

// The driver's millisecond tick: GetTickCount, unless a test froze it.
DWORD lvTickCount(void);

// While frozen, lvTickCount returns the frozen value, which only
// lvTickAdvance moves; lvTickThaw goes back to GetTickCount.
void lvTickFreeze(DWORD value);
void lvTickAdvance(DWORD milliseconds);
void lvTickThaw(void);
