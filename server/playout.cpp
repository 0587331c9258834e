// The playback side of a stream: acknowledgements, the playout clock, the
// decoding into the output ring and the WAV file. See server/udpstream.h.
//
// Cost per stream: a server carries hundreds of streams on one thread, so
// the per-datagram and per-tick work is kept to the system calls the wire
// needs. One shared tick (PlayoutTicker) serves the clocks of every stream
// of an io_context instead of a timer each; a readable socket is drained
// with recvmmsg, whose short count tells that it is empty, instead of a
// receive per datagram and one more that finds nothing.
#include <sndfile.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "audio/convert.h"
#include "audio/formats.h"
#include "platform/platform.h"
#include "server/log.h"
#include "server/options.h"
#include "server/sound.h"
#include "server/stats.h"
#include "server/streams.h"
#include "server/udpstream.h"
#include "wire/datagram.h"

namespace {

using Clock = std::chrono::steady_clock;

// The clock advances consumed this often.
constexpr auto PLAYOUT_TICK = std::chrono::milliseconds(10);
// Progress reports (unsolicited acknowledgements). Every datagram is
// answered with the positions as it arrives; between datagrams the driver
// hears of progress once consumed has moved by the last packet's duration
// (which is when a driver that waits for room below its lead has room for
// the next), or has reached the end of what came, and nothing went out for
// REPORT_QUIET. Never more than one report per tick of the playout clock
// (PLAYOUT_TICK, on a fixed grid), and never more reports than datagrams
// received have paid for: each datagram taken earns one, up to
// REPORT_CREDIT_MAX saved. So no datagram earns more than two back, and a
// header that carries no audio moves nothing to report.
constexpr auto REPORT_QUIET = std::chrono::microseconds(5000);
constexpr uint32_t REPORT_CREDIT_MAX = 8;
// The most audio one packet carries: 42 GSM frames of 160 samples at
// 8000 Hz, in the driver's frames at its rate (a 16-bit duration).
uint32_t packetFramesMax(uint32_t rate) {
  uint64_t frames = (uint64_t(42) * 160 * rate + 7999) / 8000;
  return frames > 0xFFFF ? 0xFFFF : uint32_t(frames);
}

// The most ring frames a stream takes: 1 MiB of stereo audio, over five
// seconds at 48000 Hz.
constexpr uint32_t PLAYOUT_RING_FRAMES_MAX = 1u << 18;

// Ring frames at the output rate: what a driver may keep queued (its
// largest lead and a packet beyond it) and the converter's window, rounded
// up to a power of two (131072 frames at 44100 Hz on both sides), at most
// PLAYOUT_RING_FRAMES_MAX. A driver that runs further ahead has the excess
// dropped, never written over what plays.
uint32_t playoutRingFrames(uint32_t maxLead, uint32_t rate, uint32_t outRate) {
  uint64_t queued = (uint64_t(maxLead) + packetFramesMax(rate)) * outRate / (rate ? rate : 1);
  uint64_t need = queued + 2 * RS_MAX_TAPS;
  uint32_t frames = 1u << 12;
  while (frames < need && frames < PLAYOUT_RING_FRAMES_MAX) frames <<= 1;
  return frames;
}

// Writes every page of the ring once, so that the playout never waits on
// the system to provide one.
void prefault(SampleRing *ring) {
  volatile uint8_t *bytes = reinterpret_cast<volatile uint8_t *>(ringSamples(ring));
  size_t size = size_t(ring->frames) * ring->channels * sizeof(int16_t);
  for (size_t at = 0; at < size; at += 4096) bytes[at] = 0;
}
// Bad datagrams logged per stream; later ones are only counted.
constexpr uint32_t MALFORMED_LOGGED = 16;
// Datagrams taken per recvmmsg: the driver keeps at most four packets in
// flight, and a probe. A drain stops after DRAIN_BATCHES calls and goes on
// in a later handler, so one flooded socket cannot hold the thread.
constexpr unsigned RECEIVE_BATCH = 5;
constexpr unsigned DRAIN_BATCHES = 16;

// Only one stream at a time writes the output file.
bool outputBusy = false;
// The arrival-to-audible latency is sampled on a packet this often, and
// reported as the median of each second's samples.
constexpr auto LATENCY_SAMPLE = std::chrono::milliseconds(100);
constexpr auto LATENCY_REPORT = std::chrono::seconds(1);
// Samples kept for the stream's closing figures: all of the first 8192
// (13 minutes), then a uniform sample of that many, so that a stream's
// memory does not grow with its length.
constexpr size_t LATENCY_KEPT = 8192;

class PlayoutStream;

// The playout clocks' one tick, every PLAYOUT_TICK on a fixed grid, for the
// streams that asked for the next one; an asio service, so there is one per
// io_context and it goes with it. A stream asks again from its tick while
// its clock runs. The list holds the streams as their timer's handler did,
// so a stream lives until its next tick has seen it closed.
class PlayoutTicker : public asio::execution_context::service {
 public:
  static asio::execution_context::id id;

  explicit PlayoutTicker(asio::io_context &io) : service(io), timer_(io) {}

  void add(std::shared_ptr<PlayoutStream> stream);
  // Ticks run so far: a count that moves once per PLAYOUT_TICK.
  uint64_t ticks() const { return ticks_; }

