// Windows: the real system headers, and the few names the POSIX runtime
// adds so that the driver reads the same in both builds.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// The multimedia layer's functions are declared without dllimport, so calls
// go through the import library's thunks. The tests' stand-in for the
// layer's driver services (tests/support/fake_winmm) can then take their
// place at link time, as it does in the Linux build.
#ifndef _WINMM_
#define _WINMM_
#endif
#include <windows.h>
#include <winsock.h>
#include <mmsystem.h>
#include <mmddk.h>

#include "platform/win32/native.h"

// The fixed-width integers come with the types, as in the POSIX runtime.
#include <cstddef>
#include <cstdint>

#include "platform/win32/seams.h"

#define LV_WTEXT(s) L##s

// Winsock 1.1 has int where the BSD interface has socklen_t.
typedef int socklen_t;

// A Winsock set is a counted array of FD_SETSIZE (64) handles.
#define LV_SELECT_SET_LIMIT 64
static_assert(FD_SETSIZE == LV_SELECT_SET_LIMIT, "the loop counts sockets up to the set's capacity");
inline bool lvSocketSelectable(SOCKET s) { return s != INVALID_SOCKET; }

// An IPv4 socket of type that no child process inherits: Winsock's handles
// are inheritable when made, so the flag is cleared at once, and a process
// the application starts later keeps none of the driver's connections or
// streams open. (Winsock 1.1, which the driver uses, has no flag that
// makes the socket so in the same call.)
inline SOCKET lvSocket(int type) {
  SOCKET s = socket(AF_INET, type, 0);
  if (s != INVALID_SOCKET) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
}

// Windows has no fork: nothing to run around one.
inline void lvSetForkHandlers(void (*)(void), void (*)(void), void (*)(void)) {}

// Exported by winmm but missing from the mingw-w64 headers.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                                      DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2);

// The system headers pack the exchanged records to one byte, as the POSIX
// runtime does; platform/mmlayout.h checks their sizes for both word sizes.
