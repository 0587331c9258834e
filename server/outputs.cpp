// A playback stream's outputs: the sound system, a WAV file, nothing. See
// server/outputs.h.
#include "server/outputs.h"

#include <sndfile.h>

#include <string>

#include "server/log.h"
#include "server/options.h"
#include "server/sound.h"

namespace {

// Only one stream at a time writes the output file.
bool outputBusy = false;

class NoOutput : public PlayoutOutput {
 public:
  const char *name() const override { return "nothing"; }
  bool write(const int16_t *, uint32_t) override { return true; }
  bool silent() const override { return true; }
};

// The WAV file of --output, 16-bit PCM at the ring's rate and channels.
class FileOutput : public PlayoutOutput {
 public:
  FileOutput(SNDFILE *file, std::string path) : file_(file), path_(std::move(path)) {
    outputBusy = true;
  }
  ~FileOutput() override { close(false); }

  const char *name() const override { return path_.c_str(); }
  bool write(const int16_t *samples, uint32_t frames) override {
    if (file_) sf_writef_short(file_, samples, frames);
    return true;
  }
  void close(bool) override {
    if (!file_) return;
    sf_close(file_);
    outputBusy = false;
    file_ = nullptr;
  }

 private:
  SNDFILE *file_;     // null once closed
  std::string path_;  // for the log
};

// A stream of the sound system's: its device's played position is the
// clock. Written frames are all audio: a stream that runs dry is held by
// the sound server where it stands and goes on when more comes, so the
// device's position and the timebase stay in step.
class SoundOutput : public PlayoutOutput {
 public:
  SoundOutput(SoundPlayback *sound, const uint32_t *volume, std::string sink)
      : sound_(sound), volume_(volume), volumeApplied_(volume ? *volume : 0), sink_(sink) {}
  ~SoundOutput() override { close(false); }

  const char *name() const override { return sink_.c_str(); }
  bool clocked() const override { return true; }
  uint32_t writable() override { return sound_->writable(); }
  bool write(const int16_t *samples, uint32_t frames) override {
    return sound_->write(samples, frames);
  }
  uint64_t written() const override { return sound_->written(); }
  bool played(uint64_t &frames) override { return sound_->played(frames); }
  void cork(bool corked) override { sound_->cork(corked); }
  void followVolume() override {
    if (!volume_ || *volume_ == volumeApplied_) return;
    volumeApplied_ = *volume_;
    sound_->setVolume(uint16_t(volumeApplied_ >> 16));
  }
  bool failed() override { return sound_->failed(); }
  void gaps(uint32_t &count, uint64_t &microseconds, uint32_t &late) override {
    SoundGaps g = sound_ ? sound_->gaps() : SoundGaps{};
    count = g.count;
    microseconds = g.microseconds;
    late = g.late;
  }
  bool moved() override {
    std::string device;
    if (!sound_ || !sound_->movedTo(device)) return false;
    sink_ = device;
    return true;
  }
  void audioWaiting(bool waiting) override {
    if (sound_) sound_->setAudioWaiting(waiting);
  }
  void playWritten() override {
    if (sound_) sound_->playWritten();
  }
  void close(bool drain) override {
    if (!sound_) return;
    sound_->close(drain);
    sound_ = nullptr;
  }

 private:
  SoundPlayback *sound_;        // null once closed (close deletes it)
  const uint32_t *volume_;      // the volume control's stored value, or null
  uint32_t volumeApplied_ = 0;  // the value last given to the sound system
  std::string sink_;            // for the log
};

// The output file, or null when it cannot be written (logged).
std::unique_ptr<PlayoutOutput> openFile(const ServerOptions &options,
                                        const PlayoutOutputSetup &setup) {
  SF_INFO info{};
  info.samplerate = int(setup.rate);
  info.channels = int(options.outputChannels);
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *file = sf_open(options.output.c_str(), SFM_WRITE, &info);
  if (!file) {
    logLine(LOG_ERROR, "stream %u: cannot write %s: %s", setup.stream, options.output.c_str(),
            sf_strerror(nullptr));
    return nullptr;
  }
  return std::make_unique<FileOutput>(file, options.output);
}

// A stream of the sound system's, or null without one (logged).
std::unique_ptr<PlayoutOutput> openSound(const ServerOptions &options,
                                         const PlayoutOutputSetup &setup) {
  if (!soundConnected()) return nullptr;
  const std::string &sink = setup.sink ? *setup.sink : options.sink;
  SoundStreamSetup sound{sink,
                         "Lumivox playback " + std::to_string(setup.stream),
                         setup.rate,
                         options.outputChannels,
                         options.soundLatencyMs * 1000,
                         uint16_t(setup.volume ? *setup.volume >> 16 : 0xFFFF),
                         setup.wake};
  std::string why;
  SoundPlayback *playback = SoundPlayback::open(sound, why);
  if (!playback) {
    logLine(LOG_INFO, "stream %u: no sound system stream (%s): playing to nothing", setup.stream,
            why.c_str());
    return nullptr;
  }
  return std::make_unique<SoundOutput>(playback, setup.volume,
                                       sink.empty() ? "the default sink" : sink);
}

}  // namespace

std::unique_ptr<PlayoutOutput> playoutOutputOpen(const ServerOptions &options,
                                                 const PlayoutOutputSetup &setup) {
  std::unique_ptr<PlayoutOutput> output;
  bool toFile = !options.output.empty() && options.output != OUTPUT_NONE;
  if (toFile && !outputBusy) {
    output = openFile(options, setup);
  } else if (toFile) {
    logLine(LOG_INFO, "stream %u: the output file is taken: playing to nothing", setup.stream);
  }
  if (options.output.empty() && !options.fast) output = openSound(options, setup);
  return output ? std::move(output) : playoutOutputNone();
}

std::unique_ptr<PlayoutOutput> playoutOutputNone() { return std::make_unique<NoOutput>(); }
