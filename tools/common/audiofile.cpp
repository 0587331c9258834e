// Sound files through libsndfile on Linux, and through the tools' own WAV
// code on Windows, where libsndfile is not built.
//
// Input is read whole into memory before decoding, a named file and
// standard input alike. libsndfile decodes some kinds only from a seekable
// source (FLAC looks for its metadata, for one), so reading a pipe to its
// end first lets every kind arrive through "-", at the cost of starting
// playback only once the input has ended. The player holds the decoded
// samples in memory anyway, since it queues the whole file at once.
#include "tools/common/audiofile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <sndfile.h>
#endif

namespace {

// Reads all of file (at most WAV_FILE_LIMIT bytes) into image.
bool readAll(FILE *file, std::vector<uint8_t> &image, std::string &error) {
  constexpr size_t CHUNK = 1 << 16;
  for (;;) {
    size_t had = image.size();
    if (had > WAV_FILE_LIMIT) {
      error = "larger than " + std::to_string(WAV_FILE_LIMIT >> 20) + " MiB";
      return false;
    }
    image.resize(had + CHUNK);
    size_t got = std::fread(image.data() + had, 1, CHUNK, file);
    image.resize(had + got);
    if (got < CHUNK) break;
  }
  if (std::ferror(file)) {
    error = "read error: " + std::string(std::strerror(errno));
    return false;
  }
  return true;
}

// The file at path, or standard input for "-", whole.
bool readInput(const std::string &path, std::vector<uint8_t> &image, std::string &error) {
  if (path == AUDIO_STANDARD_STREAM) {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    return readAll(stdin, image, error);
  }
  FILE *file = std::fopen(path.c_str(), "rb");
  if (!file) {
    error = "cannot open: " + std::string(std::strerror(errno));
    return false;
  }
  bool ok = readAll(file, image, error);
  std::fclose(file);
  return ok;
}

// The extension of path, lower case, without the dot; empty when none.
std::string extensionOf(const std::string &path) {
  size_t slash = path.find_last_of("/\\"), dot = path.rfind('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  for (char &c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

}  // namespace

bool audioLoadRaw(const std::string &path, const RawPcm &raw, AudioClip &clip, std::string &error) {
  std::vector<uint8_t> image;
  if (!readInput(path, image, error)) return false;
  clip.format = wavMakeFormat(raw.rate, raw.channels, raw.bits);
  std::string why;
  if (!wavPlayable(clip.format, why)) {
    error = "unsupported format: " + why;
    return false;
  }
  size_t whole = image.size() - image.size() % clip.format.blockAlign;
  if (whole == 0) {
    error = "no audio: " + std::to_string(image.size()) + " bytes, less than a frame of " +
            std::to_string(clip.format.blockAlign);
    return false;
  }
  clip.kind = "raw";
  clip.sampleFormat = raw.bits == 16 ? "16-bit" : raw.signed8 ? "8-bit signed" : "8-bit";
  clip.note.clear();
  if (whole < image.size()) {
    clip.note = std::to_string(image.size() - whole) + " bytes after the last whole frame left out";
  }
  image.resize(whole);
  // The device takes 8-bit samples unsigned, as WAV holds them.
  if (raw.bits == 8 && raw.signed8) {
    for (uint8_t &b : image) b ^= 0x80;
  }
  clip.data = std::move(image);
  return true;
}

#ifdef _WIN32

// ---- Windows: PCM WAV through tools/common/wav.h.

bool audioLoad(const std::string &path, AudioClip &clip, std::string &error) {
  std::vector<uint8_t> image;
  if (!readInput(path, image, error)) return false;
  if (image.empty()) {
    error = "empty: 0 bytes, no sound to play";
    return false;
  }
  size_t offset, bytes;
  if (!wavParse(image.data(), image.size(), clip.format, offset, bytes, error)) return false;
  std::string why;
  if (!wavPlayable(clip.format, why)) {
    error = "unsupported format: " + why;
    return false;
  }
  clip.data.assign(image.begin() + std::ptrdiff_t(offset),
                   image.begin() + std::ptrdiff_t(offset + bytes));
  clip.kind = "WAV";
  clip.sampleFormat = std::to_string(clip.format.bits) + "-bit";
  if (clip.data.empty()) {
    error = "no audio: the file holds no frames";
    return false;
  }
  return true;
}

std::string audioWritableKinds() { return "wav"; }

bool audioCheckOutput(const std::string &path, const WavFormat &, std::string &error) {
  if (path == AUDIO_STANDARD_STREAM || extensionOf(path) == "wav") return true;
  error = path +
          ": this build writes WAV files only: name the file *.wav (or - for standard "
          "output)";
  return false;
}

struct AudioWriter::Encoder {
  WavWriter wav;
};

namespace {

AudioWriter::Encoder *encoderOpen(const std::string &path, const WavFormat &format,
                                  std::string &error) {
  auto *encoder = new AudioWriter::Encoder;
  if (encoder->wav.open(path, format, error)) return encoder;
  delete encoder;
  return nullptr;
}

bool encoderWrite(AudioWriter::Encoder *encoder, const void *bytes, size_t size,
                  std::string &error) {
  return encoder->wav.write(bytes, size, error);
}

bool encoderFinish(AudioWriter::Encoder *encoder, std::string &error) {
  bool ok = encoder->wav.finish(error);
  delete encoder;
  return ok;
}

}  // namespace

#else

// ---- Linux: libsndfile.

namespace {

constexpr sf_count_t DECODE_FRAMES = 4096;  // frames per read while decoding

// libsndfile's view of a file image in memory: a seekable source whatever
// the input was.
struct MemoryInput {
  const std::vector<uint8_t> *image;
  sf_count_t at = 0;  // bytes
};

sf_count_t memoryLength(void *user) {
  return sf_count_t(static_cast<MemoryInput *>(user)->image->size());
}

sf_count_t memorySeek(sf_count_t offset, int whence, void *user) {
  auto *in = static_cast<MemoryInput *>(user);
  sf_count_t size = sf_count_t(in->image->size());
  sf_count_t base = whence == SEEK_CUR ? in->at : whence == SEEK_END ? size : 0;
  in->at = std::clamp<sf_count_t>(base + offset, 0, size);
  return in->at;
}

sf_count_t memoryRead(void *to, sf_count_t count, void *user) {
  auto *in = static_cast<MemoryInput *>(user);
  sf_count_t n = std::min<sf_count_t>(count, sf_count_t(in->image->size()) - in->at);
  if (n <= 0) return 0;
  std::memcpy(to, in->image->data() + in->at, size_t(n));
  in->at += n;
  return n;
}

sf_count_t memoryWrite(const void *, sf_count_t, void *) { return 0; }

sf_count_t memoryTell(void *user) { return static_cast<MemoryInput *>(user)->at; }

// The first word of libsndfile's name for a major format: "FLAC", "WAV".
std::string kindName(int format) {
  SF_FORMAT_INFO info{};
  info.format = format & SF_FORMAT_TYPEMASK;
  if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof info) != 0 || !info.name) return "?";
  std::string name = info.name;
  return name.substr(0, name.find(' '));
}

// The samples as the file holds them: "16-bit", "24-bit", "32-bit float",
// or the codec's name ("Vorbis", "Opus", "FLAC" keeps its PCM width).
std::string sampleFormatName(int format) {
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
      return "8-bit";
    case SF_FORMAT_PCM_16:
      return "16-bit";
    case SF_FORMAT_PCM_24:
      return "24-bit";
    case SF_FORMAT_PCM_32:
      return "32-bit";
    case SF_FORMAT_FLOAT:
      return "32-bit float";
    case SF_FORMAT_DOUBLE:
      return "64-bit float";
    default:
      break;
  }
  SF_FORMAT_INFO info{};
  info.format = format & SF_FORMAT_SUBMASK;
  int count = 0;
  sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE_COUNT, &count, sizeof count);
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO each{};
    each.format = i;
    if (sf_command(nullptr, SFC_GET_FORMAT_SUBTYPE, &each, sizeof each) == 0 &&
        each.format == info.format && each.name) {
      return each.name;
    }
  }
  return "?";
}

