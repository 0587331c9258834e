// Windows: the real system headers, and the few names the POSIX runtime
// adds so that the driver reads the same in both builds.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <winsock.h>
#include <mmsystem.h>
#include <mmddk.h>

#define LV_WTEXT(s) L##s

// A Winsock set is a counted array of FD_SETSIZE (64) handles.
#define LV_SELECT_SET_LIMIT 64
inline bool lvSocketSelectable(SOCKET s) { return s != INVALID_SOCKET; }
