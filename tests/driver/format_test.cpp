// The wave devices' format rule, through both devices' open message: a
// query and a real open answer alike for every format, a refusal is
// WAVERR_BADFORMAT (the answer the wave mapper converts on), and what is
// taken comes with the sample kind the data paths convert.
#include "driver/format.h"

#include <gtest/gtest.h>

#include <cstring>

#include "driver/entry.h"
#include "driver/wavein.h"
#include "driver/waveout.h"
#include "platform/bytes.h"
#include "tests/support/fake_winmm.h"
#ifndef _WIN32
#include "tests/tools/session_process.h"
#endif

namespace {

// A format record as an application lays it out: WAVEFORMATEX, and for the
// extensible tag the valid bits, a channel mask and the subformat's GUID.
struct Format {
  const char *name;
  WORD tag;
  WORD channels;
  DWORD rate;
  WORD bits;
  int expected;                       // the PcmSample taken, or -1 for a refusal
  int block = -1;                     // -1: channels times the container's bytes
  WORD valid = 0;                     // extensible only
  DWORD subformat = WAVE_FORMAT_PCM;  // extensible only: the GUID's first field
  WORD extra = 22;                    // cbSize
  bool guidTail = true;               // extensible only: false spoils the GUID's fixed part

  void layOut(uint8_t *b) const {
    std::memset(b, 0, 40);
    store16(b, tag);
    store16(b + 2, channels);
    store32(b + 4, rate);
    store32(b + 8, 0);  // the average byte rate, which the devices ignore
    store16(b + 12, block >= 0 ? WORD(block) : WORD(channels * bits / 8));
    store16(b + 14, bits);
    store16(b + 16, tag == WAVE_TAG_EXTENSIBLE ? extra : 0);
    store16(b + 18, valid);
    store32(b + 20, channels == 2 ? 3 : 4);  // front left and right, or centre
    const uint8_t tail[12] = {0x00, 0x00, 0x10, 0x00, 0x80, 0x00,
                              0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    store32(b + 24, subformat);
    std::memcpy(b + 28, tail, sizeof tail);
    if (!guidTail) b[39] ^= 1;
  }
};

constexpr WORD PCM = WAVE_FORMAT_PCM, FLOAT = WAVE_TAG_IEEE_FLOAT, EXT = WAVE_TAG_EXTENSIBLE;

const Format FORMATS[] = {
    {"8-bit mono at the lowest rate", PCM, 1, 8000, 8, PCM_U8},
    {"16-bit stereo", PCM, 2, 44100, 16, PCM_S16},
    {"24-bit stereo", PCM, 2, 96000, 24, PCM_S24},
    {"32-bit mono at the highest rate", PCM, 1, 192000, 32, PCM_S32},
    {"float stereo", FLOAT, 2, 48000, 32, PCM_F32},
    {"extensible 20 of 24 bits", EXT, 2, 44100, 24, PCM_S24, -1, 20},
    {"extensible 24 of 32 bits", EXT, 2, 48000, 32, PCM_S32, -1, 24},
    {"extensible float, valid bits 0", EXT, 1, 22050, 32, PCM_F32, -1, 0, FLOAT},
    {"extensible 16-bit", EXT, 2, 44100, 16, PCM_S16, -1, 16},
    {"ADPCM", 2, 2, 44100, 4, -1},
    {"mu-law", 7, 1, 8000, 8, -1},
    {"three channels", PCM, 3, 44100, 16, -1},
    {"no channels", PCM, 0, 8000, 16, -1},
    {"24 bits in a block of 2 channels x 16", PCM, 2, 44100, 24, -1, 4},
    {"block align short of the channels", PCM, 2, 44100, 16, -1, 2},
    {"block align 0", PCM, 1, 44100, 8, -1, 0},
    {"12-bit", PCM, 2, 44100, 12, -1},
    {"rate 0", PCM, 2, 0, 16, -1},
    {"below the lowest rate", PCM, 1, 7999, 8, -1},
    {"above the highest rate", PCM, 2, 192001, 16, -1},
    {"16-bit float", FLOAT, 2, 44100, 16, -1},
    {"64-bit float", FLOAT, 2, 44100, 64, -1},
    {"extensible without its fields", EXT, 2, 44100, 16, -1, -1, 16, PCM, 0},
    {"extensible ADPCM", EXT, 2, 44100, 16, -1, -1, 16, 2},
    {"extensible of another GUID", EXT, 2, 44100, 16, -1, -1, 16, PCM, 22, false},
    {"more valid bits than the container", EXT, 2, 44100, 24, -1, -1, 28},
    {"float with 24 valid bits", EXT, 2, 44100, 32, -1, -1, 24, FLOAT},
};

TEST(FormatRule, QueryAndOpenAgreeOnBothDevices) {
  fakeWinmmReset();
#ifndef _WIN32
  RuntimeDir dir;  // an empty one: no session to find
#endif
  for (const Format &f : FORMATS) {
    uint8_t bytes[40];
    f.layOut(bytes);
    const WAVEFORMAT *format = reinterpret_cast<const WAVEFORMAT *>(bytes);
    PcmSample kind = PcmSample(0xEE);
    MMRESULT rule = waveFormatCheck(format, &kind);
    if (f.expected < 0) {
      EXPECT_EQ(rule, MMRESULT(WAVERR_BADFORMAT)) << f.name;
      EXPECT_EQ(kind, PcmSample(0xEE)) << f.name;
    } else {
      EXPECT_EQ(rule, MMRESULT(MMSYSERR_NOERROR)) << f.name;
      EXPECT_EQ(kind, PcmSample(f.expected)) << f.name;
    }
    WAVEOPENDESC description = {};
    description.lpFormat = reinterpret_cast<LPWAVEFORMAT>(bytes);
    for (auto device : {wodMessage, widMessage}) {
      UINT open = device == wodMessage ? WODM_OPEN : WIDM_OPEN;
      DWORD_PTR stored = 0;
      DWORD_PTR at = reinterpret_cast<DWORD_PTR>(&stored);
      DWORD_PTR desc = reinterpret_cast<DWORD_PTR>(&description);
      EXPECT_EQ(device(0, open, 0, desc, WAVE_FORMAT_QUERY), rule) << f.name;
      // No session here: a taken format gets as far as looking for its
      // server, and fails there.
      DWORD real = device(0, open, at, desc, CALLBACK_NULL);
      if (rule == MMSYSERR_NOERROR) {
        EXPECT_EQ(real, DWORD(MMSYSERR_NODRIVER)) << f.name;
      } else {
        EXPECT_EQ(real, rule) << f.name;
      }
      EXPECT_EQ(stored, 0u) << f.name;
    }
  }
  WAVEOPENDESC empty = {};
  EXPECT_EQ(wodMessage(0, WODM_OPEN, 0, reinterpret_cast<DWORD_PTR>(&empty), WAVE_FORMAT_QUERY),
            DWORD(MMSYSERR_INVALPARAM));
  EXPECT_TRUE(fakeDriverCallbackCalls().empty());
  drvStopIo();
}

}  // namespace