// Bytes of one sample of the PCM-like encodings, 0 for the others.
int sampleBytes(int format) {
  switch (format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
      return 1;
    case SF_FORMAT_PCM_16:
      return 2;
    case SF_FORMAT_PCM_24:
      return 3;
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
      return 4;
    case SF_FORMAT_DOUBLE:
      return 8;
    default:
      return 0;
  }
}

// Whether the file is shorter than its header says, from what libsndfile
// noted while it opened it: a size it had to correct downwards ("data :
// 352800 (should be 100516)"), a chunk beyond the end, a frame count the
// data cannot hold. libsndfile plays such a file without an error, and
// only its log tells of the rest. promised: the frames the header gives,
// where it says (0 when not). Sizes of 0 or all ones are a stream's
// "unknown" (a WAV written to a pipe), no promise.
bool cutShort(SNDFILE *file, const SF_INFO &info, uint64_t &promised) {
  std::vector<char> log(8192);
  sf_command(file, SFC_GET_LOG_INFO, log.data(), int(log.size() - 1));
  std::istringstream lines(log.data());
  const uint64_t width = uint64_t(sampleBytes(info.format)) * uint64_t(std::max(info.channels, 1));
  promised = 0;
  bool cut = false;
  for (std::string line; std::getline(lines, line);) {
    size_t should = line.find("(should be ");
    size_t colon = line.rfind(':', should);
    size_t comm = line.find("Frame count read from 'COMM' chunk (");
    if (should != std::string::npos && colon != std::string::npos) {
      uint64_t said = std::strtoull(line.c_str() + colon + 1, nullptr, 10);
      uint64_t there = std::strtoull(line.c_str() + should + 11, nullptr, 10);
      // Less than a frame short is a writer's padding or rounding.
      if (there + std::max<uint64_t>(width, 2) > said || said >= 0xFFFFFFF0u) continue;
      cut = true;
      std::string label = line.substr(0, line.find_first_of(":"));
      label.erase(0, label.find_first_not_of(' '));
      if (width && (label.rfind("data", 0) == 0 || label.rfind("Data Size", 0) == 0 ||
                    label.rfind("SSND", 0) == 0)) {
        promised = said / width;
      }
    } else if (line.find("*** Chunk size") != std::string::npos &&
               line.find("> file length") != std::string::npos) {
      cut = true;
    } else if (comm != std::string::npos) {
      // "... (88200) not equal to frame count" / "calculated from ... (25121)."
      uint64_t said = std::strtoull(line.c_str() + comm + 36, nullptr, 10);
      std::string next;
      std::getline(lines, next);
      size_t open = next.find('(');
      uint64_t there =
          open == std::string::npos ? said : std::strtoull(next.c_str() + open + 1, nullptr, 10);
      if (there < said) {
        cut = true;
        promised = said;
      }
    }
  }
  return cut;
}

