#include "server/sound.h"

#include <pthread.h>
#include <pulse/pulseaudio.h>
#include <sched.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>
#include <vector>

#include "server/log.h"

namespace {

// libpulse's description of interleaved samples: format, rate, channels.
using SampleFormat = pa_sample_spec;

pa_threaded_mainloop *mainLoop = nullptr;
pa_context *context = nullptr;
// Playback streams closed with a drain, still playing their last frames
// or lingering after them: they end themselves SOUND_LINGER after the
// drain completes, or with the connection.
std::set<pa_stream *> draining;
// The stream pointers of every open SoundPlayback and SoundCapture: when
// the connection ends, their streams end with it and the pointers become
// null, so that their owners see failed streams, not freed ones.
std::set<pa_stream **> live;
// Every open SoundPlayback, for a change of buffering.
std::set<SoundPlayback::Impl *> playbacks;
// The buffering of playback streams (soundBufferingStart).
struct {
  uint32_t floorUs = 10000;  // configured
  uint32_t nowUs = 10000;
  // Playing time since the last raise or fall: the quiet that lowers the
  // buffering counts only while streams play, since a server with nothing
  // to play learns nothing of how busy its machine is.
  std::chrono::steady_clock::duration quiet{};
  std::chrono::steady_clock::time_point lookedAt;  // the last soundBufferingQuiet
} buffering;
// Reconnecting: a sound server that went away (restarted, say) is tried
// again in the background, never holding the server's thread: at once,
// then RECONNECT_FIRST later, doubling the interval each time up to
// RECONNECT_MAX.
constexpr auto RECONNECT_FIRST = std::chrono::milliseconds(250);
constexpr auto RECONNECT_MAX = std::chrono::milliseconds(2000);
std::chrono::milliseconds reconnectWait = RECONNECT_FIRST;
bool reconnecting = false;                      // a connection is being made in the background
bool goneLogged = false;                        // the loss of the connection has been logged
constexpr pa_usec_t SOUND_LINGER_US = 2000000;  // a drained stream's stay (onDrained)
std::string serverName;                         // as given to soundConnect
// A sink without a device runs on a timer alone: left without streams it
// renders in blocks of its largest latency (2 s), and a new stream's first
// frames wait for the block under way to end; its short latency makes the
// blocks short only from the next one on. A stream of ours kept on such a
// sink, corked, holds its latency at KEEPER_LATENCY_US between streams
// (about 40 wake-ups a second of the sound server's, while the sink is not
// suspended), and when we find the sink without streams, suspending it and
// resuming it at once ends the long block. Sinks with a device are left
// alone: their device wakes them.
constexpr pa_usec_t KEEPER_LATENCY_US = 50000;
constexpr char TIMER_SINK_DRIVER[] = "module-null-sink.c";
std::string keptSink;         // as given to soundKeepReady
bool keepWanted = false;      // soundKeepReady was called
pa_stream *keeper = nullptr;  // the corked stream, while connected
bool wanted = false;          // soundConnect was called and soundDisconnect not
std::chrono::steady_clock::time_point lastAttempt;

// Holds the main loop's lock: libpulse's objects are touched only under it.
class Locked {
 public:
  Locked() { pa_threaded_mainloop_lock(mainLoop); }
  ~Locked() { pa_threaded_mainloop_unlock(mainLoop); }
  Locked(const Locked &) = delete;
  Locked &operator=(const Locked &) = delete;
};

void onContextState(pa_context *, void *) { pa_threaded_mainloop_signal(mainLoop, 0); }

// libpulse's thread passes the sound server's requests and timing on and
// reads nothing from the network: it alone runs at real-time priority
// where the system allows it, bounded as rtkit bounds its clients (RLIMIT_RTTIME: a thread that
// runs that long without blocking ends the process rather than the machine). The threads that read
// datagrams stay at normal priority, so that a flood gains nothing.
constexpr int SOUND_RT_PRIORITY = 5;
constexpr rlim_t SOUND_RTTIME_US = 200000;
std::atomic<int> realtimeError{-1};  // -1 not tried yet, 0 granted, else the errno
bool realtimeLogged = false;

int raiseToRealtime() {
  rlimit limit{};
  if (getrlimit(RLIMIT_RTTIME, &limit) < 0) return errno;
  if (limit.rlim_max == RLIM_INFINITY || limit.rlim_max > SOUND_RTTIME_US) {
    limit.rlim_cur = limit.rlim_max = SOUND_RTTIME_US;
  } else if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
  }
  if (setrlimit(RLIMIT_RTTIME, &limit) < 0) return errno;
  sched_param param{};
  param.sched_priority = SOUND_RT_PRIORITY;
  return pthread_setschedparam(pthread_self(), SCHED_RR | SCHED_RESET_ON_FORK, &param);
}

