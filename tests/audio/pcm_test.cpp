// The application's sample kinds and the rings' 16 bits: every 16-bit value
// survives the way out and back in each kind, wider samples are rounded to
// the nearest 16-bit step, and floats beyond full scale clip instead of
// wrapping.
#include "audio/pcm.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

const PcmSample KINDS[] = {PCM_U8, PCM_S16, PCM_S24, PCM_S32, PCM_F32};

std::vector<int16_t> toRing(PcmSample kind, const std::vector<uint8_t> &bytes) {
  std::vector<int16_t> ring(bytes.size() / pcmSampleBytes(kind));
  pcmToRing(kind, bytes.data(), ring.data(), uint32_t(ring.size()));
  return ring;
}

std::vector<uint8_t> floats(std::initializer_list<float> values) {
  std::vector<uint8_t> b(values.size() * 4);
  std::memcpy(b.data(), values.begin(), b.size());
  return b;
}

TEST(Pcm, EveryRingValueComesBackFromEachKind) {
  std::vector<int16_t> all;
  for (int v = -32768; v <= 32767; ++v) all.push_back(int16_t(v));
  for (PcmSample kind : KINDS) {
    std::vector<uint8_t> out(all.size() * pcmSampleBytes(kind));
    pcmFromRing(kind, all.data(), out.data(), uint32_t(all.size()));
    std::vector<int16_t> back = toRing(kind, out);
    for (size_t i = 0; i < all.size(); ++i) {
      // 8 bits keep the high byte: the low one comes back as a copy of it.
      int16_t expected = kind == PCM_U8 ? sampleWiden8(sampleNarrow8(all[i])) : all[i];
      ASSERT_EQ(back[i], expected) << "kind " << int(kind) << ", value " << all[i];
    }
  }
}

TEST(Pcm, WideSamplesRoundAndFloatsClip) {
  // 24 bits: 128 and 127 (of 256 a step) round to 1 and 0, -129 to -1; the
  // top holds instead of reaching 32768.
  EXPECT_EQ(toRing(PCM_S24, {0x80, 0x00, 0x00, 0x7F, 0x00, 0x00, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80,
                             0x7F, 0xFF, 0xFF}),
            (std::vector<int16_t>{1, 0, 32767, -32768, -1}));
  EXPECT_EQ(
      toRing(PCM_S32, {0x00, 0x80, 0x00, 0x00, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x80}),
      (std::vector<int16_t>{1, 32767, -32768}));
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(
      toRing(PCM_F32, floats({0.5f, -0.5f, 1.0f, -1.0f, 1.5f, -3.0f, inf, -inf, nan, 1e-6f})),
      (std::vector<int16_t>{16384, -16384, 32767, -32768, 32767, -32768, 32767, -32768, 0, 0}));
}

}  // namespace
