// The host's application API against a recording driver module: what the
// driver is sent and when, and the winmm behaviours drivers rely on (the
// prepared flag, the callback type in the high word, function and event
// callbacks, checked handles). The last group loads the real driver.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/mmhost.h"
#include "tests/host/fake_driver.h"

namespace {

struct CallbackSeen {
  HDRVR device;
  UINT message;
  DWORD_PTR user;
};
std::vector<CallbackSeen> callbacks;

void CALLBACK recordCallback(HDRVR device, UINT message, DWORD_PTR user, DWORD_PTR, DWORD_PTR) {
  callbacks.push_back({device, message, user});
}

const WAVEFORMATEX PCM_STEREO = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};

class Host : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LUMIVOX_DRIVER", LUMIVOX_FAKE_DRIVER, 1);
    callbacks.clear();
  }
  void TearDown() override {
    mmhostUnload();
    if (module_) dlclose(module_);
    unsetenv("LUMIVOX_DRIVER");
  }

  // What the loaded module recorded. Holding our own reference keeps the
  // module (and its log) alive across the host's unload.
  std::vector<FakeDriverCall> driverCalls() {
    if (!module_) module_ = dlopen(LUMIVOX_FAKE_DRIVER, RTLD_NOW | RTLD_NOLOAD);
    if (!module_) return {};
    auto calls = reinterpret_cast<FakeDriverCallsFn>(dlsym(module_, "fakeDriverCalls"));
    return calls ? calls() : std::vector<FakeDriverCall>{};
  }
  std::vector<UINT> messagesTo(int entry) {
    std::vector<UINT> out;
    for (const FakeDriverCall &c : driverCalls()) {
      if (c.entry == entry) out.push_back(c.message);
    }
    return out;
  }
  HWAVEOUT openOut(DWORD flags = CALLBACK_FUNCTION) {
    HWAVEOUT h = nullptr;
    EXPECT_EQ(waveOutOpen(&h, 0, &PCM_STEREO, reinterpret_cast<DWORD_PTR>(recordCallback), 0x77,
                          flags),
              MMSYSERR_NOERROR);
    return h;
  }

  void *module_ = nullptr;
};

TEST_F(Host, TheDriverIsLoadedOnFirstUseAndClosedInOrderOnUnload) {
  EXPECT_EQ(waveOutGetNumDevs(), 1u);
  EXPECT_EQ(messagesTo(FAKE_DRIVER_PROC), (std::vector<UINT>{DRV_LOAD, DRV_ENABLE, DRV_OPEN}));
  EXPECT_EQ(waveInGetNumDevs(), 1u);
  EXPECT_EQ(mixerGetNumDevs(), 1u);
  driverCalls();  // holds the module across the unload
  mmhostUnload();
  std::vector<FakeDriverCall> calls = driverCalls();
  ASSERT_EQ(calls.size(), 6u);
  for (int i = 3; i < 6; ++i) EXPECT_EQ(calls[size_t(i)].user, 0x1Du) << "the id DRV_OPEN gave";
  EXPECT_EQ(messagesTo(FAKE_DRIVER_PROC),
            (std::vector<UINT>{DRV_LOAD, DRV_ENABLE, DRV_OPEN, DRV_CLOSE, DRV_DISABLE, DRV_FREE}));
}

TEST_F(Host, WithoutADriverEveryCallSaysSo) {
  setenv("LUMIVOX_DRIVER", "/nonexistent/liblumivox.so", 1);
  EXPECT_EQ(waveOutGetNumDevs(), 0u);
  HWAVEOUT h = nullptr;
  EXPECT_EQ(waveOutOpen(&h, 0, &PCM_STEREO, 0, 0, 0), MMSYSERR_NODRIVER);
  EXPECT_EQ(mixerGetNumDevs(), 0u);
}

TEST_F(Host, OpenHandsTheDriverTheApplicationsHandleAndCallbackType) {
  HWAVEOUT h = openOut();
  ASSERT_NE(h, nullptr);
  std::vector<FakeDriverCall> calls = driverCalls();
  const FakeDriverCall &open = calls.back();
  EXPECT_EQ(open.message, UINT(WODM_OPEN));
  EXPECT_EQ(open.param2, DWORD_PTR(CALLBACK_FUNCTION));
  ASSERT_EQ(callbacks.size(), 1u);
  EXPECT_EQ(callbacks[0].message, UINT(WOM_OPEN));
  EXPECT_EQ(callbacks[0].device, reinterpret_cast<HDRVR>(h)) << "the callback names the handle";
  EXPECT_EQ(callbacks[0].user, 0x77u);
  // Later messages carry the driver's per-open value.
  EXPECT_EQ(waveOutPause(h), MMSYSERR_NOERROR);
  EXPECT_EQ(driverCalls().back().user, 0xD00Du);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_INVALHANDLE);
}

