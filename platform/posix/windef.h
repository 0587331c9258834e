// Basic Windows types for the POSIX runtime.
//
// Widths follow the x64 Windows data model (LLP64): LONG and DWORD are 32
// bits, the *_PTR types and handles are pointer-sized, and WCHAR is 16 bits,
// so every record the driver exchanges has the same layout in both builds.
#pragma once

#include <cstddef>
#include <cstdint>

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int32_t INT;
typedef uint32_t UINT;
typedef char CHAR;
typedef char16_t WCHAR;  // UTF-16 code unit, as on Windows
typedef uintptr_t DWORD_PTR;
typedef uintptr_t UINT_PTR;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef intptr_t INT_PTR;
typedef size_t SIZE_T;
typedef LONG_PTR LPARAM;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LRESULT;

typedef void *LPVOID;
typedef const void *LPCVOID;
typedef void *HANDLE;
typedef void *HLOCAL;
typedef DWORD *LPDWORD;
typedef CHAR *LPSTR;
typedef const CHAR *LPCSTR;
typedef WCHAR *LPWSTR;
typedef const WCHAR *LPCWSTR;

// Opaque handle types are distinct pointer types, as DECLARE_HANDLE makes them.
typedef struct HWND__ *HWND;
typedef struct HDRVR__ *HDRVR;

#define WINAPI
#define CALLBACK
#define APIENTRY

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Wide string literal of the build's WCHAR type.
#define LV_WTEXT(s) u##s

static_assert(sizeof(WCHAR) == 2, "WCHAR is a UTF-16 code unit");
static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4, "LLP64 widths");
static_assert(sizeof(DWORD_PTR) == sizeof(void *), "pointer-sized integers");
