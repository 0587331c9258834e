// The mixer part of the application API.
#include <cstring>

#include "host/handles.h"
#include "host/mmhost.h"

namespace {

// The object-type bits of a mixer request's flags; the rest goes to the
// driver.
constexpr DWORD OBJECT_TYPE_MASK = 0xF0000000u;

UINT mixerCount(DeviceEntry entry) { return entry ? UINT(entry(0, MXDM_GETNUMDEVS, 0, 0, 0)) : 0; }

// Finds what a request names: an open mixer handle, or a mixer number
// (MIXER_OBJECTF_MIXER; the wave devices' numbers name the one mixer too).
// Fills the device number and the driver's per-open value (0 for a number).
MMRESULT resolveObject(HMIXEROBJ object, DWORD flags, UINT *device, DWORD_PTR *user,
                       DeviceEntry *entry) {
  DWORD type = flags & OBJECT_TYPE_MASK;
  if (type == MIXER_OBJECTF_HMIXER) {
    HostHandle *handle = handleFind(HOST_MIXER, object);
    if (!handle) return MMSYSERR_INVALHANDLE;
    *device = handle->deviceId;
    *user = handle->driverUser;
    *entry = handle->entry;
    return MMSYSERR_NOERROR;
  }
  if (type != MIXER_OBJECTF_MIXER && type != MIXER_OBJECTF_WAVEOUT && type != MIXER_OBJECTF_WAVEIN) {
    return MMSYSERR_INVALFLAG;
  }
  *entry = hostEntry(HOST_MIXER);
  if (!*entry) return MMSYSERR_NODRIVER;
  UINT_PTR id = reinterpret_cast<UINT_PTR>(object);
  if (id >= mixerCount(*entry)) return MMSYSERR_BADDEVICEID;
  *device = UINT(id);
  *user = 0;
  return MMSYSERR_NOERROR;
}

// Every request record starts with its own size; a smaller one than the
// record the request needs is refused before the driver sees it.
template <typename Record>
MMRESULT request(HMIXEROBJ object, Record *record, DWORD flags, UINT message) {
  if (!record || record->cbStruct < sizeof(Record)) return MMSYSERR_INVALPARAM;
  UINT device;
  DWORD_PTR user;
  DeviceEntry entry;
  MMRESULT result = resolveObject(object, flags, &device, &user, &entry);
  if (result != MMSYSERR_NOERROR) return result;
  return entry(device, message, user, reinterpret_cast<DWORD_PTR>(record), flags & ~OBJECT_TYPE_MASK);
}

}  // namespace

extern "C" {

UINT mixerGetNumDevs(void) { return mixerCount(hostEntry(HOST_MIXER)); }

MMRESULT mixerGetDevCapsW(UINT_PTR deviceId, LPMIXERCAPSW caps, UINT capsBytes) {
  if (!caps) return MMSYSERR_INVALPARAM;
  DeviceEntry entry = hostEntry(HOST_MIXER);
  if (!entry) return MMSYSERR_NODRIVER;
  if (deviceId >= mixerCount(entry)) return MMSYSERR_BADDEVICEID;
  MIXERCAPSW full;
  std::memset(&full, 0, sizeof full);
  MMRESULT result = entry(UINT(deviceId), MXDM_GETDEVCAPS, 0, reinterpret_cast<DWORD_PTR>(&full),
                          sizeof full);
  if (result == MMSYSERR_NOERROR) std::memcpy(caps, &full, capsBytes < sizeof full ? capsBytes : sizeof full);
  return result;
}

MMRESULT mixerOpen(LPHMIXER out, UINT deviceId, DWORD_PTR callback, DWORD_PTR callbackInstance,
                   DWORD flags) {
  if (!out) return MMSYSERR_INVALPARAM;
  if ((flags & CALLBACK_TYPEMASK) != CALLBACK_NULL && (flags & CALLBACK_TYPEMASK) != CALLBACK_FUNCTION) {
    return MMSYSERR_INVALFLAG;
  }
  DeviceEntry entry = hostEntry(HOST_MIXER);
  if (!entry) return MMSYSERR_NODRIVER;
  if (deviceId >= mixerCount(entry)) return MMSYSERR_BADDEVICEID;
  HostHandle *handle = handleCreate(HOST_MIXER, deviceId, entry);
  if (!handle) return MMSYSERR_NOMEM;
  MIXEROPENDESC description = {};
  description.hmx = reinterpret_cast<HMIXER>(handle);
  description.dwCallback = callback;
  description.dwInstance = callbackInstance;
  handlePublish(handle);
  MMRESULT result = entry(deviceId, MXDM_OPEN, reinterpret_cast<DWORD_PTR>(&handle->driverUser),
                          reinterpret_cast<DWORD_PTR>(&description), flags);
  if (result != MMSYSERR_NOERROR) {
    handleDestroy(handle);
    return result;
  }
  *out = reinterpret_cast<HMIXER>(handle);
  return MMSYSERR_NOERROR;
}

MMRESULT mixerClose(HMIXER h) {
  HostHandle *handle = handleFind(HOST_MIXER, h);
  if (!handle) return MMSYSERR_INVALHANDLE;
  MMRESULT result = handleMessage(handle, MXDM_CLOSE, 0, 0);
  if (result == MMSYSERR_NOERROR) handleDestroy(handle);
  return result;
}

MMRESULT mixerGetLineInfoW(HMIXEROBJ object, LPMIXERLINEW line, DWORD flags) {
  return request(object, line, flags, MXDM_GETLINEINFO);
}
MMRESULT mixerGetLineControlsW(HMIXEROBJ object, LPMIXERLINECONTROLSW controls, DWORD flags) {
  return request(object, controls, flags, MXDM_GETLINECONTROLS);
}
MMRESULT mixerGetControlDetailsW(HMIXEROBJ object, LPMIXERCONTROLDETAILS details, DWORD flags) {
  return request(object, details, flags, MXDM_GETCONTROLDETAILS);
}
MMRESULT mixerSetControlDetails(HMIXEROBJ object, LPMIXERCONTROLDETAILS details, DWORD flags) {
  return request(object, details, flags, MXDM_SETCONTROLDETAILS);
}

}  // extern "C"
