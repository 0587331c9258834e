// The RIFF/WAVE reader and writer.
//
// A RIFF file is "RIFF", a 32-bit size of what follows, "WAVE", then chunks
// of a four-character id, a 32-bit size and that many bytes, with a pad
// byte after an odd-sized chunk. All fields are little-endian.
#include "tools/common/wav.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "platform/bytes.h"

namespace {

constexpr uint16_t FORMAT_PCM = 1;
constexpr uint16_t FORMAT_EXTENSIBLE = 0xFFFE;
constexpr size_t FMT_PCM_BYTES = 16;         // the fields every fmt chunk has
constexpr size_t FMT_EXTENSIBLE_BYTES = 40;  // with cbSize, valid bits, mask, sub-format
// The PCM sub-format GUID as it lies in the file: its first 16-bit word is
// the format tag (1), then the fixed tail 0000-0010-8000-00AA00389B71.
constexpr uint8_t PCM_SUBFORMAT[16] = {0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00,
                                       0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// Whether standard output was opened for appending (">>" in a shell).
bool outputAppends() {
#ifdef _WIN32
  // The runtime offers no query of its append flag. An appended file that
  // is not empty reports a position past 0 and is left unrewritten anyway.
  return false;
#else
  int flags = fcntl(STDOUT_FILENO, F_GETFL);
  return flags >= 0 && (flags & O_APPEND) != 0;
#endif
}

std::string chunkName(const uint8_t *id) {
  std::string name;
  for (int i = 0; i < 4; ++i) name += (id[i] >= 0x20 && id[i] < 0x7F) ? char(id[i]) : '?';
  return name;
}

// Reads the fmt chunk body of size bytes. False with the reason in error.
bool parseFormat(const uint8_t *body, size_t size, WavFormat &format, std::string &error) {
  if (size < FMT_PCM_BYTES) {
    error = "fmt chunk of " + std::to_string(size) + " bytes is too short (16 needed)";
    return false;
  }
  uint16_t tag = load16(body);
  if (tag == FORMAT_EXTENSIBLE) {
    if (size < FMT_EXTENSIBLE_BYTES || load16(body + 16) < 22) {
      error = "extensible fmt chunk is too short";
      return false;
    }
    if (std::memcmp(body + 24, PCM_SUBFORMAT, sizeof PCM_SUBFORMAT) != 0) {
      error = "unsupported format: extensible, with a sub-format other than PCM";
      return false;
    }
    uint16_t validBits = load16(body + 18);
    if (validBits != 0 && validBits != load16(body + 14)) {
      error = "unsupported format: " + std::to_string(validBits) + " valid bits in " +
              std::to_string(load16(body + 14)) + "-bit samples";
      return false;
    }
  } else if (tag != FORMAT_PCM) {
    error = "unsupported format: format tag " + std::to_string(tag) + " is not PCM";
    return false;
  }
  format.channels = load16(body + 2);
  format.rate = load32(body + 4);
  format.blockAlign = load16(body + 12);
  format.bits = load16(body + 14);
  // The average byte rate is not used and not checked: writers get it wrong.
  if (format.channels == 0 || format.rate == 0 || format.bits == 0 || format.bits % 8 != 0 ||
      format.blockAlign != uint32_t(format.channels) * (format.bits / 8)) {
    error = "invalid fmt chunk: " + std::to_string(format.channels) + " channels, " +
            std::to_string(format.bits) + " bits, block align " +
            std::to_string(format.blockAlign) + ", rate " + std::to_string(format.rate);
    return false;
  }
  return true;
}

}  // namespace

bool wavParse(const uint8_t *bytes, size_t size, WavFormat &format, size_t &dataOffset,
              size_t &dataBytes, std::string &error) {
  if (size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0) {
    error = "not a RIFF/WAVE file";
    return false;
  }
  uint64_t riffEnd = uint64_t(load32(bytes + 4)) + 8;
  if (riffEnd > size) {
    error = "truncated: the RIFF header announces " + std::to_string(riffEnd) +
            " bytes, the file has " + std::to_string(size);
    return false;
  }
  bool haveFormat = false, haveData = false;
  size_t at = 12;
  // Each pass consumes at least the 8 bytes of a chunk header, so the scan
  // ends within riffEnd / 8 passes.
  while (at + 8 <= riffEnd && !(haveFormat && haveData)) {
    const uint8_t *id = bytes + at;
    uint64_t chunkBytes = load32(bytes + at + 4);
    size_t body = at + 8;
    if (chunkBytes > riffEnd - body) {
      error = "truncated: chunk '" + chunkName(id) + "' of " + std::to_string(chunkBytes) +
              " bytes runs past the end (" + std::to_string(riffEnd - body) + " bytes left)";
      return false;
    }
    if (std::memcmp(id, "fmt ", 4) == 0 && !haveFormat) {
      if (!parseFormat(bytes + body, size_t(chunkBytes), format, error)) return false;
      haveFormat = true;
    } else if (std::memcmp(id, "data", 4) == 0 && !haveData) {
      dataOffset = body;
      dataBytes = size_t(chunkBytes);
      haveData = true;
    }
    // The pad byte of an odd chunk may be missing at the very end.
    at = body + size_t(chunkBytes) + (chunkBytes & 1);
  }
  if (!haveFormat) {
    error = "no fmt chunk";
    return false;
  }
  if (!haveData) {
    error = "no data chunk";
    return false;
  }
  dataBytes -= dataBytes % format.blockAlign;  // a trailing partial frame is dropped
  return true;
}

bool wavLoad(const std::string &path, WavFormat &format, std::vector<uint8_t> &data,
             std::string &error) {
  FILE *file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = "cannot open: " + std::string(std::strerror(errno));
    return false;
  }
  // Read in pieces rather than by a size asked of the system, so that the
  // limit holds for pipes and special files too.
  std::vector<uint8_t> image;
  uint8_t piece[65536];
  bool tooLarge = false;
  while (size_t n = std::fread(piece, 1, sizeof piece, file)) {
    if (image.size() + n > WAV_FILE_LIMIT) {
      tooLarge = true;
      break;
    }
    image.insert(image.end(), piece, piece + n);
  }
  bool failed = std::ferror(file);
  std::fclose(file);
  if (failed) {
    error = "read error";
    return false;
  }
  if (tooLarge) {
    error = "file is larger than " + std::to_string(WAV_FILE_LIMIT >> 20) + " MiB";
    return false;
  }
  size_t offset, bytes;
  if (!wavParse(image.data(), image.size(), format, offset, bytes, error)) return false;
  image.erase(image.begin(), image.begin() + std::ptrdiff_t(offset));
  image.resize(bytes);
  data.swap(image);
  return true;
}

