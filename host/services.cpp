// The services the multimedia layer offers to drivers.
#include "host/mmhost.h"

// Winmm's default answers: the lifecycle messages succeed, install and
// remove need nothing done, everything else is unknown and gets 0.
extern "C" LRESULT WINAPI DefDriverProc(DWORD_PTR, HDRVR, UINT message, LPARAM, LPARAM) {
  switch (message) {
    case DRV_LOAD:
    case DRV_FREE:
    case DRV_ENABLE:
    case DRV_DISABLE:
      return 1;
    case DRV_INSTALL:
    case DRV_REMOVE:
      return DRVCNF_OK;
    default:
      return 0;
  }
}

// Delivers a driver's notification the way the application asked for it at
// open. There is no window system or task queue here, so only function and
// event callbacks are delivered.
extern "C" BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                                      DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2) {
  switch (flags & DCB_TYPEMASK) {
    case DCB_NULL:
      return TRUE;
    case DCB_FUNCTION:
      if (callback == 0) return FALSE;
      reinterpret_cast<LPDRVCALLBACK>(callback)(device, message, user, param1, param2);
      return TRUE;
    case DCB_EVENT:
      return SetEvent(reinterpret_cast<HANDLE>(callback));
    default:
      return FALSE;
  }
}
