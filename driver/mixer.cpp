// mxdMessage: the line, control and capability queries over the constant
// tables, and the value requests through the server targets.
#include "driver/mixer.h"

#include <cassert>
#include <cstring>

#include "devices/operations.h"
#include "driver/entry.h"
#include "driver/instance.h"
#include "net/loop.h"

namespace {

constexpr DWORD MIXER_DESTINATIONS = 2;
constexpr DWORD QUERY_MASK = 0xF;
// The per-open value MXDM_OPEN stores: the mixer keeps no open state.
constexpr DWORD_PTR MIXER_OPEN_VALUE = 1;

// Component type ranges of destination and source lines.
constexpr DWORD DESTINATION_TYPE_LAST = 8;
constexpr DWORD SOURCE_TYPE_FIRST = 0x1000;
constexpr DWORD SOURCE_TYPE_LAST = 0x100A;

// A control set binds controls to the lines whose target device id is its
// key.
struct ControlSet {
  DWORD count;
  DWORD first;  // index into mixerControls
  DWORD key;
};
constexpr ControlSet CONTROL_SETS[] = {{1, 0, 1}, {1, 1, 2}};

bool nameIsProduct(const WCHAR *name) {
  static const WCHAR PRODUCT[] = LV_WTEXT("Lumivox 1.0");
  return std::memcmp(name, PRODUCT, sizeof PRODUCT) == 0;
}

bool lineMatches(const MIXERLINEW &line, const MIXERLINEW &asked, DWORD query) {
  switch (query) {
    case MIXER_GETLINEINFOF_DESTINATION:
      return line.dwComponentType <= DESTINATION_TYPE_LAST &&
             line.dwDestination == asked.dwDestination;
    case MIXER_GETLINEINFOF_SOURCE:
      return line.dwComponentType >= SOURCE_TYPE_FIRST &&
             line.dwComponentType <= SOURCE_TYPE_LAST &&
             line.dwDestination == asked.dwDestination && line.dwSource == asked.dwSource;
    case MIXER_GETLINEINFOF_LINEID:
      return line.dwLineID == asked.dwLineID;
    case MIXER_GETLINEINFOF_COMPONENTTYPE:
      return line.dwComponentType == asked.dwComponentType;
    default:
      return line.Target.dwType == asked.Target.dwType;  // target type
  }
}

MMRESULT mixerGetLineInfo(MIXERLINEW *asked, DWORD query) {
  if (query > MIXER_GETLINEINFOF_TARGETTYPE) return MMSYSERR_NOTSUPPORTED;
  if (!asked || asked->cbStruct < sizeof(MIXERLINEW)) return MMSYSERR_INVALPARAM;
  if (query == MIXER_GETLINEINFOF_TARGETTYPE && !nameIsProduct(asked->Target.szPname)) {
    return MIXERR_INVALLINE;
  }
  for (const MIXERLINEW &line : mixerLines) {
    if (lineMatches(line, *asked, query)) {
      std::memcpy(asked, &line, sizeof line);  // cbStruct included
      return MMSYSERR_NOERROR;
    }
  }
  return MIXERR_INVALLINE;
}

const ControlSet *controlSetOf(const MIXERLINEW &line) {
  for (const ControlSet &set : CONTROL_SETS) {
    if (set.key == line.Target.dwDeviceID) return &set;
  }
  return nullptr;
}

MMRESULT mixerGetLineControls(MIXERLINECONTROLSW *asked, DWORD query) {
  if (query > MIXER_GETLINECONTROLSF_ONEBYTYPE) return MMSYSERR_NOTSUPPORTED;
  if (!asked || !asked->pamxctrl || asked->cbmxctrl < sizeof(MIXERCONTROLW)) {
    return MMSYSERR_INVALPARAM;
  }
  const MIXERLINEW *line = nullptr;
  for (const MIXERLINEW &l : mixerLines) {
    if (l.dwLineID == asked->dwLineID) {
      line = &l;
      break;
    }
  }
  if (!line) return MIXERR_INVALLINE;
  const ControlSet *set = controlSetOf(*line);
  if (query == MIXER_GETLINECONTROLSF_ALL) {
    if (line->cControls != asked->cControls) return MMSYSERR_INVALPARAM;
    if (!set) return MIXERR_INVALCONTROL;
    std::memcpy(asked->pamxctrl, &mixerControls[set->first], set->count * sizeof(MIXERCONTROLW));
    return MMSYSERR_NOERROR;
  }
  for (DWORD i = 0; set && i < set->count; ++i) {
    const MIXERCONTROLW &control = mixerControls[set->first + i];
    bool byId = query == MIXER_GETLINECONTROLSF_ONEBYID;
    if ((byId && control.dwControlID == asked->dwControlID) ||
        (!byId && control.dwControlType == asked->dwControlType)) {
      std::memcpy(asked->pamxctrl, &control, sizeof control);
      return MMSYSERR_NOERROR;
    }
  }
  return MIXERR_INVALCONTROL;
}

MMRESULT mixerGetCaps(DWORD_PTR param1, DWORD_PTR param2) {
  MIXERCAPSW *caps = reinterpret_cast<MIXERCAPSW *>(param1);
  if (!caps || param2 < sizeof(MIXERCAPSW)) return MMSYSERR_INVALPARAM;
  caps->wMid = CAPS_MANUFACTURER_ID;
  caps->wPid = PRODUCT_ID_MIXER;
  caps->vDriverVersion = CAPS_DRIVER_VERSION;
  capsProductName(caps->szPname);
  caps->fdwSupport = 0;
  caps->cDestinations = MIXER_DESTINATIONS;
  return MMSYSERR_NOERROR;
}

bool controlKnown(DWORD index) {
  return index == MIXER_OUTPUT_VOLUME || index == MIXER_INPUT_VOLUME;
}

// Opens the session's targets for one value request: drvLock must be held;
// null when the I/O thread cannot start or no server is reached.
MixerTargetList *mixerRequestBegin() {
  MixerTargetList *list = nullptr;
  if (drvStartIo()) mixerTargetsOpen(&list);  // only whether a list came matters
  return list;
}

MMRESULT mixerGetDetails(MIXERCONTROLDETAILS *details, DWORD query) {
  if (query == MIXER_GETCONTROLDETAILSF_LISTTEXT) return MMSYSERR_NOERROR;
  if (query != MIXER_GETCONTROLDETAILSF_VALUE) return MMSYSERR_NOTSUPPORTED;
  if (!details || !details->paDetails || details->cbDetails < sizeof(DWORD)) {
    return MMSYSERR_INVALPARAM;
  }
  // Exactly one value is written, whatever cChannels says.
  DWORD *value = static_cast<DWORD *>(details->paDetails);
  DWORD index = details->dwControlID;
  if (!controlKnown(index)) {
    *value = 0;
    return MMSYSERR_NOERROR;
  }
  drvInitLock();
  EnterCriticalSection(&drvLock);
  DWORD level = 0;
  if (MixerTargetList *list = mixerRequestBegin()) {
    level = mixerTargetsGet(list, index);
    mixerTargetsClose(list);
  }
  LeaveCriticalSection(&drvLock);
  *value = level;
  return MMSYSERR_NOERROR;
}

MMRESULT mixerSetDetails(MIXERCONTROLDETAILS *details, DWORD query) {
  if (query == MIXER_SETCONTROLDETAILSF_CUSTOM) return MMSYSERR_NOERROR;
  if (query != MIXER_SETCONTROLDETAILSF_VALUE) return MMSYSERR_NOTSUPPORTED;
  if (!details || !details->paDetails || details->cbDetails < sizeof(DWORD)) {
    return MMSYSERR_INVALPARAM;
  }
  DWORD index = details->dwControlID;
  if (!controlKnown(index)) return MMSYSERR_NOERROR;
  DWORD value = *static_cast<const DWORD *>(details->paDetails);
  drvInitLock();
  EnterCriticalSection(&drvLock);
  if (MixerTargetList *list = mixerRequestBegin()) {
    mixerTargetsSet(list, index, value);
    mixerTargetsClose(list);
  }
  LeaveCriticalSection(&drvLock);
  return MMSYSERR_NOERROR;
}

}  // namespace

