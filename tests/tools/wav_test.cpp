// The WAV reader and writer: files round trip; every malformed, truncated or
// unsupported file is refused with a reason and without reading past its end.
#include "tools/common/wav.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

typedef std::vector<uint8_t> Bytes;

void put16(Bytes &b, uint16_t v) {
  b.push_back(uint8_t(v));
  b.push_back(uint8_t(v >> 8));
}
void put32(Bytes &b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void putChunk(Bytes &b, const char *id, const Bytes &body, bool pad = true) {
  b.insert(b.end(), id, id + 4);
  put32(b, uint32_t(body.size()));
  b.insert(b.end(), body.begin(), body.end());
  if (pad && body.size() % 2) b.push_back(0);
}
// A RIFF/WAVE image around the chunks, with the RIFF size fitted.
Bytes riff(const Bytes &chunks) {
  Bytes b = {'R', 'I', 'F', 'F'};
  put32(b, uint32_t(chunks.size() + 4));
  b.insert(b.end(), {'W', 'A', 'V', 'E'});
  b.insert(b.end(), chunks.begin(), chunks.end());
  return b;
}
Bytes fmtBody(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, uint16_t align) {
  Bytes f;
  put16(f, tag);
  put16(f, channels);
  put32(f, rate);
  put32(f, rate * align);
  put16(f, align);
  put16(f, bits);
  return f;
}
// An extensible fmt body whose sub-format starts with subTag.
Bytes extensibleBody(uint16_t subTag, uint16_t validBits = 16) {
  Bytes f = fmtBody(0xFFFE, 2, 48000, 16, 4);
  put16(f, 22);
  put16(f, validBits);
  put32(f, 3);  // channel mask: front left and right
  put16(f, subTag);
  f.insert(f.end(),
           {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
  return f;
}
const Bytes SAMPLES = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};

struct Parsed {
  bool ok;
  WavFormat format;
  Bytes data;
  std::string error;
};
Parsed parse(const Bytes &image) {
  Parsed p{};
  size_t offset = 0, bytes = 0;
  p.ok = wavParse(image.data(), image.size(), p.format, offset, bytes, p.error);
  if (p.ok) {
    EXPECT_LE(offset + bytes, image.size());
    p.data.assign(image.begin() + long(offset), image.begin() + long(offset + bytes));
  }
  return p;
}

std::string tempPath(const char *name) {
  return testing::TempDir() + "/wav_test_" + std::to_string(getpid()) + "_" + name;
}

TEST(Wav, WrittenFilesReadBackWithTheirFormatAndSamples) {
  struct Case {
    WavFormat format;
    Bytes samples;
  } cases[] = {{wavMakeFormat(44100, 2, 16), SAMPLES},
               {wavMakeFormat(8000, 1, 8), {0x80, 0x7F, 0xFF}}};  // odd: a pad byte follows
  for (const Case &c : cases) {
    std::string path = tempPath("roundtrip.wav"), error;
    {
      WavWriter writer;
      ASSERT_TRUE(writer.open(path, c.format, error)) << error;
      ASSERT_TRUE(writer.write(c.samples.data(), 1, error));
      ASSERT_TRUE(writer.write(c.samples.data() + 1, c.samples.size() - 1, error));
      EXPECT_EQ(writer.dataBytes(), c.samples.size());
      // Unfinished, as a recorder killed outright leaves it: the header on
      // disk already counts every sample written.
      WavFormat format;
      Bytes data;
      ASSERT_TRUE(wavLoad(path, format, data, error)) << error;
      EXPECT_EQ(data, c.samples);
    }  // finished by the destructor
    WavFormat format;
    Bytes data;
    ASSERT_TRUE(wavLoad(path, format, data, error)) << error;
    EXPECT_EQ(format.rate, c.format.rate);
    EXPECT_EQ(format.channels, c.format.channels);
    EXPECT_EQ(format.bits, c.format.bits);
    EXPECT_EQ(format.blockAlign, c.format.blockAlign);
    EXPECT_EQ(data, c.samples);
    FILE *file = std::fopen(path.c_str(), "rb");
    std::fseek(file, 0, SEEK_END);
    EXPECT_EQ(size_t(std::ftell(file)), WAV_HEADER_BYTES + (c.samples.size() + 1) / 2 * 2);
    std::fclose(file);
    std::remove(path.c_str());
  }
}

TEST(Wav, OtherChunksAreSkippedWithTheirPaddingInAnyOrder) {
  Bytes chunks;
  putChunk(chunks, "LIST", {'a', 'b', 'c'});  // odd, padded
  putChunk(chunks, "data", SAMPLES);
  putChunk(chunks, "fmt ", fmtBody(1, 2, 22050, 16, 4));
  Parsed p = parse(riff(chunks));
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.format.rate, 22050u);
  EXPECT_EQ(p.data, SAMPLES);

  // An odd data chunk at the very end may lack its pad byte; the partial
  // frame is dropped.
  Bytes last;
  putChunk(last, "fmt ", fmtBody(1, 1, 8000, 16, 2));
  putChunk(last, "data", {1, 2, 3, 4, 5}, false);
  p = parse(riff(last));
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.data, (Bytes{1, 2, 3, 4}));
}