void onLoopStarted(pa_mainloop_api *api, pa_defer_event *event, void *) {
  api->defer_free(event);
  realtimeError = raiseToRealtime();
}

// Says once whether the thread got its priority.
void logRealtime() {
  int error = realtimeError.load();
  if (realtimeLogged || error < 0) return;
  realtimeLogged = true;
  if (error == 0) {
    logLine(LOG_INFO, "sound system: fed at real-time priority %d (at most %u ms of CPU at a time)",
            SOUND_RT_PRIORITY, unsigned(SOUND_RTTIME_US / 1000));
  } else {
    logLine(LOG_INFO, "sound system: fed at normal priority (real-time refused: %s)",
            std::strerror(error));
  }
}

bool contextGood() {
  return context && PA_CONTEXT_IS_GOOD(pa_context_get_state(context)) &&
         pa_context_get_state(context) == PA_CONTEXT_READY;
}

pa_cvolume volumeOf(uint16_t level, uint32_t channels) {
  pa_cvolume v;
  pa_cvolume_set(&v, channels, pa_sw_volume_from_linear(double(level) / 0xFFFF));
  return v;
}

SampleFormat sampleFormatOf(const SoundStreamSetup &setup) {
  SampleFormat s;
  s.format = PA_SAMPLE_S16LE;
  s.rate = setup.rate;
  s.channels = uint8_t(setup.channels);
  return s;
}

uint32_t bytesFor(const SampleFormat &s, uint64_t microseconds) {
  return uint32_t(pa_usec_to_bytes(microseconds, &s));
}

void endStream(pa_stream *stream) {
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_set_write_callback(stream, nullptr, nullptr);
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  pa_stream_disconnect(stream);
  pa_stream_unref(stream);
}

bool streamFailed(pa_stream *stream) {
  pa_stream_state_t state = pa_stream_get_state(stream);
  return !contextGood() || state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED;
}

}  // namespace

