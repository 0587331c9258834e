// mmhost: the multimedia-layer host for Linux. It stands where winmm stands
// on Windows: it loads the driver, sends it the driver-management messages,
// offers applications the multimedia API, and gives the driver the services
// winmm gives it (DriverCallback, DefDriverProc, declared with the
// multimedia types).
//
// The driver is loaded on the first call that needs it, from the path in
// $LUMIVOX_DRIVER or else as "liblumivox.so" through the loader's search,
// and is sent DRV_LOAD, DRV_ENABLE and DRV_OPEN, as winmm does. It is sent
// DRV_CLOSE, DRV_DISABLE and DRV_FREE and unloaded by mmhostUnload, or at
// process exit.
//
// Towards the driver the host behaves as winmm does: every device is
// opened through its message entry point with a description whose handle
// is the application's; the callback type goes in the high word of the open
// flags; headers are marked prepared by the host when the driver answers
// PREPARE with "not supported"; capability records are asked for at their
// full size and copied out at the size the application gives. Function and
// event callbacks are delivered; window and thread callbacks, which need a
// window system or a message queue, are refused with MMSYSERR_INVALFLAG.
// Handles are checked: a handle the host did not hand out, or one already
// closed, gets MMSYSERR_INVALHANDLE.
#pragma once

#include "platform/platform.h"

#define WAVE_MAPPER UINT(-1)

typedef HWAVEOUT *LPHWAVEOUT;
typedef HWAVEIN *LPHWAVEIN;
typedef HMIXER *LPHMIXER;
typedef const WAVEFORMATEX *LPCWAVEFORMATEX;

extern "C" {

UINT waveOutGetNumDevs(void);
MMRESULT waveOutGetDevCapsW(UINT_PTR deviceId, LPWAVEOUTCAPSW caps, UINT capsBytes);
MMRESULT waveOutOpen(LPHWAVEOUT handle, UINT deviceId, LPCWAVEFORMATEX format,
                     DWORD_PTR callback, DWORD_PTR callbackInstance, DWORD flags);
MMRESULT waveOutClose(HWAVEOUT handle);
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT headerBytes);
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT headerBytes);
MMRESULT waveOutWrite(HWAVEOUT handle, LPWAVEHDR header, UINT headerBytes);
MMRESULT waveOutPause(HWAVEOUT handle);
MMRESULT waveOutRestart(HWAVEOUT handle);
MMRESULT waveOutReset(HWAVEOUT handle);
MMRESULT waveOutBreakLoop(HWAVEOUT handle);
MMRESULT waveOutGetPosition(HWAVEOUT handle, LPMMTIME time, UINT timeBytes);

UINT waveInGetNumDevs(void);
MMRESULT waveInGetDevCapsW(UINT_PTR deviceId, LPWAVEINCAPSW caps, UINT capsBytes);
MMRESULT waveInOpen(LPHWAVEIN handle, UINT deviceId, LPCWAVEFORMATEX format,
                    DWORD_PTR callback, DWORD_PTR callbackInstance, DWORD flags);
MMRESULT waveInClose(HWAVEIN handle);
MMRESULT waveInPrepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT headerBytes);
MMRESULT waveInUnprepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT headerBytes);
MMRESULT waveInAddBuffer(HWAVEIN handle, LPWAVEHDR header, UINT headerBytes);
MMRESULT waveInStart(HWAVEIN handle);
MMRESULT waveInStop(HWAVEIN handle);
MMRESULT waveInReset(HWAVEIN handle);
MMRESULT waveInGetPosition(HWAVEIN handle, LPMMTIME time, UINT timeBytes);

UINT mixerGetNumDevs(void);
MMRESULT mixerGetDevCapsW(UINT_PTR deviceId, LPMIXERCAPSW caps, UINT capsBytes);
MMRESULT mixerOpen(LPHMIXER handle, UINT deviceId, DWORD_PTR callback,
                   DWORD_PTR callbackInstance, DWORD flags);
MMRESULT mixerClose(HMIXER handle);
MMRESULT mixerGetLineInfoW(HMIXEROBJ object, LPMIXERLINEW line, DWORD flags);
MMRESULT mixerGetLineControlsW(HMIXEROBJ object, LPMIXERLINECONTROLSW controls, DWORD flags);
MMRESULT mixerGetControlDetailsW(HMIXEROBJ object, LPMIXERCONTROLDETAILS details, DWORD flags);
MMRESULT mixerSetControlDetails(HMIXEROBJ object, LPMIXERCONTROLDETAILS details, DWORD flags);

// Closes the driver (DRV_CLOSE, DRV_DISABLE, DRV_FREE) and unloads it; the
// next call loads it afresh. Handles still open become invalid. For tests
// and for applications that want the driver's orderly stop before exit.
void mmhostUnload(void);

// Why the last attempt to load the driver failed, as one line: the
// loader's own reason (dlerror) or what the library lacks. Empty when the
// driver is loaded or no load has failed. An addition of this host, for
// the tools' messages; winmm has no counterpart.
const char *mmhostLoadError(void);

}  // extern "C"
