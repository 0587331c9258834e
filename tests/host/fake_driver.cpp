// A driver module for the host's tests: it answers as a simple driver
// does and records what the host sent it, so the tests can check the host
// against winmm's behaviour without the real driver.
#include <mutex>
#include <vector>

#include "platform/platform.h"
#include "tests/host/fake_driver.h"

namespace {

std::mutex logLock;
std::vector<FakeDriverCall> calls;

constexpr DWORD_PTR PER_OPEN_VALUE = 0xD00D;

DWORD record(int entry, UINT device, UINT message, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2,
             DWORD flagsSeen = 0) {
  std::lock_guard<std::mutex> hold(logLock);
  calls.push_back({entry, device, message, user, p1, p2, flagsSeen});
  return 0;
}

// The open of either wave direction: stores the per-open value and tells
// the application, as a driver does.
DWORD waveOpen(int entry, UINT device, UINT message, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2,
               DWORD openMessage) {
  record(entry, device, message, user, p1, p2);
  if (p2 & WAVE_FORMAT_QUERY) return MMSYSERR_NOERROR;
  const WAVEOPENDESC *d = reinterpret_cast<const WAVEOPENDESC *>(p1);
  if (d->lpFormat->wFormatTag != WAVE_FORMAT_PCM) return WAVERR_BADFORMAT;
  *reinterpret_cast<DWORD_PTR *>(user) = PER_OPEN_VALUE;
  DriverCallback(d->dwCallback, DWORD(p2 >> 16), reinterpret_cast<HDRVR>(d->hWave), openMessage,
                 d->dwInstance, 0, 0);
  return MMSYSERR_NOERROR;
}

DWORD answer(int entry, UINT device, UINT message, DWORD_PTR user, DWORD_PTR p1, DWORD_PTR p2) {
  if (message == WODM_WRITE || message == WIDM_ADDBUFFER) {
    record(entry, device, message, user, p1, p2, reinterpret_cast<WAVEHDR *>(p1)->dwFlags);
  } else {
    record(entry, device, message, user, p1, p2);
  }
  return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) LRESULT WINAPI DriverProc(DWORD_PTR id, HDRVR, UINT message,
                                                                 LPARAM, LPARAM) {
  record(FAKE_DRIVER_PROC, 0, message, id, 0, 0);
  return message == DRV_OPEN ? 0x1D : 1;
}

__attribute__((visibility("default"))) DWORD APIENTRY wodMessage(UINT device, UINT message,
                                                                 DWORD_PTR user, DWORD_PTR p1,
                                                                 DWORD_PTR p2) {
  switch (message) {
    case WODM_GETNUMDEVS: return 1;
    case WODM_GETDEVCAPS:
      record(FAKE_WOD, device, message, user, p1, p2);
      reinterpret_cast<WAVEOUTCAPSW *>(p1)->wPid = 100;
      return p2 == sizeof(WAVEOUTCAPSW) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
    case WODM_OPEN: return waveOpen(FAKE_WOD, device, message, user, p1, p2, WOM_OPEN);
    case WODM_PREPARE: case WODM_UNPREPARE:
      record(FAKE_WOD, device, message, user, p1, p2);
      return MMSYSERR_NOTSUPPORTED;
    default: return answer(FAKE_WOD, device, message, user, p1, p2);
  }
}

__attribute__((visibility("default"))) DWORD APIENTRY widMessage(UINT device, UINT message,
                                                                 DWORD_PTR user, DWORD_PTR p1,
                                                                 DWORD_PTR p2) {
  switch (message) {
    case WIDM_GETNUMDEVS: return 1;
    case WIDM_OPEN: return waveOpen(FAKE_WID, device, message, user, p1, p2, WIM_OPEN);
    case WIDM_PREPARE: case WIDM_UNPREPARE: return MMSYSERR_NOTSUPPORTED;
    default: return answer(FAKE_WID, device, message, user, p1, p2);
  }
}

__attribute__((visibility("default"))) DWORD APIENTRY mxdMessage(UINT device, UINT message,
                                                                 DWORD_PTR user, DWORD_PTR p1,
                                                                 DWORD_PTR p2) {
  if (message == MXDM_GETNUMDEVS) return 1;
  if (message == MXDM_OPEN) *reinterpret_cast<DWORD_PTR *>(user) = PER_OPEN_VALUE;
  return answer(FAKE_MXD, device, message, user, p1, p2);
}

__attribute__((visibility("default"))) std::vector<FakeDriverCall> fakeDriverCalls() {
  std::lock_guard<std::mutex> hold(logLock);
  return calls;
}

}  // extern "C"