namespace {

void teardown();

// Starts a connection; it completes (or fails) in the background.
bool connectStart(const std::string &server, std::string &why) {
  lastAttempt = std::chrono::steady_clock::now();
  mainLoop = pa_threaded_mainloop_new();
  if (!mainLoop) {
    why = "no memory for the sound system's main loop";
    return false;
  }
  context = pa_context_new(pa_threaded_mainloop_get_api(mainLoop), "lumivox-server");
  if (!context) {
    why = "no memory for the sound system's context";
    teardown();
    return false;
  }
  pa_context_set_state_callback(context, onContextState, nullptr);
  pa_mainloop_api *api = pa_threaded_mainloop_get_api(mainLoop);
  api->defer_new(api, onLoopStarted, nullptr);
  // Never start a sound server of our own: on a terminal without one the
  // server plays to nothing.
  if (pa_context_connect(context, server.empty() ? nullptr : server.c_str(), PA_CONTEXT_NOAUTOSPAWN,
                         nullptr) < 0 ||
      pa_threaded_mainloop_start(mainLoop) < 0) {
    why = pa_strerror(pa_context_errno(context));
    teardown();
    return false;
  }
  return true;
}

bool connectNow(const std::string &server, uint32_t timeoutMs, std::string &why) {
  if (!connectStart(server, why)) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pa_context_state_t state;
    {
      Locked lock;
      state = pa_context_get_state(context);
      if (!PA_CONTEXT_IS_GOOD(state)) why = pa_strerror(pa_context_errno(context));
    }
    if (state == PA_CONTEXT_READY) {
      logRealtime();
      return true;
    }
    if (!PA_CONTEXT_IS_GOOD(state)) break;
    if (std::chrono::steady_clock::now() > deadline) {
      why = "no answer within " + std::to_string(timeoutMs) + " ms";
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  teardown();
  return false;
}

void teardown() {
  if (!mainLoop) return;
  {
    Locked lock;
    for (pa_stream *stream : draining) endStream(stream);
    draining.clear();
    for (pa_stream **stream : live) {
      endStream(*stream);
      *stream = nullptr;
    }
    if (keeper) endStream(keeper);
    keeper = nullptr;
    if (context) {
      pa_context_set_state_callback(context, nullptr, nullptr);
      pa_context_disconnect(context);
    }
  }
  pa_threaded_mainloop_stop(mainLoop);
  if (context) pa_context_unref(context);
  pa_threaded_mainloop_free(mainLoop);
  context = nullptr;
  mainLoop = nullptr;
}

}  // namespace

namespace {

void onMonitorInfo(pa_context *, const pa_source_info *info, int eol, void *) {
  if (eol || !info || !context) return;
  // Nothing plays and nobody records what would play: the sink's long
  // block ends unheard.
  if (info->state == PA_SOURCE_RUNNING) return;
  pa_operation *op =
      pa_context_suspend_sink_by_index(context, info->monitor_of_sink, 1, nullptr, nullptr);
  if (op) pa_operation_unref(op);
  op = pa_context_suspend_sink_by_index(context, info->monitor_of_sink, 0, nullptr, nullptr);
  if (op) pa_operation_unref(op);
}

void onKeptSinkInfo(pa_context *, const pa_sink_info *info, int eol, void *) {
  if (eol || !info || !context || keeper) return;
  if (!info->driver || std::strcmp(info->driver, TIMER_SINK_DRIVER) != 0) return;
  SampleFormat format{PA_SAMPLE_S16LE, info->sample_spec.rate, 1};
  pa_stream *stream = pa_stream_new(context, "Lumivox keeps the sink ready", &format, nullptr);
  if (!stream) return;
  pa_buffer_attr attributes;
  std::memset(&attributes, 0xFF, sizeof attributes);  // each (uint32_t)-1: the sound server's
  attributes.tlength = bytesFor(format, KEEPER_LATENCY_US);
  pa_stream_flags_t flags =
      pa_stream_flags_t(PA_STREAM_START_CORKED | PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE);
  if (pa_stream_connect_playback(stream, info->name, &attributes, flags, nullptr, nullptr) < 0) {
    pa_stream_unref(stream);
    return;
  }
  keeper = stream;
  if (info->state == PA_SINK_IDLE) {
    pa_operation *op =
        pa_context_get_source_info_by_index(context, info->monitor_source, onMonitorInfo, nullptr);
    if (op) pa_operation_unref(op);
  }
}

// Asks for the kept sink's description; onKeptSinkInfo does the rest.
void keepReady() {
  if (keeper && streamFailed(keeper)) {  // its sink went away, say
    endStream(keeper);
    keeper = nullptr;
  }
  if (!keepWanted || keeper || !contextGood()) return;
  pa_operation *op = pa_context_get_sink_info_by_name(
      context, keptSink.empty() ? "@DEFAULT_SINK@" : keptSink.c_str(), onKeptSinkInfo, nullptr);
  if (op) pa_operation_unref(op);
}

}  // namespace

void soundKeepReady(const std::string &sink) {
  keptSink = sink;
  keepWanted = true;
  if (!mainLoop) return;
  Locked lock;
  keepReady();
}

bool soundConnect(const std::string &server, uint32_t timeoutMs, std::string &why) {
  serverName = server;
  wanted = true;
  return connectNow(server, timeoutMs, why);
}

bool soundConnected() {
  std::string why;
  if (mainLoop) {
    {
      Locked lock;
      pa_context_state_t state = context ? pa_context_get_state(context) : PA_CONTEXT_FAILED;
      if (state == PA_CONTEXT_READY) {
        if (reconnecting) keepReady();
      } else if (PA_CONTEXT_IS_GOOD(state)) {
        return false;  // still connecting, in the background
      } else {
        why = pa_strerror(pa_context_errno(context));
      }
    }
    if (why.empty()) {
      if (reconnecting) logLine(LOG_INFO, "the sound server is back");
      reconnecting = goneLogged = false;
      reconnectWait = RECONNECT_FIRST;
      return true;
    }
    if (!goneLogged) {
      logLine(LOG_INFO,
              "the sound server does not answer (%s): new playback streams are refused until "
              "it does; trying again in the background",
              why.c_str());
      goneLogged = true;
    }
    teardown();
  }
  auto now = std::chrono::steady_clock::now();
  if (!wanted || now - lastAttempt < reconnectWait) return false;
  reconnectWait = std::min(reconnectWait * 2, RECONNECT_MAX);
  reconnecting = true;
  if (!connectStart(serverName, why) && !goneLogged) {
    logLine(LOG_INFO, "the sound server cannot be reached (%s): trying again in the background",
            why.c_str());
    goneLogged = true;
  }
  return false;
}

bool soundDeviceNames(bool sinks, std::vector<std::string> &names, uint32_t timeoutMs) {
  struct Query {
    std::vector<std::string> names;
    bool done = false;
  } query;
  if (!mainLoop) return false;
  {
    Locked lock;
    if (!contextGood()) return false;
    pa_operation *op = sinks
                           ? pa_context_get_sink_info_list(
                                 context,
                                 [](pa_context *, const pa_sink_info *info, int eol, void *data) {
                                   auto *q = static_cast<Query *>(data);
                                   if (eol) q->done = true;
                                   if (info && info->name) q->names.push_back(info->name);
                                 },
                                 &query)
                           : pa_context_get_source_info_list(
                                 context,
                                 [](pa_context *, const pa_source_info *info, int eol, void *data) {
                                   auto *q = static_cast<Query *>(data);
                                   if (eol) q->done = true;
                                   if (info && info->name) q->names.push_back(info->name);
                                 },
                                 &query);
    if (!op) return false;
    pa_operation_unref(op);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    {
      Locked lock;
      if (query.done) {
        names = query.names;
        return true;
      }
      if (!contextGood() || std::chrono::steady_clock::now() > deadline) {
        // The callback may still come: it must find a query that lives.
        // Abandoning the connection ends every callback of it.
        break;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  teardown();
  return false;
}

void soundDisconnect() {
  wanted = false;
  teardown();
}

// ---- Playback.

struct SoundPlayback::Impl {
  pa_stream *stream = nullptr;
  uint32_t latencyUs = 0;  // the buffering asked of the sound server now
  SampleFormat format{};   // the samples given or taken
  uint32_t frameBytes = 0;
  std::function<void()> wake;
  int32_t pendingVolume = -1;  // set before the stream was ready: applied once it is
  // The sound server said that the stream ran dry, and nothing was written
  // since: the device has taken every frame written. Both sides hold the
  // main loop's lock.
  bool underflowed = false;
  // Gaps: the stream ran dry (underflow) and started again later (more
  // audio came). A stream's end runs dry too, but nothing starts after
  // it, so only gaps inside the audio count. Under the main loop's lock.
  bool dry = false;
  pa_usec_t dryAt = 0;           // the sound server's clock at the underflow
  uint32_t gaps = 0;             // underflows followed by a restart
  uint64_t gapMicroseconds = 0;  // silence they put between the audio
  // Set by the writer (any thread): audio waits after its last write. The
  // underflow takes it: a gap that began while audio waited is late.
  std::atomic<bool> audioWaiting{false};
  bool dryLate = false;
  uint32_t lateGaps = 0;
  // The sound server moved the stream to another sink (its own went, or a
  // user moved it); taken by movedTo. Under the main loop's lock.
  bool moved = false;
};

namespace {

void onPlaybackUnderflow(pa_stream *, void *data) {
  auto *impl = static_cast<SoundPlayback::Impl *>(data);
  impl->underflowed = true;
  if (!impl->dry) {
    impl->dry = true;
    impl->dryAt = pa_rtclock_now();
    impl->dryLate = impl->audioWaiting.load(std::memory_order_relaxed);
  }
}

// Playback starts again after an underflow (and at the first start, which
// follows none): the time in between was silence in the middle of the
// stream.
void onPlaybackStarted(pa_stream *, void *data) {
  auto *impl = static_cast<SoundPlayback::Impl *>(data);
  if (!impl->dry) return;
  impl->dry = false;
  impl->gaps += 1;
  impl->gapMicroseconds += pa_rtclock_now() - impl->dryAt;
  if (impl->dryLate) impl->lateGaps += 1;
}

void onPlaybackMoved(pa_stream *, void *data) {
  auto *impl = static_cast<SoundPlayback::Impl *>(data);
  impl->moved = true;
  if (impl->wake) impl->wake();
}

void onPlaybackWrite(pa_stream *, size_t, void *data) {
  auto *impl = static_cast<SoundPlayback::Impl *>(data);
  if (impl->wake) impl->wake();  // to give more
}

void applyPlaybackVolume(SoundPlayback::Impl *impl, uint16_t level) {
  pa_cvolume v = volumeOf(level, impl->format.channels);
  pa_operation *op = pa_context_set_sink_input_volume(context, pa_stream_get_index(impl->stream),
                                                      &v, nullptr, nullptr);
  if (op) pa_operation_unref(op);
}

void onPlaybackState(pa_stream *stream, void *data) {
  auto *impl = static_cast<SoundPlayback::Impl *>(data);
  if (pa_stream_get_state(stream) == PA_STREAM_READY && impl->pendingVolume >= 0) {
    applyPlaybackVolume(impl, uint16_t(impl->pendingVolume));
    impl->pendingVolume = -1;
  }
  if (impl->wake) impl->wake();  // ready or failed: either way the owner looks
}

void onLingered(pa_mainloop_api *api, pa_time_event *event, const struct timeval *, void *data) {
  api->time_free(event);
  auto *stream = static_cast<pa_stream *>(data);
  if (draining.erase(stream)) endStream(stream);
}

// A drained stream stays connected, silent, for SOUND_LINGER: while it
// stands the sink keeps the short period it asked for, and the next stream
// (the next file of a playlist, which opens a stream of its own) starts
// at once. A sink left without streams goes back to its longest period,
// and a stream that arrives then waits for that period to end.
void onDrained(pa_stream *stream, int, void *) {
  if (!draining.count(stream)) return;
  if (!pa_context_rttime_new(context, pa_rtclock_now() + SOUND_LINGER_US, onLingered, stream)) {
    draining.erase(stream);
    endStream(stream);
  }
}

// The sound server keeps about latencyUs queued, asks for more each
// quarter of it, and starts at the first frame. (Waiting for half of it
// before starting avoided a gap a few ms into a stream with a large
// buffering, but a stream whose start was missed stood still for good.)
pa_buffer_attr playbackBuffering(const SoundPlayback::Impl *impl) {
  pa_buffer_attr attr;
  attr.maxlength = uint32_t(-1);
  attr.tlength = bytesFor(impl->format, impl->latencyUs);
  attr.minreq = bytesFor(impl->format, impl->latencyUs / 4);
  attr.prebuf = impl->frameBytes;
  attr.fragsize = uint32_t(-1);
  return attr;
}

// Asks every playing stream for the buffering of now (in the background:
// the sound server answers when it has applied it).
void applyBuffering() {
  if (!mainLoop) return;
  Locked lock;
  for (SoundPlayback::Impl *impl : playbacks) {
    if (impl->latencyUs == buffering.nowUs) continue;
    impl->latencyUs = buffering.nowUs;
    if (!impl->stream || pa_stream_get_state(impl->stream) != PA_STREAM_READY) continue;
    pa_buffer_attr attr = playbackBuffering(impl);
    pa_operation *op = pa_stream_set_buffer_attr(impl->stream, &attr, nullptr, nullptr);
    if (op) pa_operation_unref(op);
  }
}

}  // namespace

void soundBufferingStart(uint32_t configuredUs) {
  buffering.floorUs = buffering.nowUs = configuredUs;
  buffering.quiet = {};
  buffering.lookedAt = std::chrono::steady_clock::now();
}

uint32_t soundBufferingUs() { return buffering.nowUs; }

void soundBufferingUnderrun(uint32_t stream, const char *how) {
  const uint32_t ceiling = std::max(buffering.floorUs, SOUND_BUFFERING_MAX_US);
  const uint32_t was = buffering.nowUs;
  buffering.quiet = {};
  uint32_t raised = std::max(was + was / 2, was + 5000);
  raised = std::min(raised - raised % 1000, ceiling);
  if (raised <= was) return;
  buffering.nowUs = raised;
  applyBuffering();
  logLine(LOG_INFO,
          "stream %u: the sound system ran dry %s: its buffering raised to %u ms (from %u ms)",
          stream, how, raised / 1000, was / 1000);
}

void soundBufferingQuiet() {
  auto now = std::chrono::steady_clock::now();
  auto since = now - buffering.lookedAt;
  buffering.lookedAt = now;
  if (buffering.nowUs <= buffering.floorUs) {
    buffering.quiet = {};
    return;
  }
  if (playbacks.empty()) return;
  buffering.quiet += since;
  if (buffering.quiet < SOUND_BUFFERING_QUIET) return;
  const uint32_t was = buffering.nowUs;
  uint32_t lowered = was - was / 4;
  lowered = std::max(lowered - lowered % 1000, buffering.floorUs);
  buffering.nowUs = lowered;
  buffering.quiet = {};
  applyBuffering();
  logLine(
      LOG_INFO, "no underrun in %lld s of playback: the sound system's buffering lowered to %u ms",
      (long long)std::chrono::duration_cast<std::chrono::seconds>(SOUND_BUFFERING_QUIET).count(),
      lowered / 1000);
}

SoundPlayback *SoundPlayback::open(const SoundStreamSetup &setup, std::string &why) {
  if (!mainLoop) {
    why = "no sound server";
    return nullptr;
  }
  Locked lock;
  if (!contextGood()) {
    why = "the sound server's connection is gone";
    return nullptr;
  }
  auto *impl = new Impl;
  impl->format = sampleFormatOf(setup);
  impl->frameBytes = uint32_t(pa_frame_size(&impl->format));
  impl->wake = setup.wake;
  impl->stream = pa_stream_new(context, setup.name.c_str(), &impl->format, nullptr);
  if (!impl->stream) {
    why = pa_strerror(pa_context_errno(context));
    delete impl;
    return nullptr;
  }
  impl->latencyUs = std::max(setup.latencyUs, buffering.nowUs);
  pa_buffer_attr attr = playbackBuffering(impl);
  pa_cvolume volume = volumeOf(setup.volume, setup.channels);
  pa_stream_set_write_callback(impl->stream, onPlaybackWrite, impl);
  pa_stream_set_underflow_callback(impl->stream, onPlaybackUnderflow, impl);
  pa_stream_set_started_callback(impl->stream, onPlaybackStarted, impl);
  pa_stream_set_state_callback(impl->stream, onPlaybackState, impl);
  pa_stream_set_moved_callback(impl->stream, onPlaybackMoved, impl);
  auto flags = pa_stream_flags_t(PA_STREAM_INTERPOLATE_TIMING | PA_STREAM_AUTO_TIMING_UPDATE |
                                 PA_STREAM_ADJUST_LATENCY);
  if (pa_stream_connect_playback(impl->stream,
                                 setup.device.empty() ? nullptr : setup.device.c_str(), &attr,
                                 flags, &volume, nullptr) < 0) {
    why = pa_strerror(pa_context_errno(context));
    endStream(impl->stream);
    delete impl;
    return nullptr;
  }
  live.insert(&impl->stream);
  playbacks.insert(impl);
  return new SoundPlayback(impl);
}

void SoundPlayback::close(bool drain) {
  live.erase(&impl_->stream);
  playbacks.erase(impl_);
  if (mainLoop && impl_->stream) {
    Locked lock;
    pa_stream *stream = impl_->stream;
    pa_stream_set_write_callback(stream, nullptr, nullptr);
    pa_stream_set_underflow_callback(stream, nullptr, nullptr);
    pa_stream_set_started_callback(stream, nullptr, nullptr);
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_moved_callback(stream, nullptr, nullptr);
    pa_operation *op = nullptr;
    if (drain && !streamFailed(stream) && pa_stream_get_state(stream) == PA_STREAM_READY &&
        !pa_stream_is_corked(stream)) {
      op = pa_stream_drain(stream, onDrained, nullptr);
    }
    if (op) {
      draining.insert(stream);
      pa_operation_unref(op);
    } else {
      endStream(stream);
    }
  }
  delete impl_;
  delete this;
}

// What the sound server may take now: up to SOUND_AHEAD_US beyond what it
// has played.
uint32_t SoundPlayback::writable() {
  if (!impl_->stream) return 0;
  Locked lock;
  pa_usec_t time = 0;
  if (pa_stream_get_state(impl_->stream) != PA_STREAM_READY ||
      pa_stream_get_time(impl_->stream, &time) < 0) {
    return 0;
  }
  uint64_t played = uint64_t(time) * impl_->format.rate / 1000000;
  uint64_t queued = written_ > played ? written_ - played : 0;
  uint64_t most = uint64_t(impl_->format.rate) * SOUND_AHEAD_US / 1000000;
  return queued < most ? uint32_t(most - queued) : 0;
}

// Hands the frames to the sound server at once (it copies them), whether
// or not it has asked: its own thread, not ours, then keeps the device fed.
bool SoundPlayback::write(const int16_t *samples, uint32_t frames) {
  if (!impl_->stream) return false;
  Locked lock;
  if (pa_stream_get_state(impl_->stream) != PA_STREAM_READY) return false;
  size_t bytes = size_t(frames) * impl_->frameBytes;
  std::vector<uint8_t> silence;
  const void *data = samples;
  if (!samples) {
    silence.assign(bytes, 0);
    data = silence.data();
  }
  if (pa_stream_write(impl_->stream, data, bytes, nullptr, 0, PA_SEEK_RELATIVE) < 0) return false;
  impl_->underflowed = false;
  written_ += frames;
  return true;
}

bool SoundPlayback::played(uint64_t &frames) {
  if (!impl_->stream) return false;
  Locked lock;
  pa_usec_t time = 0;
  if (pa_stream_get_state(impl_->stream) != PA_STREAM_READY ||
      pa_stream_get_time(impl_->stream, &time) < 0) {
    return false;
  }
  frames = uint64_t(time) * impl_->format.rate / 1000000;
  // A stream that ran dry stops its clock short of the end: the sound
  // server's estimate of the audio still inside the device, which it
  // leaves standing once nothing more flows, and which grows with the
  // buffering asked and with a busy machine. Once the sound server has
  // said that the device took it all, all of it is played or playing: the
  // last frames of a stream are reported as played, rather than waiting
  // for audio that will never come (the driver, whose queue they fill,
  // would wait for them in turn).
  if (impl_->underflowed && frames < written_) frames = written_;
  return true;
}

void SoundPlayback::cork(bool corked) {
  if (!impl_->stream) return;
  Locked lock;
  if (pa_stream_get_state(impl_->stream) != PA_STREAM_READY) return;
  pa_operation *op = pa_stream_cork(impl_->stream, corked ? 1 : 0, nullptr, nullptr);
  if (op) pa_operation_unref(op);
}

void SoundPlayback::setVolume(uint16_t level) {
  if (!impl_->stream) return;
  Locked lock;
  if (pa_stream_get_state(impl_->stream) == PA_STREAM_READY) {
    applyPlaybackVolume(impl_, level);
  } else {
    impl_->pendingVolume = level;
  }
}

SoundGaps SoundPlayback::gaps() {
  if (!mainLoop) return {};
  Locked lock;
  return {impl_->gaps, impl_->gapMicroseconds, impl_->lateGaps};
}

bool SoundPlayback::movedTo(std::string &device) {
  if (!impl_->stream || !mainLoop) return false;
  Locked lock;
  if (!impl_->moved) return false;
  impl_->moved = false;
  const char *name = pa_stream_get_device_name(impl_->stream);
  device = name ? name : "another sink";
  return true;
}

void SoundPlayback::setAudioWaiting(bool waiting) {
  impl_->audioWaiting.store(waiting, std::memory_order_relaxed);
}

void SoundPlayback::playWritten() {
  if (!mainLoop || !impl_->stream) return;
  Locked lock;
  if (pa_stream_get_state(impl_->stream) != PA_STREAM_READY) return;
  pa_operation *op = pa_stream_trigger(impl_->stream, nullptr, nullptr);
  if (op) pa_operation_unref(op);
}

bool SoundPlayback::failed() {
  if (!impl_->stream) return true;
  Locked lock;
  return streamFailed(impl_->stream);
}

// ---- Recording.

struct SoundCapture::Impl {
  pa_stream *stream = nullptr;
  SampleFormat format{};  // the samples given or taken
  uint32_t frameBytes = 0;
  std::function<void()> wake;
  const uint8_t *fragment = nullptr;  // peeked and not yet dropped; null data is a hole
  size_t fragmentBytes = 0;
  size_t fragmentAt = 0;  // bytes of it already handed out
  bool peeked = false;
  int32_t pendingVolume = -1;
};

namespace {

void onCaptureRead(pa_stream *, size_t, void *data) {
  auto *impl = static_cast<SoundCapture::Impl *>(data);
  if (impl->wake) impl->wake();
}

void applyCaptureVolume(SoundCapture::Impl *impl, uint16_t level) {
  pa_cvolume v = volumeOf(level, impl->format.channels);
  pa_operation *op = pa_context_set_source_output_volume(context, pa_stream_get_index(impl->stream),
                                                         &v, nullptr, nullptr);
  if (op) pa_operation_unref(op);
}

void onCaptureState(pa_stream *stream, void *data) {
  auto *impl = static_cast<SoundCapture::Impl *>(data);
  if (pa_stream_get_state(stream) == PA_STREAM_READY && impl->pendingVolume >= 0) {
    applyCaptureVolume(impl, uint16_t(impl->pendingVolume));
    impl->pendingVolume = -1;
  }
  if (impl->wake) impl->wake();
}

}  // namespace

SoundCapture *SoundCapture::open(const SoundStreamSetup &setup, std::string &why) {
  if (!mainLoop) {
    why = "no sound server";
    return nullptr;
  }
  Locked lock;
  if (!contextGood()) {
    why = "the sound server's connection is gone";
    return nullptr;
  }
  auto *impl = new Impl;
  impl->format = sampleFormatOf(setup);
  impl->frameBytes = uint32_t(pa_frame_size(&impl->format));
  impl->wake = setup.wake;
  impl->pendingVolume = setup.volume;
  impl->stream = pa_stream_new(context, setup.name.c_str(), &impl->format, nullptr);
  if (!impl->stream) {
    why = pa_strerror(pa_context_errno(context));
    delete impl;
    return nullptr;
  }
  pa_buffer_attr attr;
  attr.maxlength = uint32_t(-1);
  attr.tlength = attr.minreq = attr.prebuf = uint32_t(-1);
  attr.fragsize = bytesFor(impl->format, setup.latencyUs);
  pa_stream_set_read_callback(impl->stream, onCaptureRead, impl);
  pa_stream_set_state_callback(impl->stream, onCaptureState, impl);
  if (pa_stream_connect_record(impl->stream, setup.device.empty() ? nullptr : setup.device.c_str(),
                               &attr, PA_STREAM_ADJUST_LATENCY) < 0) {
    why = pa_strerror(pa_context_errno(context));
    endStream(impl->stream);
    delete impl;
    return nullptr;
  }
  live.insert(&impl->stream);
  return new SoundCapture(impl);
}

void SoundCapture::close() {
  live.erase(&impl_->stream);
  if (mainLoop && impl_->stream) {
    Locked lock;
    if (impl_->peeked) pa_stream_drop(impl_->stream);
    endStream(impl_->stream);
  }
  delete impl_;
  delete this;
}

uint32_t SoundCapture::read(int16_t *out, uint32_t maxFrames) {
  if (!impl_->stream) return 0;
  Locked lock;
  if (pa_stream_get_state(impl_->stream) != PA_STREAM_READY) return 0;
  uint8_t *to = reinterpret_cast<uint8_t *>(out);
  size_t want = size_t(maxFrames) * impl_->frameBytes, done = 0;
  while (done < want) {
    if (!impl_->peeked) {
      const void *data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(impl_->stream, &data, &bytes) < 0 || bytes == 0) break;
      impl_->peeked = true;
      impl_->fragment = static_cast<const uint8_t *>(data);
      impl_->fragmentBytes = bytes;
      impl_->fragmentAt = 0;
    }
    size_t n = std::min(want - done, impl_->fragmentBytes - impl_->fragmentAt);
    // A hole in the source's data is silence.
    if (impl_->fragment) {
      std::memcpy(to + done, impl_->fragment + impl_->fragmentAt, n);
    } else {
      std::memset(to + done, 0, n);
    }
    done += n;
    impl_->fragmentAt += n;
    if (impl_->fragmentAt == impl_->fragmentBytes) {
      pa_stream_drop(impl_->stream);
      impl_->peeked = false;
    }
  }
  return uint32_t(done / impl_->frameBytes);
}

void SoundCapture::setVolume(uint16_t level) {
  if (!impl_->stream) return;
  Locked lock;
  if (pa_stream_get_state(impl_->stream) == PA_STREAM_READY) {
    applyCaptureVolume(impl_, level);
  } else {
    impl_->pendingVolume = level;
  }
}

bool SoundCapture::failed() {
  if (!impl_->stream) return true;
  Locked lock;
  return streamFailed(impl_->stream);
}
