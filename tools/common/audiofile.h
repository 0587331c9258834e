// The sound files of lumivox-play and lumivox-record, whatever their kind:
// reading a whole file (or standard input) as PCM the wave devices take,
// and writing a recording in the kind its name asks for.
//
// On Linux both sides go through libsndfile, so every file it reads can
// be played and every kind it writes can be recorded to. The Windows
// builds have no libsndfile; there the same interface is served by the
// tools' own RIFF/WAVE reader and writer (tools/common/wav.h), so they
// play and record PCM WAV only. The path "-" is standard input or output
// on both.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/common/wav.h"

// The path that names standard input (play) or standard output (record).
constexpr char AUDIO_STANDARD_STREAM[] = "-";

// A sound in memory as the wave output device takes it.
struct AudioClip {
  WavFormat format;           // what the device is opened with
  std::vector<uint8_t> data;  // interleaved samples, whole frames
  std::string kind;           // the file's kind as read: "WAV", "FLAC", "OGG", ...
  std::string sampleFormat;   // its samples as the file holds them: "24-bit", "Vorbis", ...
  std::string note;           // what was changed to play it (channels left out, ...); or empty
};

// Reads the file at path, or standard input for "-", to its end (at most
// WAV_FILE_LIMIT bytes) and decodes it. With libsndfile every sample
// format comes out as 16-bit PCM at the file's rate; of more than two
// channels the first two are kept, and clip.note says so. A file with no
// audio frames is refused; one that ends before its header says, or whose
// decoding fails part way, is played as far as it goes, and clip.note
// says so. False with the reason in error.
bool audioLoad(const std::string &path, AudioClip &clip, std::string &error);

// Raw PCM: samples without a header, in a format the command line gives.
struct RawPcm {
  uint32_t rate = 44100;
  uint16_t channels = 2;
  uint16_t bits = 16;    // 8 or 16; 16 is signed little-endian
  bool signed8 = false;  // 8-bit samples are signed (aplay's S8), not unsigned (U8)
};

// Reads the file at path, or standard input for "-", to its end as raw
// samples of raw: a part frame at the end is left out, and clip.note says
// so. False with the reason in error, also for an input without a frame.
bool audioLoadRaw(const std::string &path, const RawPcm &raw, AudioClip &clip, std::string &error);

// The kinds a recording can be written as, by the extensions that name
// them: "wav, flac, ogg, ...".
std::string audioWritableKinds();

// Whether a recording of format can be written to path: its extension
// names a kind that can hold the format, or path is "-" (a WAV stream).
// False with the reason in error, naming the known extensions.
bool audioCheckOutput(const std::string &path, const WavFormat &format, std::string &error);

// Writes a recording as its samples arrive, in the kind audioCheckOutput
// accepted: standard output gets a WAV stream (see WavWriter); other paths
// get the kind their extension names. The file is created by open, and a
// writer destroyed unfinished finishes it.
class AudioWriter {
 public:
  AudioWriter();
  ~AudioWriter();
  AudioWriter(const AudioWriter &) = delete;
  AudioWriter &operator=(const AudioWriter &) = delete;

  // Creates (or truncates) the file. False with the reason in error. With
  // raw, the samples alone go to the file or standard output, whatever the
  // file's name.
  bool open(const std::string &path, const WavFormat &format, std::string &error, bool raw = false);
  bool isOpen() const;
  // Appends samples in format (8-bit unsigned or 16-bit little-endian).
  // False when the file cannot take them.
  bool write(const void *bytes, size_t size, std::string &error);
  // Writes what the kind keeps at its end (sizes, the last block) and
  // closes the file. True when nothing was open.
  bool finish(std::string &error);
  // Samples taken so far, bytes in the format given to open.
  uint64_t dataBytes() const { return dataBytes_; }

  // The platform's writer of a named file, opaque outside audiofile.cpp.
  struct Encoder;

 private:
  WavWriter stream_;            // standard output
  bool streamOpen_ = false;     // stream_ has been opened and not finished
  Encoder *encoder_ = nullptr;  // any other path; null while closed
  FILE *raw_ = nullptr;         // raw samples: the file, or standard output
  uint64_t dataBytes_ = 0;      // bytes taken by write
};