TEST(Wav, ExtensibleFormatIsTakenOnlyWithThePcmSubFormat) {
  Bytes chunks;
  putChunk(chunks, "fmt ", extensibleBody(1));
  putChunk(chunks, "data", SAMPLES);
  Parsed p = parse(riff(chunks));
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ(p.format.channels, 2);
  EXPECT_EQ(p.format.bits, 16);

  Bytes fl;
  putChunk(fl, "fmt ", extensibleBody(3));  // IEEE float
  putChunk(fl, "data", SAMPLES);
  p = parse(riff(fl));
  EXPECT_FALSE(p.ok);
  EXPECT_NE(p.error.find("sub-format other than PCM"), std::string::npos) << p.error;

  Bytes packed;
  putChunk(packed, "fmt ", extensibleBody(1, 12));
  putChunk(packed, "data", SAMPLES);
  EXPECT_NE(parse(riff(packed)).error.find("12 valid bits"), std::string::npos);
}

TEST(Wav, MalformedFilesAreRefusedWithTheirReason) {
  auto image = [](const Bytes &fmt, const Bytes &data) {
    Bytes chunks;
    putChunk(chunks, "fmt ", fmt);
    putChunk(chunks, "data", data);
    return riff(chunks);
  };
  Bytes good = image(fmtBody(1, 2, 44100, 16, 4), SAMPLES);

  Bytes rifx = good;
  rifx[3] = 'X';
  Bytes longRiff = good;
  longRiff[4] += 1;  // announces one byte more than there is
  Bytes longData = good;
  longData[12 + 8 + 16 + 4] = 0xF0;  // the data size's low byte
  Bytes hugeChunk;
  putChunk(hugeChunk, "fmt ", fmtBody(1, 2, 44100, 16, 4));
  hugeChunk.insert(hugeChunk.end(), {'L', 'I', 'S', 'T', 0xF0, 0xFF, 0xFF, 0xFF});
  Bytes noFmt;
  putChunk(noFmt, "data", SAMPLES);
  Bytes noData;
  putChunk(noData, "fmt ", fmtBody(1, 2, 44100, 16, 4));
  Bytes shortFmt = fmtBody(1, 2, 44100, 16, 4);
  shortFmt.resize(14);

  struct Case {
    const char *what;
    Bytes file;
    const char *reason;
  } cases[] = {
      {"empty", {}, "not a RIFF/WAVE file"},
      {"big-endian RIFX", rifx, "not a RIFF/WAVE file"},
      {"RIFF size past the end", longRiff, "truncated: the RIFF header announces"},
      {"data size past the end", longData, "truncated: chunk 'data'"},
      {"chunk of 4 GiB", riff(hugeChunk), "truncated: chunk 'LIST' of 4294967280 bytes"},
      {"no fmt", riff(noFmt), "no fmt chunk"},
      {"no data", riff(noData), "no data chunk"},
      {"short fmt", image(shortFmt, SAMPLES), "too short"},
      {"float", image(fmtBody(3, 2, 44100, 32, 8), SAMPLES), "format tag 3 is not PCM"},
      {"block align", image(fmtBody(1, 2, 44100, 16, 2), SAMPLES), "invalid fmt chunk"},
      {"no channels", image(fmtBody(1, 0, 44100, 16, 0), SAMPLES), "invalid fmt chunk"},
      {"rate 0", image(fmtBody(1, 1, 0, 16, 2), SAMPLES), "invalid fmt chunk"},
      {"12 bits", image(fmtBody(1, 1, 8000, 12, 2), SAMPLES), "invalid fmt chunk"},
  };
  for (const Case &c : cases) {
    Parsed p = parse(c.file);
    EXPECT_FALSE(p.ok) << c.what;
    EXPECT_NE(p.error.find(c.reason), std::string::npos) << c.what << ": " << p.error;
  }
}

