// Memory and time family of the POSIX runtime: LocalAlloc/LocalFree and the
// millisecond tick, with the test seams that let a test advance the tick.
#pragma once

#include "platform/posix/windef.h"

#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

// Keeps: fixed blocks, zero fill with LMEM_ZEROINIT, null on failure.
// Leaves out: movable blocks (any flag other than the two above fails).
HLOCAL LocalAlloc(UINT flags, SIZE_T bytes);
// Keeps: returns null on success; null is accepted and ignored.
HLOCAL LocalFree(HLOCAL block);

// Keeps: a wrapping 32-bit millisecond count from a monotonic clock.
// Leaves out: the relation to boot time.
DWORD GetTickCount(void);
// The driver's millisecond tick. Here GetTickCount itself is the seam; the
// Windows build, which takes GetTickCount from the system, puts its seam in
// lvTickCount (platform/win32/seams.h).
inline DWORD lvTickCount(void) { return GetTickCount(); }

// Test seams. While frozen, GetTickCount returns the frozen value, which only
// lvTickAdvance moves; lvTickThaw goes back to the monotonic clock.
void lvTickFreeze(DWORD value);
void lvTickAdvance(DWORD milliseconds);
void lvTickThaw(void);

// Number of LocalAlloc blocks not yet freed, for leak checks in tests.
long lvLocalAllocLive(void);
