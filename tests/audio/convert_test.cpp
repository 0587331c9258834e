// The rate converter, measured on tones, and the coders of the wire kinds.
#include "audio/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "audio/formats.h"
#include "driver/entry.h"

namespace {

const uint32_t RATES[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};
// Rings may run faster than any wire rate, up to 192000 Hz.
const uint32_t RING_RATES[] = {8000,  11025, 16000, 22050,  32000, 44100,
                               48000, 88200, 96000, 176400, 192000};
constexpr double PI = 3.14159265358979323846;
constexpr double LEVEL = 16000;  // input amplitude

// Every converted tone is checked after the filter has filled and for 0.2 s.
constexpr double SETTLE_SECONDS = 0.02;
constexpr double MEASURE_SECONDS = 0.2;

class Convert : public ::testing::Test {
 protected:
  void SetUp() override {
    drvInitLock();
    EnterCriticalSection(&drvLock);
  }
  void TearDown() override { LeaveCriticalSection(&drvLock); }
};

// Runs a mono tone of `hz` through a new converter in blocks of 512 input
// frames and returns the output after SETTLE_SECONDS.
std::vector<double> convertTone(uint32_t inRate, uint32_t outRate, double hz) {
  Resampler rs = {};
  rsSetup(&rs, inRate, inRate, outRate, 1);
  size_t inFrames = size_t((SETTLE_SECONDS + MEASURE_SECONDS) * inRate) + 512;
  std::vector<int16_t> in(inFrames);
  for (size_t i = 0; i < inFrames; i++)
    in[i] = int16_t(std::lround(LEVEL * std::sin(2 * PI * hz * i / inRate)));
  std::vector<int16_t> out(inFrames * outRate / inRate + 1024);
  size_t done = 0, made = 0;
  while (done < inFrames) {
    uint32_t n = uint32_t(std::min<size_t>(512, inFrames - done));
    uint32_t room = uint32_t(out.size() - made);
    rsRun(&rs, &in[done], &out[made], &n, &room);
    done += n;
    made += room;
  }
  size_t skip = size_t(SETTLE_SECONDS * outRate), count = size_t(MEASURE_SECONDS * outRate);
  EXPECT_GE(made, skip + count);
  return std::vector<double>(out.begin() + skip, out.begin() + skip + count);
}

struct Fit {
  double amplitude;  // of the tone at the fitted frequency
  double residual;   // RMS of everything else
};

// Least-squares fit of a sine of `hz` (any phase) to the samples.
Fit fitTone(const std::vector<double> &y, double hz, uint32_t rate) {
  double ss = 0, cc = 0, sc = 0, ys = 0, yc = 0;
  for (size_t i = 0; i < y.size(); i++) {
    double s = std::sin(2 * PI * hz * i / rate), c = std::cos(2 * PI * hz * i / rate);
    ss += s * s, cc += c * c, sc += s * c, ys += y[i] * s, yc += y[i] * c;
  }
  double det = ss * cc - sc * sc;
  double a = (ys * cc - yc * sc) / det, b = (yc * ss - ys * sc) / det;
  double r = 0;
  for (size_t i = 0; i < y.size(); i++) {
    double e = y[i] - a * std::sin(2 * PI * hz * i / rate) - b * std::cos(2 * PI * hz * i / rate);
    r += e * e;
  }
  return {std::hypot(a, b), std::sqrt(r / y.size())};
}

double rmsOf(const std::vector<double> &y) {
  double sum = 0;
  for (double v : y) sum += v * v;
  return std::sqrt(sum / y.size());
}

double dB(double ratio) { return 20 * std::log10(ratio); }

// For every pair of rates, in both directions, where one of them is a wire
// rate (a ring converts to and from the wire only): the band to 0.75 of the lower Nyquist frequency
// passes within 1 dB, 1 kHz within 0.1 dB, and what lands outside the tone (aliases when
// downsampling, images when upsampling) stays 60 dB below it.
TEST_F(Convert, EveryPairPassesTheBandAndStopsAliases) {
  for (uint32_t in : RING_RATES) {
    for (uint32_t out : RING_RATES) {
      if (in == out || (in > 48000 && out > 48000)) continue;
      SCOPED_TRACE(testing::Message() << in << " Hz to " << out << " Hz");
      double nyquist = std::min(in, out) / 2.0;
      Fit k = fitTone(convertTone(in, out, 1000), 1000, out);
      EXPECT_NEAR(dB(k.amplitude / LEVEL), 0, 0.1);
      for (double f : {0.05, 0.3, 0.6, 0.75}) {
        Fit t = fitTone(convertTone(in, out, f * nyquist), f * nyquist, out);
        EXPECT_NEAR(dB(t.amplitude / LEVEL), 0, 1.0) << f << " of Nyquist";
        // Upsampling images of a tone up to 0.85 of Nyquist lie above 1.15.
        EXPECT_LT(dB(t.residual * std::sqrt(2) / LEVEL), -60) << f << " of Nyquist";
      }
      if (in < out) {
        Fit t = fitTone(convertTone(in, out, 0.85 * nyquist), 0.85 * nyquist, out);
        EXPECT_LT(dB(t.residual * std::sqrt(2) / LEVEL), -60) << "images of 0.85 Nyquist";
      } else {
        for (double f = 1.15 * nyquist; f < 0.97 * in / 2; f += 0.37 * nyquist) {
          double level = rmsOf(convertTone(in, out, f)) * std::sqrt(2);
          EXPECT_LT(dB(level / LEVEL), -60) << f << " Hz aliases";
        }
      }
    }
  }
}

// The vector kernel against the portable one on every pair, mono and
// stereo: at most 1 apart in any sample.
TEST_F(Convert, VectorKernelMatchesThePortableOne) {
  if (!rsVectorKernel()) GTEST_SKIP() << "no vector kernel in this build or on this processor";
  for (uint32_t in : RATES) {
    for (uint32_t out : RATES) {
      for (uint32_t channels : {1u, 2u}) {
        if (in == out) continue;
        SCOPED_TRACE(testing::Message() << in << " to " << out << ", " << channels << " channels");
        std::vector<int16_t> input(size_t(in) / 10 * channels);
        uint32_t noise = 7;
        for (int16_t &v : input) noise = noise * 1664525u + 1013904223u, v = int16_t(noise >> 16);
        std::vector<int16_t> results[2];
        for (int portable : {0, 1}) {
          rsForcePortable(portable);
          Resampler rs = {};
          rsSetup(&rs, in, in, out, channels);
          results[portable].resize(size_t(out) / 10 * channels + 4096);
          uint32_t n = uint32_t(input.size() / channels);
          uint32_t room = uint32_t(results[portable].size() / channels);
          rsRun(&rs, input.data(), results[portable].data(), &n, &room);
          results[portable].resize(size_t(room) * channels);
        }
        rsForcePortable(0);
        ASSERT_EQ(results[0].size(), results[1].size());
        int worst = 0;
        for (size_t i = 0; i < results[0].size(); i++)
          worst = std::max(worst, std::abs(results[0][i] - results[1][i]));
        EXPECT_LE(worst, 1);
      }
    }
  }
}

// However the input is split into calls and however little room each
// call has, the outputs are the same, frame for frame (within 1: a call
// with room for fewer than eight outputs sums them one by one), and
// rsOutputAvailable predicts exactly what a call with room enough makes.
// Both timebases the streams use: the input's rate (playback) and the
// output's (recording, where the input's steps are rounded).
TEST_F(Convert, HowTheInputIsSplitChangesNothing) {
  struct Case {
    uint32_t in, out, channels;
    bool timebaseIsOutput;
  };
  for (Case c :
       {Case{44100, 8000, 2, false}, Case{8000, 44100, 1, false}, Case{11025, 44100, 2, true},
        Case{22050, 16000, 1, true}, Case{48000, 11025, 1, false}, Case{32000, 44100, 2, true}}) {
    SCOPED_TRACE(testing::Message()
                 << c.in << " to " << c.out << ", " << c.channels << " channels");
    const uint32_t timebase = c.timebaseIsOutput ? c.out : c.in;
    std::vector<int16_t> input(size_t(c.in) * c.channels);
    uint32_t noise = 11;
    for (size_t i = 0; i < input.size(); i++) {
      noise = noise * 1664525u + 1013904223u;
      input[i] = int16_t(12000 * std::sin(0.01 * double(i)) + int(noise >> 21) - 1024);
    }
    const uint32_t frames = c.in;
    std::vector<int16_t> whole(size_t(c.out + 64) * c.channels);
    Resampler one = {};
    rsSetup(&one, timebase, c.in, c.out, c.channels);
    uint32_t n = frames, room = c.out + 64;
    rsRun(&one, input.data(), whole.data(), &n, &room);
    ASSERT_EQ(n, frames);
    whole.resize(size_t(room) * c.channels);

    Resampler rs = {};
    rsSetup(&rs, timebase, c.in, c.out, c.channels);
    std::vector<int16_t> split(whole.size() + 64 * c.channels), block(4096 * 2);
    size_t done = 0, made = 0;
    uint32_t pattern = 5;
    while (done < frames) {
      pattern = pattern * 1103515245u + 12345u;
      uint32_t take = std::min<uint32_t>(1 + (pattern >> 16) % 700, frames - uint32_t(done));
      bool tight = (pattern >> 8) % 3 == 0;
      uint32_t in = take, out = tight ? 1 + (pattern >> 4) % 20 : 4096;
      uint32_t promised = rsOutputAvailable(&rs, take);
      rsRun(&rs, &input[done * c.channels], block.data(), &in, &out);
      if (!tight) {
        ASSERT_EQ(out, promised) << "after " << done << " frames";
      }
      ASSERT_LE(made + out, split.size() / c.channels);
      std::copy(block.begin(), block.begin() + out * c.channels, split.begin() + made * c.channels);
      done += in;
      made += out;
    }
    ASSERT_EQ(made * c.channels, whole.size());
    int worst = 0;
    for (size_t i = 0; i < whole.size(); i++)
      worst = std::max(worst, std::abs(whole[i] - split[i]));
    EXPECT_LE(worst, 1);
    EXPECT_EQ(rs.inTime, one.inTime);
    EXPECT_EQ(rs.outTime, one.outTime);
  }
}

TEST_F(Convert, EqualRatesCopyExactlyAndAdvanceWholeFrames) {
  Resampler rs = {};
  rsSetup(&rs, 44100, 44100, 44100, 2);
  int16_t in[200], out[120] = {};
  for (int i = 0; i < 200; i++) in[i] = int16_t(i * 331 - 30000);
  uint32_t n = 100, room = 60;
  rsRun(&rs, in, out, &n, &room);
  EXPECT_EQ(n, 60u);
  EXPECT_EQ(room, 60u);
  for (int i = 0; i < 120; i++) ASSERT_EQ(out[i], in[i]);
  EXPECT_EQ(rsInPos(&rs), 60u);
  EXPECT_EQ(rsOutPos(&rs), 60u);
  EXPECT_EQ(rs.inTime, uint64_t(60) << 32);
  EXPECT_EQ(rsLookahead(&rs, 100), 100u);
  EXPECT_EQ(rsOutputAvailable(&rs, 7), 7u);
}

// A play sender that steps from a filtered row back to the ring's own rate
// (timebase and input at the ring's rate, the output placed at whole
// frames before each packet): the frames the filter took in ahead of its
// output come out first, unchanged, so the output meets the input position
// and no frame is lost or shifted. The copy keeps the history, so a
// filtered row after it starts from the input just copied.
TEST_F(Convert, ReturningToEqualRatesHandsOutTheFiltersLookaheadFirst) {
  Resampler rs = {};
  rsSetup(&rs, 44100, 44100, 32000, 2);
  std::vector<int16_t> ramp(2 * 1000), out(2 * 1200);
  for (size_t i = 0; i < ramp.size(); i++) ramp[i] = int16_t(int(i) * 13 - 14000);
  uint32_t n = 1000, room = 1200;
  rsRun(&rs, ramp.data(), out.data(), &n, &room);
  ASSERT_EQ(n, 1000u);
  rsSetOutPos(&rs, rsOutPos(&rs));
  uint32_t ahead = rsInPos(&rs) - rsOutPos(&rs);
  ASSERT_GT(ahead, 0u) << "a filter takes input ahead of its output";
  ASSERT_LT(ahead, RS_HISTORY_FRAMES);

  const std::vector<int16_t> level(2 * 500, 1000);
  rsSetup(&rs, 44100, 44100, 44100, 2);
  n = 500, room = 600;
  rsRun(&rs, level.data(), out.data(), &n, &room);
  EXPECT_EQ(n, 500u);
  ASSERT_EQ(room, ahead + n);
  EXPECT_EQ(rsOutPos(&rs), rsInPos(&rs));
  for (uint32_t i = 0; i < 2 * ahead; i++) {
    ASSERT_EQ(out[i], ramp[2 * (1000 - ahead) + i]) << "sample " << i;
  }
  for (uint32_t i = 2 * ahead; i < 2 * room; i++) ASSERT_EQ(out[i], 1000) << "sample " << i;

  rsSetup(&rs, 44100, 44100, 32000, 2);
  n = 500, room = 300;
  rsRun(&rs, level.data(), out.data(), &n, &room);
  ASSERT_GT(room, 0u);
  for (uint32_t i = 0; i < 2 * room; i++) EXPECT_NEAR(out[i], 1000, 20) << "sample " << i;
}

TEST_F(Convert, StereoChannelsStaySeparate) {
  Resampler rs = {};
  rsSetup(&rs, 44100, 44100, 16000, 2);
  const int frames = 8820;
  std::vector<int16_t> in(2 * frames), out(2 * frames);
  for (int i = 0; i < frames; i++) {
    in[2 * i] = int16_t(std::lround(LEVEL * std::sin(2 * PI * 1000.0 * i / 44100)));
    in[2 * i + 1] = 0;
  }
  uint32_t n = frames, room = frames;
  rsRun(&rs, in.data(), out.data(), &n, &room);
  ASSERT_GT(room, 2000u);
  std::vector<double> left, right;
  for (uint32_t i = 400; i < room; i++) left.push_back(out[2 * i]), right.push_back(out[2 * i + 1]);
  EXPECT_NEAR(dB(fitTone(left, 1000, 16000).amplitude / LEVEL), 0, 0.1);
  EXPECT_EQ(rmsOf(right), 0);
}

TEST_F(Convert, OutputIsLimitedToPlusMinus32767) {
  // A full-scale square wave overshoots at its edges (Gibbs).
  Resampler rs = {};
  rsSetup(&rs, 8000, 8000, 48000, 1);
  std::vector<int16_t> in(4000), out(24000 + 1024);
  for (size_t i = 0; i < in.size(); i++) in[i] = (i / 20) % 2 ? -32768 : 32767;
  uint32_t n = uint32_t(in.size()), room = uint32_t(out.size());
  rsRun(&rs, in.data(), out.data(), &n, &room);
  int16_t high = 0, low = 0;
  for (uint32_t i = 0; i < room; i++) high = std::max(high, out[i]), low = std::min(low, out[i]);
  EXPECT_EQ(high, 32767);
  EXPECT_EQ(low, -32767);
}

TEST_F(Convert, OutputAvailableAndPacketGaps) {
  Resampler rs = {};
  rsSetup(&rs, 8000, 8000, 44100, 1);
  EXPECT_EQ(rsOutputAvailable(&rs, rs.taps / 2 - 1), 0u);
  EXPECT_EQ(rsOutputAvailable(&rs, rs.taps / 2), 0u);
  EXPECT_EQ(rsOutputAvailable(&rs, 160), 800u);
  EXPECT_EQ(rsLookahead(&rs, 100), 100u + 14);

  EXPECT_EQ(rsStartPacket(&rs, 0), 0u);
  std::vector<int16_t> in(160, 1000), out(2000);
  uint32_t n = 160, room = 2000;
  rsRun(&rs, in.data(), out.data(), &n, &room);
  ASSERT_EQ(n, 160u);
  EXPECT_EQ(room, 800u) << "what rsOutputAvailable promised";
  // The next packet follows on: no gap. One 80 frames later leaves 80 input
  // frames' worth of output (441 frames) to fill, less the one frame the
  // window keeps in hand; an older packet leaves none.
  Resampler copy = rs;
  EXPECT_EQ(rsStartPacket(&copy, 160), 0u);
  copy = rs;
  uint32_t gap = rsStartPacket(&copy, 240);
  EXPECT_GE(gap, 430u);
  EXPECT_LE(gap, 441u);
  EXPECT_EQ(copy.outTime - rs.outTime, gap * rs.outStep);
  copy = rs;
  EXPECT_EQ(rsStartPacket(&copy, 100), 0u);
}

TEST_F(Convert, PlaybackReadClearsWhatItConsumes) {
  SampleRing *ring = ringCreate(64, 8000, 0);
  ASSERT_NE(ring, nullptr);
  for (int i = 0; i < 64; i++) ringSamples(ring)[i] = int16_t(i + 1);
  Resampler rs = {};
  rsSetup(&rs, 8000, 8000, 8000, 1);
  int16_t out[40];
  uint32_t n = 40, room = 40;
  ringReadConverted(ring, 64 * 5 + 40, out, &n, &room, &rs);  // wraps after 24
  EXPECT_EQ(n, 40u);
  EXPECT_EQ(room, 40u);
  for (int i = 0; i < 40; i++) EXPECT_EQ(out[i], (40 + i) % 64 + 1);
  for (int i = 0; i < 16; i++) EXPECT_EQ(ringSamples(ring)[i], 0);
  EXPECT_EQ(ringSamples(ring)[16], 17);
  LocalFree(ring);
}

TEST_F(Convert, RecordingWriteSkipsLateAudioAndDropsOverrun) {
  SampleRing *ring = ringCreate(1024, 8000, 0);
  ASSERT_NE(ring, nullptr);
  Resampler rs = {};
  rsSetup(&rs, 8000, 8000, 8000, 1);
  std::vector<int16_t> block(100, 1000);
  // Late: the reader is at 100, the audio starts at 50.
  EXPECT_EQ(ringMixConverted(ring, 50, block.data(), 100, 100, &rs), 100u);
  EXPECT_EQ(ringSamples(ring)[99], 0);
  EXPECT_EQ(ringSamples(ring)[100], 1000);
  EXPECT_EQ(ringSamples(ring)[149], 1000);
  EXPECT_EQ(ringSamples(ring)[150], 0);
  // Mixing saturates.
  std::vector<int16_t> loud(10, 32000);
  EXPECT_EQ(ringMixConverted(ring, 100, loud.data(), 10, 100, &rs), 10u);
  EXPECT_EQ(ringSamples(ring)[100], 32767);
  // Overrun: the ring holds at most 1024 frames ahead of the reader (at
  // 1100), so of 100 frames from 2100 only 24 are kept.
  std::vector<int16_t> late(100, -500);
  EXPECT_EQ(ringMixConverted(ring, 2100, late.data(), 100, 1100, &rs), 100u);
  for (int i = 0; i < 24; i++) EXPECT_EQ(ringSamples(ring)[(2100 + i) % 1024], -500);
  EXPECT_EQ(ringSamples(ring)[(2124) % 1024], 0);
  EXPECT_EQ(ringSamples(ring)[100], 32767);  // slot of 2148: not overwritten
  LocalFree(ring);
}

TEST_F(Convert, MixSaturatesAtBothEnds) {
  int16_t d[4] = {30000, -30000, 100, -32768};
  const int16_t s[4] = {10000, -10000, -200, 32767};
  mixSaturating(d, s, 4);
  EXPECT_EQ(d[0], 32767);
  EXPECT_EQ(d[1], -32768);
  EXPECT_EQ(d[2], -100);
  EXPECT_EQ(d[3], -1);
}

int encodeSample(int s) { return ulawEncode[uint16_t(int16_t(s)) >> 3]; }

TEST_F(Convert, CompandingAtEveryCodeAndThreshold) {
  EXPECT_EQ(encodeSample(0), 0xFF);
  EXPECT_EQ(encodeSample(-1), 0x7E);
  EXPECT_EQ(encodeSample(32767), 0x80);
  EXPECT_EQ(encodeSample(-32768), 0x00);
  EXPECT_EQ(ulawDecode[0x7F], 0);
  EXPECT_EQ(ulawDecode[0xFF], 0);
  EXPECT_EQ(ulawDecode[0x80], 32256);
  EXPECT_EQ(ulawDecode[0x00], -32256);
  EXPECT_EQ(ulawDecode[0x10], -16062);
  EXPECT_EQ(ulawDecode[0x4F], -927);
  // Every code decodes into its own cell, and the halves mirror each other.
  for (int c = 0; c < 256; c++) {
    SCOPED_TRACE(c);
    if (c != 0x7F) {
      EXPECT_EQ(encodeSample(ulawDecode[c]), c);
    }
    if (c < 128) {
      EXPECT_EQ(ulawDecode[c + 128], -ulawDecode[c]);
    }
  }
  // The code falls by one at each threshold and nowhere else: 127 steps
  // from 0 to 32767, 126 from -32768 to -1 (0x7F is never produced).
  int steps = 0, changes = 0;
  for (int s = 8; s < 32768; s += 8) {
    int d = encodeSample(s - 1) - encodeSample(s);
    EXPECT_GE(d, 0);
    EXPECT_LE(d, 1);
    steps += d;
  }
  for (int s = -32760; s < 0; s += 8) changes += encodeSample(s) - encodeSample(s - 1);
  EXPECT_EQ(steps, 127);
  EXPECT_EQ(changes, 126);
  EXPECT_EQ(encodeSample(7), 0xFF);
  EXPECT_EQ(encodeSample(8), 0xFE);
  EXPECT_EQ(encodeSample(31743), 0x81);
  EXPECT_EQ(encodeSample(31744), 0x80);
  EXPECT_EQ(encodeSample(-31745), 0x00);
  EXPECT_EQ(encodeSample(-31744), 0x01);
  EXPECT_EQ(encodeSample(-9), 0x7D);
  EXPECT_EQ(encodeSample(-8), 0x7E);
}

TEST_F(Convert, ChannelsBetweenRingAndWire) {
  SampleRing *stereo = ringCreate(64, 16000, 1);
  SampleRing *mono = ringCreate(64, 16000, 0);
  ASSERT_TRUE(stereo && mono);
  for (int i = 0; i < 8; i++) {
    ringSamples(stereo)[2 * i] = int16_t(1000 * i + 1);
    ringSamples(stereo)[2 * i + 1] = int16_t(-3);
    ringSamples(mono)[i] = int16_t(-700 * i);
  }
  Resampler rs = {};
  rsSetup(&rs, 16000, 16000, 16000, 2);
  uint8_t payload[64];
  uint16_t frames = 0;
  EXPECT_EQ(encodeLinear16(stereo, 0, 8, payload, &frames, 0, &rs), 16u);
  EXPECT_EQ(frames, 8);
  for (int i = 0; i < 8; i++) {
    int16_t v = int16_t(payload[2 * i] | payload[2 * i + 1] << 8);
    EXPECT_EQ(v, (1000 * i + 1 - 3) >> 1);
  }
  // A stereo row from the stereo ring: its frames as they are, each sample
  // little-endian, the extremes included.
  const int16_t both[4][2] = {{-32768, 32767}, {-1, 1}, {0x1234, -0x1234}, {7, -7}};
  for (int i = 0; i < 4; i++) {
    ringSamples(stereo)[2 * (8 + i)] = both[i][0];
    ringSamples(stereo)[2 * (8 + i) + 1] = both[i][1];
  }
  EXPECT_EQ(encodeLinear16(stereo, 8, 4, payload, &frames, 1, &rs), 16u);
  EXPECT_EQ(frames, 4);
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(int16_t(payload[2 * i] | payload[2 * i + 1] << 8), both[i / 2][i % 2]);
  }
  Resampler rm = {};
  rsSetup(&rm, 16000, 16000, 16000, 1);
  EXPECT_EQ(encodeCompanded(mono, 0, 8, payload, &frames, 1, &rm), 16u);
  for (int i = 0; i < 8; i++) {
    EXPECT_EQ(payload[2 * i], encodeSample(-700 * i));
    EXPECT_EQ(payload[2 * i + 1], payload[2 * i]);
  }
  // And back: a stereo packet into the mono ring gives the mean, a mono one
  // into the stereo ring both channels.
  uint8_t wire[8] = {0x10, 0x00, 0x30, 0x00, 0xFF, 0xFF, 0x01, 0x00};  // (16, 48), (-1, 1)
  AudioPayload packet = {2, 1, wire, sizeof wire};
  Resampler back = {};
  rsSetup(&back, 16000, 16000, 16000, 1);
  EXPECT_EQ(decodeLinear16(&packet, 20, mono, 20, &back), 2u);
  EXPECT_EQ(ringSamples(mono)[20], 32);
  EXPECT_EQ(ringSamples(mono)[21], 0);
  uint8_t codes[2] = {0x80, 0x00};
  AudioPayload companded = {2, 0, codes, 2};
  Resampler back2 = {};
  rsSetup(&back2, 16000, 16000, 16000, 2);
  EXPECT_EQ(decodeCompanded(&companded, 30, stereo, 30, &back2), 2u);
  EXPECT_EQ(ringSamples(stereo)[60], 32256);
  EXPECT_EQ(ringSamples(stereo)[61], 32256);
  EXPECT_EQ(ringSamples(stereo)[62], -32256);
  // A payload shorter than its frame count needs decodes nothing.
  AudioPayload shortPacket = {3, 1, wire, sizeof wire};
  EXPECT_EQ(decodeLinear16(&shortPacket, 40, mono, 40, &back), 0u);
  LocalFree(stereo);
  LocalFree(mono);
}