// frames at rate as "12.34 s".
std::string secondsText(uint64_t frames, int rate) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f s", double(frames) / double(std::max(rate, 1)));
  return text;
}

// Decodes the whole of file into clip.data as 16-bit samples, keeping the
// first `keep` of info.channels channels.
bool decode(SNDFILE *file, const SF_INFO &info, int keep, AudioClip &clip, std::string &error) {
  std::vector<int16_t> block(size_t(DECODE_FRAMES) * size_t(info.channels));
  uint64_t frames = 0;
  for (sf_count_t got; (got = sf_readf_short(file, block.data(), DECODE_FRAMES)) > 0;) {
    if (clip.data.size() + size_t(got) * size_t(keep) * 2 > WAV_FILE_LIMIT) {
      error = "more than " + std::to_string(WAV_FILE_LIMIT >> 20) + " MiB of 16-bit samples";
      return false;
    }
    for (sf_count_t f = 0; f < got; ++f) {
      for (int c = 0; c < keep; ++c) {
        uint16_t s = uint16_t(block[size_t(f) * size_t(info.channels) + size_t(c)]);
        clip.data.push_back(uint8_t(s));
        clip.data.push_back(uint8_t(s >> 8));
      }
    }
    frames += uint64_t(got);
  }
  // A decoder that fails part way (a cut FLAC file, say) keeps what it
  // decoded, and so does a file that ends before its header says: that
  // much is played, and the note says where it stopped.
  bool failed = sf_error(file) != SF_ERR_NO_ERROR;
  uint64_t promised = info.frames > 0 ? uint64_t(info.frames) : 0, said = 0;
  bool cut = !failed && cutShort(file, info, said);
  if (said) promised = said;
  if (failed || cut) {
    std::string why = failed ? sf_strerror(file) : "the file ends before its header says";
    if (frames == 0) {
      error = (failed ? "cannot decode: " : "no audio: ") + why;
      return false;
    }
    // In seconds with hundredths: the length on the header line is cut to
    // whole seconds, which shows a short remainder as 0:00.
    clip.note += (clip.note.empty() ? "" : "; ") + std::string("damaged after ") +
                 secondsText(frames, info.samplerate) + " (" + std::to_string(frames) + " frames)";
    if (promised > frames) {
      clip.note += " of the " + secondsText(promised, info.samplerate) + " its header gives";
    }
    clip.note += " (" + why + "); playing those";
  }
  if (frames == 0) {
    error = "no audio: the file holds no frames";
    return false;
  }
  return true;
}

}  // namespace

