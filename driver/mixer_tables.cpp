// The mixer's constant lines and controls, as applications receive them.
// Built at compile time: every byte not named here is 0.
#include "driver/instance.h"
#include "driver/mixer.h"

namespace {

constexpr DWORD NO_SOURCE = 0xFFFFFFFF;
// Target device ids; they also key the control sets.
constexpr DWORD OUTPUT_KEY = 1;
constexpr DWORD INPUT_KEY = 2;

// Copies a terminated name; the rest of the field stays zero.
template <size_t N>
constexpr void copyName(WCHAR (&to)[N], const WCHAR *from) {
  for (size_t i = 0; i + 1 < N && from[i]; ++i) to[i] = from[i];
}

struct LineRow {
  DWORD destination, source, lineId, componentType, connections;
  const WCHAR *shortName, *name;
  DWORD targetType, key;
  WORD productId;
};

constexpr MIXERLINEW makeLine(const LineRow &row) {
  MIXERLINEW line{};
  line.cbStruct = sizeof(MIXERLINEW);
  line.dwDestination = row.destination;
  line.dwSource = row.source;
  line.dwLineID = row.lineId;
  line.fdwLine = MIXERLINE_LINEF_ACTIVE;
  line.dwComponentType = row.componentType;
  line.cChannels = 1;
  line.cConnections = row.connections;
  line.cControls = 1;
  copyName(line.szShortName, row.shortName);
  copyName(line.szName, row.name);
  line.Target.dwType = row.targetType;
  line.Target.dwDeviceID = row.key;
  line.Target.wMid = CAPS_MANUFACTURER_ID;
  line.Target.wPid = row.productId;
  line.Target.vDriverVersion = CAPS_DRIVER_VERSION;
  copyName(line.Target.szPname, LV_WTEXT("Lumivox 1.0"));
  return line;
}

// A volume fader over 0..0xFFFF in 100 steps.
constexpr MIXERCONTROLW makeVolume(DWORD id, const WCHAR *shortName, const WCHAR *name) {
  MIXERCONTROLW control{};
  control.cbStruct = sizeof(MIXERCONTROLW);
  control.dwControlID = id;
  control.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
  copyName(control.szShortName, shortName);
  copyName(control.szName, name);
  // Each union is set through its first member, so that a constant
  // evaluation sees it whole: minimum 0, maximum 0xFFFF; 100 steps.
  control.Bounds = {{0, 0xFFFF}};
  control.Metrics = {100};
  return control;
}

}  // namespace

// The source lines carry no source flag, and the wave-output source has no
// connections while the microphone has one: applications have seen these
// records as they stand, so they stay exactly so.
constexpr MIXERLINEW mixerLines[MIXER_LINE_COUNT] = {
    makeLine({0, NO_SOURCE, 0xFFFF0000, MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, 1, LV_WTEXT("Volume"),
              LV_WTEXT("Volume"), MIXERLINE_TARGETTYPE_WAVEOUT, OUTPUT_KEY, PRODUCT_ID_OUTPUT}),
    makeLine({0, 0, 0xFFFF0001, MIXERLINE_COMPONENTTYPE_SRC_WAVEOUT, 0, LV_WTEXT("Out"),
              LV_WTEXT("Output"), MIXERLINE_TARGETTYPE_WAVEOUT, OUTPUT_KEY, PRODUCT_ID_OUTPUT}),
    makeLine({1, NO_SOURCE, 0xFFFF0002, MIXERLINE_COMPONENTTYPE_DST_WAVEIN, 1, LV_WTEXT("In"),
              LV_WTEXT("Input"), MIXERLINE_TARGETTYPE_WAVEIN, INPUT_KEY, PRODUCT_ID_INPUT}),
    makeLine({1, 0, 0xFFFF0003, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE, 1, LV_WTEXT("Mic"),
              LV_WTEXT("Microphone"), MIXERLINE_TARGETTYPE_WAVEIN, INPUT_KEY, PRODUCT_ID_INPUT}),
};

constexpr MIXERCONTROLW mixerControls[MIXER_CONTROL_COUNT] = {
    makeVolume(MIXER_OUTPUT_VOLUME, LV_WTEXT("Output Volume"), LV_WTEXT("Output Volume Level")),
    makeVolume(MIXER_INPUT_VOLUME, LV_WTEXT("Input Volume"), LV_WTEXT("Input Volume Level")),
};
