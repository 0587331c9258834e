// The one include of the driver for everything it takes from the operating
// system: the real Windows headers on Windows, the POSIX runtime elsewhere.
#pragma once

#ifdef _WIN32
#include "platform/win32/win32.h"
#else
#include "platform/posix/windef.h"
#include "platform/posix/memtime.h"
#include "platform/posix/sync.h"
#include "platform/posix/sockets.h"
#include "platform/posix/mmtypes.h"
#include "platform/posix/names.h"
#include "platform/posix/dosdev.h"
#include "platform/posix/native.h"
#endif

#include "platform/mmlayout.h"
