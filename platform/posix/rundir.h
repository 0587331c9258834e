// The session's runtime directory: where the POSIX runtime keeps the
// per-session objects that the operating system keeps on Windows (named file
// mappings, DOS device names, the sockets of the native devices).
//
// The directory is $LUMIVOX_RUNTIME_DIR, else $XDG_RUNTIME_DIR/lumivox, else
// /tmp/lumivox-<uid>; an empty variable counts as unset. It is looked up
// afresh on every call (nothing is cached, so a test may point each case at
// a directory of its own), and it is used only when it is a directory (not a
// link to one) owned by the effective user with mode 0700. Anything else is
// refused, and the calls that needed it then fail as if the object did not
// exist: a directory that others can write could hand the driver a forged
// terminal address.
#pragma once

#include <cstddef>

// Longest path the runtime builds inside the directory, terminator included.
// Socket paths are further bound by sockaddr_un (108 bytes on Linux).
#define LV_RUNDIR_PATH_MAX 256

// Writes the directory's path (no trailing slash) to out, at most cap bytes
// with the terminator. Returns 1 when the directory passes the checks, 0
// when it is missing, refused or its path does not fit.
int lvRuntimeDir(char *out, size_t cap);
// Writes "<directory>/<relative>" to out. Returns 1, or 0 on the same
// conditions as lvRuntimeDir or when the joined path does not fit.
int lvRuntimePath(const char *relative, char *out, size_t cap);
// The candidate path before any check, for a tool that creates the
// directory itself. Returns 1, or 0 when it does not fit.
int lvRuntimeDirCandidate(char *out, size_t cap);
// Whether path names a directory that the rules above accept.
int lvRuntimeDirAcceptable(const char *path);
