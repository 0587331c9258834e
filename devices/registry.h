// The name registry: which audio servers every process of the logon session
// has found unreachable.
//
// A destination that failed once is remembered as the DOS device name
// "Lumivox{<address>:<port>}" (address as eight lower-case hexadecimal
// digits in host order, port in decimal) with the target "NoAudio". DOS
// device names belong to the logon session, so every process of the
// session sees the mark at once and no process waits for that server
// again. Nothing removes a mark: it lasts until the session ends.
//
// No lock of the library covers the registry; the operating system
// serialises it, and two processes that fail at once simply both define
// the name.
#pragma once

#include "platform/platform.h"

// Name buffer, in wide characters with the terminator.
constexpr int REGISTRY_NAME_CHARS = 128;

// Formats the registry name of a destination into name (at least
// REGISTRY_NAME_CHARS characters). Returns the characters stored.
int registryName(WCHAR *name, DWORD address, DWORD port);
// 1 when the destination is marked unreachable, 0 otherwise.
int serverMarkedUnreachable(DWORD address, DWORD port);
// Marks the destination. A failure to define the name is ignored: the
// next open then simply tries the server again.
void markServerUnreachable(DWORD address, DWORD port);