 private:
  void shutdown() override {
    timer_.cancel();
    waiting_.clear();
  }
  void onTick(const asio::error_code &error);

  asio::steady_timer timer_;
  bool armed_ = false;
  uint64_t ticks_ = 0;
  std::vector<std::shared_ptr<PlayoutStream>> waiting_;  // for the next tick
  std::vector<std::shared_ptr<PlayoutStream>> due_;      // those of the tick being run
};

asio::execution_context::id PlayoutTicker::id;

// The stream sockets' readiness, for every stream at once: an epoll set of
// its own, which the io_context watches as one descriptor. Each socket is
// registered once, edge-triggered, and its drain reads it until a short
// batch shows it empty; a datagram then costs no re-arming of a wait of its
// stream's, only the set's once per wake-up, whatever it brings. The set
// holds its streams as a wait's handler would, until they close.
class PlayoutPoller : public asio::execution_context::service {
 public:
  static asio::execution_context::id id;

  explicit PlayoutPoller(asio::io_context &io);

  // False when the set cannot take the socket (the stream waits on its own).
  bool add(const std::shared_ptr<PlayoutStream> &stream, int socket);
  // Takes the socket out before it closes; the stream is let go after the
  // handler that closed it has returned.
  void remove(PlayoutStream *stream, int socket);

 private:
  static constexpr int EVENTS = 64;  // per epoll_wait
  static constexpr int ROUNDS = 16;  // epoll_waits per wake-up before others run

  void shutdown() override {
    asio::error_code ignored;
    descriptor_.close(ignored);
    streams_.clear();
  }
  void arm();
  void onReady();

  asio::io_context &io_;
  asio::posix::stream_descriptor descriptor_;
  bool armed_ = false;
  std::unordered_map<PlayoutStream *, std::shared_ptr<PlayoutStream>> streams_;
};

asio::execution_context::id PlayoutPoller::id;

class PlayoutStream : public UdpStream, public std::enable_shared_from_this<PlayoutStream> {
 public:
  PlayoutStream(asio::io_context &io, const ServerOptions &o, StreamRecord &r)
      : options_(o),
        socket_(std::move(r.socket)),
        ticker_(asio::use_service<PlayoutTicker>(io)),
        poller_(asio::use_service<PlayoutPoller>(io)),
        id_(r.id),
        rate_(r.applicationRate ? r.applicationRate : 1),
        driverHost_(r.driver.address().to_v4().to_uint()),
        volume_(r.volume) {}
  ~PlayoutStream() override {
    finish();
    gsmCoderFree(&coder_);
  }

  bool start();
  void close() override;
  void pause() override;
  // The shared tick: the clock's step, for a stream that asked for it.
  void onTick();

 private:
  void receiveNext();
  friend class PlayoutPoller;
  void drain();
  // Whether the last datagram came from the driver's host; any host does
  // when the request named none.
  bool fromDriverHost() const {
    return driverHost_ == 0 ||
           (from_.address().is_v4() && from_.address().to_v4().to_uint() == driverHost_);
  }
  void onDatagram(std::span<const uint8_t> d);
  void bind();
  bool plausible(PacketHeader &h);
  void onPacket(const PacketHeader &h, std::span<const uint8_t> payload);
  void noteSequence(const PacketHeader &h);
  void noteFormat(const PacketHeader &h);
  void decode(const PacketHeader &h, std::span<const uint8_t> payload, bool first);
  bool advanceClock(Clock::time_point now);
  void playTo(uint32_t position);
  void writeOut(uint32_t frames);
  void armTimer();
  void sendAck(uint16_t unsolicited);
  void report(Clock::time_point now);
  bool reportDue() const { return consumed_ != reported_ && reportCredit_ > 0; }
  void finish();
  // The sound system's side: feeding the device, its played position,
  // the volume, the latency samples, and going on without it.
  bool openSound(uint32_t outRate);
  void onSound();
  void feed();
  bool followDevice();
  void applyVolume();
  void sampleLatency(const PacketHeader &h);
  void measureLatency();
  void dropSound(const char *why);