TEST_F(Host, EventCallbacksAreSetAndWindowCallbacksRefused) {
  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HWAVEIN in = nullptr;
  ASSERT_EQ(waveInOpen(&in, 0, &PCM_STEREO, reinterpret_cast<DWORD_PTR>(event), 0, CALLBACK_EVENT),
            MMSYSERR_NOERROR);
  EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
  EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  CloseHandle(event);
  size_t before = driverCalls().size();
  HWAVEOUT out = nullptr;
  EXPECT_EQ(waveOutOpen(&out, 0, &PCM_STEREO, 1, 0, CALLBACK_WINDOW), MMSYSERR_INVALFLAG);
  EXPECT_EQ(waveOutOpen(&out, 0, &PCM_STEREO, 1, 0, CALLBACK_THREAD), MMSYSERR_INVALFLAG);
  EXPECT_EQ(driverCalls().size(), before);
}

TEST_F(Host, QueriesAndBadArgumentsMakeNoHandle) {
  HWAVEOUT h = nullptr;
  EXPECT_EQ(waveOutOpen(nullptr, 0, &PCM_STEREO, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutOpen(&h, 0, &PCM_STEREO, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
  EXPECT_EQ(h, nullptr);
  EXPECT_EQ(waveOutOpen(nullptr, 0, &PCM_STEREO, 0, 0, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutOpen(&h, 0, nullptr, 0, 0, 0), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutOpen(&h, 1, &PCM_STEREO, 0, 0, 0), MMSYSERR_BADDEVICEID);
  WAVEFORMATEX adpcm = PCM_STEREO;
  adpcm.wFormatTag = 2;
  EXPECT_EQ(waveOutOpen(&h, WAVE_MAPPER, &adpcm, 0, 0, 0), WAVERR_BADFORMAT);
  EXPECT_EQ(h, nullptr);
  int notAHandle;
  EXPECT_EQ(waveOutReset(reinterpret_cast<HWAVEOUT>(&notAHandle)), MMSYSERR_INVALHANDLE);
  HWAVEIN in = nullptr;
  ASSERT_EQ(waveInOpen(&in, 0, &PCM_STEREO, 0, 0, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(waveOutReset(reinterpret_cast<HWAVEOUT>(in)), MMSYSERR_INVALHANDLE)
      << "an input handle is not an output handle";
  EXPECT_EQ(waveInClose(in), MMSYSERR_NOERROR);
}

TEST_F(Host, HeadersArePreparedByTheHostWhenTheDriverDoesNot) {
  HWAVEOUT h = openOut(CALLBACK_NULL);
  char data[64];
  WAVEHDR header = {};
  header.lpData = data;
  header.dwBufferLength = sizeof data;
  header.dwFlags = WHDR_DONE;
  EXPECT_EQ(waveOutPrepareHeader(h, &header, sizeof header - 1), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutPrepareHeader(h, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(header.dwFlags, WHDR_PREPARED);
  size_t prepares = messagesTo(FAKE_WOD).size();
  EXPECT_EQ(waveOutPrepareHeader(h, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(messagesTo(FAKE_WOD).size(), prepares) << "a prepared header is not asked again";
  EXPECT_EQ(waveOutWrite(h, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(driverCalls().back().headerFlags, WHDR_PREPARED);
  header.dwFlags |= WHDR_INQUEUE;  // as the driver would have it
  EXPECT_EQ(waveOutUnprepareHeader(h, &header, sizeof header), WAVERR_STILLPLAYING);
  header.dwFlags = WHDR_PREPARED | WHDR_DONE;
  EXPECT_EQ(waveOutUnprepareHeader(h, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(header.dwFlags, WHDR_DONE);
  EXPECT_EQ(waveOutWrite(h, nullptr, sizeof header), MMSYSERR_INVALPARAM);
  EXPECT_EQ(waveOutClose(h), MMSYSERR_NOERROR);
}

TEST_F(Host, CapabilitiesAreAskedInFullAndCopiedAtTheApplicationsSize) {
  WAVEOUTCAPSW caps;
  std::memset(&caps, 0xEE, sizeof caps);
  EXPECT_EQ(waveOutGetDevCapsW(0, &caps, 2), MMSYSERR_NOERROR);
  EXPECT_EQ(driverCalls().back().param2, sizeof(WAVEOUTCAPSW));
  EXPECT_EQ(caps.wMid, 0) << "the first two bytes are copied";
  EXPECT_EQ(caps.wPid, 0xEEEE) << "the rest is not";
  EXPECT_EQ(waveOutGetDevCapsW(WAVE_MAPPER, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_EQ(caps.wPid, 100);
  EXPECT_EQ(waveOutGetDevCapsW(3, &caps, sizeof caps), MMSYSERR_BADDEVICEID);
}

TEST_F(Host, MixerRequestsNameTheirObjectAndCheckTheirRecordSize) {
  HMIXER mixer = nullptr;
  ASSERT_EQ(mixerOpen(&mixer, 0, 0, 0, 0), MMSYSERR_NOERROR);
  MIXERLINEW line = {};
  line.cbStruct = sizeof line - 4;
  size_t before = driverCalls().size();
  EXPECT_EQ(mixerGetLineInfoW(reinterpret_cast<HMIXEROBJ>(mixer), &line, MIXER_OBJECTF_HMIXER),
            MMSYSERR_INVALPARAM);
  EXPECT_EQ(driverCalls().size(), before);
  line.cbStruct = sizeof line;
  EXPECT_EQ(mixerGetLineInfoW(reinterpret_cast<HMIXEROBJ>(mixer), &line,
                              MIXER_OBJECTF_HMIXER | MIXER_GETLINEINFOF_SOURCE),
            MMSYSERR_NOERROR);
  FakeDriverCall call = driverCalls().back();
  EXPECT_EQ(call.message, UINT(MXDM_GETLINEINFO));
  EXPECT_EQ(call.user, 0xD00Du);
  EXPECT_EQ(call.param2, DWORD_PTR(MIXER_GETLINEINFOF_SOURCE)) << "object bits are the host's";
  MIXERCONTROLDETAILS details = {};
  details.cbStruct = sizeof details;
  EXPECT_EQ(mixerGetControlDetailsW(nullptr, &details, MIXER_OBJECTF_MIXER), MMSYSERR_NOERROR);
  EXPECT_EQ(driverCalls().back().user, 0u) << "a mixer number has no per-open value";
  EXPECT_EQ(mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(UINT_PTR(4)), &details, 0),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(mixerSetControlDetails(reinterpret_cast<HMIXEROBJ>(mixer), &details, 0x40000000u),
            MMSYSERR_INVALFLAG);
  EXPECT_EQ(mixerClose(mixer), MMSYSERR_NOERROR);
  EXPECT_EQ(mixerGetLineInfoW(reinterpret_cast<HMIXEROBJ>(mixer), &line, MIXER_OBJECTF_HMIXER),
            MMSYSERR_INVALHANDLE);
}

// The real driver, without a session to discover.
TEST(HostWithDriver, TheRealDriverAnswersAndFindsNoServerWithoutASession) {
  setenv("LUMIVOX_DRIVER", LUMIVOX_LIBRARY, 1);
  setenv("LUMIVOX_RUNTIME_DIR", "/nonexistent", 1);
  EXPECT_EQ(waveOutGetNumDevs(), 1u);
  WAVEOUTCAPSW caps = {};
  ASSERT_EQ(waveOutGetDevCapsW(0, &caps, sizeof caps), MMSYSERR_NOERROR);
  EXPECT_EQ(caps.szPname[0], u'L');
  EXPECT_EQ(caps.wPid, 100);
  HWAVEOUT h = nullptr;
  EXPECT_EQ(waveOutOpen(&h, 0, &PCM_STEREO, 0, 0, 0), MMSYSERR_NODRIVER);
  EXPECT_EQ(waveOutOpen(&h, 0, &PCM_STEREO, 0, 0, WAVE_FORMAT_QUERY), MMSYSERR_NOERROR);
  mmhostUnload();
  unsetenv("LUMIVOX_RUNTIME_DIR");
  unsetenv("LUMIVOX_DRIVER");
}

}  // namespace
