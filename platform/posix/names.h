// Names and mappings family of the POSIX runtime: named file mappings
// opened read-only from the session's runtime directory, the query of a
// view's extent, and wsprintfA and wsprintfW for the names the driver
// formats. DOS device names are platform/posix/dosdev.h.
//
// A named mapping "X" is the regular file mappings/X in the runtime
// directory (platform/posix/rundir.h). Its writer (lumivox-session) replaces
// the file by rename and never shrinks it in place: a file shrunk under a
// live view would fault on access, which a Windows section cannot do.
#pragma once

#include "platform/posix/windef.h"

#define FILE_MAP_COPY 0x0001u
#define FILE_MAP_WRITE 0x0002u
#define FILE_MAP_READ 0x0004u

#define MEM_COMMIT 0x00001000u
#define MEM_MAPPED 0x00040000u
#define PAGE_READONLY 0x02u

// Longest mapping name accepted, in characters without the terminator.
#define LV_MAPPING_NAME_MAX 128

// x64 layout (48 bytes), as the real record.
struct MEMORY_BASIC_INFORMATION {
  LPVOID BaseAddress;
  LPVOID AllocationBase;
  DWORD AllocationProtect;
  SIZE_T RegionSize;  // bytes from BaseAddress to the end of the view
  DWORD State;
  DWORD Protect;
  DWORD Type;
};
typedef MEMORY_BASIC_INFORMATION *PMEMORY_BASIC_INFORMATION;
static_assert(sizeof(MEMORY_BASIC_INFORMATION) == 48, "x64 layout");

// Keeps: opens an existing mapping by name in the caller's session; null
// when there is none. Leaves out: write and copy access (only FILE_MAP_READ
// is granted, the files are published read-only), inheritance, the
// Global\ and Local\ prefixes (a name with a slash or backslash is not
// found), the thread's last error.
HANDLE OpenFileMappingA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
// Keeps: a read-only view of the whole object (bytes 0) or of its first
// bytes; the view outlives the mapping handle. Leaves out: offsets other
// than 0, access other than FILE_MAP_READ; an empty object cannot be mapped.
LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                     SIZE_T bytes);
// Keeps: the base address returned by MapViewOfFile unmaps that view;
// anything else fails.
BOOL UnmapViewOfFile(LPCVOID baseAddress);
// Keeps: describes a view made by MapViewOfFile; returns the bytes written
// to info, 0 for an address outside every view. Leaves out: page
// granularity (RegionSize runs to the end of the object, not of its last
// page) and every other kind of memory.
SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION info, SIZE_T length);

// Keeps: %c %d %i %u %x %X %s %% with the flags '-' and '0', a width, and
// the l and h size prefixes (every integer is 32 bits, as on Windows);
// output is cut at 1024 bytes with the terminator, as the real one is.
// Returns the characters stored. Leaves out: wide arguments (%S, %ls), %p,
// precision.
int wsprintfA(LPSTR out, LPCSTR format, ...);
// Keeps: the conversions of wsprintfA, with %s and %c taking a wide string
// and a wide character; output is cut at 1024 characters with the
// terminator. Returns the characters stored. Leaves out: narrow arguments
// (%S, %hs), %p, precision.
int wsprintfW(LPWSTR out, LPCWSTR format, ...);

// Closes a mapping handle for CloseHandle, which owns the handle space:
// returns TRUE when handle was an open mapping (now closed), FALSE when it
// is not a mapping at all.
BOOL lvMappingClose(HANDLE handle);
// Views not yet unmapped, for leak checks in tests.
long lvMappingViewsLive(void);