  const ServerOptions &options_;
  asio::ip::udp::socket socket_;
  PlayoutTicker &ticker_;       // PLAYOUT_TICK while the clock runs
  PlayoutPoller &poller_;       // the socket's readiness
  bool polled_ = false;         // in the poller's set (else its own wait)
  uint32_t id_;                 // the stream id
  uint32_t rate_;               // Hz: the timebase, the application's rate
  uint32_t driverHost_;         // the request's IPv4 address, host order: others ignored
  SampleRing *ring_ = nullptr;  // output rate and channels; LocalFree'd by finish
  Resampler rs_{};              // wire rate to output rate, positions in timebase frames
  GsmCoder coder_ = nullptr;    // this stream's own GSM coder, made on first use
  SNDFILE *file_ = nullptr;     // the output file, or null to play to nothing
  // One byte more than the largest datagram shows an oversized one.
  std::array<std::array<uint8_t, PACKET_MAX_DATAGRAM + 1>, RECEIVE_BATCH> receive_;
  std::array<sockaddr_in, RECEIVE_BATCH> senders_;  // of the datagrams of one recvmmsg
  asio::ip::udp::endpoint from_;                    // sender of the last datagram
  // The driver's end once its first valid datagram came: the socket is
  // connected to it, so the system drops anyone else's.
  asio::ip::udp::endpoint boundTo_;
  bool bound_ = false;
  bool synced_ = false;                 // a data packet came
  bool paused_ = false;                 // a pause request came and no data packet since
  bool ticking_ = false;                // on the ticker's list for its next tick
  bool closed_ = false;                 // close() ran
  uint32_t lastStart_ = 0;              // timebase frames: start of the last packet
  uint16_t lastDuration_ = 0;           // timebase frames: duration of the last packet
  uint32_t receivedEnd_ = 0;            // timebase frames: highest start + duration
  uint32_t consumed_ = 0;               // timebase frames: played out
  uint32_t reported_ = 0;               // timebase frames: consumed the driver last heard
  uint32_t reportCredit_ = 0;           // progress reports the datagrams have paid for
  uint32_t holdFrames_ = 0;             // timebase frames the ring holds beyond consumed
  uint64_t played_ = 0;                 // timebase frames played out since the first data packet
  uint64_t ringRead_ = 0;               // ring frames read out since the first data packet
  uint32_t writePos_ = 0;               // ring position of the next decoded frame
  uint32_t readPos_ = 0;                // ring position of the next frame played out
  Clock::time_point anchorTime_;        // when the clock was at anchorPos_
  Clock::time_point lastSent_;          // when the last acknowledgement went out
  uint64_t reportTick_ = ~uint64_t(0);  // the tick of the last progress report
  uint32_t anchorPos_ = 0;              // timebase frames
  int32_t formatKey_ = -1;              // kind, rate index and stereo of the last data packet
  // Playing to the sound system: its stream; the frames it has played,
  // counted from syncPos_, give consumed. Written frames are all audio:
  // a stream that runs dry is held by the sound server where it stands
  // and goes on when more comes, so the device's position and the
  // timebase stay in step.
  SoundPlayback *sound_ = nullptr;
  uint32_t syncPos_ = 0;        // timebase frames: consumed at the first data packet
  const uint32_t *volume_;      // the volume control's stored value, or null
  uint32_t volumeApplied_ = 0;  // the value last given to the sound system
  // Arrival-to-audible latency: one packet sampled at a time.
  bool latencyPending_ = false;
  Clock::time_point latencyAt_;          // when the sampled packet arrived
  uint32_t latencyStart_ = 0;            // its start, timebase frames
  Clock::time_point lastLatencySample_;  // when the last sample was taken
  Clock::time_point lastLatencyReport_;
  std::vector<double> latencySecond_;  // ms, samples of the current second
  std::vector<double> latencyAll_;     // ms, a sample of the samples (LATENCY_KEPT at most)
  uint64_t latencyCount_ = 0;          // samples taken
  std::minstd_rand latencyDraw_;
  double latencyMin_ = 0, latencyMax_ = 0;  // ms, of every sample
  // Counters for the statistics.
  uint64_t packets_ = 0, probes_ = 0, bytes_ = 0, malformed_ = 0, lost_ = 0, lostFrames_ = 0,
           late_ = 0, reordered_ = 0, formatChanges_ = 0, acks_ = 0, foreign_ = 0, clamped_ = 0,
           beyond_ = 0;
};

bool PlayoutStream::start() {
  uint32_t outRate = options_.outputRate ? options_.outputRate : rate_;
  // A driver keeps no more lead than its own ceiling, whatever we allow.
  uint32_t maxLead = std::min(options_.maxLead, APPLICATION_LEAD_MAX);
  ring_ =
      ringCreate(playoutRingFrames(maxLead, rate_, outRate), outRate, options_.outputChannels == 2);
  if (!ring_) return false;
  prefault(ring_);
  // A packet may start this far beyond the played position: what the ring
  // holds besides the converter's windows, in timebase frames.
  holdFrames_ = uint32_t(uint64_t(ring_->frames - 2 * RS_MAX_TAPS) * rate_ / ring_->rate);
  bool toFile = !options_.output.empty() && options_.output != OUTPUT_NONE;
  if (toFile && !outputBusy) {
    SF_INFO info{};
    info.samplerate = int(outRate);
    info.channels = int(options_.outputChannels);
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    file_ = sf_open(options_.output.c_str(), SFM_WRITE, &info);
    if (!file_) {
      logLine(LOG_ERROR, "stream %u: cannot write %s: %s", id_, options_.output.c_str(),
              sf_strerror(nullptr));
    } else {
      outputBusy = true;
    }
  } else if (toFile) {
    logLine(LOG_INFO, "stream %u: the output file is taken: playing to nothing", id_);
  }
  if (options_.output.empty() && !options_.fast) openSound(outRate);
  logFrom(driverHost_, LOG_INFO, "stream %u: playing at %u Hz, %u channels, to %s", id_, outRate,
          options_.outputChannels,
          file_    ? options_.output.c_str()
          : sound_ ? (options_.sink.empty() ? "the default sink" : options_.sink.c_str())
                   : "nothing");
  polled_ = poller_.add(shared_from_this(), socket_.native_handle());
  if (!polled_) receiveNext();
  return true;
}

bool PlayoutStream::openSound(uint32_t outRate) {
  if (!soundConnected()) return false;
  std::weak_ptr<PlayoutStream> weak = weak_from_this();
  auto executor = socket_.get_executor();
  SoundStreamSetup setup{options_.sink,
                         "Lumivox playback " + std::to_string(id_),
                         outRate,
                         options_.outputChannels,
                         options_.soundLatencyMs * 1000,
                         uint16_t(volume_ ? *volume_ >> 16 : 0xFFFF),
                         [weak, executor] {
                           asio::post(executor, [weak] {
                             if (auto self = weak.lock()) self->onSound();
                           });
                         }};
  std::string why;
  sound_ = SoundPlayback::open(setup, why);
  if (!sound_) {
    logLine(LOG_INFO, "stream %u: no sound system stream (%s): playing to nothing", id_,
            why.c_str());
    return false;
  }
  volumeApplied_ = volume_ ? *volume_ : 0;
  return true;
}

void PlayoutStream::receiveNext() {
  socket_.async_wait(asio::socket_base::wait_read,
                     [self = shared_from_this()](const asio::error_code &e) {
                       if (self->closed_ || e == asio::error::operation_aborted) return;
                       self->drain();
                     });
}

// Takes what the socket holds, a batch per call, until a short batch shows
// it empty; then waits again. Errors a datagram socket reports (an
// acknowledgement's port unreachable, say) come one per call and are
// passed over, as a receive passed over them before.
void PlayoutStream::drain() {
  std::array<mmsghdr, RECEIVE_BATCH> messages{};
  std::array<iovec, RECEIVE_BATCH> vectors{};
  for (unsigned batch = 0; batch < DRAIN_BATCHES; ++batch) {
    for (unsigned i = 0; i < RECEIVE_BATCH; ++i) {
      vectors[i] = {receive_[i].data(), receive_[i].size()};
      messages[i].msg_hdr = {};
      messages[i].msg_hdr.msg_name = &senders_[i];
      messages[i].msg_hdr.msg_namelen = sizeof senders_[i];
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    int got =
        recvmmsg(socket_.native_handle(), messages.data(), RECEIVE_BATCH, MSG_DONTWAIT, nullptr);
    if (got < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      continue;
    }
    for (int i = 0; i < got && !closed_; ++i) {
      const sockaddr_in &at = senders_[i];
      from_ = at.sin_family == AF_INET
                  ? asio::ip::udp::endpoint(asio::ip::address_v4(ntohl(at.sin_addr.s_addr)),
                                            ntohs(at.sin_port))
                  : asio::ip::udp::endpoint();
      onDatagram(std::span<const uint8_t>(receive_[i].data(), messages[i].msg_len));
    }
    if (closed_) return;
    if (unsigned(got) < RECEIVE_BATCH) break;
    if (batch + 1 == DRAIN_BATCHES) {
      asio::post(socket_.get_executor(), [self = shared_from_this()] {
        if (!self->closed_) self->drain();
      });
      return;
    }
  }
  if (!polled_) receiveNext();
}

void PlayoutStream::onDatagram(std::span<const uint8_t> d) {
  // Another host, or once bound another port, could otherwise steer the
  // played position and take the acknowledgements. Once bound the system
  // drops them; these are what was queued before.
  if (bound_ ? from_ != boundTo_ : !fromDriverHost()) {
    if (foreign_++ < MALFORMED_LOGGED) {
      logFrom(driverHost_, LOG_INFO, "stream %u: datagram from %s:%u, not the driver's: ignored",
              id_, from_.address().to_string().c_str(), unsigned(from_.port()));
    }
    return;
  }
  PacketHeader h;
  if (PacketFault fault = packetParse(d.data(), d.size(), &h)) {
    if (malformed_++ < MALFORMED_LOGGED) {
      char why[64];
      packetFaultText(fault, &h, d.size(), why, sizeof why);
      logFrom(driverHost_, LOG_INFO, "stream %u: malformed datagram from %s:%u: %s: ignored", id_,
              from_.address().to_string().c_str(), unsigned(from_.port()), why);
    }
    return;
  }
  if (!bound_) bind();
  if (!plausible(h)) return;
  bytes_ += d.size();
  onPacket(h, d.subspan(PACKET_HEADER_BYTES));
}

// The first valid datagram names the driver's end: its stream socket, or a
// relay's in between. A driver sends a stream from its one socket.
void PlayoutStream::bind() {
  if (!udpStreamBind(socket_, from_, id_, driverHost_)) return;
  bound_ = true;
  boundTo_ = from_;
  logLine(LOG_DEBUG, "stream %u: bound to %s:%u", id_, from_.address().to_string().c_str(),
          unsigned(from_.port()));
}

// Takes the plausible part of a packet: its duration as far as its payload
// carries audio, and its span as far as the ring holds beyond what has
// played. False when nothing of it is plausible (it starts beyond that):
// it is dropped unanswered. A probe carries nothing and places nothing,
// wherever it says it starts, and every probe is answered.
bool PlayoutStream::plausible(PacketHeader &h) {
  if (h.kind == WIRE_PROBE) {
    h.duration = 0;
    return true;
  }
  uint32_t carried = packetCarriedFrames(&h, rate_);
  if (h.duration > carried) {
    h.duration = uint16_t(carried);
    ++clamped_;
  }
  if (!synced_) return true;  // the first packet places the stream
  int32_t ahead = positionDiff(h.start, consumed_);
  if (ahead > int32_t(holdFrames_)) {
    ++beyond_;
    return false;
  }
  if (ahead > 0 && uint32_t(ahead) + h.duration > holdFrames_) {
    h.duration = uint16_t(holdFrames_ - uint32_t(ahead));
    ++clamped_;
  }
  return true;
}

void PlayoutStream::onPacket(const PacketHeader &h, std::span<const uint8_t> payload) {
  uint32_t end = h.start + h.duration;
  // The clock's position as of this arrival, for the acknowledgement; it
  // waits where the audio received before ends.
  if (synced_ && !options_.fast && !sound_ && !paused_) advanceClock(Clock::now());
  // A clock that ran dry starts again from this arrival, not from when it
  // stopped, or it would play the new audio out at once.
  if (synced_ && consumed_ == receivedEnd_ && !options_.fast && !sound_) {
    anchorTime_ = Clock::now();
    anchorPos_ = consumed_;
  }
  if (h.kind == WIRE_PROBE) {
    ++probes_;
  } else {
    ++packets_;
    bool first = !synced_;
    if (first) {
      synced_ = true;
      consumed_ = anchorPos_ = receivedEnd_ = syncPos_ = reported_ = h.start;
      anchorTime_ = Clock::now();
    }
    noteSequence(h);
    noteFormat(h);
    decode(h, payload, first);
    if (paused_) {
      paused_ = false;
      anchorTime_ = Clock::now();
      anchorPos_ = consumed_;
      if (sound_) sound_->cork(false);
    }
    if (sound_) sampleLatency(h);
  }
  lastStart_ = h.start;
  lastDuration_ = h.duration;
  // A probe carries no audio: it moves no position, whatever start it names.
  if (h.kind != WIRE_PROBE && int32_t(end - receivedEnd_) > 0) receivedEnd_ = end;
  if (synced_ && options_.fast) playTo(receivedEnd_);
  if (sound_ && synced_) feed();
  if (reportCredit_ < REPORT_CREDIT_MAX) ++reportCredit_;
  sendAck(0);
  if (synced_ && !options_.fast) armTimer();
}

// Counts gaps (lost audio), packets behind the playout (late) and packets
// before the highest end seen (reordered or duplicated).
void PlayoutStream::noteSequence(const PacketHeader &h) {
  int32_t gap = int32_t(h.start - receivedEnd_);
  if (gap > 0) {
    ++lost_;
    lostFrames_ += uint32_t(gap);
  } else if (int32_t(h.start + h.duration - consumed_) <= 0 && h.duration) {
    ++late_;
  } else if (gap < 0) {
    ++reordered_;
  }
}

void PlayoutStream::noteFormat(const PacketHeader &h) {
  int32_t key = h.kind << 16 | h.rateIndex << 8 | (h.stereo ? 1 : 0);
  if (key == formatKey_) return;
  if (formatKey_ >= 0) ++formatChanges_;
  formatKey_ = key;
  char line[200];
  std::snprintf(line, sizeof line,
                "{\"event\":\"format\",\"stream\":%u,\"direction\":\"playback\",\"kind\":%u,"
                "\"rate\":%u,\"stereo\":%u,\"position\":%u}",
                id_, unsigned(h.kind), wireRates[h.rateIndex], unsigned(h.stereo ? 1 : 0), h.start);
  statsWrite(line);
}

// Mixes the packet into the ring where its start falls, repeating the last
// frame over a gap. A packet wholly behind the playout is not decoded: its
// place has been played. The first packet of the stream is placed at the
// ring's start whatever position the driver counts from: a converter still
// at 0 would take the whole distance to it for a gap.
void PlayoutStream::decode(const PacketHeader &h, std::span<const uint8_t> payload, bool first) {
  if (int32_t(h.start + h.duration - consumed_) <= 0) return;
  writePos_ += rsPlacePacket(&rs_, rate_, wireRates[h.rateIndex], ring_, h.start, first, writePos_,
                             readPos_);
  AudioPayload packet{h.wireFrames, h.stereo ? 1u : 0u, payload.data(), uint32_t(payload.size())};
  uint32_t made = 0;
  if (h.kind == WIRE_COMPANDED) made = decodeCompanded(&packet, writePos_, ring_, readPos_, &rs_);
  if (h.kind == WIRE_LINEAR16) made = decodeLinear16(&packet, writePos_, ring_, readPos_, &rs_);
  if (h.kind == WIRE_GSM) made = decodeGsm(&packet, writePos_, ring_, readPos_, &rs_, &coder_);
  writePos_ += made;
}

// Plays out up to `position` (timebase frames): the ring frames that
// correspond, but never beyond what has been decoded.
// Plays to where the clock stands now; the clock waits (is re-anchored)
// where the received audio ends. Returns whether consumed moved.
bool PlayoutStream::advanceClock(Clock::time_point now) {
  uint64_t elapsed =
      uint64_t(std::chrono::duration_cast<std::chrono::microseconds>(now - anchorTime_).count());
  uint32_t target = anchorPos_ + uint32_t(elapsed * rate_ / 1000000);
  if (int32_t(target - receivedEnd_) > 0) {
    target = receivedEnd_;
    anchorTime_ = now;
    anchorPos_ = target;
  }
  uint32_t before = consumed_;
  playTo(target);
  return consumed_ != before;
}

void PlayoutStream::playTo(uint32_t position) {
  int32_t step = int32_t(position - consumed_);
  if (step <= 0) return;
  consumed_ = position;
  played_ += uint32_t(step);
  uint64_t target = played_ * ring_->rate / rate_;
  uint64_t written = ringRead_ + uint32_t(writePos_ - readPos_);
  if (int32_t(writePos_ - readPos_) < 0) written = ringRead_;
  if (target > written) target = written;
  if (target > ringRead_) writeOut(uint32_t(target - ringRead_));
}

void PlayoutStream::writeOut(uint32_t frames) {
  ringRead_ += frames;
  while (frames > 0) {
    uint32_t span = 0;
    int16_t *at = ringSpan(ring_, readPos_, &span);
    if (span > frames) span = frames;
    if (file_) sf_writef_short(file_, at, span);
    ringClear(ring_, readPos_, span);
    readPos_ += span;
    frames -= span;
  }
}

void PlayoutStream::armTimer() {
  if (ticking_ || closed_) return;
  ticking_ = true;
  ticker_.add(shared_from_this());
}

PlayoutPoller::PlayoutPoller(asio::io_context &io) : service(io), io_(io), descriptor_(io) {}

bool PlayoutPoller::add(const std::shared_ptr<PlayoutStream> &stream, int socket) {
  // The set exists while streams do, so that a server without streams holds
  // no descriptor for it.
  if (!descriptor_.is_open()) {
    int set = epoll_create1(EPOLL_CLOEXEC);
    if (set < 0) return false;
    asio::error_code error;
    descriptor_.assign(set, error);
    if (error) {
      ::close(set);
      return false;
    }
  }
  epoll_event event{};
  event.events = EPOLLIN | EPOLLET;
  event.data.ptr = stream.get();
  if (epoll_ctl(descriptor_.native_handle(), EPOLL_CTL_ADD, socket, &event) != 0) return false;
  streams_[stream.get()] = stream;
  // Whatever came before the registration makes no edge: take it now.
  asio::post(io_, [stream] {
    if (!stream->closed_) stream->drain();
  });
  arm();
  return true;
}

void PlayoutPoller::remove(PlayoutStream *stream, int socket) {
  auto it = streams_.find(stream);
  if (it == streams_.end()) return;
  epoll_ctl(descriptor_.native_handle(), EPOLL_CTL_DEL, socket, nullptr);
  asio::post(io_, [keep = std::move(it->second)] {});
  streams_.erase(it);
  // No wait outlives the last stream: the io_context runs out of work as it
  // did before.
  if (streams_.empty()) {
    asio::error_code ignored;
    descriptor_.close(ignored);
  }
}

void PlayoutPoller::arm() {
  if (armed_ || !descriptor_.is_open()) return;
  armed_ = true;
  descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                         [this](const asio::error_code &error) {
                           armed_ = false;
                           if (!error) {
                             onReady();
                           } else if (!streams_.empty()) {
                             arm();  // cancelled as the last stream left, and one came since
                           }
                         });
}

// Drains every socket that became readable. A stream that closes meanwhile
// has left the map, and its later events in the batch find nothing.
void PlayoutPoller::onReady() {
  epoll_event events[EVENTS];
  for (int round = 0; round < ROUNDS; ++round) {
    int n = epoll_wait(descriptor_.native_handle(), events, EVENTS, 0);
    if (n <= 0) break;
    for (int i = 0; i < n; ++i) {
      auto it = streams_.find(static_cast<PlayoutStream *>(events[i].data.ptr));
      if (it == streams_.end()) continue;
      std::shared_ptr<PlayoutStream> stream = it->second;
      if (!stream->closed_) stream->drain();
    }
    if (n < EVENTS) break;
  }
  if (!streams_.empty()) arm();
}

void PlayoutTicker::add(std::shared_ptr<PlayoutStream> stream) {
  waiting_.push_back(std::move(stream));
  if (armed_) return;
  armed_ = true;
  timer_.expires_after(PLAYOUT_TICK);
  timer_.async_wait([this](const asio::error_code &error) { onTick(error); });
}

// Runs the tick of every stream that asked; those whose clocks still run
// ask again from their tick. The grid stays fixed while streams tick, so a
// tick that came late does not push the later ones back; after a stall of
// more than a tick the grid starts again from now.
void PlayoutTicker::onTick(const asio::error_code &error) {
  if (error) return;  // the io_context is going
  // Still armed while the ticks run: streams that ask again wait for the
  // next tick, and the timer is set once, below.
  ++ticks_;
  due_.swap(waiting_);
  for (auto &stream : due_) stream->onTick();
  due_.clear();
  if (waiting_.empty()) {
    armed_ = false;
    return;
  }
  auto next = timer_.expiry() + PLAYOUT_TICK;
  auto now = asio::steady_timer::clock_type::now();
  timer_.expires_at(next > now ? next : now + PLAYOUT_TICK);
  timer_.async_wait([this](const asio::error_code &e) { onTick(e); });
}

// The clock runs from its anchor at the stream's rate; it waits (is
// re-anchored) where the received audio ends, and stops while paused. With
// the sound system the device's played position is the clock.
void PlayoutStream::onTick() {
  ticking_ = false;
  if (closed_) return;
  auto now = Clock::now();
  if (sound_) {
    applyVolume();
    if (sound_->failed()) dropSound("the sound system's stream failed");
  }
  if (sound_) {
    if (!paused_) feed();
    followDevice();
  } else if (!paused_) {
    advanceClock(now);
  }
  if (!paused_) report(now);
  if (!paused_ && (consumed_ != receivedEnd_ || reportDue())) armTimer();
}

// The sound system asked for audio, or its stream changed state.
void PlayoutStream::onSound() {
  if (closed_ || !sound_) return;
  if (sound_->failed()) {
    dropSound("the sound system's stream failed");
    armTimer();
    return;
  }
  if (!synced_ || paused_) return;
  feed();
  if (followDevice()) report(Clock::now());
}

// Gives the device what the ring holds, up to what it asks for.
void PlayoutStream::feed() {
  uint32_t want = sound_->writable();
  uint32_t have = int32_t(writePos_ - readPos_) > 0 ? writePos_ - readPos_ : 0;
  uint32_t frames = std::min(want, have);
  ringRead_ += frames;
  while (frames > 0) {
    uint32_t span = 0;
    int16_t *at = ringSpan(ring_, readPos_, &span);
    if (span > frames) span = frames;
    if (!sound_->write(at, span)) return;
    ringClear(ring_, readPos_, span);
    readPos_ += span;
    frames -= span;
  }
}

// Moves consumed to what the device has played; true when it moved.
bool PlayoutStream::followDevice() {
  uint64_t devicePlayed = 0;
  if (!synced_ || !sound_->played(devicePlayed)) return false;
  // Never beyond what was written: a sound server that runs on through an
  // underrun has played silence, not audio.
  uint64_t real = std::min(devicePlayed, sound_->written());
  uint32_t position = syncPos_ + uint32_t(real * rate_ / ring_->rate);
  // The device has played all it was given and the ring is dry: what is
  // left of the received audio is what the converter holds back for a
  // window of input to come (a wire rate other than the device's), which
  // it gives out only ahead of more. It counts as played, so that a stream
  // that ends is reported played to its end.
  uint32_t held = rs_.taps * rate_ / (rs_.inRate ? rs_.inRate : 1) + 2;
  if (devicePlayed >= sound_->written() && writePos_ == readPos_ &&
      int32_t(receivedEnd_ - position) <= int32_t(held)) {
    position = receivedEnd_;
  }
  if (int32_t(position - receivedEnd_) > 0) position = receivedEnd_;
  int32_t step = int32_t(position - consumed_);
  if (step <= 0) return false;
  consumed_ = position;
  played_ += uint32_t(step);
  measureLatency();
  return true;
}

void PlayoutStream::applyVolume() {
  if (!volume_ || *volume_ == volumeApplied_) return;
  volumeApplied_ = *volume_;
  sound_->setVolume(uint16_t(volumeApplied_ >> 16));
}

void PlayoutStream::sampleLatency(const PacketHeader &h) {
  auto now = Clock::now();
  if (latencyPending_ || now - lastLatencySample_ < LATENCY_SAMPLE) return;
  if (int32_t(h.start - consumed_) < 0) return;  // partly played already
  if (h.duration == 0) return;                   // a driver asking for the positions
  latencyPending_ = true;
  latencyAt_ = lastLatencySample_ = now;
  latencyStart_ = h.start;
}

// Once the device has played the sampled packet's first frame: the time
// from its arrival, less what has played since that frame.
void PlayoutStream::measureLatency() {
  if (!latencyPending_ || int32_t(consumed_ - latencyStart_) < 0) return;
  latencyPending_ = false;
  auto now = Clock::now();
  double ms = std::chrono::duration<double, std::milli>(now - latencyAt_).count() -
              double(consumed_ - latencyStart_) * 1000.0 / rate_;
  latencySecond_.push_back(ms);
  latencyMin_ = latencyCount_ == 0 ? ms : std::min(latencyMin_, ms);
  latencyMax_ = latencyCount_ == 0 ? ms : std::max(latencyMax_, ms);
  ++latencyCount_;
  if (latencyAll_.size() < LATENCY_KEPT) {
    latencyAll_.push_back(ms);
  } else {
    // Reservoir sampling: each sample so far is kept with equal chance.
    uint64_t at = latencyDraw_() % latencyCount_;
    if (at < LATENCY_KEPT) latencyAll_[at] = ms;
  }
  if (now - lastLatencyReport_ < LATENCY_REPORT) return;
  lastLatencyReport_ = now;
  std::sort(latencySecond_.begin(), latencySecond_.end());
  char line[200];
  std::snprintf(line, sizeof line,
                "{\"event\":\"latency\",\"stream\":%u,\"ms\":%.2f,\"samples\":%zu}", id_,
                latencySecond_[latencySecond_.size() / 2], latencySecond_.size());
  statsWrite(line);
  latencySecond_.clear();
}

// Goes on with the clock of our own from where the device stopped.
void PlayoutStream::dropSound(const char *why) {
  logLine(LOG_INFO, "stream %u: %s: playing to nothing", id_, why);
  sound_->close(false);
  sound_ = nullptr;
  anchorTime_ = Clock::now();
  anchorPos_ = consumed_;
}

void PlayoutStream::pause() {
  paused_ = true;
  if (sound_) sound_->cork(true);
}

void PlayoutStream::sendAck(uint16_t unsolicited) {
  if (options_.silentStreams) return;
  std::array<uint8_t, ACK_BYTES> out;
  StreamAck ack{consumed_, receivedEnd_, lastStart_, lastDuration_, unsolicited};
  ackStore(out.data(), &ack);
  asio::error_code ignored;  // a lost acknowledgement is written off by the sender's timer
  socket_.send_to(asio::buffer(out), bound_ ? boundTo_ : from_, 0, ignored);
  lastSent_ = Clock::now();
  reported_ = consumed_;
  ++acks_;
}

// A progress report, when one is due (see REPORT_QUIET); the tick comes
// back for one that is held off.
void PlayoutStream::report(Clock::time_point now) {
  if (!reportDue() || reportTick_ == ticker_.ticks() || now - lastSent_ < REPORT_QUIET) return;
  if (consumed_ != receivedEnd_ && consumed_ - reported_ < std::max<uint32_t>(lastDuration_, 1)) {
    return;
  }
  --reportCredit_;
  reportTick_ = ticker_.ticks();
  sendAck(1);
}

void PlayoutStream::close() {
  if (closed_) return;
  closed_ = true;
  // What arrived and was not played yet still plays, as a device lets its
  // queue run out: a driver closes once its last packet is acknowledged,
  // not once it is heard. A paused stream has dropped its queue.
  if (sound_) {
    // The rest of the ring goes to the device, which plays it out after
    // the stream has gone here.
    uint32_t rest = int32_t(writePos_ - readPos_) > 0 ? writePos_ - readPos_ : 0;
    while (!paused_ && rest > 0) {
      uint32_t span = 0;
      int16_t *at = ringSpan(ring_, readPos_, &span);
      if (span > rest) span = rest;
      sound_->write(at, span);
      readPos_ += span;
      rest -= span;
    }
    sound_->close(!paused_);
    sound_ = nullptr;
  } else if (!paused_ && ring_) {
    playTo(receivedEnd_);
  }
  if (polled_) poller_.remove(this, socket_.native_handle());
  asio::error_code ignored;
  socket_.close(ignored);
  finish();
}

void PlayoutStream::finish() {
  if (!ring_) return;
  if (sound_) {
    sound_->close(false);
    sound_ = nullptr;
  }
  // Latency figures in ms: the median and the extremes of the samples.
  double latency[3] = {0, 0, 0};
  if (!latencyAll_.empty()) {
    std::sort(latencyAll_.begin(), latencyAll_.end());
    latency[0] = latencyMin_;
    latency[1] = latencyAll_[latencyAll_.size() / 2];
    latency[2] = latencyMax_;
  }
  char line[768];
  std::snprintf(
      line, sizeof line,
      "{\"event\":\"end\",\"stream\":%u,\"direction\":\"playback\",\"packets\":%llu,"
      "\"probes\":%llu,\"bytes\":%llu,\"acks\":%llu,\"lost\":%llu,\"lostFrames\":%llu,"
      "\"late\":%llu,\"reordered\":%llu,\"malformed\":%llu,\"formatChanges\":%llu,"
      "\"foreign\":%llu,\"clamped\":%llu,\"beyond\":%llu,\"consumed\":%u,\"receivedEnd\":%u,"
      "\"latencySamples\":%zu,\"latencyMinMs\":%.2f,\"latencyMs\":%.2f,\"latencyMaxMs\":%.2f}",
      id_, (unsigned long long)packets_, (unsigned long long)probes_, (unsigned long long)bytes_,
      (unsigned long long)acks_, (unsigned long long)lost_, (unsigned long long)lostFrames_,
      (unsigned long long)late_, (unsigned long long)reordered_, (unsigned long long)malformed_,
      (unsigned long long)formatChanges_, (unsigned long long)foreign_,
      (unsigned long long)clamped_, (unsigned long long)beyond_, consumed_, receivedEnd_,
      size_t(latencyCount_), latency[0], latency[1], latency[2]);
  statsWrite(line);
  if (file_) {
    sf_close(file_);
    outputBusy = false;
    file_ = nullptr;
  }
  LocalFree(ring_);
  ring_ = nullptr;
}

}  // namespace

size_t playoutMemory(const ServerOptions &options, uint32_t applicationRate) {
  uint32_t rate = applicationRate ? applicationRate : 1;
  uint32_t outRate = options.outputRate ? options.outputRate : rate;
  uint32_t maxLead = std::min(options.maxLead, APPLICATION_LEAD_MAX);
  size_t ring =
      size_t(playoutRingFrames(maxLead, rate, outRate)) * options.outputChannels * sizeof(int16_t);
  return ring + sizeof(PlayoutStream) + LATENCY_KEPT * sizeof(double) + STREAM_OVERHEAD_BYTES;
}

std::shared_ptr<UdpStream> playoutStart(asio::io_context &io, const ServerOptions &options,
                                        StreamRecord &record) {
  auto stream = std::make_shared<PlayoutStream>(io, options, record);
  if (!stream->start()) return nullptr;
  return stream;
}
