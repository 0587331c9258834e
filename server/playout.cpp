// The playback side of a stream: the datagrams it takes, the positions and
// the lead, the acknowledgements and progress reports, the decoding into
// the output ring, and its start and close. Its clocks are in
// server/playout_clock.cpp, its socket in server/playout_io.cpp, its
// outputs in server/outputs.cpp; see server/playout.h and
// server/udpstream.h.
#include "server/playout.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <string>

#include "audio/formats.h"
#include "platform/platform.h"
#include "server/log.h"
#include "server/options.h"
#include "server/stats.h"
#include "server/streams.h"

namespace {

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

}  // namespace

PlayoutStream::PlayoutStream(asio::io_context &io, const ServerOptions &o, StreamRecord &r)
    : options_(o),
      socket_(std::move(r.socket)),
      ticker_(asio::use_service<PlayoutTicker>(io)),
      poller_(asio::use_service<PlayoutPoller>(io)),
      id_(r.number),
      driverId_(r.id),
      rate_(r.applicationRate ? r.applicationRate : 1),
      driverHost_(r.driver.address().to_v4().to_uint()),
      boundTo_(r.driver),
      bound_(!udpStreamLearnsPort(o)),
      volume_(r.volume) {}

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
  // A clocked output's wake comes on another thread: the stream's turn is
  // posted to its own, and finds nothing once the stream has gone.
  std::weak_ptr<PlayoutStream> weak = weak_from_this();
  auto executor = socket_.get_executor();
  outputSetup_ = {id_, outRate, volume_,
                  [weak, executor] {
                    asio::post(executor, [weak] {
                      if (auto self = weak.lock()) self->onOutput();
                    });
                  },
                  std::nullopt};
  output_ = playoutOutputOpen(options_, outputSetup_);
  logRoutine(LOG_INFO, "stream %u: playing at %u Hz, %u channels, to %s", id_, outRate,
             options_.outputChannels, output_->name());
  polled_ = poller_.add(shared_from_this(), socket_.native_handle());
  if (!polled_) receiveNext();
  return true;
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

// Where the port is learnt (udpStreamLearnsPort), the first valid datagram
// names the driver's end: its stream socket, or a relay's in between. A
// driver sends a stream from its one socket.
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
  if (synced_ && ownClock() && !paused_) advanceClock(Clock::now());
  // A clock that ran dry starts again from this arrival, not from when it
  // stopped, or it would play the new audio out at once.
  if (synced_ && consumed_ == receivedEnd_ && ownClock()) {
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
      output_->cork(false);
    }
    if (output_->clocked()) sampleLatency(h);
  }
  lastStart_ = h.start;
  lastDuration_ = h.duration;
  // A probe carries no audio: it moves no position, whatever start it names.
  if (h.kind != WIRE_PROBE && positionAfter(end, receivedEnd_)) receivedEnd_ = end;
  if (synced_ && options_.fast) playTo(receivedEnd_);
  if (synced_ && options_.crawl && consumed_ != receivedEnd_) playTo(consumed_ + 1);
  if (output_->clocked() && synced_) feed();
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
                "{\"event\":\"format\",\"stream\":%u,\"driverStream\":%u,\"direction\":"
                "\"playback\",\"kind\":%u,"
                "\"rate\":%u,\"stereo\":%u,\"position\":%u}",
                id_, driverId_, unsigned(h.kind), wireRates[h.rateIndex],
                unsigned(h.stereo ? 1 : 0), h.start);
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

void PlayoutStream::pause() {
  paused_ = true;
  if (output_) output_->cork(true);
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
  if (output_) takeGaps();
  if (output_ && output_->clocked()) {
    // The rest of the ring goes to the output, which plays it out after
    // the stream has gone here.
    uint32_t rest = int32_t(writePos_ - readPos_) > 0 ? writePos_ - readPos_ : 0;
    while (!paused_ && rest > 0) {
      uint32_t span = 0;
      int16_t *at = ringSpan(ring_, readPos_, &span);
      if (span > rest) span = rest;
      output_->write(at, span);
      readPos_ += span;
      rest -= span;
    }
    output_->close(!paused_);
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
      "{\"event\":\"end\",\"stream\":%u,\"driverStream\":%u,\"direction\":\"playback\",\"packets\":"
      "%llu,"
      "\"probes\":%llu,\"bytes\":%llu,\"acks\":%llu,\"lost\":%llu,\"lostFrames\":%llu,"
      "\"late\":%llu,\"reordered\":%llu,\"malformed\":%llu,\"formatChanges\":%llu,"
      "\"foreign\":%llu,\"clamped\":%llu,\"beyond\":%llu,\"consumed\":%u,\"receivedEnd\":%u,"
      "\"latencySamples\":%zu,\"latencyMinMs\":%.2f,\"latencyMs\":%.2f,\"latencyMaxMs\":%.2f,"
      "\"underruns\":%u,\"underrunMs\":%.1f,\"playedToNothing\":%llu}",
      id_, driverId_, (unsigned long long)packets_, (unsigned long long)probes_,
      (unsigned long long)bytes_, (unsigned long long)acks_, (unsigned long long)lost_,
      (unsigned long long)lostFrames_, (unsigned long long)late_, (unsigned long long)reordered_,
      (unsigned long long)malformed_, (unsigned long long)formatChanges_,
      (unsigned long long)foreign_, (unsigned long long)clamped_, (unsigned long long)beyond_,
      consumed_, receivedEnd_, size_t(latencyCount_), latency[0], latency[1], latency[2], gaps_,
      double(gapMicroseconds_) / 1000, (unsigned long long)nothingFrames_);
  statsWrite(line);
  // The closing line: what the listener heard, gaps included.
  double rate = rate_ ? rate_ : 1;
  char nothing[64] = "";
  if (nothingFrames_) {
    std::snprintf(nothing, sizeof nothing, ", %.2f s of it to nothing",
                  double(nothingFrames_) / rate);
  }
  logLine(LOG_INFO,
          "stream %u ended: %.2f s played, %u underrun%s of the sound system (%.1f ms of "
          "silence), %llu packets lost, %llu late%s",
          id_, double(played_) / rate, gaps_, gaps_ == 1 ? "" : "s",
          double(gapMicroseconds_) / 1000, (unsigned long long)lost_, (unsigned long long)late_,
          nothing);
  output_.reset();
  LocalFree(ring_);
  ring_ = nullptr;
}

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