bool wavPlayable(const WavFormat &format, std::string &why) {
  if (format.channels != 1 && format.channels != 2) {
    why = std::to_string(format.channels) + " channels; the device takes mono or stereo";
  } else if (format.bits != 8 && format.bits != 16) {
    why = std::to_string(format.bits) + "-bit samples; the device takes 8 or 16 bits";
  } else if (format.rate < WAV_RATE_MIN || format.rate > WAV_RATE_MAX) {
    why = "a rate of " + std::to_string(format.rate) + " Hz; the tools take " +
          std::to_string(WAV_RATE_MIN) + " to " + std::to_string(WAV_RATE_MAX) + " Hz";
  } else {
    return true;
  }
  return false;
}

WavFormat wavMakeFormat(uint32_t rate, uint16_t channels, uint16_t bits) {
  WavFormat format;
  format.channels = channels;
  format.rate = rate;
  format.bits = bits;
  format.blockAlign = uint16_t(channels * (bits / 8));
  return format;
}

std::vector<uint8_t> wavHeader(const WavFormat &format, uint32_t dataBytes) {
  std::vector<uint8_t> h(WAV_HEADER_BYTES);
  std::memcpy(&h[0], "RIFF", 4);
  store32(&h[4], uint32_t(WAV_HEADER_BYTES - 8 + dataBytes + (dataBytes & 1)));
  std::memcpy(&h[8], "WAVEfmt ", 8);
  store32(&h[16], FMT_PCM_BYTES);
  store16(&h[20], FORMAT_PCM);
  store16(&h[22], format.channels);
  store32(&h[24], format.rate);
  store32(&h[28], format.rate * format.blockAlign);
  store16(&h[32], format.blockAlign);
  store16(&h[34], format.bits);
  std::memcpy(&h[36], "data", 4);
  store32(&h[40], dataBytes);
  return h;
}

