// Multimedia types and constants of the POSIX runtime: the driver messages,
// result codes and the records that the multimedia layer and the driver
// exchange, in the Windows layout of the target's word size.
//
// The Windows headers pack these records to one byte; so does this file, so
// that MIXERLINEW is 284 bytes on x64 (280 on 32-bit) as the real one is.
#pragma once

#include "platform/posix/windef.h"

typedef UINT MMRESULT;
typedef UINT MMVERSION;
typedef UINT MCIDEVICEID;
typedef struct HWAVE__ *HWAVE;
typedef struct HWAVEOUT__ *HWAVEOUT;
typedef struct HWAVEIN__ *HWAVEIN;
typedef struct HMIXER__ *HMIXER;
typedef struct HMIXEROBJ__ *HMIXEROBJ;

// Results.
#define MMSYSERR_NOERROR 0
#define MMSYSERR_ERROR 1
#define MMSYSERR_BADDEVICEID 2
#define MMSYSERR_NOTENABLED 3
#define MMSYSERR_ALLOCATED 4
#define MMSYSERR_INVALHANDLE 5
#define MMSYSERR_NODRIVER 6
#define MMSYSERR_NOMEM 7
#define MMSYSERR_NOTSUPPORTED 8
#define MMSYSERR_BADERRNUM 9
#define MMSYSERR_INVALFLAG 10
#define MMSYSERR_INVALPARAM 11
#define MMSYSERR_HANDLEBUSY 12
#define WAVERR_BADFORMAT 32
#define WAVERR_STILLPLAYING 33
#define WAVERR_UNPREPARED 34
#define WAVERR_SYNC 35
#define MIXERR_INVALLINE 1024
#define MIXERR_INVALCONTROL 1025
#define MIXERR_INVALVALUE 1026

// Driver-management messages and their results.
#define DRV_LOAD 0x0001
#define DRV_ENABLE 0x0002
#define DRV_OPEN 0x0003
#define DRV_CLOSE 0x0004
#define DRV_DISABLE 0x0005
#define DRV_FREE 0x0006
#define DRV_CONFIGURE 0x0007
#define DRV_QUERYCONFIGURE 0x0008
#define DRV_INSTALL 0x0009
#define DRV_REMOVE 0x000A
#define DRVCNF_CANCEL 0x0000
#define DRVCNF_OK 0x0001
#define DRVCNF_RESTART 0x0002
#define DRVM_INIT 100
#define DRVM_EXIT 101

// DriverCallback flags.
#define DCB_NULL 0x0000
#define DCB_WINDOW 0x0001
#define DCB_TASK 0x0002
#define DCB_FUNCTION 0x0003
#define DCB_EVENT 0x0005
#define DCB_TYPEMASK 0x0007
#define DCB_NOSWITCH 0x0008

// Open flags as the application passes them; the multimedia layer hands the
// driver the callback type in the high word.
#define CALLBACK_TYPEMASK 0x00070000u
#define CALLBACK_NULL 0x00000000u
#define CALLBACK_WINDOW 0x00010000u
#define CALLBACK_TASK 0x00020000u
#define CALLBACK_FUNCTION 0x00030000u
#define CALLBACK_THREAD CALLBACK_TASK
#define CALLBACK_EVENT 0x00050000u
#define WAVE_FORMAT_QUERY 0x0001u
#define WAVE_ALLOWSYNC 0x0002u
#define WAVE_MAPPED 0x0004u

// Wave output driver messages.
#define WODM_INIT DRVM_INIT
#define WODM_GETNUMDEVS 3
#define WODM_GETDEVCAPS 4
#define WODM_OPEN 5
#define WODM_CLOSE 6
#define WODM_PREPARE 7
#define WODM_UNPREPARE 8
#define WODM_WRITE 9
#define WODM_PAUSE 10
#define WODM_RESTART 11
#define WODM_RESET 12
#define WODM_GETPOS 13
#define WODM_GETPITCH 14
#define WODM_SETPITCH 15
#define WODM_GETVOLUME 16
#define WODM_SETVOLUME 17
#define WODM_GETPLAYBACKRATE 18
#define WODM_SETPLAYBACKRATE 19
#define WODM_BREAKLOOP 20

// Wave input driver messages.
#define WIDM_INIT DRVM_INIT
#define WIDM_GETNUMDEVS 50
#define WIDM_GETDEVCAPS 51
#define WIDM_OPEN 52
#define WIDM_CLOSE 53
#define WIDM_PREPARE 54
#define WIDM_UNPREPARE 55
#define WIDM_ADDBUFFER 56
#define WIDM_START 57
#define WIDM_STOP 58
#define WIDM_RESET 59
#define WIDM_GETPOS 60

