// DOS device names of the POSIX runtime: the per-session name space that
// QueryDosDeviceW and DefineDosDeviceW reach on Windows.
//
// A name "X" is the small file dosdevices/x in the session's runtime
// directory (platform/posix/rundir.h), with ASCII letters folded to lower
// case since device names are case-insensitive. The file holds the target
// as UTF-16 code units. Every process of the session sees the same names,
// and they last until the runtime directory goes, as the session's names
// last until the session ends. A definition replaces the file by rename, so
// a reader sees the old target or the new one, never a torn one.
#pragma once

#include "platform/posix/windef.h"

#define DDD_RAW_TARGET_PATH 0x00000001u
#define DDD_REMOVE_DEFINITION 0x00000002u
#define DDD_EXACT_MATCH_ON_REMOVE 0x00000004u
#define DDD_NO_BROADCAST_SYSTEM 0x00000008u

// Longest device name accepted, in characters without the terminator.
#define LV_DOSDEVICE_NAME_MAX 200
// Longest target kept, in characters without the terminator (MAX_PATH).
#define LV_DOSDEVICE_TARGET_MAX 260

// Keeps: defines name (printable ASCII without '/' or '\\') with target;
// a later definition of the same name wins. DDD_RAW_TARGET_PATH and
// DDD_NO_BROADCAST_SYSTEM are accepted; the target is stored as given
// either way. DDD_REMOVE_DEFINITION removes the name when its target
// matches: any target for a null or empty targetPath, else one that
// starts with targetPath, or with DDD_EXACT_MATCH_ON_REMOVE one equal to
// it; FALSE when the name is not defined or does not match. Leaves out:
// the stack of earlier definitions (a name has one, so a removal leaves
// it undefined), the thread's last error.
BOOL DefineDosDeviceW(DWORD flags, LPCWSTR deviceName, LPCWSTR targetPath);
// Keeps: copies the target of a defined name to targetPath as a list of
// strings (the target, its terminator and the list's final terminator) and
// returns the characters stored; 0 when the name is not defined or the
// list does not fit in maxChars. Leaves out: a null name (the list of every
// name), the thread's last error.
DWORD QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD maxChars);
