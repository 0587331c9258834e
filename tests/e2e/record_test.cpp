// Recording from the server's tone into the application's headers: the
// frequency and level that arrive at the application's rate and channels,
// headers returned in order with whole frames, and the stop that returns a
// partly filled header.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <thread>

#include "tests/e2e/e2e_support.h"

namespace {

struct Recording {
  const char *name;
  WORD channels;
  DWORD rate;
  int display;  // of this case's session and server
  WORD bits = 16;
  bool isFloat = false;
  bool extensible = false;
};

// The recorded bytes of a header as 16-bit samples, from the container's
// top bits (floats scaled by 32768), for the measurements below.
void appendSamples(const Recording &r, const uint8_t *bytes, DWORD length,
                   std::vector<int16_t> &out) {
  const DWORD size = r.bits / 8;
  for (DWORD at = 0; at + size <= length; at += size) {
    if (r.isFloat) {
      float f;
      std::memcpy(&f, bytes + at, sizeof f);
      out.push_back(int16_t(std::lround(std::clamp(f * 32768.0f, -32768.0f, 32767.0f))));
    } else {
      out.push_back(int16_t(bytes[at + size - 2] | bytes[at + size - 1] << 8));
    }
  }
}

void PrintTo(const Recording &r, std::ostream *out) { *out << r.name; }

class Record : public EndToEnd, public ::testing::WithParamInterface<Recording> {};

constexpr double TONE_HZ = 1000;
constexpr double TONE_AMPLITUDE = 16384;  // the server's tone: half of full scale

// Closes a device that a failed assertion left open, so that the driver
// writes into no header of a case that has ended.
struct OpenInput {
  HWAVEIN handle = nullptr;
  ~OpenInput() {
    if (handle) waveInReset(handle), waveInClose(handle);
  }
};

// Small headers of 0.1 s and a part of a frame more, so that each comes
// back with its whole frames only; then one large header that is
// still filling when the application stops.
TEST_P(Record, TheServersToneArrivesAtTheApplicationsRateAndTheStopReturnsThePartialHeader) {
  const Recording &r = GetParam();
  startSession(r.display);
  startServer({"--fast", "--tone", "1000"});
  WaveFormatRecord record = sampleFormat(r.channels, r.rate, r.bits, r.isFloat, r.extensible);
  const WAVEFORMATEX &format = record.ex;
  const size_t smallCount = 15;
  const DWORD smallFrames = r.rate / 10;
  const DWORD partFrame = format.nBlockAlign - 1;  // bytes
  const DWORD smallBytes = smallFrames * format.nBlockAlign + partFrame;
  const DWORD largeBytes = r.rate * 10 * format.nBlockAlign;  // 10 s
  std::vector<std::vector<uint8_t>> buffers;
  std::vector<WAVEHDR> headers(smallCount + 1);
  for (size_t i = 0; i <= smallCount; ++i) {
    buffers.emplace_back(i < smallCount ? smallBytes : largeBytes, 0xAA);
    headers[i].lpData = reinterpret_cast<LPSTR>(buffers[i].data());
    headers[i].dwBufferLength = DWORD(buffers[i].size());
  }

  EventLog log;
  OpenInput input;
  HWAVEIN &handle = input.handle;
  ASSERT_EQ(waveInOpen(&handle, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(waveCallback),
                       reinterpret_cast<DWORD_PTR>(&log), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  for (WAVEHDR &h : headers) {
    ASSERT_EQ(waveInPrepareHeader(handle, &h, sizeof h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveInAddBuffer(handle, &h, sizeof h), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
  ASSERT_TRUE(log.waitFor(WIM_DATA, smallCount));
  // The position counts frames delivered into headers: once it is past the
  // small headers, the large one is partly filled.
  const DWORD smallTotal = DWORD(smallCount) * smallFrames;
  MMTIME time = {};
  for (auto until = Clock::now() + std::chrono::milliseconds(E2E_WAIT_MS);;) {
    time.wType = TIME_SAMPLES;
    ASSERT_EQ(waveInGetPosition(handle, &time, sizeof time), MMSYSERR_NOERROR);
    if (time.u.sample > smallTotal || Clock::now() > until) break;
    std::this_thread::yield();
  }
  ASSERT_GT(time.u.sample, smallTotal);
  ASSERT_EQ(waveInStop(handle), MMSYSERR_NOERROR);
  // The stop returned the large header before it returned itself.
  ASSERT_EQ(log.count(WIM_DATA), smallCount + 1);
  WAVEHDR &large = headers[smallCount];
  EXPECT_TRUE(large.dwFlags & WHDR_DONE);
  EXPECT_GT(large.dwBytesRecorded, 0u);
  EXPECT_LT(large.dwBytesRecorded, large.dwBufferLength);
  EXPECT_EQ(waveInReset(handle), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInClose(handle), MMSYSERR_NOERROR);
  handle = nullptr;

  std::vector<WaveEvent> seen = log.events();
  ASSERT_EQ(seen.size(), smallCount + 3);
  EXPECT_EQ(seen.front().message, UINT(WIM_OPEN));
  EXPECT_EQ(seen.back().message, UINT(WIM_CLOSE));
  std::vector<int16_t> recorded;
  for (size_t i = 0; i <= smallCount; ++i) {
    const WaveEvent &e = seen[i + 1];
    EXPECT_EQ(e.message, UINT(WIM_DATA));
    EXPECT_EQ(e.header, &headers[i])
        << "WIM_DATA " << i << " is not the header added " << i << "th";
    EXPECT_EQ(e.bytes % format.nBlockAlign, 0u) << "header " << i << ": whole frames only";
    if (i < smallCount) {
      EXPECT_EQ(e.bytes, smallBytes - partFrame) << "header " << i;
    }
    appendSamples(r, reinterpret_cast<const uint8_t *>(headers[i].lpData), e.bytes, recorded);
  }

  // The first 0.1 s holds the converter's start; the rest is the tone.
  for (int c = 0; c < r.channels; ++c) {
    std::vector<double> x = channelOf(recorded, r.channels, c);
    ASSERT_GT(x.size(), size_t(r.rate));
    x.erase(x.begin(), x.begin() + r.rate / 10);
    double hz = zeroCrossingFrequency(x, r.rate);
    double levelDb = 20 * std::log10(rms(x) * std::sqrt(2.0) / TONE_AMPLITUDE);
    SineFit fit = fitSine(x, r.rate, TONE_HZ);
    EXPECT_NEAR(hz, TONE_HZ, 1.0) << "channel " << c;
    EXPECT_NEAR(levelDb, 0, 0.5) << "channel " << c;
    EXPECT_GT(fit.snrDb, 60) << "channel " << c;
    std::printf("%s channel %d: %.4f Hz, level %+.3f dB, SNR %.1f dB over %zu frames\n", r.name, c,
                hz, levelDb, fit.snrDb, x.size());
  }
}

INSTANTIATE_TEST_SUITE_P(E2e, Record,
                         ::testing::Values(Recording{"stereo44100", 2, 44100, 621},
                                           Recording{"mono8000", 1, 8000, 622},
                                           Recording{"stereo192000", 2, 192000, 623},
                                           Recording{"mono24bit96000", 1, 96000, 624, 24},
                                           Recording{"stereoFloatExtensible48000", 2, 48000, 625,
                                                     32, true, true}),
                         [](const ::testing::TestParamInfo<Recording> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