TEST_F(Convert, GsmCodesWholeFramesOnly) {
  SampleRing *ring = ringCreate(1024, 8000, 0);
  ASSERT_NE(ring, nullptr);
  for (int i = 0; i < 400; i++)
    ringSamples(ring)[i] = int16_t(std::lround(8000 * std::sin(2 * PI * 400 * i / 8000.0)));
  Resampler rs = {};
  rsSetup(&rs, 8000, 8000, 8000, 1);
  uint8_t payload[1400];
  uint16_t frames = 0;
  // 400 input frames give two whole frames; the rest stays in the ring.
  GsmCoder encoder = nullptr, decoder = nullptr;
  EXPECT_EQ(encodeGsm(ring, 0, 400, payload, &frames, &rs, &encoder), 66u);
  gsmCoderFree(&encoder);
  EXPECT_EQ(frames, 320);
  EXPECT_EQ(rsInPos(&rs), 320u);
  EXPECT_NE(ringSamples(ring)[321], 0);
  EXPECT_EQ(payload[0] >> 4, 0xD);
  EXPECT_EQ(payload[33] >> 4, 0xD);

  SampleRing *out = ringCreate(1024, 8000, 1);
  ASSERT_NE(out, nullptr);
  Resampler back = {};
  rsSetup(&back, 8000, 8000, 8000, 2);
  AudioPayload partial = {300, 0, payload, 66};
  EXPECT_EQ(decodeGsm(&partial, 0, out, 0, &back, &decoder), 0u);
  AudioPayload truncated = {320, 0, payload, 65};
  EXPECT_EQ(decodeGsm(&truncated, 0, out, 0, &back, &decoder), 0u);
  AudioPayload packet = {320, 0, payload, 66};
  EXPECT_EQ(decodeGsm(&packet, 0, out, 0, &back, &decoder), 320u);
  gsmCoderFree(&decoder);
  double energy = 0;
  for (int i = 0; i < 320; i++) {
    EXPECT_EQ(ringSamples(out)[2 * i], ringSamples(out)[2 * i + 1]);
    energy += double(ringSamples(out)[2 * i]) * ringSamples(out)[2 * i];
  }
  EXPECT_GT(std::sqrt(energy / 320), 2000);  // the tone, not silence
  LocalFree(ring);
  LocalFree(out);
}

}  // namespace
