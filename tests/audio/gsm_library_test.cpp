// The GSM 06.10 library as the build provides it (on Windows, the mingw
// build of Debian's source package): a coder and a decoder code a tone into
// 33-byte frames and back.
#include <gtest/gtest.h>

#include <gsm.h>

#include <cmath>
#include <cstdint>
#include <vector>

namespace {

constexpr int FRAME_SAMPLES = 160;  // 20 ms at 8000 Hz
constexpr int FRAME_BYTES = 33;
constexpr int FRAMES = 25;          // half a second
static_assert(sizeof(gsm_frame) == FRAME_BYTES);

// GSM 06.10 is defined in integer arithmetic, so every correct build codes
// the same bytes. This FNV-1a hash of the 25 frames below comes from
// Debian's native libgsm1-dev 1.0.22 on x86_64 Linux.
constexpr uint32_t NATIVE_FRAMES_FNV1A = 0x979033a9u;

// A triangle of period 20 samples (400 Hz), peak 8000, made without floating
// point so that the input is the same on every C runtime.
gsm_signal triangle(int i) {
  int phase = i % 20;
  return gsm_signal(phase < 10 ? -8000 + 1600 * phase : 8000 - 1600 * (phase - 10));
}

double rms(const gsm_signal *samples, int count) {
  double sum = 0;
  for (int i = 0; i < count; i++) sum += double(samples[i]) * samples[i];
  return std::sqrt(sum / count);
}

TEST(GsmLibrary, CodesLikeTheNativeBuildAndDecodesAtTheInputLevel) {
  gsm coder = gsm_create();
  gsm decoder = gsm_create();
  ASSERT_NE(coder, nullptr);
  ASSERT_NE(decoder, nullptr);

  std::vector<gsm_signal> in(FRAMES * FRAME_SAMPLES), out(in.size());
  for (size_t i = 0; i < in.size(); i++) in[i] = triangle(int(i));
  uint32_t hash = 2166136261u;
  for (int f = 0; f < FRAMES; f++) {
    gsm_frame frame;
    gsm_encode(coder, &in[f * FRAME_SAMPLES], frame);
    ASSERT_EQ(frame[0] >> 4, GSM_MAGIC) << "frame " << f;
    for (gsm_byte b : frame) hash = (hash ^ b) * 16777619u;
    ASSERT_EQ(gsm_decode(decoder, frame, &out[f * FRAME_SAMPLES]), 0) << "frame " << f;
  }
  EXPECT_EQ(hash, NATIVE_FRAMES_FNV1A) << "the frames differ from the native build's";

  // Past the first five frames, where the predictor settles, the decoded
  // tone has the input's level within 1 dB.
  const int settled = 5 * FRAME_SAMPLES;
  const int count = int(in.size()) - settled;
  double ratio = rms(&out[settled], count) / rms(&in[settled], count);
  EXPECT_GT(ratio, 0.89);
  EXPECT_LT(ratio, 1.12);

  gsm_destroy(coder);
  gsm_destroy(decoder);
}

}  // namespace
