// The wave part of the application API: waveOut* and waveIn*.
#include <cstring>

#include "host/handles.h"
#include "host/mmhost.h"

namespace {

// The messages that differ between the two directions, by kind.
struct WaveMessages {
  UINT getNumDevs, getDevCaps, open, close, prepare, unprepare;
};
constexpr WaveMessages OUT = {WODM_GETNUMDEVS, WODM_GETDEVCAPS, WODM_OPEN,
                              WODM_CLOSE,      WODM_PREPARE,    WODM_UNPREPARE};
constexpr WaveMessages IN = {WIDM_GETNUMDEVS, WIDM_GETDEVCAPS, WIDM_OPEN,
                             WIDM_CLOSE,      WIDM_PREPARE,    WIDM_UNPREPARE};

const WaveMessages &messagesOf(HostDevice kind) { return kind == HOST_WAVE_OUT ? OUT : IN; }

UINT numDevs(HostDevice kind) {
  DeviceEntry entry = hostEntry(kind);
  return entry ? UINT(entry(0, messagesOf(kind).getNumDevs, 0, 0, 0)) : 0;
}

// The device number an application names: the mapper stands for device 0,
// since there is no format mapper here. Returns false for a number the
// driver does not have.
bool resolveDevice(HostDevice kind, UINT_PTR requested, UINT *device) {
  UINT count = numDevs(kind);
  if (requested == UINT_PTR(WAVE_MAPPER) || requested == UINT_PTR(-1)) requested = 0;
  if (requested >= count) return false;
  *device = UINT(requested);
  return true;
}

// The record is asked for at its full size and copied out at the
// application's, as winmm does.
template <typename Caps>
MMRESULT getCaps(HostDevice kind, UINT_PTR requested, Caps *caps, UINT capsBytes) {
  if (!caps) return MMSYSERR_INVALPARAM;
  DeviceEntry entry = hostEntry(kind);
  if (!entry) return MMSYSERR_NODRIVER;
  UINT device;
  if (!resolveDevice(kind, requested, &device)) return MMSYSERR_BADDEVICEID;
  Caps full;
  std::memset(&full, 0, sizeof full);
  MMRESULT result = entry(device, messagesOf(kind).getDevCaps, 0,
                          reinterpret_cast<DWORD_PTR>(&full), sizeof full);
  if (result == MMSYSERR_NOERROR) std::memcpy(caps, &full, capsBytes < sizeof full ? capsBytes : sizeof full);
  return result;
}

MMRESULT checkCallbackType(DWORD flags) {
  switch (flags & CALLBACK_TYPEMASK) {
    case CALLBACK_NULL: case CALLBACK_FUNCTION: case CALLBACK_EVENT: return MMSYSERR_NOERROR;
    default: return MMSYSERR_INVALFLAG;  // no window system and no thread queues here
  }
}

MMRESULT open(HostDevice kind, void **out, UINT requested, LPCWAVEFORMATEX format,
              DWORD_PTR callback, DWORD_PTR callbackInstance, DWORD flags) {
  bool query = flags & WAVE_FORMAT_QUERY;
  if (!format || (!out && !query)) return MMSYSERR_INVALPARAM;
  MMRESULT result = checkCallbackType(flags);
  if (result != MMSYSERR_NOERROR) return result;
  DeviceEntry entry = hostEntry(kind);
  if (!entry) return MMSYSERR_NODRIVER;
  UINT device;
  if (!resolveDevice(kind, requested, &device)) return MMSYSERR_BADDEVICEID;
  HostHandle *handle = handleCreate(kind, device, entry);
  if (!handle) return MMSYSERR_NOMEM;
  WAVEOPENDESC description = {};
  description.hWave = reinterpret_cast<HWAVE>(handle);
  description.lpFormat = reinterpret_cast<LPWAVEFORMAT>(const_cast<WAVEFORMATEX *>(format));
  description.dwCallback = callback;
  description.dwInstance = callbackInstance;
  // The handle is published first: the driver's open callback may already
  // name it to the application.
  if (!query) handlePublish(handle);
  result = entry(device, messagesOf(kind).open, reinterpret_cast<DWORD_PTR>(&handle->driverUser),
                 reinterpret_cast<DWORD_PTR>(&description), flags);
  if (result != MMSYSERR_NOERROR || query) {
    handleDestroy(handle);
    return result;
  }
  *out = handle;
  return MMSYSERR_NOERROR;
}

MMRESULT simple(HostDevice kind, const void *h, UINT message, DWORD_PTR param1 = 0,
                DWORD_PTR param2 = 0) {
  HostHandle *handle = handleFind(kind, h);
  if (!handle) return MMSYSERR_INVALHANDLE;
  return handleMessage(handle, message, param1, param2);
}

MMRESULT close(HostDevice kind, const void *h) {
  HostHandle *handle = handleFind(kind, h);
  if (!handle) return MMSYSERR_INVALHANDLE;
  MMRESULT result = handleMessage(handle, messagesOf(kind).close, 0, 0);
  if (result == MMSYSERR_NOERROR) handleDestroy(handle);
  return result;
}

bool headerUsable(const WAVEHDR *header, UINT headerBytes) {
  return header && headerBytes >= sizeof(WAVEHDR);
}

// The driver may prepare headers itself; when it answers "not supported"
// the host marks them, as winmm does.
MMRESULT prepare(HostDevice kind, const void *h, LPWAVEHDR header, UINT headerBytes) {
  HostHandle *handle = handleFind(kind, h);
  if (!handle) return MMSYSERR_INVALHANDLE;
  if (!headerUsable(header, headerBytes) || !header->lpData) return MMSYSERR_INVALPARAM;
  if (header->dwFlags & WHDR_PREPARED) return MMSYSERR_NOERROR;
  MMRESULT result = handleMessage(handle, messagesOf(kind).prepare,
                                  reinterpret_cast<DWORD_PTR>(header), headerBytes);
  if (result != MMSYSERR_NOTSUPPORTED) return result;
  header->dwFlags = (header->dwFlags | WHDR_PREPARED) & ~WHDR_DONE;
  return MMSYSERR_NOERROR;
}

MMRESULT unprepare(HostDevice kind, const void *h, LPWAVEHDR header, UINT headerBytes) {
  HostHandle *handle = handleFind(kind, h);
  if (!handle) return MMSYSERR_INVALHANDLE;
  if (!headerUsable(header, headerBytes)) return MMSYSERR_INVALPARAM;
  if (!(header->dwFlags & WHDR_PREPARED)) return MMSYSERR_NOERROR;
  if (header->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  MMRESULT result = handleMessage(handle, messagesOf(kind).unprepare,
                                  reinterpret_cast<DWORD_PTR>(header), headerBytes);
  if (result != MMSYSERR_NOTSUPPORTED) return result;
  header->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT queue(HostDevice kind, const void *h, UINT message, LPWAVEHDR header, UINT headerBytes) {
  HostHandle *handle = handleFind(kind, h);
  if (!handle) return MMSYSERR_INVALHANDLE;
  if (!headerUsable(header, headerBytes)) return MMSYSERR_INVALPARAM;
  return handleMessage(handle, message, reinterpret_cast<DWORD_PTR>(header), headerBytes);
}

MMRESULT position(HostDevice kind, const void *h, UINT message, LPMMTIME time, UINT timeBytes) {
  HostHandle *handle = handleFind(kind, h);
  if (!handle) return MMSYSERR_INVALHANDLE;
  if (!time || timeBytes < sizeof(MMTIME)) return MMSYSERR_INVALPARAM;
  return handleMessage(handle, message, reinterpret_cast<DWORD_PTR>(time), timeBytes);
}

}  // namespace

extern "C" {

UINT waveOutGetNumDevs(void) { return numDevs(HOST_WAVE_OUT); }
MMRESULT waveOutGetDevCapsW(UINT_PTR deviceId, LPWAVEOUTCAPSW caps, UINT capsBytes) {
  return getCaps(HOST_WAVE_OUT, deviceId, caps, capsBytes);
}
MMRESULT waveOutOpen(LPHWAVEOUT handle, UINT deviceId, LPCWAVEFORMATEX format,
                     DWORD_PTR callback, DWORD_PTR callbackInstance, DWORD flags) {
  return open(HOST_WAVE_OUT, reinterpret_cast<void **>(handle), deviceId, format, callback,
              callbackInstance, flags);
}
MMRESULT waveOutClose(HWAVEOUT handle) { return close(HOST_WAVE_OUT, handle); }
MMRESULT waveOutPrepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT headerBytes) {
  return prepare(HOST_WAVE_OUT, handle, header, headerBytes);
}
MMRESULT waveOutUnprepareHeader(HWAVEOUT handle, LPWAVEHDR header, UINT headerBytes) {
  return unprepare(HOST_WAVE_OUT, handle, header, headerBytes);
}
MMRESULT waveOutWrite(HWAVEOUT handle, LPWAVEHDR header, UINT headerBytes) {
  return queue(HOST_WAVE_OUT, handle, WODM_WRITE, header, headerBytes);
}
MMRESULT waveOutPause(HWAVEOUT handle) { return simple(HOST_WAVE_OUT, handle, WODM_PAUSE); }
MMRESULT waveOutRestart(HWAVEOUT handle) { return simple(HOST_WAVE_OUT, handle, WODM_RESTART); }
MMRESULT waveOutReset(HWAVEOUT handle) { return simple(HOST_WAVE_OUT, handle, WODM_RESET); }
MMRESULT waveOutBreakLoop(HWAVEOUT handle) {
  return simple(HOST_WAVE_OUT, handle, WODM_BREAKLOOP);
}
MMRESULT waveOutGetPosition(HWAVEOUT handle, LPMMTIME time, UINT timeBytes) {
  return position(HOST_WAVE_OUT, handle, WODM_GETPOS, time, timeBytes);
}

UINT waveInGetNumDevs(void) { return numDevs(HOST_WAVE_IN); }
MMRESULT waveInGetDevCapsW(UINT_PTR deviceId, LPWAVEINCAPSW caps, UINT capsBytes) {
  return getCaps(HOST_WAVE_IN, deviceId, caps, capsBytes);
}
MMRESULT waveInOpen(LPHWAVEIN handle, UINT deviceId, LPCWAVEFORMATEX format, DWORD_PTR callback,
                    DWORD_PTR callbackInstance, DWORD flags) {
  return open(HOST_WAVE_IN, reinterpret_cast<void **>(handle), deviceId, format, callback,
              callbackInstance, flags);
}
MMRESULT waveInClose(HWAVEIN handle) { return close(HOST_WAVE_IN, handle); }
MMRESULT waveInPrepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT headerBytes) {
  return prepare(HOST_WAVE_IN, handle, header, headerBytes);
}
MMRESULT waveInUnprepareHeader(HWAVEIN handle, LPWAVEHDR header, UINT headerBytes) {
  return unprepare(HOST_WAVE_IN, handle, header, headerBytes);
}
MMRESULT waveInAddBuffer(HWAVEIN handle, LPWAVEHDR header, UINT headerBytes) {
  return queue(HOST_WAVE_IN, handle, WIDM_ADDBUFFER, header, headerBytes);
}
MMRESULT waveInStart(HWAVEIN handle) { return simple(HOST_WAVE_IN, handle, WIDM_START); }
MMRESULT waveInStop(HWAVEIN handle) { return simple(HOST_WAVE_IN, handle, WIDM_STOP); }
MMRESULT waveInReset(HWAVEIN handle) { return simple(HOST_WAVE_IN, handle, WIDM_RESET); }
MMRESULT waveInGetPosition(HWAVEIN handle, LPMMTIME time, UINT timeBytes) {
  return position(HOST_WAVE_IN, handle, WIDM_GETPOS, time, timeBytes);
}

}  // extern "C"