// Mixer driver messages.
#define MXDM_INIT DRVM_INIT
#define MXDM_GETNUMDEVS 1
#define MXDM_GETDEVCAPS 2
#define MXDM_OPEN 3
#define MXDM_CLOSE 4
#define MXDM_GETLINEINFO 5
#define MXDM_GETLINECONTROLS 6
#define MXDM_GETCONTROLDETAILS 7
#define MXDM_SETCONTROLDETAILS 8

// Callback messages to the application.
#define WOM_OPEN 0x3BB
#define WOM_CLOSE 0x3BC
#define WOM_DONE 0x3BD
#define WIM_OPEN 0x3BE
#define WIM_CLOSE 0x3BF
#define WIM_DATA 0x3C0
#define MM_MIXM_LINE_CHANGE 0x3D0
#define MM_MIXM_CONTROL_CHANGE 0x3D1

// Header flags.
#define WHDR_DONE 0x00000001u
#define WHDR_PREPARED 0x00000002u
#define WHDR_BEGINLOOP 0x00000004u
#define WHDR_ENDLOOP 0x00000008u
#define WHDR_INQUEUE 0x00000010u

// Formats and capabilities.
#define WAVE_FORMAT_PCM 1
#define WAVE_INVALIDFORMAT 0x00000000u
#define WAVE_FORMAT_1M08 0x00000001u
#define WAVE_FORMAT_1S08 0x00000002u
#define WAVE_FORMAT_1M16 0x00000004u
#define WAVE_FORMAT_1S16 0x00000008u
#define WAVE_FORMAT_2M08 0x00000010u
#define WAVE_FORMAT_2S08 0x00000020u
#define WAVE_FORMAT_2M16 0x00000040u
#define WAVE_FORMAT_2S16 0x00000080u
#define WAVE_FORMAT_4M08 0x00000100u
#define WAVE_FORMAT_4S08 0x00000200u
#define WAVE_FORMAT_4M16 0x00000400u
#define WAVE_FORMAT_4S16 0x00000800u
#define WAVECAPS_PITCH 0x0001u
#define WAVECAPS_PLAYBACKRATE 0x0002u
#define WAVECAPS_VOLUME 0x0004u
#define WAVECAPS_LRVOLUME 0x0008u
#define WAVECAPS_SYNC 0x0010u
#define WAVECAPS_SAMPLEACCURATE 0x0020u
#define MAXPNAMELEN 32

// Position formats.
#define TIME_MS 0x0001u
#define TIME_SAMPLES 0x0002u
#define TIME_BYTES 0x0004u
#define TIME_SMPTE 0x0008u
#define TIME_MIDI 0x0010u
#define TIME_TICKS 0x0020u

// MCI open record fields set by DRV_OPEN.
#define MCI_NO_COMMAND_TABLE 0xFFFFFFFFu
#define MCI_DEVTYPE_WAVEFORM_AUDIO 522

