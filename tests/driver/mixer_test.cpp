// The mixer device through mxdMessage: the constant records byte for byte,
// every line and control query, the callers' size fields, and the value
// requests through a recording stand-in for the mixer operations (with the
// real lumivox-session for discovery in the POSIX build).
#include "driver/mixer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "devices/operations.h"
#include "driver/entry.h"
#include "net/loop.h"
#ifndef _WIN32
#include "tests/tools/session_process.h"
#endif

namespace {

std::string text(const WCHAR *w) {
  std::string out;
  for (; *w; ++w) out.push_back(char(*w));
  return out;
}

// The whole record must be zero after the name's terminator.
bool zeroFilledAfterName(const WCHAR *field, size_t chars) {
  size_t i = 0;
  while (i < chars && field[i]) ++i;
  for (; i < chars; ++i) {
    if (field[i]) return false;
  }
  return true;
}

DWORD mxd(UINT message, DWORD_PTR param1 = 0, DWORD_PTR param2 = 0, DWORD_PTR user = 0) {
  return mxdMessage(0, message, user, param1, param2);
}

MMRESULT lineInfo(MIXERLINEW *line, DWORD query) {
  return mxd(MXDM_GETLINEINFO, reinterpret_cast<DWORD_PTR>(line), query);
}

MIXERLINEW asked() {
  MIXERLINEW line;
  std::memset(&line, 0, sizeof line);
  line.cbStruct = sizeof line;
  return line;
}

TEST(MixerTables, LinesAndControlsAreTheConstantRecords) {
  // The line record holds a pointer-sized field: 284 bytes on x64, 280 on
  // 32-bit Windows (platform/mmlayout.h).
  constexpr DWORD LINE_BYTES = sizeof(void *) == 8 ? 284 : 280;
  static_assert(sizeof(MIXERLINEW) == LINE_BYTES && sizeof(MIXERCONTROLW) == 228, "layouts");
  const char *names[][2] = {
      {"Volume", "Volume"}, {"Out", "Output"}, {"In", "Input"}, {"Mic", "Microphone"}};
  const DWORD types[] = {4, 0x1008, 7, 0x1003};
  const DWORD connections[] = {1, 0, 1, 1};
  for (DWORD i = 0; i < MIXER_LINE_COUNT; ++i) {
    const MIXERLINEW &l = mixerLines[i];
    EXPECT_EQ(l.cbStruct, LINE_BYTES);
    EXPECT_EQ(l.dwDestination, i / 2);
    EXPECT_EQ(l.dwSource, i % 2 ? 0u : 0xFFFFFFFFu);
    EXPECT_EQ(l.dwLineID, 0xFFFF0000u + i);
    EXPECT_EQ(l.fdwLine, 1u);
    EXPECT_EQ(DWORD_PTR(l.dwUser), 0u);  // a copy: the packed field is not aligned
    EXPECT_EQ(l.dwComponentType, types[i]);
    EXPECT_EQ(l.cChannels, 1u);
    EXPECT_EQ(l.cConnections, connections[i]);
    EXPECT_EQ(l.cControls, 1u);
    EXPECT_EQ(text(l.szShortName), names[i][0]);
    EXPECT_EQ(text(l.szName), names[i][1]);
    EXPECT_TRUE(zeroFilledAfterName(l.szShortName, MIXER_SHORT_NAME_CHARS));
    EXPECT_TRUE(zeroFilledAfterName(l.szName, MIXER_LONG_NAME_CHARS));
    EXPECT_EQ(l.Target.dwType, i < 2 ? 1u : 2u);
    EXPECT_EQ(l.Target.dwDeviceID, i < 2 ? 1u : 2u);
    EXPECT_EQ(l.Target.wMid, 1);
    EXPECT_EQ(l.Target.wPid, i < 2 ? 100 : 101);
    EXPECT_EQ(l.Target.vDriverVersion, 0x0500u);
    EXPECT_EQ(text(l.Target.szPname), "Lumivox 1.0");
    EXPECT_TRUE(zeroFilledAfterName(l.Target.szPname, MAXPNAMELEN));
  }
  const char *controlNames[][2] = {{"Output Volume", "Output Volume Level"},
                                   {"Input Volume", "Input Volume Level"}};
  for (DWORD i = 0; i < MIXER_CONTROL_COUNT; ++i) {
    const MIXERCONTROLW &c = mixerControls[i];
    EXPECT_EQ(c.cbStruct, 228u);
    EXPECT_EQ(c.dwControlID, i);
    EXPECT_EQ(c.dwControlType, 0x50030001u);
    EXPECT_EQ(c.fdwControl, 0u);
    EXPECT_EQ(c.cMultipleItems, 0u);
    EXPECT_EQ(text(c.szShortName), controlNames[i][0]);
    EXPECT_EQ(text(c.szName), controlNames[i][1]);
    const DWORD bounds[6] = {0, 0xFFFF, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(c.Bounds.dwReserved, bounds, sizeof bounds), 0);
    const DWORD metrics[6] = {100, 0, 0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(c.Metrics.dwReserved, metrics, sizeof metrics), 0);
  }
}

TEST(MixerQueries, FixedAnswers) {
  EXPECT_EQ(mxd(MXDM_GETNUMDEVS), 1u);
  DWORD_PTR user = 0;
  EXPECT_EQ(mxd(MXDM_OPEN, 0, 0, reinterpret_cast<DWORD_PTR>(&user)), MMSYSERR_NOERROR);
  EXPECT_EQ(user, 1u);
  EXPECT_EQ(mxd(MXDM_CLOSE), MMSYSERR_NOERROR);
  EXPECT_EQ(mxd(DRVM_INIT), MMSYSERR_NOERROR);
  EXPECT_EQ(mxd(9), MMSYSERR_NOTSUPPORTED);
  MIXERCAPSW caps;
  std::memset(&caps, 0xAB, sizeof caps);
  EXPECT_EQ(mxd(MXDM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(&caps), sizeof caps - 1),
            MMSYSERR_INVALPARAM);
  ASSERT_EQ(mxd(MXDM_GETDEVCAPS, reinterpret_cast<DWORD_PTR>(&caps), sizeof caps),
            MMSYSERR_NOERROR);
  EXPECT_EQ(caps.wMid, 1);
  EXPECT_EQ(caps.wPid, 104);
  EXPECT_EQ(caps.vDriverVersion, 0x0500u);
  EXPECT_EQ(text(caps.szPname), "Lumivox 1.0");
  EXPECT_TRUE(zeroFilledAfterName(caps.szPname, MAXPNAMELEN));
  EXPECT_EQ(caps.fdwSupport, 0u);
  EXPECT_EQ(caps.cDestinations, 2u);
}

TEST(MixerQueries, EveryLineQueryKind) {
  MIXERLINEW l = asked();
  l.dwDestination = 1;
  ASSERT_EQ(lineInfo(&l, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_NOERROR);
  EXPECT_EQ(text(l.szName), "Input");
  EXPECT_EQ(std::memcmp(&l, &mixerLines[2], sizeof l), 0) << "the whole record, cbStruct too";

  l = asked();
  ASSERT_EQ(lineInfo(&l, MIXER_GETLINEINFOF_SOURCE), MMSYSERR_NOERROR);
  EXPECT_EQ(text(l.szName), "Output");
  l = asked();
  l.dwDestination = 1;
  ASSERT_EQ(lineInfo(&l, MIXER_GETLINEINFOF_SOURCE), MMSYSERR_NOERROR);
  EXPECT_EQ(text(l.szName), "Microphone");
  l = asked();
  l.dwDestination = 2;
  EXPECT_EQ(lineInfo(&l, MIXER_GETLINEINFOF_DESTINATION), MIXERR_INVALLINE);

  l = asked();
  l.dwLineID = 0xFFFF0003;
  ASSERT_EQ(lineInfo(&l, MIXER_GETLINEINFOF_LINEID), MMSYSERR_NOERROR);
  EXPECT_EQ(text(l.szShortName), "Mic");
  l = asked();
  l.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
  ASSERT_EQ(lineInfo(&l, MIXER_GETLINEINFOF_COMPONENTTYPE), MMSYSERR_NOERROR);
  EXPECT_EQ(l.dwLineID, 0xFFFF0002u);

  l = asked();
  l.Target.dwType = MIXERLINE_TARGETTYPE_WAVEOUT;
  std::memcpy(l.Target.szPname, LV_WTEXT("Lumivox 1.0"), sizeof LV_WTEXT("Lumivox 1.0"));
  ASSERT_EQ(lineInfo(&l, MIXER_GETLINEINFOF_TARGETTYPE), MMSYSERR_NOERROR);
  EXPECT_EQ(l.dwLineID, 0xFFFF0000u);
  l = asked();
  l.Target.dwType = MIXERLINE_TARGETTYPE_WAVEOUT;
  std::memcpy(l.Target.szPname, LV_WTEXT("lumivox 1.0"), sizeof LV_WTEXT("lumivox 1.0"));
  EXPECT_EQ(lineInfo(&l, MIXER_GETLINEINFOF_TARGETTYPE), MIXERR_INVALLINE);

  l = asked();
  EXPECT_EQ(lineInfo(&l, 5), MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(lineInfo(&l, 0x80000000u | MIXER_GETLINEINFOF_LINEID), MIXERR_INVALLINE)
      << "only the low four bits are the query";
}

TEST(MixerQueries, LineControlsFollowTheControlSets) {
  MIXERCONTROLW control[2];
  auto controls = [&](DWORD lineId, DWORD query, DWORD count = 1, DWORD idOrType = 0) {
    std::memset(control, 0xCD, sizeof control);
    MIXERLINECONTROLSW request = {};
    request.cbStruct = sizeof request;
    request.dwLineID = lineId;
    request.dwControlID = idOrType;
    request.cControls = count;
    request.cbmxctrl = sizeof(MIXERCONTROLW);
    request.pamxctrl = control;
    return mxd(MXDM_GETLINECONTROLS, reinterpret_cast<DWORD_PTR>(&request), query);
  };
  ASSERT_EQ(controls(0xFFFF0001, MIXER_GETLINECONTROLSF_ALL), MMSYSERR_NOERROR);
  EXPECT_EQ(text(control[0].szShortName), "Output Volume");
  EXPECT_EQ(std::memcmp(&control[1], std::vector<unsigned char>(228, 0xCD).data(), 228), 0)
      << "one control written, nothing past it";
  ASSERT_EQ(controls(0xFFFF0003, MIXER_GETLINECONTROLSF_ALL), MMSYSERR_NOERROR);
  EXPECT_EQ(text(control[0].szShortName), "Input Volume");
  ASSERT_EQ(
      controls(0xFFFF0002, MIXER_GETLINECONTROLSF_ONEBYTYPE, 1, MIXERCONTROL_CONTROLTYPE_VOLUME),
      MMSYSERR_NOERROR);
  EXPECT_EQ(control[0].dwControlID, 1u);
  ASSERT_EQ(controls(0xFFFF0000, MIXER_GETLINECONTROLSF_ONEBYID, 1, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(std::memcmp(&control[0], &mixerControls[0], 228), 0);
  EXPECT_EQ(controls(0xFFFF0000, MIXER_GETLINECONTROLSF_ONEBYID, 1, 1), MIXERR_INVALCONTROL)
      << "the input volume is not on the output line";
  EXPECT_EQ(controls(0xFFFF0002, MIXER_GETLINECONTROLSF_ONEBYTYPE, 1, 0x50030002u),
            MIXERR_INVALCONTROL);
  EXPECT_EQ(controls(0xFFFF0001, MIXER_GETLINECONTROLSF_ALL, 2), MMSYSERR_INVALPARAM);
  EXPECT_EQ(controls(0xFFFF0007, MIXER_GETLINECONTROLSF_ALL), MIXERR_INVALLINE);
  EXPECT_EQ(controls(0xFFFF0007, 3), MMSYSERR_NOTSUPPORTED) << "the query is checked first";
}

TEST(MixerQueries, AnswersNeverWritePastTheCallersSizes) {
  MIXERLINEW line = asked();
  // Short of this word size's record, as a 32-bit caller's is in a 64-bit
  // driver (280 bytes against 284).
  line.cbStruct = sizeof line - 4;
  EXPECT_EQ(lineInfo(&line, MIXER_GETLINEINFOF_DESTINATION), MMSYSERR_INVALPARAM);
  EXPECT_EQ(line.cbStruct, sizeof line - 4);

  MIXERCONTROLW control;
  MIXERLINECONTROLSW request = {};
  request.cbStruct = sizeof request;
  request.dwLineID = 0xFFFF0000;
  request.cControls = 1;
  request.cbmxctrl = sizeof control - 4;
  request.pamxctrl = &control;
  EXPECT_EQ(mxd(MXDM_GETLINECONTROLS, reinterpret_cast<DWORD_PTR>(&request), 0),
            MMSYSERR_INVALPARAM);

  WORD small = 0x5A5A;
  MIXERCONTROLDETAILS details = {};
  details.cbStruct = sizeof details;
  details.dwControlID = 5;
  details.cbDetails = sizeof small;
  details.paDetails = &small;
  EXPECT_EQ(mxd(MXDM_GETCONTROLDETAILS, reinterpret_cast<DWORD_PTR>(&details), 0),
            MMSYSERR_INVALPARAM);
  EXPECT_EQ(mxd(MXDM_SETCONTROLDETAILS, reinterpret_cast<DWORD_PTR>(&details), 0),
            MMSYSERR_INVALPARAM);
  EXPECT_EQ(small, 0x5A5A);
}

// A recording stand-in for the mixer operations.
struct FakeMixer {
  int opens = 0;
  int closes = 0;
  int openResult = 1;
  std::vector<std::pair<DWORD, DWORD>> sets;  // (index, value)
  std::vector<DWORD> gets;
  DWORD level = 0x1234;
  DWORD address = 0;
  DWORD port = 0;
} fakeMixer;

const MixerOps FAKE_MIXER_OPS = {
    .open =
        [](MixerTargetList *, MixerTarget *t) {
          fakeMixer.opens += 1;
          fakeMixer.address = t->address;
          fakeMixer.port = t->port;
          return fakeMixer.openResult;
        },
    .close = [](MixerTargetList *, MixerTarget *) { fakeMixer.closes += 1; },
    .setVolume =
        [](MixerTargetList *, MixerTarget *, DWORD index, DWORD value) {
          fakeMixer.sets.push_back({index, value});
        },
    .getVolume =
        [](MixerTargetList *, MixerTarget *, DWORD index) {
          fakeMixer.gets.push_back(index);
          return fakeMixer.level;
        },
};

DWORD details(UINT message, DWORD id, DWORD value, DWORD query = 0) {
  MIXERCONTROLDETAILS d = {};
  d.cbStruct = sizeof d;
  d.dwControlID = id;
  d.cChannels = 2;  // exactly one value is used whatever this says
  d.cbDetails = sizeof value;
  d.paDetails = &value;
  EXPECT_EQ(mxd(message, reinterpret_cast<DWORD_PTR>(&d), query), MMSYSERR_NOERROR);
  return value;
}

class MixerValues : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeMixer = FakeMixer{};
    mixerOps = &FAKE_MIXER_OPS;
  }
  void TearDown() override {
    drvStopIo();
    mixerOps = &serverMixerOps;
  }
};

TEST_F(MixerValues, UnknownControlsAndOtherQueriesReachNoServer) {
  EXPECT_EQ(details(MXDM_GETCONTROLDETAILS, 5, 0xFFFFFFFF), 0u);
  details(MXDM_SETCONTROLDETAILS, 5, 7);
  EXPECT_EQ(details(MXDM_GETCONTROLDETAILS, 0, 0xFEED, MIXER_GETCONTROLDETAILSF_LISTTEXT), 0xFEEDu);
  details(MXDM_SETCONTROLDETAILS, 0, 7, MIXER_SETCONTROLDETAILSF_CUSTOM);
  EXPECT_EQ(fakeMixer.opens, 0);
  MIXERCONTROLDETAILS d = {};
  EXPECT_EQ(mxd(MXDM_GETCONTROLDETAILS, reinterpret_cast<DWORD_PTR>(&d), 2), MMSYSERR_NOTSUPPORTED);
  EXPECT_EQ(mxd(MXDM_SETCONTROLDETAILS, reinterpret_cast<DWORD_PTR>(&d), 2), MMSYSERR_NOTSUPPORTED);
}

#ifndef _WIN32

class MixerSession : public MixerValues {
 protected:
  void SetUp() override {
    MixerValues::SetUp();
    blocks_ = lvLocalAllocLive();
  }
  void TearDown() override {
    MixerValues::TearDown();
    session_.reset();
    EXPECT_EQ(lvLocalAllocLive(), blocks_);
  }
  void serve(const std::vector<std::string> &arguments) {
    session_ = std::make_unique<SessionProcess>(arguments);
    ASSERT_TRUE(session_->ready()) << session_->line();
  }
  RuntimeDir dir_;
  std::unique_ptr<SessionProcess> session_;
  long blocks_ = 0;
};

TEST_F(MixerSession, AValueRequestOpensOneTargetAndClosesItAgain) {
  serve({"--session", "2", "--record", "2", "--address", "10.0.0.9", "--display", "1"});
  EXPECT_EQ(details(MXDM_GETCONTROLDETAILS, MIXER_INPUT_VOLUME, 0), 0x1234u);
  EXPECT_EQ(fakeMixer.address, 0x0A000009u);
  EXPECT_EQ(fakeMixer.port, 9001u);
  EXPECT_EQ(fakeMixer.gets, (std::vector<DWORD>{1}));
  details(MXDM_SETCONTROLDETAILS, MIXER_OUTPUT_VOLUME, 0xBEEF);
  EXPECT_EQ(fakeMixer.sets, (std::vector<std::pair<DWORD, DWORD>>{{0, 0xBEEF}}));
  EXPECT_EQ(fakeMixer.opens, 2);
  EXPECT_EQ(fakeMixer.closes, 2);
}

TEST_F(MixerSession, AnUnreachableServerReadsZeroAndTakesNoWrite) {
  serve({"--session", "2", "--record", "2", "--address", "10.0.0.9", "--display", "1"});
  fakeMixer.openResult = 0;
  EXPECT_EQ(details(MXDM_GETCONTROLDETAILS, MIXER_OUTPUT_VOLUME, 0xFFFF), 0u);
  details(MXDM_SETCONTROLDETAILS, MIXER_OUTPUT_VOLUME, 5);
  EXPECT_TRUE(fakeMixer.sets.empty());
  EXPECT_EQ(fakeMixer.closes, 0);
}

TEST_F(MixerSession, WithoutASessionNoTargetIsTried) {
  serve({"--session", "2"});
  EXPECT_EQ(details(MXDM_GETCONTROLDETAILS, MIXER_OUTPUT_VOLUME, 0xFFFF), 0u);
  EXPECT_EQ(fakeMixer.opens, 0);
}

#endif  // _WIN32

}  // namespace
