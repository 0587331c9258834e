// The application's sample formats and their conversion to and from the
// signed 16-bit samples every ring holds.
//
// An application hands the wave devices 8-, 16-, 24- or 32-bit integer
// samples or 32-bit floats; the streams carry 16 bits at most, so what goes
// into a ring is rounded to 16 bits (integers) or scaled by 32768, rounded
// and clipped (floats: a sample beyond full scale is held at the limit,
// never wrapped, and a NaN is silence). On the way back the 16 bits are
// put in the top of the application's container, the bits below left 0,
// so that a container with fewer valid bits than it holds gets its valid
// ones. All samples are little-endian, as on every target.
#pragma once

#include <cstdint>

// 0 is the 16-bit format, so that a record zeroed before its format is set
// holds the format the rings themselves hold.
enum PcmSample : uint8_t {
  PCM_S16 = 0,  // signed 16-bit
  PCM_U8 = 1,   // unsigned 8-bit, 0x80 is silence
  PCM_S24 = 2,  // signed 24-bit, packed in 3 bytes
  PCM_S32 = 3,  // signed 32-bit
  PCM_F32 = 4,  // IEEE 754 single precision, full scale at +-1.0
};

// Bytes of one sample of the kind.
uint32_t pcmSampleBytes(PcmSample kind);

// Converts count samples (not frames) of the kind at from into ring
// samples at to.
void pcmToRing(PcmSample kind, const uint8_t *from, int16_t *to, uint32_t count);
// Converts count ring samples at from into samples of the kind at to.
void pcmFromRing(PcmSample kind, const int16_t *from, uint8_t *to, uint32_t count);

// Unsigned 8-bit samples and the ring's signed 16-bit samples: 0x00 is
// -32768, 0x80 is 128 and 0xFF is 32767 on the way in; on the way out the
// high byte is kept, offset by 0x80.
inline int16_t sampleWiden8(uint8_t b) { return int16_t(((b << 8) | b) ^ 0x8000); }
inline uint8_t sampleNarrow8(int16_t s) { return uint8_t((s >> 8) ^ 0x80); }
