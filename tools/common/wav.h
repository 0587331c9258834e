// RIFF/WAVE files of linear PCM: reading a whole file into memory and
// writing one as the data arrives.
//
// The reader takes a fmt chunk of WAVE_FORMAT_PCM, or of
// WAVE_FORMAT_EXTENSIBLE whose sub-format is PCM, and the first data chunk.
// Every size it reads is checked against the bytes that are really there,
// so a truncated or hostile file gets an error text and never a read past
// the end or an allocation larger than the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct WavFormat {
  uint16_t channels = 0;    // interleaved samples per frame
  uint32_t rate = 0;        // frames per second
  uint16_t bits = 0;        // bits per sample: 8 (unsigned) or 16 (signed little-endian), ...
  uint16_t blockAlign = 0;  // bytes per frame: channels times bytes per sample
};

constexpr uint64_t WAV_FILE_LIMIT = 1ull << 30;  // largest file read into memory, bytes
constexpr size_t WAV_HEADER_BYTES = 44;          // what wavHeader writes before the data
// The RIFF size field is 32 bits and counts everything after itself: the
// largest data chunk a writer can describe, bytes (kept even for the pad).
constexpr uint64_t WAV_DATA_LIMIT = 0xFFFFFFFFull - (WAV_HEADER_BYTES - 8) - 1;

// The lowest and highest rates the tools accept, frames per second: those
// the wave devices open (the driver converts any of them to and from the
// wire), so that a file outside them is refused with its rate named rather
// than by the device's bare MMSYSERR_NOTSUPPORTED.
constexpr uint32_t WAV_RATE_MIN = 8000;
constexpr uint32_t WAV_RATE_MAX = 192000;

// Parses a file image. On success fills format, and dataOffset and
// dataBytes (the data chunk, cut to whole frames, lying inside the image);
// on failure returns false with the reason in error.
bool wavParse(const uint8_t *bytes, size_t size, WavFormat &format, size_t &dataOffset,
              size_t &dataBytes, std::string &error);

// Reads the file at path (at most WAV_FILE_LIMIT bytes) and parses it; data
// receives the samples. Returns false with the reason in error.
bool wavLoad(const std::string &path, WavFormat &format, std::vector<uint8_t> &data,
             std::string &error);

// Whether the wave devices take the format: 1 or 2 channels of 8- or
// 16-bit samples at a rate between WAV_RATE_MIN and WAV_RATE_MAX. When not,
// why is set to a sentence naming what is wrong.
bool wavPlayable(const WavFormat &format, std::string &why);

// The format of channels and bits at rate, with its block align.
WavFormat wavMakeFormat(uint32_t rate, uint16_t channels, uint16_t bits);

// The 44-byte header of a PCM file whose data chunk holds dataBytes
// (at most WAV_DATA_LIMIT).
std::vector<uint8_t> wavHeader(const WavFormat &format, uint32_t dataBytes);

// The size fields of a stream whose length is not known when its header is
// written, the usual convention of WAV on pipes: readers take the data to
// the end of the stream.
constexpr uint32_t WAV_SIZE_UNKNOWN = 0xFFFFFFFFu;

// Writes a PCM file as its data arrives: the header goes first with sizes
// of 0 and is rewritten by finish. A writer destroyed unfinished finishes
// its file.
//
// The path "-" is standard output. When it is a file at its start, the
// header is rewritten there as for a named file; on a pipe (or a file
// opened for appending) nothing can be rewritten, so the header carries
// WAV_SIZE_UNKNOWN from the start.
class WavWriter {
 public:
  WavWriter() = default;
  ~WavWriter();
  WavWriter(const WavWriter &) = delete;
  WavWriter &operator=(const WavWriter &) = delete;

  // Creates (or truncates) the file. False with the reason in error.
  bool open(const std::string &path, const WavFormat &format, std::string &error);
  // Appends samples. False when the file cannot take them: a write error,
  // or more than WAV_DATA_LIMIT bytes in all.
  bool write(const void *bytes, size_t size, std::string &error);
  // Pads an odd data chunk, writes the sizes and closes the file.
  bool finish(std::string &error);
  uint64_t dataBytes() const { return dataBytes_; }

 private:
  // Standard output's header, with known sizes when it can be rewritten.
  bool openStandardOutput(std::string &error);

  FILE *file_ = nullptr;
  bool standardOutput_ = false;  // file_ is stdout: flushed, never closed
  bool rewritable_ = true;       // the header can be rewritten at offset 0
  std::string path_;
  WavFormat format_;
  uint64_t dataBytes_ = 0;  // samples written so far, bytes
};