bool audioLoad(const std::string &path, AudioClip &clip, std::string &error) {
  std::vector<uint8_t> image;
  if (!readInput(path, image, error)) return false;
  if (image.empty()) {
    error = "empty: 0 bytes, no sound to play";
    return false;
  }
  MemoryInput input{&image};
  SF_VIRTUAL_IO io{memoryLength, memorySeek, memoryRead, memoryWrite, memoryTell};
  SF_INFO info{};
  SNDFILE *file = sf_open_virtual(&io, SFM_READ, &info, &input);
  if (!file) {
    error = "not a sound file libsndfile reads: " + std::string(sf_strerror(nullptr));
    return false;
  }
  // Floating-point samples beyond full scale are clipped rather than
  // wrapped round when they become 16-bit.
  sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
  clip.kind = kindName(info.format);
  clip.sampleFormat = sampleFormatName(info.format);
  clip.note.clear();
  clip.data.clear();
  int keep = std::min(info.channels, 2);
  if (info.channels > 2) {
    clip.note = std::to_string(info.channels) + " channels: playing the first two";
  }
  clip.format = wavMakeFormat(uint32_t(std::max(info.samplerate, 0)), uint16_t(keep), 16);
  std::string why;
  bool ok = wavPlayable(clip.format, why);
  if (!ok) error = "unsupported format: " + why;
  ok = ok && decode(file, info, keep, clip, error);
  sf_close(file);
  return ok;
}

namespace {

// A kind a recording can be written as.
struct WritableKind {
  std::string extension;  // lower case, without the dot
  int major;              // SF_FORMAT_WAV, ...
  int subtype;            // 0: the first of SUBTYPES_* that the kind takes
};

// Names libsndfile's list lacks or spells otherwise: it lists Ogg under
// "oga" and MPEG audio under "m1a".
const WritableKind EXTRA_KINDS[] = {
    {"ogg", SF_FORMAT_OGG, SF_FORMAT_VORBIS},
    {"opus", SF_FORMAT_OGG, SF_FORMAT_OPUS},
    {"mp3", SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III},
    {"aif", SF_FORMAT_AIFF, 0},
};

// The encodings tried for each sample width, the exact ones first; the
// lossy codecs serve the kinds that have no PCM.
const int SUBTYPES_8[] = {SF_FORMAT_PCM_U8, SF_FORMAT_PCM_S8, SF_FORMAT_PCM_16, SF_FORMAT_VORBIS,
                          SF_FORMAT_MPEG_LAYER_III};
const int SUBTYPES_16[] = {SF_FORMAT_PCM_16, SF_FORMAT_VORBIS, SF_FORMAT_MPEG_LAYER_III};

// libsndfile's major formats with their extensions, then EXTRA_KINDS;
// the first entry of an extension wins (WAV before NIST's "wav").
std::vector<WritableKind> writableKinds() {
  std::vector<WritableKind> kinds;
  int count = 0;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO info{};
    info.format = i;
    if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info) != 0 || !info.extension)
      continue;
    kinds.push_back({info.extension, info.format, 0});
  }
  kinds.insert(kinds.end(), std::begin(EXTRA_KINDS), std::end(EXTRA_KINDS));
  return kinds;
}