extern "C" DWORD APIENTRY mxdMessage(UINT, UINT message, DWORD_PTR user, DWORD_PTR param1,
                                     DWORD_PTR param2) {
  DWORD query = DWORD(param2) & QUERY_MASK;
  switch (message) {
    case MXDM_GETNUMDEVS:
      return 1;
    case MXDM_GETDEVCAPS:
      return mixerGetCaps(param1, param2);
    case MXDM_OPEN:
      if (!user) return MMSYSERR_INVALPARAM;
      *reinterpret_cast<DWORD_PTR *>(user) = MIXER_OPEN_VALUE;
      return MMSYSERR_NOERROR;
    case MXDM_CLOSE:
      return MMSYSERR_NOERROR;
    case MXDM_GETLINEINFO:
      return mixerGetLineInfo(reinterpret_cast<MIXERLINEW *>(param1), query);
    case MXDM_GETLINECONTROLS:
      return mixerGetLineControls(reinterpret_cast<MIXERLINECONTROLSW *>(param1), query);
    case MXDM_GETCONTROLDETAILS:
      return mixerGetDetails(reinterpret_cast<MIXERCONTROLDETAILS *>(param1), query);
    case MXDM_SETCONTROLDETAILS:
      return mixerSetDetails(reinterpret_cast<MIXERCONTROLDETAILS *>(param1), query);
    case DRVM_INIT:
      drvInitLock();
      return MMSYSERR_NOERROR;
    default:
      return MMSYSERR_NOTSUPPORTED;
  }
}
