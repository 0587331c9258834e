// The multimedia layer's application API as the tools see it: winmm's own
// headers on Windows, mmhost's declarations of the same functions on Linux.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// mmsystem.h needs the types of windows.h before it.
#include <mmsystem.h>
#else
#include "host/mmhost.h"
#endif