// Mixer constants.
#define MIXER_SHORT_NAME_CHARS 16
#define MIXER_LONG_NAME_CHARS 64
#define MIXER_OBJECTF_HANDLE 0x80000000u
#define MIXER_OBJECTF_MIXER 0x00000000u
#define MIXER_OBJECTF_HMIXER (MIXER_OBJECTF_HANDLE | MIXER_OBJECTF_MIXER)
#define MIXER_OBJECTF_WAVEOUT 0x10000000u
#define MIXER_OBJECTF_WAVEIN 0x20000000u
#define MIXERLINE_LINEF_ACTIVE 0x00000001u
#define MIXERLINE_LINEF_DISCONNECTED 0x00008000u
#define MIXERLINE_LINEF_SOURCE 0x80000000u
#define MIXERLINE_COMPONENTTYPE_DST_FIRST 0x00000000u
#define MIXERLINE_COMPONENTTYPE_DST_SPEAKERS (MIXERLINE_COMPONENTTYPE_DST_FIRST + 4)
#define MIXERLINE_COMPONENTTYPE_DST_WAVEIN (MIXERLINE_COMPONENTTYPE_DST_FIRST + 7)
#define MIXERLINE_COMPONENTTYPE_SRC_FIRST 0x00001000u
#define MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE (MIXERLINE_COMPONENTTYPE_SRC_FIRST + 3)
#define MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT (MIXERLINE_COMPONENTTYPE_SRC_FIRST + 8)
#define MIXERLINE_TARGETTYPE_UNDEFINED 0
#define MIXERLINE_TARGETTYPE_WAVEOUT 1
#define MIXERLINE_TARGETTYPE_WAVEIN 2
#define MIXER_GETLINEINFOF_DESTINATION 0x00000000u
#define MIXER_GETLINEINFOF_SOURCE 0x00000001u
#define MIXER_GETLINEINFOF_LINEID 0x00000002u
#define MIXER_GETLINEINFOF_COMPONENTTYPE 0x00000003u
#define MIXER_GETLINEINFOF_TARGETTYPE 0x00000004u
#define MIXER_GETLINEINFOF_QUERYMASK 0x0000000Fu
#define MIXERCONTROL_CONTROLF_UNIFORM 0x00000001u
#define MIXERCONTROL_CONTROLF_MULTIPLE 0x00000002u
#define MIXERCONTROL_CONTROLF_DISABLED 0x80000000u
#define MIXERCONTROL_CT_CLASS_FADER 0x50000000u
#define MIXERCONTROL_CT_UNITS_UNSIGNED 0x00030000u
#define MIXERCONTROL_CONTROLTYPE_FADER (MIXERCONTROL_CT_CLASS_FADER | MIXERCONTROL_CT_UNITS_UNSIGNED)
#define MIXERCONTROL_CONTROLTYPE_VOLUME (MIXERCONTROL_CONTROLTYPE_FADER + 1)
#define MIXER_GETLINECONTROLSF_ALL 0x00000000u
#define MIXER_GETLINECONTROLSF_ONEBYID 0x00000001u
#define MIXER_GETLINECONTROLSF_ONEBYTYPE 0x00000002u
#define MIXER_GETLINECONTROLSF_QUERYMASK 0x0000000Fu
#define MIXER_GETCONTROLDETAILSF_VALUE 0x00000000u
#define MIXER_GETCONTROLDETAILSF_LISTTEXT 0x00000001u
#define MIXER_GETCONTROLDETAILSF_QUERYMASK 0x0000000Fu
#define MIXER_SETCONTROLDETAILSF_VALUE 0x00000000u
#define MIXER_SETCONTROLDETAILSF_CUSTOM 0x00000001u
#define MIXER_SETCONTROLDETAILSF_QUERYMASK 0x0000000Fu

#pragma pack(push, 1)

struct WAVEFORMAT {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
};
typedef WAVEFORMAT *LPWAVEFORMAT;

struct PCMWAVEFORMAT {
  WAVEFORMAT wf;
  WORD wBitsPerSample;
};

struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
typedef WAVEFORMATEX *LPWAVEFORMATEX;

struct WAVEHDR {
  LPSTR lpData;
  DWORD dwBufferLength;
  DWORD dwBytesRecorded;
  DWORD_PTR dwUser;
  DWORD dwFlags;
  DWORD dwLoops;
  WAVEHDR *lpNext;
  DWORD_PTR reserved;
};
typedef WAVEHDR *LPWAVEHDR;

struct WAVEOUTCAPSW {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  WCHAR szPname[MAXPNAMELEN];
  DWORD dwFormats;
  WORD wChannels;
  WORD wReserved1;
  DWORD dwSupport;
};
typedef WAVEOUTCAPSW *LPWAVEOUTCAPSW;

struct WAVEINCAPSW {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  WCHAR szPname[MAXPNAMELEN];
  DWORD dwFormats;
  WORD wChannels;
  WORD wReserved1;
};
typedef WAVEINCAPSW *LPWAVEINCAPSW;

struct MMTIME {
  UINT wType;
  union {
    DWORD ms;
    DWORD sample;
    DWORD cb;
    DWORD ticks;
    struct {
      BYTE hour, min, sec, frame, fps, dummy;
      BYTE pad[2];
    } smpte;
    struct {
      DWORD songptrpos;
    } midi;
  } u;
};
typedef MMTIME *LPMMTIME;

struct WAVEOPENDESC {
  HWAVE hWave;
  LPWAVEFORMAT lpFormat;
  DWORD_PTR dwCallback;
  DWORD_PTR dwInstance;
  UINT uMappedDeviceID;
  DWORD_PTR dnDevNode;
};
typedef WAVEOPENDESC *LPWAVEOPENDESC;

