// The terminal's sound system, through libpulse (a PulseAudio daemon, or
// PipeWire's PulseAudio server).
//
// One connection per server process, made by soundConnect before serving
// and ended by soundDisconnect after; libpulse runs it on a thread of its
// own (the threaded main loop). Every function here is called from the
// server's asio thread and takes that loop's lock for the moment it needs
// it, so nothing in it waits for the sound server: streams are made and
// become ready in the background, and until then take nothing and play
// nothing.
//
// Playback streams are fed by their owner on request (the `wake` callback,
// which runs on libpulse's thread and should only post work to the asio
// thread) and report how much the device has actually played, from the
// sound server's timing information: that position, not a clock of ours,
// is what paces the driver. Recording streams hand out what the source
// has captured, again on `wake`.
//
// A stream whose connection to the sound server fails says so (failed())
// and takes and gives nothing more; its owner goes on without it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The sound server's address as libpulse takes it (empty: its default, from
// PULSE_SERVER or the user's runtime directory). Waits at most timeoutMs
// for the connection. False, with the reason, when no sound server is
// reachable; the server then plays to nothing and records a tone.
bool soundConnect(const std::string &server, uint32_t timeoutMs, std::string &why);
// Whether the connection stands. Never waits: a connection that went is
// made again in the background (at once, then after 250 ms, doubling the
// interval each time up to 2 s), and this answers true once it is ready; called
// often (a stream's open, the server's watch), it drives that. Logs the
// loss and the return once each.
bool soundConnected();
// The names of the sound server's sinks (or sources), waiting at most
// timeoutMs. False without a connection or an answer in time (and then
// the connection is given up, to be made again in the background).
bool soundDeviceNames(bool sinks, std::vector<std::string> &names, uint32_t timeoutMs);
// Ends every stream and the connection. Safe without a connection.
void soundDisconnect();
// Keeps a sink of the sound server's own clock (a null sink, which has no
// device to wake it) ready to play at once: see server/sound.cpp. `sink`
// is the name, empty for the default; it applies from now on, across
// reconnections.
void soundKeepReady(const std::string &sink);

// The buffering asked of the sound server for playback adapts: it starts
// at the configured value, rises by half (5 ms at least, up to
// SOUND_BUFFERING_MAX_US or the configured value if larger) after each
// underrun that was not a stream's own starvation, applied to the streams
// that play then and to later ones, and falls by a quarter (never below the
// configured value) after SOUND_BUFFERING_QUIET of playback (time with
// streams open) without one. Each change is
// logged once. The server's thread only.
constexpr uint32_t SOUND_BUFFERING_MAX_US = 40000;
constexpr auto SOUND_BUFFERING_QUIET = std::chrono::seconds(60);
void soundBufferingStart(uint32_t configuredUs);
uint32_t soundBufferingUs();
// A stream's sound-system stream ran dry for lack of time, not of audio
// (`how`, for the log). Raises the buffering.
void soundBufferingUnderrun(uint32_t stream, const char *how);
// Lowers the buffering after a quiet period; called now and then.
void soundBufferingQuiet();

// A playback stream gives the sound server what it has as it comes, up to
// this much beyond what the sound server has played, asked for or not: the
// sound server's own thread then keeps the device fed, and a server thread
// (or a libpulse thread) held up on a busy machine leaves no gap while the
// audio given lasts. Handing on only what the sound server asked for, as
// its buffering came round, ran it dry under load.
constexpr uint64_t SOUND_AHEAD_US = 200000;

struct SoundStreamSetup {
  std::string device;          // sink or source name; empty: the sound server's default
  std::string name;            // the stream's name in the sound server's lists
  uint32_t rate;               // Hz of the samples given or taken
  uint32_t channels;           // 1 or 2, interleaved signed 16-bit
  uint32_t latencyUs;          // the buffering asked of the sound server
  uint16_t volume;             // initial level, 0 to 0xFFFF (linear amplitude)
  std::function<void()> wake;  // on libpulse's thread: more may be written or read
};

// The silences inside a playback stream: each time the sound system's
// stream ran dry and then played on, and how long it was dry.
struct SoundGaps {
  uint32_t count = 0;
  uint64_t microseconds = 0;
  uint32_t late = 0;  // of them, those that began while audio waited to be written
};

class SoundPlayback {
 public:
  // Null (and the reason) without a connection. The stream starts playing
  // once the sound server has buffered its first request.
  static SoundPlayback *open(const SoundStreamSetup &setup, std::string &why);
  // Stops the wake calls. With drain, what was written still plays before
  // the stream goes (in the background); without, it goes at once.
  // Deletes the object.
  void close(bool drain);

  // Frames it takes now (the room left of SOUND_AHEAD_US); 0 until the
  // stream is ready.
  uint32_t writable();
  // Appends frames (silence when samples is null), handed to the sound
  // server at once; false when the stream cannot take them.
  bool write(const int16_t *samples, uint32_t frames);
  // Frames written so far.
  uint64_t written() const { return written_; }
  // Frames the device has played, at the time of the call (interpolated
  // between the sound server's timing updates); false until known.
  bool played(uint64_t &frames);
  // Cork: the device stops taking from this stream, its position stops.
  void cork(bool corked);
  void setVolume(uint16_t level);
  // The gaps so far (the sound server's underruns inside the stream).
  SoundGaps gaps();
  // True once after the sound server moved the stream to another sink (its
  // own went away, or someone moved it), with that sink's name.
  bool movedTo(std::string &device);
  // Whether audio is left waiting after the last write: a gap that begins
  // while it is came from the writer's lateness, not from a lack of audio.
  void setAudioWaiting(bool waiting);
  // Plays what was written now, though the sound server has not started
  // the stream yet: a short sound, the end of one, or audio that comes
  // slowly.
  void playWritten();
  bool failed();

  struct Impl;

 private:
  explicit SoundPlayback(Impl *impl) : impl_(impl) {}
  ~SoundPlayback() = default;
  Impl *impl_;
  uint64_t written_ = 0;
};

class SoundCapture {
 public:
  static SoundCapture *open(const SoundStreamSetup &setup, std::string &why);
  // Ends the stream and deletes the object.
  void close();
  // Copies up to maxFrames captured frames into out; the frames copied.
  uint32_t read(int16_t *out, uint32_t maxFrames);
  void setVolume(uint16_t level);
  bool failed();

  struct Impl;

 private:
  explicit SoundCapture(Impl *impl) : impl_(impl) {}
  ~SoundCapture() = default;
  Impl *impl_;
};
