// mmhost: the multimedia-layer host for Linux. It stands where winmm stands
// on Windows: it loads the driver, sends it the driver-management messages,
// offers applications the multimedia API, and gives the driver the services
// winmm gives it (DriverCallback, DefDriverProc, declared with the
// multimedia types).
#pragma once

#include "platform/platform.h"