struct MIXEROPENDESC {
  HMIXER hmx;
  LPVOID pReserved0;
  DWORD_PTR dwCallback;
  DWORD_PTR dwInstance;
  DWORD_PTR dnDevNode;
};
typedef MIXEROPENDESC *LPMIXEROPENDESC;

struct MCI_OPEN_DRIVER_PARMS {
  MCIDEVICEID wDeviceID;
  LPCWSTR lpstrParams;
  UINT wCustomCommandTable;
  UINT wType;
};
typedef MCI_OPEN_DRIVER_PARMS *LPMCI_OPEN_DRIVER_PARMS;

struct MIXERCAPSW {
  WORD wMid;
  WORD wPid;
  MMVERSION vDriverVersion;
  WCHAR szPname[MAXPNAMELEN];
  DWORD fdwSupport;
  DWORD cDestinations;
};
typedef MIXERCAPSW *LPMIXERCAPSW;

struct MIXERLINEW {
  DWORD cbStruct;
  DWORD dwDestination;
  DWORD dwSource;
  DWORD dwLineID;
  DWORD fdwLine;
  DWORD_PTR dwUser;
  DWORD dwComponentType;
  DWORD cChannels;
  DWORD cConnections;
  DWORD cControls;
  WCHAR szShortName[MIXER_SHORT_NAME_CHARS];
  WCHAR szName[MIXER_LONG_NAME_CHARS];
  struct {
    DWORD dwType;
    DWORD dwDeviceID;
    WORD wMid;
    WORD wPid;
    MMVERSION vDriverVersion;
    WCHAR szPname[MAXPNAMELEN];
  } Target;
};
typedef MIXERLINEW *LPMIXERLINEW;

struct MIXERCONTROLW {
  DWORD cbStruct;
  DWORD dwControlID;
  DWORD dwControlType;
  DWORD fdwControl;
  DWORD cMultipleItems;
  WCHAR szShortName[MIXER_SHORT_NAME_CHARS];
  WCHAR szName[MIXER_LONG_NAME_CHARS];
  union {
    struct {
      LONG lMinimum;
      LONG lMaximum;
    } s;
    struct {
      DWORD dwMinimum;
      DWORD dwMaximum;
    } s1;
    DWORD dwReserved[6];
  } Bounds;
  union {
    DWORD cSteps;
    DWORD cbCustomData;
    DWORD dwReserved[6];
  } Metrics;
};
typedef MIXERCONTROLW *LPMIXERCONTROLW;

struct MIXERLINECONTROLSW {
  DWORD cbStruct;
  DWORD dwLineID;
  union {
    DWORD dwControlID;
    DWORD dwControlType;
  };
  DWORD cControls;
  DWORD cbmxctrl;
  LPMIXERCONTROLW pamxctrl;
};
typedef MIXERLINECONTROLSW *LPMIXERLINECONTROLSW;

struct MIXERCONTROLDETAILS {
  DWORD cbStruct;
  DWORD dwControlID;
  DWORD cChannels;
  union {
    HWND hwndOwner;
    DWORD cMultipleItems;
  };
  DWORD cbDetails;
  LPVOID paDetails;
};
typedef MIXERCONTROLDETAILS *LPMIXERCONTROLDETAILS;

struct MIXERCONTROLDETAILS_UNSIGNED {
  DWORD dwValue;
};

struct MIXERCONTROLDETAILS_LISTTEXTW {
  DWORD dwParam1;
  DWORD dwParam2;
  WCHAR szName[MIXER_LONG_NAME_CHARS];
};

#pragma pack(pop)

// Function callback of the multimedia layer (DCB_FUNCTION).
typedef void(CALLBACK *LPDRVCALLBACK)(HDRVR hdrvr, UINT message, DWORD_PTR user, DWORD_PTR param1,
                                      DWORD_PTR param2);

// Provided by the multimedia-layer host (mmhost on Linux, winmm on Windows).
extern "C" {
// Keeps: DCB_FUNCTION and DCB_EVENT; DCB_NULL makes no call. Returns TRUE
// when the callback was made (or none was asked for), FALSE for the window and
// task types, which have no receiver here.
BOOL WINAPI DriverCallback(DWORD_PTR callback, DWORD flags, HDRVR device, DWORD message,
                           DWORD_PTR user, DWORD_PTR param1, DWORD_PTR param2);
// Keeps: the default answers of the multimedia layer to driver messages.
LRESULT WINAPI DefDriverProc(DWORD_PTR driverId, HDRVR driver, UINT message, LPARAM param1,
                             LPARAM param2);
}