// Whether the Opus encoder takes rate.
bool opusRate(uint32_t rate) {
  return rate == 8000 || rate == 12000 || rate == 16000 || rate == 24000 || rate == 48000;
}

// The SF_INFO format for format in kind, or 0 when the kind cannot hold it.
int sndfileFormat(const WritableKind &kind, const WavFormat &format) {
  SF_INFO info{};
  info.samplerate = int(format.rate);
  info.channels = format.channels;
  auto fits = [&](int subtype) {
    info.format = kind.major | subtype;
    // sf_format_check lets Opus pass at any rate, but its encoder refuses
    // all but five, and only once sf_open has already truncated the file.
    if (subtype == SF_FORMAT_OPUS && !opusRate(format.rate)) return false;
    return sf_format_check(&info) != 0;
  };
  if (kind.subtype) return fits(kind.subtype) ? info.format : 0;
  for (int subtype : format.bits == 8
                         ? std::vector<int>(std::begin(SUBTYPES_8), std::end(SUBTYPES_8))
                         : std::vector<int>(std::begin(SUBTYPES_16), std::end(SUBTYPES_16))) {
    if (fits(subtype)) return info.format;
  }
  return 0;
}

// The kind path's extension names, or null.
const WritableKind *kindOf(const std::vector<WritableKind> &kinds, const std::string &path) {
  std::string ext = extensionOf(path);
  for (const WritableKind &k : kinds) {
    if (k.extension == ext) return &k;
  }
  return nullptr;
}

}  // namespace

std::string audioWritableKinds() {
  std::vector<std::string> names;
  WavFormat any = wavMakeFormat(48000, 2, 16);
  for (const WritableKind &k : writableKinds()) {
    if (sndfileFormat(k, any) && std::find(names.begin(), names.end(), k.extension) == names.end())
      names.push_back(k.extension);
  }
  std::string text;
  for (const std::string &n : names) text += (text.empty() ? "" : ", ") + n;
  return text;
}

bool audioCheckOutput(const std::string &path, const WavFormat &format, std::string &error) {
  if (path == AUDIO_STANDARD_STREAM) return true;
  std::vector<WritableKind> kinds = writableKinds();
  const WritableKind *kind = kindOf(kinds, path);
  if (!kind) {
    error = path + ": the extension names no kind of file this tool writes; known: " +
            audioWritableKinds();
    return false;
  }
  if (!sndfileFormat(*kind, format)) {
    error = path + ": a ." + kind->extension + " file cannot hold " + std::to_string(format.rate) +
            " Hz, " + std::to_string(format.channels) + " channels of " +
            std::to_string(format.bits) + "-bit samples";
    if (kind->subtype == SF_FORMAT_OPUS && !opusRate(format.rate))
      error += " (Opus takes 8000, 12000, 16000, 24000 or 48000 Hz: try --rate 48000)";
    return false;
  }
  return true;
}

struct AudioWriter::Encoder {
  SNDFILE *file = nullptr;
  WavFormat format;
  std::vector<int16_t> samples;  // the block being converted
};

namespace {

bool headerHasSizes(int format) {
  int major = format & SF_FORMAT_TYPEMASK;
  return major != SF_FORMAT_OGG && major != SF_FORMAT_FLAC && major != SF_FORMAT_MPEG;
}

AudioWriter::Encoder *encoderOpen(const std::string &path, const WavFormat &format,
                                  std::string &error) {
  std::vector<WritableKind> kinds = writableKinds();
  const WritableKind *kind = kindOf(kinds, path);
  SF_INFO info{};
  info.samplerate = int(format.rate);
  info.channels = format.channels;
  info.format = kind ? sndfileFormat(*kind, format) : 0;
  if (!info.format) {
    error = "cannot write this kind of file";
    return nullptr;
  }
  SNDFILE *file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) {
    error = "cannot create: " + std::string(sf_strerror(nullptr));
    return nullptr;
  }
  // The header's sizes follow every write where the kind has them (WAV,
  // AIFF, ...), so that a recorder killed outright leaves a file that says
  // how much it holds. The streamed kinds (Ogg, FLAC, MPEG) have none to
  // keep, and an update there writes its headers again in the middle of
  // the audio: an Ogg Vorbis file came out as headers and nothing else.
  if (headerHasSizes(info.format)) sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
  auto *encoder = new AudioWriter::Encoder;
  encoder->file = file;
  encoder->format = format;
  return encoder;
}

