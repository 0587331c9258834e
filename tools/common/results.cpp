// The table of result codes. The texts say what the code means when the
// Lumivox driver returns it: its wave and mixer opens answer
// MMSYSERR_NODRIVER when no audio server can be found or reached for the
// caller's session, and MMSYSERR_NOTSUPPORTED for a format it cannot carry.
#include "tools/common/results.h"

namespace {

struct ResultText {
  MMRESULT code;
  const char *name;
  const char *text;
};

const ResultText RESULT_TEXTS[] = {
    {MMSYSERR_NOERROR, "MMSYSERR_NOERROR", "no error"},
    {MMSYSERR_ERROR, "MMSYSERR_ERROR", "the device reported an unspecified error"},
    {MMSYSERR_BADDEVICEID, "MMSYSERR_BADDEVICEID", "no such device"},
    {MMSYSERR_NOTENABLED, "MMSYSERR_NOTENABLED", "the driver is not enabled"},
    {MMSYSERR_ALLOCATED, "MMSYSERR_ALLOCATED", "the device is in use"},
    {MMSYSERR_INVALHANDLE, "MMSYSERR_INVALHANDLE", "invalid device handle"},
    {MMSYSERR_NODRIVER, "MMSYSERR_NODRIVER", "no audio server reachable for this session"},
    {MMSYSERR_NOMEM, "MMSYSERR_NOMEM", "out of memory"},
    {MMSYSERR_NOTSUPPORTED, "MMSYSERR_NOTSUPPORTED",
     "the device does not support this format or request"},
    {MMSYSERR_BADERRNUM, "MMSYSERR_BADERRNUM", "error value out of range"},
    {MMSYSERR_INVALFLAG, "MMSYSERR_INVALFLAG", "invalid flag"},
    {MMSYSERR_INVALPARAM, "MMSYSERR_INVALPARAM", "invalid parameter"},
    {MMSYSERR_HANDLEBUSY, "MMSYSERR_HANDLEBUSY", "the device handle is busy in another thread"},
    {WAVERR_BADFORMAT, "WAVERR_BADFORMAT", "the device does not take this wave format"},
    {WAVERR_STILLPLAYING, "WAVERR_STILLPLAYING", "buffers are still queued on the device"},
    {WAVERR_UNPREPARED, "WAVERR_UNPREPARED", "the buffer was not prepared"},
    {WAVERR_SYNC, "WAVERR_SYNC", "the device is synchronous"},
    {MIXERR_INVALLINE, "MIXERR_INVALLINE", "the mixer has no such line"},
    {MIXERR_INVALCONTROL, "MIXERR_INVALCONTROL", "the mixer line has no such control"},
    {MIXERR_INVALVALUE, "MIXERR_INVALVALUE", "the mixer control does not take this value"},
};

const ResultText *find(MMRESULT result) {
  for (const ResultText &r : RESULT_TEXTS) {
    if (r.code == result) return &r;
  }
  return nullptr;
}

}  // namespace

const char *mmResultName(MMRESULT result) {
  const ResultText *r = find(result);
  return r ? r->name : nullptr;
}

std::string mmResultMessage(MMRESULT result) {
  const ResultText *r = find(result);
  if (!r) return "unexpected result code " + std::to_string(unsigned(result));
  return std::string(r->text) + " (" + r->name + ")";
}
