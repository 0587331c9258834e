// lumivox-volume: reads or sets the output or input volume through the
// mixer device, as an application finds it: the destination line by its
// component type, the line's volume control by its type, then the
// control's value. See VOLUME_USAGE (tools/volume/options.cpp).
#include <cmath>
#include <cstdio>
#include <string>

#include "tools/common/device.h"
#include "tools/common/mmapi.h"
#include "tools/common/options.h"
#include "tools/common/results.h"
#include "tools/volume/options.h"

namespace {

const char TOOL[] = "lumivox-volume";

struct Mixer {
  HMIXER handle = nullptr;
  MIXERLINEW line = {};
  MIXERCONTROLW control = {};

  HMIXEROBJ object() const { return reinterpret_cast<HMIXEROBJ>(handle); }

  bool fail(const char *what, MMRESULT result) {
    toolReport(TOOL, what, result);
    return false;
  }

  bool open() {
    if (mixerGetNumDevs() == 0) {
      toolReportNoDevice(TOOL, "mixer");
      return false;
    }
    MMRESULT r = mixerOpen(&handle, 0, 0, 0, MIXER_OBJECTF_MIXER);
    if (r != MMSYSERR_NOERROR) {
      handle = nullptr;
      return fail("cannot open the mixer device", r);
    }
    return true;
  }

  // Finds the destination line and its volume control.
  bool find(bool input) {
    line.cbStruct = sizeof line;
    line.dwComponentType =
        input ? MIXERLINE_COMPONENTTYPE_DST_WAVEIN : MIXERLINE_COMPONENTTYPE_DST_SPEAKERS;
    MMRESULT r =
        mixerGetLineInfoW(object(), &line, MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_COMPONENTTYPE);
    if (r != MMSYSERR_NOERROR) {
      return fail(input ? "cannot find the input line" : "cannot find the output line", r);
    }
    MIXERLINECONTROLSW controls = {};
    controls.cbStruct = sizeof controls;
    controls.dwLineID = line.dwLineID;
    controls.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
    controls.cControls = 1;
    controls.cbmxctrl = sizeof control;
    controls.pamxctrl = &control;
    control.cbStruct = sizeof control;
    r = mixerGetLineControlsW(object(), &controls,
                              MIXER_OBJECTF_HMIXER | MIXER_GETLINECONTROLSF_ONEBYTYPE);
    if (r != MMSYSERR_NOERROR) return fail("cannot find the line's volume control", r);
    return true;
  }

  // The control's bounds, read through the reserved words that both the
  // system's and the runtime's declarations of the union name alike.
  uint32_t minimum() const { return control.Bounds.dwReserved[0]; }
  uint32_t maximum() const { return control.Bounds.dwReserved[1]; }

  MIXERCONTROLDETAILS details(MIXERCONTROLDETAILS_UNSIGNED *value) const {
    MIXERCONTROLDETAILS d = {};
    d.cbStruct = sizeof d;
    d.dwControlID = control.dwControlID;
    d.cChannels = 1;
    d.cbDetails = sizeof *value;
    d.paDetails = value;
    return d;
  }

  bool get(uint32_t &level) {
    MIXERCONTROLDETAILS_UNSIGNED value = {};
    MIXERCONTROLDETAILS d = details(&value);
    MMRESULT r = mixerGetControlDetailsW(object(), &d,
                                         MIXER_OBJECTF_HMIXER | MIXER_GETCONTROLDETAILSF_VALUE);
    if (r != MMSYSERR_NOERROR) return fail("cannot read the volume", r);
    level = value.dwValue;
    return true;
  }

  bool set(uint32_t level) {
    MIXERCONTROLDETAILS_UNSIGNED value = {};
    value.dwValue = level;
    MIXERCONTROLDETAILS d = details(&value);
    MMRESULT r =
        mixerSetControlDetails(object(), &d, MIXER_OBJECTF_HMIXER | MIXER_SETCONTROLDETAILSF_VALUE);
    return r == MMSYSERR_NOERROR || fail("cannot set the volume", r);
  }

  bool close() {
    if (!handle) return true;
    MMRESULT r = mixerClose(handle);
    handle = nullptr;
    return r == MMSYSERR_NOERROR || fail("mixerClose", r);
  }
};

int volume(const VolumeOptions &options) {
  Mixer mixer;
  if (!mixer.open() || !mixer.find(options.input)) {
    mixer.close();
    return TOOL_EXIT_DEVICE;
  }
  int status = TOOL_EXIT_OK;
  uint32_t level = 0;
  if (options.set && options.step && !mixer.get(level)) {
    status = TOOL_EXIT_DEVICE;
  } else if (options.set &&
             !volumeLevelValue(options, mixer.minimum(), mixer.maximum(), level, level)) {
    std::fprintf(stderr, "%s: LEVEL %u is outside the control's range %u to %u\n", TOOL,
                 unsigned(options.level), unsigned(mixer.minimum()), unsigned(mixer.maximum()));
    status = TOOL_EXIT_USAGE;
  } else if ((options.set && !mixer.set(level)) || !mixer.get(level)) {
    status = TOOL_EXIT_DEVICE;
  } else {
    uint32_t span = mixer.maximum() - mixer.minimum();
    long percent = span ? std::lround(100.0 * (double(level) - mixer.minimum()) / span) : 0;
    std::printf("%s volume: %u (%ld%%)\n", options.input ? "input" : "output", unsigned(level),
                percent);
  }
  if (!mixer.close() && status == TOOL_EXIT_OK) status = TOOL_EXIT_DEVICE;
  return status;
}

}  // namespace

int main(int argc, char **argv) {
  VolumeOptions options;
  std::string error;
  ParseOutcome outcome = volumeParseOptions(argc, argv, options, error);
  return outcome == PARSE_OK ? volume(options) : toolParseExit(TOOL, outcome, VOLUME_USAGE, error);
}
