// The wave devices' format rule.
#include "driver/format.h"

#include <cstring>

#include "platform/bytes.h"

namespace {

// Offsets in a WAVEFORMATEXTENSIBLE, bytes: the WAVEFORMATEX fields, then
// the valid bits, the channel mask and the subformat's GUID.
constexpr size_t AT_BITS = 14;
constexpr size_t AT_EXTRA = 16;  // cbSize: bytes after the WAVEFORMATEX
constexpr size_t AT_VALID_BITS = 18;
constexpr size_t AT_SUBFORMAT = 24;
constexpr WORD EXTENSIBLE_EXTRA = 22;  // valid bits, channel mask, subformat

// The subformat GUIDs of PCM and float share everything but their first
// field, which is the plain format's tag: {0000000X-0000-0010-8000-00AA00389B71},
// stored with its first three fields little-endian.
constexpr uint8_t SUBFORMAT_TAIL[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                                        0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// The kind of an integer container of bits.
bool integerKind(WORD bits, PcmSample *kind) {
  static constexpr PcmSample BY_BYTES[] = {PCM_U8, PCM_S16, PCM_S24, PCM_S32};
  if (bits != 8 && bits != 16 && bits != 24 && bits != 32) return false;
  *kind = BY_BYTES[bits / 8 - 1];
  return true;
}

}  // namespace

MMRESULT waveFormatCheck(const WAVEFORMAT *format, PcmSample *sample) {
  const uint8_t *bytes = reinterpret_cast<const uint8_t *>(format);
  WORD tag = format->wFormatTag;
  if (tag != WAVE_FORMAT_PCM && tag != WAVE_TAG_IEEE_FLOAT && tag != WAVE_TAG_EXTENSIBLE) {
    return WAVERR_BADFORMAT;  // a record of unknown length: nothing more is read
  }
  const WORD bits = load16(bytes + AT_BITS);
  WORD valid = bits;
  if (tag == WAVE_TAG_EXTENSIBLE) {
    if (load16(bytes + AT_EXTRA) < EXTENSIBLE_EXTRA) return WAVERR_BADFORMAT;
    if (std::memcmp(bytes + AT_SUBFORMAT + 4, SUBFORMAT_TAIL, sizeof SUBFORMAT_TAIL) != 0) {
      return WAVERR_BADFORMAT;
    }
    uint32_t subformat = load32(bytes + AT_SUBFORMAT);
    if (subformat != WAVE_FORMAT_PCM && subformat != WAVE_TAG_IEEE_FLOAT) return WAVERR_BADFORMAT;
    tag = WORD(subformat);
    // 0 says no more than the container does.
    if (WORD v = load16(bytes + AT_VALID_BITS)) valid = v;
    if (valid > bits) return WAVERR_BADFORMAT;
  }
  PcmSample kind;
  if (tag == WAVE_FORMAT_PCM) {
    if (!integerKind(bits, &kind)) return WAVERR_BADFORMAT;
  } else if (bits == 32 && valid == 32) {
    kind = PCM_F32;
  } else {
    return WAVERR_BADFORMAT;
  }
  const WORD channels = format->nChannels;
  if (channels != 1 && channels != 2) return WAVERR_BADFORMAT;
  if (format->nBlockAlign != channels * pcmSampleBytes(kind)) return WAVERR_BADFORMAT;
  if (format->nSamplesPerSec < WAVE_RATE_MIN || format->nSamplesPerSec > WAVE_RATE_MAX) {
    return WAVERR_BADFORMAT;
  }
  *sample = kind;
  return MMSYSERR_NOERROR;
}
