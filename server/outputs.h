// Where a playback stream's audio goes: the sound system, a WAV file, or
// nowhere (--output none, --fast, or a sound system that is not there).
//
// The outputs differ in one way that matters to the stream: whether they
// keep time. The sound system's stream plays at its device's pace, asks for
// frames when it has room and tells how many it has played; that position,
// not a clock of ours, is what the stream reports to the driver. A file and
// nothing take whatever the stream's own clock plays out, at once. The
// stream asks clocked() and runs one clock or the other (server/playout.h);
// everything else about an output is behind this class.
//
// An abstract class, as UdpStream is: each output owns what it opened
// (the file, the sound system's stream) and gives it back when closed or
// destroyed. All of it runs on the server's asio thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

struct ServerOptions;

class PlayoutOutput {
 public:
  virtual ~PlayoutOutput() = default;

  // What the log calls it: the file's path, the sink, or "nothing".
  virtual const char *name() const = 0;
  // Whether it plays at a clock of its own, which then is the stream's
  // clock: it asks for frames (writable) and tells what it has played
  // (played). Without one it takes what the stream's clock plays out.
  virtual bool clocked() const { return false; }
  // Frames it asks for now; 0 for an output without a clock of its own.
  virtual uint32_t writable() { return 0; }
  // Appends frames at the ring's rate and channels, interleaved; false when
  // it cannot take them.
  virtual bool write(const int16_t *samples, uint32_t frames) = 0;
  // Frames written so far (a clocked output's count; 0 for the others).
  virtual uint64_t written() const { return 0; }
  // Frames a clocked output has played, at the time of the call; false
  // until known, and always for the others.
  virtual bool played(uint64_t &frames) {
    (void)frames;
    return false;
  }
  // Stops (true) or resumes the output's clock where it stands.
  virtual void cork(bool corked) { (void)corked; }
  // Gives the volume control's current value to the output if it changed.
  virtual void followVolume() {}
  // True once it cannot play any more (its connection failed); the stream
  // then goes on with nothing.
  virtual bool failed() { return false; }
  // True for the output that drops what it is given: what the stream
  // plays then is heard nowhere.
  virtual bool silent() const { return false; }
  // The gaps inside what it played: how often a clocked output ran dry and
  // played on, and for how long in all, microseconds; `late` counts those
  // that began while audio was waiting (see audioWaiting).
  virtual void gaps(uint32_t &count, uint64_t &microseconds, uint32_t &late) {
    count = late = 0;
    microseconds = 0;
  }
  // True once after the output was moved to another device (the sound
  // system's sink went away and it moved the stream to its default, or a
  // user moved it); name() says the new one.
  virtual bool moved() { return false; }
  // Whether audio was left waiting after the last write.
  virtual void audioWaiting(bool waiting) { (void)waiting; }
  // Plays what was written, even less than the output waits for to start.
  virtual void playWritten() {}
  // Ends the output. With drain, what was written still plays (in the
  // background); without, it stops at once. Nothing is written after it.
  // Idempotent; the destructor closes without draining.
  virtual void close(bool drain) { (void)drain; }
};

// What a stream's output is opened with, besides the options.
struct PlayoutOutputSetup {
  uint32_t stream;             // the stream id, for the log
  uint32_t rate;               // Hz of the frames written
  const uint32_t *volume;      // the volume control's stored value, or null
  std::function<void()> wake;  // on libpulse's thread: the sound system's stream wants more
  // The sound system's sink: the options' (--sink) when not set, its
  // default when empty.
  std::optional<std::string> sink;
};

// The output the options name: the WAV file (--output), unless another
// stream writes it already; the sound system (no --output, no --fast); or
// nothing. Never null: what cannot be opened is logged, and the stream
// plays to nothing.
std::unique_ptr<PlayoutOutput> playoutOutputOpen(const ServerOptions &options,
                                                 const PlayoutOutputSetup &setup);
// The output that drops what it is given.
std::unique_ptr<PlayoutOutput> playoutOutputNone();