bool encoderWrite(AudioWriter::Encoder *encoder, const void *bytes, size_t size,
                  std::string &error) {
  const uint8_t *b = static_cast<const uint8_t *>(bytes);
  std::vector<int16_t> &s = encoder->samples;
  s.clear();
  if (encoder->format.bits == 8) {
    for (size_t i = 0; i < size; ++i) s.push_back(int16_t((int(b[i]) - 128) * 256));
  } else {
    for (size_t i = 0; i + 1 < size; i += 2) s.push_back(int16_t(uint16_t(b[i] | b[i + 1] << 8)));
  }
  if (sf_write_short(encoder->file, s.data(), sf_count_t(s.size())) != sf_count_t(s.size())) {
    error = "write error: " + std::string(sf_strerror(encoder->file));
    return false;
  }
  return true;
}

bool encoderFinish(AudioWriter::Encoder *encoder, std::string &error) {
  int result = sf_close(encoder->file);
  delete encoder;
  if (result != 0) error = "cannot finish the file: " + std::string(sf_error_number(result));
  return result == 0;
}

}  // namespace

#endif

namespace {

bool rawWrite(FILE *file, const void *bytes, size_t size, std::string &error) {
  if (std::fwrite(bytes, 1, size, file) == size) return true;
  error = "write error: " + std::string(std::strerror(errno));
  return false;
}

}  // namespace

AudioWriter::AudioWriter() = default;

AudioWriter::~AudioWriter() {
  std::string ignored;
  finish(ignored);
}

bool AudioWriter::open(const std::string &path, const WavFormat &format, std::string &error,
                       bool raw) {
  dataBytes_ = 0;
  if (raw) {
    if (path == AUDIO_STANDARD_STREAM) {
#ifdef _WIN32
      _setmode(_fileno(stdout), _O_BINARY);
#endif
      raw_ = stdout;
      return true;
    }
    raw_ = std::fopen(path.c_str(), "wb");
    if (!raw_) error = "cannot create: " + std::string(std::strerror(errno));
    return raw_ != nullptr;
  }
  if (path == AUDIO_STANDARD_STREAM) return streamOpen_ = stream_.open(path, format, error);
  encoder_ = encoderOpen(path, format, error);
  return encoder_ != nullptr;
}

bool AudioWriter::isOpen() const { return streamOpen_ || encoder_ || raw_; }

bool AudioWriter::write(const void *bytes, size_t size, std::string &error) {
  if (size == 0) return true;
  if (dataBytes_ + size > WAV_DATA_LIMIT) {
    error = "a recording holds at most " + std::to_string(WAV_DATA_LIMIT) + " bytes of samples";
    return false;
  }
  bool ok = streamOpen_ ? stream_.write(bytes, size, error)
            : encoder_  ? encoderWrite(encoder_, bytes, size, error)
            : raw_      ? rawWrite(raw_, bytes, size, error)
                        : (error = "file is not open", false);
  if (ok) dataBytes_ += size;
  return ok;
}

bool AudioWriter::finish(std::string &error) {
  bool ok = true;
  if (streamOpen_) ok = stream_.finish(error);
  if (encoder_) ok = encoderFinish(encoder_, error);
  if (raw_) {
    bool flushed = std::fflush(raw_) == 0;
    if (raw_ != stdout) flushed = std::fclose(raw_) == 0 && flushed;
    if (!flushed && ok) {
      error = "write error: " + std::string(std::strerror(errno));
      ok = false;
    }
    raw_ = nullptr;
  }
  streamOpen_ = false;
  encoder_ = nullptr;
  return ok;
}
