#include "tools/doctor/tone.h"

#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/common/mmapi.h"
#include "tools/common/results.h"

namespace {

// The wait between looks at the header, ms, and the longest the played
// tone may take: its own length and the driver's longest wait on a silent
// server (its stall limit, 10 s), with a second to spare.
constexpr DWORD TONE_POLL_MS = 50;
constexpr DWORD TONE_WAIT_MS = DOCTOR_TONE_MS + 10000 + 1000;

// WHDR_DONE is set on the driver's thread while this one polls.
bool headerDone(const WAVEHDR &header) {
  return (__atomic_load_n(&header.dwFlags, __ATOMIC_ACQUIRE) & WHDR_DONE) != 0;
}

std::string driverPath() {
#ifdef _WIN32
  return "the installed driver, through winmm";
#else
  const char *path = std::getenv("LUMIVOX_DRIVER");
  return std::string(path && path[0] ? path : "liblumivox.so") +
         " (LUMIVOX_DRIVER), through mmhost";
#endif
}

std::vector<int16_t> sine(uint32_t hz) {
  const double pi = 3.14159265358979323846;
  std::vector<int16_t> samples(DOCTOR_TONE_RATE * DOCTOR_TONE_MS / 1000);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = int16_t(std::lround(32767 * DOCTOR_TONE_LEVEL *
                                     std::sin(2 * pi * hz * double(i) / DOCTOR_TONE_RATE)));
  }
  return samples;
}

}  // namespace

Step checkTone(uint32_t hz) {
  Step step;
  step.name = "tone";
  step.add("driver", driverPath());
  step.add("tone", std::to_string(hz) + " Hz, " + std::to_string(DOCTOR_TONE_MS) + " ms, " +
                       std::to_string(DOCTOR_TONE_RATE) + " Hz mono 16-bit");
  const std::string load =
      "install the driver (lumivox-setup on Windows; on Linux name it "
      "in LUMIVOX_DRIVER)";
  if (waveOutGetNumDevs() == 0) {
    step.fail("no wave output device: the driver is not installed or cannot be loaded", load);
    return step;
  }
  std::vector<int16_t> samples = sine(hz);
  WAVEFORMATEX format = {};
  format.wFormatTag = WAVE_FORMAT_PCM;
  format.nChannels = 1;
  format.nSamplesPerSec = DOCTOR_TONE_RATE;
  format.wBitsPerSample = 16;
  format.nBlockAlign = 2;
  format.nAvgBytesPerSec = DOCTOR_TONE_RATE * 2;
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  HWAVEOUT out = nullptr;
  DWORD begin = GetTickCount();
  MMRESULT r = waveOutOpen(&out, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(event), 0,
                           CALLBACK_EVENT);
  step.addNumber("open ms", GetTickCount() - begin);
  if (r != MMSYSERR_NOERROR) {
    step.add("waveOutOpen", mmResultMessage(r));
    step.fail("the wave output device does not open: " + mmResultMessage(r),
              r == MMSYSERR_NODRIVER
                  ? "the open failed the way an application's does: see the steps above; the "
                    "failed open has marked the server unreachable, so run "
                    "'lumivox-doctor --clear' once it is fixed"
                  : "see the message; " + load);
    if (event) CloseHandle(event);
    return step;
  }
  WAVEHDR header = {};
  header.lpData = reinterpret_cast<LPSTR>(samples.data());
  header.dwBufferLength = DWORD(samples.size() * sizeof(int16_t));
  r = waveOutPrepareHeader(out, &header, sizeof header);
  if (r == MMSYSERR_NOERROR) r = waveOutWrite(out, &header, sizeof header);
  bool played = false;
  if (r == MMSYSERR_NOERROR) {
    DWORD start = GetTickCount();
    while (!(played = headerDone(header)) && GetTickCount() - start < TONE_WAIT_MS) {
      WaitForSingleObject(event, TONE_POLL_MS);
    }
    step.addNumber("played ms", GetTickCount() - start);
    if (!played) waveOutReset(out);  // gives the header back
  }
  MMTIME position = {};
  position.wType = TIME_SAMPLES;
  if (waveOutGetPosition(out, &position, sizeof position) == MMSYSERR_NOERROR &&
      position.wType == TIME_SAMPLES) {
    step.addNumber("position frames", position.u.sample);
  }
  if (header.dwFlags & WHDR_PREPARED) waveOutUnprepareHeader(out, &header, sizeof header);
  MMRESULT closed = waveOutClose(out);
  if (event) CloseHandle(event);
  if (r != MMSYSERR_NOERROR) {
    step.fail("the tone cannot be written: " + mmResultMessage(r), "see the message");
  } else if (!played) {
    step.fail(
        "the device did not give the tone back within " + std::to_string(TONE_WAIT_MS) + " ms",
        "the stream stalls: run with --stream to look at the path to the server");
  } else if (closed != MMSYSERR_NOERROR) {
    step.fail("waveOutClose: " + mmResultMessage(closed), "see the message");
  } else {
    step.ok(std::to_string(DOCTOR_TONE_MS) + " ms of " + std::to_string(hz) +
            " Hz played through the wave output device");
  }
  return step;
}