TEST(Wav, EveryTruncationOfAValidFileIsRefused) {
  Bytes chunks;
  putChunk(chunks, "LIST", {'x'});
  putChunk(chunks, "fmt ", fmtBody(1, 2, 44100, 16, 4));
  putChunk(chunks, "data", SAMPLES);
  Bytes good = riff(chunks);
  ASSERT_TRUE(parse(good).ok);
  for (size_t size = 0; size < good.size(); ++size) {
    // A copy of exactly size bytes, so that a read past it is a heap error.
    Bytes cut(good.begin(), good.begin() + long(size));
    Parsed p = parse(cut);
    EXPECT_FALSE(p.ok) << size;
    EXPECT_FALSE(p.error.empty()) << size;
    // The same cut with a RIFF size that agrees with it: now the chunk
    // checks must catch it.
    if (size < 12) continue;
    uint32_t riffSize = uint32_t(size - 8);
    for (int i = 0; i < 4; ++i) cut[size_t(4 + i)] = uint8_t(riffSize >> (8 * i));
    p = parse(cut);
    EXPECT_FALSE(p.ok) << size;
    EXPECT_FALSE(p.error.empty()) << size;
  }
}

TEST(Wav, LoadAndCreateReportTheSystemsReason) {
  WavFormat format;
  Bytes data;
  std::string error;
  EXPECT_FALSE(wavLoad("/nonexistent/x.wav", format, data, error));
  EXPECT_EQ(error.rfind("cannot open: ", 0), 0u) << error;
  WavWriter writer;
  EXPECT_FALSE(writer.open("/nonexistent/x.wav", wavMakeFormat(8000, 1, 8), error));
  EXPECT_EQ(error.rfind("cannot create: ", 0), 0u) << error;
  EXPECT_FALSE(writer.write(SAMPLES.data(), 1, error));
}

TEST(Wav, TheDevicesTakeMonoOrStereoOfEightOrSixteenBits) {
  std::string why;
  EXPECT_TRUE(wavPlayable(wavMakeFormat(8000, 1, 8), why));
  EXPECT_TRUE(wavPlayable(wavMakeFormat(192000, 2, 16), why));
  EXPECT_FALSE(wavPlayable(wavMakeFormat(48000, 2, 24), why));
  EXPECT_NE(why.find("24-bit"), std::string::npos) << why;
  EXPECT_FALSE(wavPlayable(wavMakeFormat(48000, 6, 16), why));
  EXPECT_NE(why.find("6 channels"), std::string::npos) << why;
  EXPECT_FALSE(wavPlayable(wavMakeFormat(999, 1, 16), why));
  EXPECT_NE(why.find("999 Hz"), std::string::npos) << why;
}

}  // namespace
