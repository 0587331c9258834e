// Conversion between the application's samples and the rings' 16 bits.
#include "audio/pcm.h"

#include <cmath>
#include <cstring>

#include "platform/bytes.h"

namespace {

// A wider integer sample rounded to 16 bits: shift is the bits dropped.
// Rounding up from the largest value would reach 32768: held at 32767.
inline int16_t roundTo16(int64_t v, int shift) {
  int64_t s = (v + (int64_t(1) << (shift - 1))) >> shift;
  return int16_t(s > 32767 ? 32767 : s);
}

inline int16_t floatTo16(float x) {
  float v = x * 32768.0f;
  if (v >= 32767.0f) return 32767;
  if (v <= -32768.0f) return -32768;
  if (v != v) return 0;  // NaN
  return int16_t(std::lrint(v));
}

}  // namespace

uint32_t pcmSampleBytes(PcmSample kind) {
  static constexpr uint8_t BYTES[] = {2, 1, 3, 4, 4};  // by PcmSample
  return BYTES[kind];
}

void pcmToRing(PcmSample kind, const uint8_t *from, int16_t *to, uint32_t count) {
  switch (kind) {
    case PCM_U8:
      for (uint32_t i = 0; i < count; i++) to[i] = sampleWiden8(from[i]);
      break;
    case PCM_S16:
      std::memcpy(to, from, size_t(count) * 2);
      break;
    case PCM_S24:
      for (uint32_t i = 0; i < count; i++, from += 3) {
        // The top byte's sign extends the 24 bits.
        int32_t high = int8_t(from[2]);
        int32_t v = int32_t(uint32_t(high) << 16 | uint32_t(from[1]) << 8 | from[0]);
        to[i] = roundTo16(v, 8);
      }
      break;
    case PCM_S32:
      for (uint32_t i = 0; i < count; i++, from += 4) to[i] = roundTo16(int32_t(load32(from)), 16);
      break;
    case PCM_F32:
      for (uint32_t i = 0; i < count; i++, from += 4) {
        float x;
        std::memcpy(&x, from, sizeof x);
        to[i] = floatTo16(x);
      }
      break;
  }
}

void pcmFromRing(PcmSample kind, const int16_t *from, uint8_t *to, uint32_t count) {
  switch (kind) {
    case PCM_U8:
      for (uint32_t i = 0; i < count; i++) to[i] = sampleNarrow8(from[i]);
      break;
    case PCM_S16:
      std::memcpy(to, from, size_t(count) * 2);
      break;
    case PCM_S24:
      for (uint32_t i = 0; i < count; i++, to += 3) {
        to[0] = 0;
        store16(to + 1, uint16_t(from[i]));
      }
      break;
    case PCM_S32:
      for (uint32_t i = 0; i < count; i++, to += 4) store32(to, uint32_t(from[i]) << 16);
      break;
    case PCM_F32:
      for (uint32_t i = 0; i < count; i++, to += 4) {
        float x = float(from[i]) / 32768.0f;
        std::memcpy(to, &x, sizeof x);
      }
      break;
  }
}