WavWriter::~WavWriter() {
  std::string ignored;
  if (file_) finish(ignored);
}

bool WavWriter::open(const std::string &path, const WavFormat &format, std::string &error) {
  path_ = path;
  format_ = format;
  dataBytes_ = 0;
  if (path == "-") return openStandardOutput(error);
  file_ = std::fopen(path.c_str(), "wb");
  if (!file_) {
    error = "cannot create: " + std::string(std::strerror(errno));
    return false;
  }
  std::vector<uint8_t> header = wavHeader(format, 0);
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) {
    error = "write error: " + std::string(std::strerror(errno));
    std::fclose(file_);
    file_ = nullptr;
    return false;
  }
  return true;
}

bool WavWriter::openStandardOutput(std::string &error) {
#ifdef _WIN32
  // The runtime would turn every byte 10 into 13 10.
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  file_ = stdout;
  standardOutput_ = true;
  // A pipe has no position; a file opened for appending reports one, but
  // every write goes to its end, so a rewrite at offset 0 would land there.
  rewritable_ = std::ftell(file_) == 0 && !outputAppends();
  std::vector<uint8_t> header = wavHeader(format_, 0);
  if (!rewritable_) {
    store32(&header[4], WAV_SIZE_UNKNOWN);
    store32(&header[40], WAV_SIZE_UNKNOWN);
  }
  if (std::fwrite(header.data(), 1, header.size(), file_) != header.size()) {
    error = "write error: " + std::string(std::strerror(errno));
    file_ = nullptr;
    return false;
  }
  return true;
}

bool WavWriter::write(const void *bytes, size_t size, std::string &error) {
  if (!file_) {
    error = "file is not open";
    return false;
  }
  if (dataBytes_ + size > WAV_DATA_LIMIT) {
    error = "a WAV file holds at most " + std::to_string(WAV_DATA_LIMIT) + " bytes of samples";
    return false;
  }
  if (std::fwrite(bytes, 1, size, file_) != size) {
    error = "write error: " + std::string(std::strerror(errno));
    return false;
  }
  dataBytes_ += size;
  // The header follows the data: written after the samples it counts, so
  // that a recorder killed outright leaves a file whose sizes are at most
  // what it holds.
  if (rewritable_ && !standardOutput_) {
    std::vector<uint8_t> header = wavHeader(format_, uint32_t(dataBytes_));
    // finish() adds the pad byte of an odd data chunk; until then the RIFF
    // size counts only the bytes that are there, or the file would be short
    // of what it announces.
    store32(&header[4], uint32_t(WAV_HEADER_BYTES - 8 + dataBytes_));
    if (std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_SET) != 0 ||
        std::fwrite(header.data(), 1, header.size(), file_) != header.size() ||
        std::fflush(file_) != 0 || std::fseek(file_, 0, SEEK_END) != 0) {
      error = "write error: " + std::string(std::strerror(errno));
      return false;
    }
  }
  return true;
}

bool WavWriter::finish(std::string &error) {
  if (!file_) return true;
  bool ok = true;
  if (dataBytes_ & 1) ok = std::fputc(0, file_) != EOF;
  std::vector<uint8_t> header = wavHeader(format_, uint32_t(dataBytes_));
  if (rewritable_) {
    ok = ok && std::fseek(file_, 0, SEEK_SET) == 0 &&
         std::fwrite(header.data(), 1, header.size(), file_) == header.size();
  }
  if (standardOutput_) {
    ok = std::fflush(file_) == 0 && ok;
  } else {
    ok = (std::fclose(file_) == 0) && ok;
  }
  file_ = nullptr;
  if (!ok) error = "write error: " + std::string(std::strerror(errno));
  return ok;
}
