// Playback from the application's headers to the server's WAV file: a 10 s
// signal at real time arrives bit for bit, with the header callbacks and
// positions an application relies on; other formats arrive with the level
// and signal-to-noise ratio of a clean conversion.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <ostream>

#include "tests/e2e/e2e_support.h"

namespace {

// A wire format stretch from the server's statistics: from `position`
// (application frames) on, packets came in this format.
struct FormatStretch {
  uint32_t kind, rate, stereo, position;
};

uint32_t jsonNumber(const std::string &line, const std::string &key) {
  size_t at = line.find("\"" + key + "\":");
  return at == std::string::npos ? 0 : uint32_t(std::stoul(line.substr(at + key.size() + 3)));
}

std::vector<FormatStretch> formatStretches(const std::string &statsPath) {
  std::vector<FormatStretch> stretches;
  std::ifstream in(statsPath);
  for (std::string line; std::getline(in, line);) {
    if (line.find("\"event\":\"format\"") == std::string::npos) continue;
    stretches.push_back({jsonNumber(line, "kind"), jsonNumber(line, "rate"),
                         jsonNumber(line, "stereo"), jsonNumber(line, "position")});
  }
  return stretches;
}

// The server's closing line of statistics for the stream.
std::string statsEnd(const std::string &statsPath) {
  std::ifstream in(statsPath);
  for (std::string line; std::getline(in, line);) {
    if (line.find("\"event\":\"end\"") != std::string::npos) return line;
  }
  return "no end line";
}

// Little-endian 16-bit samples as bytes.
std::vector<uint8_t> bytesOf(const std::vector<int16_t> &samples) {
  std::vector<uint8_t> b(samples.size() * 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    b[2 * i] = uint8_t(samples[i]);
    b[2 * i + 1] = uint8_t(uint16_t(samples[i]) >> 8);
  }
  return b;
}

// A stereo test signal of `frames` frames: a sine on each channel, a
// little noise from a fixed generator, and both extremes of the range.
std::vector<int16_t> stereoSignal(size_t frames, double rate) {
  std::vector<int16_t> s(frames * 2);
  uint32_t noise = 12345;
  for (size_t i = 0; i < frames; ++i) {
    noise = noise * 1664525u + 1013904223u;
    double t = double(i) / rate;
    double left = 24000 * std::sin(2 * M_PI * 997 * t) + double(int32_t(noise >> 20) - 2048);
    double right = 20000 * std::sin(2 * M_PI * 443 * t + 1) - double(int32_t(noise >> 21) - 1024);
    s[2 * i] = int16_t(std::lround(std::clamp(left, -32768.0, 32767.0)));
    s[2 * i + 1] = int16_t(std::lround(std::clamp(right, -32768.0, 32767.0)));
  }
  s[2 * 1000] = -32768;
  s[2 * 1001 + 1] = 32767;
  return s;
}

class Playback : public EndToEnd {};

// The server at real time, the rates equal and the 16-bit stereo row of
// the application's rate on the wire: every sample arrives unchanged. The
// same run checks what the application sees: each header back once, in
// write order, a position that only grows and never passes what was
// written, and a close that drains the queue before WOM_CLOSE.
TEST_F(Playback, TenSecondsOfStereoArriveBitExactWithOrderedCallbacks) {
  startSession(601);
  // The server's clock consumes in steps of 10 ms (441 frames here); with
  // its default minimum lead of 256 frames the stream would run dry at
  // every step and play out slower than real time.
  startServer({"--adaptive", "0", "--min-lead", "1024", "--output", file("played.wav"), "--stats",
               file("stats.json")});
  const size_t frames = 441000;  // 10 s at 44.1 kHz
  std::vector<int16_t> signal = stereoSignal(frames, 44100);
  Player player(pcmFormat(2, 44100, 16), bytesOf(signal), 4410 * 4);  // headers of 100 ms
  ASSERT_EQ(player.open(), MMSYSERR_NOERROR);
  player.play(8);
  // The last eight headers are still queued: the close drains them.
  EXPECT_LT(player.log.count(WOM_DONE), player.written);
  ASSERT_EQ(player.close(), MMSYSERR_NOERROR);
  player.expectCallbacksInOrder();
  EXPECT_EQ(player.framesWritten, frames);
  EXPECT_GT(player.positionReads, 100u);
  ASSERT_TRUE(server_->waitForLog("closed (messages"));

  WavData wav = readWav(file("played.wav"));
  ASSERT_EQ(wav.rate, 44100);
  ASSERT_EQ(wav.channels, 2);
  // The server's counts say where frames went missing, if any did.
  bool headMatches = !wav.samples.empty() && wav.samples[0] == signal[0];
  ASSERT_GE(wav.frames(), frames) << "the head " << (headMatches ? "" : "not ") << "matches; "
                                  << statsEnd(file("stats.json"));
  // Bit-exact wherever the 44.1 kHz stereo linear row carried the audio,
  // after a change of row too once the join has passed (the old row's
  // frames weigh nothing a window of the join's band after it: 28 frames
  // of half the slowest rate, 4000 Hz). On a loaded machine a long round
  // trip may move the stream to a slower row for a while; those stretches
  // are converted, not copied. The frame count stays exact throughout.
  std::vector<FormatStretch> stretches = formatStretches(file("stats.json"));
  ASSERT_FALSE(stretches.empty());
  auto copied = [](const FormatStretch &f) { return f.kind == 2 && f.rate == 44100 && f.stereo; };
  EXPECT_TRUE(copied(stretches.front())) << "the first row is the application's own";
  EXPECT_EQ(stretches.front().position, 0u);
  size_t exactFrames = 0, mismatches = 0;
  for (size_t k = 0; k < stretches.size(); ++k) {
    const FormatStretch &f = stretches[k];
    if (!copied(f)) continue;
    size_t end = k + 1 < stretches.size() ? stretches[k + 1].position : frames;
    const size_t join = k == 0 ? 0 : 28 * 44100 / 4000;
    for (size_t i = f.position + join; i < std::min(end, frames); ++i, ++exactFrames) {
      if (wav.samples[2 * i] != signal[2 * i] || wav.samples[2 * i + 1] != signal[2 * i + 1]) {
        if (mismatches++ < 5) ADD_FAILURE() << "frame " << i << " differs";
      }
    }
  }
  EXPECT_EQ(mismatches, 0u);
  // The close pads with silence until its last packet is answered.
  if (copied(stretches.back())) {
    for (size_t i = frames * 2; i < wav.samples.size(); ++i) {
      ASSERT_EQ(wav.samples[i], 0) << "after the signal, frame " << i / 2;
    }
  }
  std::printf("bit-exact frames: %zu of %zu in %zu format stretches\n", exactFrames, frames,
              stretches.size());
}

// The other formats an application may play, each through the server's
// conversion to a 48 kHz stereo file: the level and the signal-to-noise
// ratio of each channel against the ideal sine at 48 kHz.
struct Variant {
  const char *name;
  WORD channels;
  DWORD rate;
  WORD bits;
  double minSnrDb;  // the format's own resolution, less a margin
  int display;      // of this case's session and server
  bool isFloat = false;
  bool extensible = false;
  double amplitude = 0.5;  // of full scale
};

// Names the case in test lists instead of its bytes.
void PrintTo(const Variant &v, std::ostream *out) { *out << v.name; }

class PlaybackFormats : public EndToEnd, public ::testing::WithParamInterface<Variant> {};

// The sine of each application channel: 1000 Hz left, 750 Hz right.
constexpr double CHANNEL_HZ[2] = {1000, 750};

// A sample of x (full scale at +-1) in the variant's format, appended.
void putSample(const Variant &v, double x, std::vector<uint8_t> &b) {
  if (v.isFloat) {
    float f = float(x);
    const uint8_t *p = reinterpret_cast<const uint8_t *>(&f);
    b.insert(b.end(), p, p + 4);
    return;
  }
  if (v.bits == 8) {
    b.push_back(uint8_t(std::lround(128 + x * 128)));
    return;
  }
  // Integer samples, little-endian, from the full-scale value of bits.
  int64_t s = std::llround(std::ldexp(x, v.bits - 1));
  for (int i = 0; i < v.bits / 8; ++i) b.push_back(uint8_t(uint64_t(s) >> (8 * i)));
}

std::vector<uint8_t> sineBytes(const Variant &v, size_t frames) {
  std::vector<uint8_t> b;
  for (size_t i = 0; i < frames; ++i) {
    for (int c = 0; c < v.channels; ++c) {
      putSample(v, v.amplitude * std::sin(2 * M_PI * CHANNEL_HZ[c] * double(i) / v.rate), b);
    }
  }
  return b;
}

TEST_P(PlaybackFormats, ArriveWithTheirLevelAndSnr) {
  const Variant &v = GetParam();
  startSession(v.display);
  startServer({"--fast", "--adaptive", "0", "--output", file("played.wav"), "--output-rate",
               "48000", "--stats", file("stats.json")});
  const size_t frames = v.rate * 2;  // 2 s
  WaveFormatRecord format = sampleFormat(v.channels, v.rate, v.bits, v.isFloat, v.extensible);
  Player player(format.ex, sineBytes(v, frames), size_t(v.rate / 10) * v.channels * v.bits / 8);
  ASSERT_EQ(player.open(), MMSYSERR_NOERROR);
  player.play(4);
  ASSERT_EQ(player.close(), MMSYSERR_NOERROR);
  player.expectCallbacksInOrder();
  ASSERT_TRUE(server_->waitForLog("closed (messages"));

  WavData wav = readWav(file("played.wav"));
  ASSERT_EQ(wav.rate, 48000);
  ASSERT_EQ(wav.channels, 2);
  // The middle of the signal: the filters' start and end stay out, and
  // what a fast playout leaves in the server's converter.
  ASSERT_GE(wav.frames(), size_t(96000 - 4800));
  for (int c = 0; c < 2; ++c) {
    std::vector<double> x = channelOf(wav.samples, 2, c);
    x = std::vector<double>(x.begin() + 4800, x.begin() + 96000 - 4800);
    double hz = CHANNEL_HZ[v.channels == 2 ? c : 0];
    SineFit fit = fitSine(x, 48000, hz);
    // A float sine beyond full scale arrives clipped: its fundamental a
    // little above full scale, far below what it was written at.
    double expected = v.amplitude > 1 ? 4 / M_PI : v.amplitude;
    double levelDb = 20 * std::log10(fit.amplitude / 32768 / expected);
    EXPECT_NEAR(levelDb, 0, v.amplitude > 1 ? 0.5 : 0.2) << "channel " << c;
    // A loaded machine's round trips may step the stream down to a row of
    // less resolution for a while; the format's own resolution is asked
    // of a stream that kept its first row.
    if (formatStretches(file("stats.json")).size() == 1) {
      EXPECT_GT(fit.snrDb, v.minSnrDb) << "channel " << c;
    }
    std::printf("%s channel %d: level %+.3f dB, SNR %.1f dB\n", v.name, c, levelDb, fit.snrDb);
  }
}

INSTANTIATE_TEST_SUITE_P(E2e, PlaybackFormats,
                         ::testing::Values(Variant{"stereo8bit44100", 2, 44100, 8, 38, 611},
                                           Variant{"mono16bit44100", 1, 44100, 16, 60, 612},
                                           Variant{"stereo16bit22050", 2, 22050, 16, 60, 613},
                                           Variant{"mono8bit11025", 1, 11025, 8, 38, 614},
                                           Variant{"stereo16bit96000", 2, 96000, 16, 60, 615},
                                           Variant{"mono8bit192000", 1, 192000, 8, 38, 616},
                                           // Wider than the wire: 16 bits' resolution.
                                           Variant{"stereo24bit96000", 2, 96000, 24, 60, 617},
                                           Variant{"mono32bitExtensible48000", 1, 48000, 32, 60,
                                                   618, false, true},
                                           Variant{"stereoFloat44100", 2, 44100, 32, 60, 619,
                                                   true},
                                           Variant{"stereoFloatExtensibleClipped48000", 2, 48000,
                                                   32, 5, 620, true, true, 8.0}),
                         [](const ::testing::TestParamInfo<Variant> &info) {
                           return std::string(info.param.name);
                         });

}  // namespace
