// The recording side of a stream: audio packets from a WAV file or a tone,
// paced by the driver's credit. See server/udpstream.h.
#include <sndfile.h>

#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>

#include "audio/convert.h"
#include "audio/formats.h"
#include "platform/platform.h"
#include "server/log.h"
#include "server/options.h"
#include "server/playout.h"
#include "server/sound.h"
#include "server/stats.h"
#include "server/streams.h"
#include "server/udpstream.h"
#include "wire/datagram.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto CAPTURE_TICK = std::chrono::milliseconds(10);  // real-time pacing step
// Source audio per packet, milliseconds, unless the coding fills a datagram
// first (the encoders stop at 1400 bytes).
constexpr uint32_t PACKET_MS = 20;
// With the credit spent and nothing heard for this long, one more packet
// goes out: a stream whose first packets were all lost still starts, and
// one that lost a whole lead of packets or acknowledgements goes on.
constexpr auto CREDIT_RETRY = std::chrono::milliseconds(1000);
constexpr uint32_t SENT_LOG = 16;  // packets remembered for round-trip samples
constexpr uint32_t MALFORMED_LOGGED = 16;
constexpr double TONE_LEVEL = 16384.0;  // peak of the generated tone, half of full scale

class CaptureStream : public UdpStream, public std::enable_shared_from_this<CaptureStream> {
 public:
  CaptureStream(asio::io_context &io, const ServerOptions &o, StreamRecord &r)
      : options_(o),
        socket_(std::move(r.socket)),
        timer_(io),
        id_(r.number),
        driverId_(r.id),
        driver_(r.driver),
        bound_(!udpStreamLearnsPort(o)),
        boundTo_(r.driver),
        driverHost_(r.driver.address().to_v4().to_uint()),
        timebase_(r.rate ? r.rate : 1),
        lead_(r.applicationLead),
        volume_(r.volume) {}
  ~CaptureStream() override {
    finish();
    gsmCoderFree(&coder_);
  }

  bool start();
  void close() override;
  void pause() override {}

 private:
  struct Sent {
    Clock::time_point at;  // when it went out
    uint32_t start;        // timebase frames
    uint32_t duration;     // timebase frames
  };

  void receiveNext();
  // Whether the last datagram came from the driver's host; any host does
  // when the request named none.
  bool fromDriverHost() const {
    return driverHost_ == 0 ||
           (from_.address().is_v4() && from_.address().to_v4().to_uint() == driverHost_);
  }
  void onAck(size_t bytes);
  bool answersSent(const StreamAck &ack) const;
  void bind();
  const asio::ip::udp::endpoint &bound() const { return boundTo_; }
  void sendMore();
  bool mayCredit() const;
  void coverRoundTrip(uint64_t rttMicroseconds);
  bool sendOne();
  bool fill(uint32_t want);
  bool openSound(uint32_t rate, uint32_t channels);
  void applyVolume();
  uint32_t toTimebase(uint64_t sourceFrames) const {
    return uint32_t(sourceFrames * timebase_ / ring_->rate);
  }
  // The wire position of a source frame: the positions start at
  // --first-position and wrap after 2^32 frames.
  uint32_t position(uint64_t sourceFrames) const {
    return options_.firstPosition + toTimebase(sourceFrames);
  }
  void armTimer();
  void finish();

  const ServerOptions &options_;
  asio::ip::udp::socket socket_;
  asio::steady_timer timer_;
  uint32_t id_;                     // the server's number for it
  uint32_t driverId_;               // the driver's
  asio::ip::udp::endpoint driver_;  // where packets go: the request's, then the binding's
  // The socket is connected to the driver's end: from the open on, or once
  // the first plausible acknowledgement named the port (udpStreamLearnsPort).
  bool bound_ = false;
  asio::ip::udp::endpoint boundTo_;  // that end
  uint32_t driverHost_;              // the request's IPv4 address, host order: others ignored
  asio::ip::udp::endpoint via_;      // the routed relay; port 0: packets go to the driver directly
  uint32_t timebase_;                // Hz: positions of packets and credit
  uint32_t lead_;                    // timebase frames sent beyond the credit at most
  uint32_t baseLead_ = 0;            // lead_ as requested and bounded, before round trips
  const WireFormat *row_ = nullptr;
  SNDFILE *file_ = nullptr;        // the input, or null for the tone or the sound system
  SoundCapture *sound_ = nullptr;  // the sound system's source, or null
  const uint32_t *volume_;         // the volume control's stored value, or null
  uint32_t volumeApplied_ = 0;     // the value last given to the sound system
  uint32_t fileChannels_ = 1;      // channels of the input file
  double phase_ = 0;               // radians of the tone's next frame
  SampleRing *ring_ = nullptr;     // source rate and channels; LocalFree'd by finish
  Resampler rs_{};                 // source rate to wire rate, timebase = source rate
  GsmCoder coder_ = nullptr;       // this stream's own GSM coder, made on first use
  uint32_t produced_ = 0;          // ring position up to which source audio is in
  uint32_t consumedIn_ = 0;        // ring position up to which the encoder read
  uint64_t sentSource_ = 0;        // source frames sent so far
  uint32_t packetFrames_ = 0;      // source frames per packet
  bool inputEnded_ = false;        // the file has no more frames
  bool closed_ = false;
  bool ticking_ = false;
  uint32_t credit_ = 0;             // timebase frames: highest consumed acknowledged
  Clock::time_point started_;       // the real-time clock's zero
  Clock::time_point lastProgress_;  // last acknowledgement that moved the credit, or retry
  std::array<Sent, SENT_LOG> sentLog_{};
  uint32_t sentCount_ = 0;
  std::array<uint8_t, PACKET_MAX_DATAGRAM + 1> receive_;
  asio::ip::udp::endpoint from_;
  uint64_t packets_ = 0, bytes_ = 0, acks_ = 0, malformed_ = 0, rttSamples_ = 0, foreign_ = 0;
};

bool CaptureStream::start() {
  row_ = &wireFormats[options_.recordFormat];
  credit_ = options_.firstPosition;
  uint32_t rate = timebase_, channels = 1;
  if (!options_.input.empty()) {
    SF_INFO info{};
    file_ = sf_open(options_.input.c_str(), SFM_READ, &info);
    if (!file_ || info.samplerate <= 0 || info.channels <= 0) {
      logLine(LOG_ERROR, "stream %u: cannot read %s: %s", id_, options_.input.c_str(),
              sf_strerror(file_));
      if (file_) sf_close(file_);
      file_ = nullptr;
      return false;
    }
    rate = uint32_t(info.samplerate);
    fileChannels_ = uint32_t(info.channels);
    channels = fileChannels_ >= 2 ? 2 : 1;
  } else if (!options_.tone && openSound(rate, row_->stereo ? 2 : 1)) {
    channels = row_->stereo ? 2 : 1;
  }
  ring_ = ringCreate(RING_FRAMES, rate, channels == 2);
  if (!ring_) return false;
  rsSetup(&rs_, rate, rate, row_->rate, channels);
  uint32_t maxFrames = uint32_t(uint64_t(rate) * 1384 / row_->bytesPerSecond);
  uint32_t unitFrames = uint32_t(uint64_t(row_->samplesPerUnit + 8) * rate / row_->rate);
  packetFrames_ = std::min(maxFrames, rate * PACKET_MS / 1000);
  packetFrames_ = std::max(packetFrames_, unitFrames);
  uint32_t minLead = serverMinLead(options_, rate);
  if (lead_ < minLead) lead_ = minLead;
  if (lead_ > options_.maxLead) lead_ = options_.maxLead;
  baseLead_ = lead_;
  if (!options_.sendViaAddress.empty()) {
    via_ = asio::ip::udp::endpoint(asio::ip::make_address_v4(options_.sendViaAddress),
                                   options_.sendViaPort);
  }
  started_ = lastProgress_ = Clock::now();
  logRoutine(LOG_INFO, "stream %u: recording from %s at %u Hz to %s:%u, wire %s %u Hz %s, lead %u",
             id_,
             file_    ? options_.input.c_str()
             : sound_ ? (options_.source.empty() ? "the default source" : options_.source.c_str())
                      : "a tone",
             rate, driver_.address().to_string().c_str(), unsigned(driver_.port()),
             row_->kind == WIRE_GSM         ? "GSM"
             : row_->kind == WIRE_COMPANDED ? "companded"
                                            : "linear",
             row_->rate, row_->stereo ? "stereo" : "mono", lead_);
  receiveNext();
  sendMore();
  return true;
}

void CaptureStream::receiveNext() {
  auto self = shared_from_this();
  socket_.async_receive_from(asio::buffer(receive_), from_,
                             [self](const asio::error_code &e, size_t bytes) {
                               if (self->closed_ || e == asio::error::operation_aborted) return;
                               if (!e) self->onAck(bytes);
                               self->receiveNext();
                             });
}

void CaptureStream::onAck(size_t bytes) {
  // Another host, or once bound another port, could otherwise grant credit
  // or take the packets. Once bound the system drops them; these are what
  // was queued before.
  if (bound_ ? from_ != bound() : !fromDriverHost()) {
    if (foreign_++ < MALFORMED_LOGGED) {
      logFrom(driverHost_, LOG_INFO, "stream %u: datagram from %s:%u, not the driver's: ignored",
              id_, from_.address().to_string().c_str(), unsigned(from_.port()));
    }
    return;
  }
  StreamAck ack;
  if (!ackLoad(receive_.data(), bytes, &ack) || (!bound_ && !answersSent(ack))) {
    if (malformed_++ < MALFORMED_LOGGED) {
      logFrom(driverHost_, LOG_INFO,
              "stream %u: datagram of %zu bytes is no acknowledgement of ours: ignored", id_,
              bytes);
    }
    return;
  }
  ++acks_;
  if (!bound_) bind();
  auto now = Clock::now();
  // Credit runs to what was sent at most: a driver cannot have taken more.
  uint32_t sent = position(sentSource_);
  ackClampToSent(&ack, sent);
  uint32_t consumed = ack.consumed;
  // Only credit is progress: a driver repeats its last acknowledgement while
  // it hears nothing, and a repeat that reset the retry's clock would keep
  // a stream that lost a whole lead of packets waiting for good.
  if (positionAfter(consumed, credit_)) {
    credit_ = consumed;
    lastProgress_ = now;
  }
  if (ack.unsolicited == 0) {
    for (uint32_t k = 0; k < SENT_LOG && k < sentCount_; ++k) {
      const Sent &s = sentLog_[(sentCount_ - 1 - k) % SENT_LOG];
      if (s.start != ack.lastStart || s.duration != ack.lastDuration) continue;
      auto rtt = std::chrono::duration_cast<std::chrono::microseconds>(now - s.at);
      ++rttSamples_;
      coverRoundTrip(uint64_t(rtt.count()));
      char line[160];
      std::snprintf(line, sizeof line,
                    "{\"event\":\"rtt\",\"stream\":%u,\"driverStream\":%u,\"ms\":%.3f}", id_,
                    driverId_, double(rtt.count()) / 1000.0);
      statsWrite(line);
      break;
    }
  }
  sendMore();
}

// Whether an acknowledgement names what we sent: the driver echoes the
// last packet it received, which lies between the first position and the
// end of what went out.
bool CaptureStream::answersSent(const StreamAck &ack) const {
  uint32_t sent = position(sentSource_);
  return positionDiff(ack.lastStart, options_.firstPosition) >= 0 &&
         !positionAfter(ack.lastStart + ack.lastDuration, sent) && packets_ > 0;
}

// The first acknowledgement that answers our packets names the driver's
// end: its stream socket, or a relay's in between; the socket is connected
// to it, and the packets go there from now on (through a routed relay they
// keep going to the driver's port behind it).
void CaptureStream::bind() {
  if (!udpStreamBind(socket_, from_, id_, driverHost_)) return;
  bound_ = true;
  boundTo_ = from_;
  if (via_.port() == 0) driver_ = from_;
}

// The lead covers two round trips of audio, or the stream could never run
// faster than a lead per round trip: a slow path would record slower than
// real time. It stays within half the driver's ring and --max-lead.
void CaptureStream::coverRoundTrip(uint64_t rttMicroseconds) {
  uint64_t cover = 2 * rttMicroseconds * timebase_ / 1000000;
  uint64_t limit = std::min<uint64_t>(RING_FRAMES / 2, options_.maxLead);
  lead_ = uint32_t(std::max<uint64_t>(baseLead_, std::min(cover, limit)));
}

// Whether the credit lets the next packet go: what is sent beyond the
// driver's consumed position stays below the lead. Before the first
// acknowledgement the credit counts from the first position.
bool CaptureStream::mayCredit() const {
  return int32_t(position(sentSource_) - credit_) < int32_t(lead_);
}

void CaptureStream::sendMore() {
  if (closed_ || options_.silentStreams) return;
  if (sound_) {
    applyVolume();
    if (sound_->failed()) {
      logLine(LOG_INFO, "stream %u: the sound system's stream failed: recording a tone", id_);
      sound_->close();
      sound_ = nullptr;
    }
  }
  while (!inputEnded_) {
    if (!mayCredit()) {
      // Nothing heard for a while with the credit spent: the packets or
      // the acknowledgements of a whole lead were lost, and neither end
      // would speak again. One packet beyond the credit brings an answer
      // (the driver fills the gap before it).
      if (Clock::now() - lastProgress_ < CREDIT_RETRY) break;
      lastProgress_ = Clock::now();
    } else if (!options_.fast && !sound_) {
      auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started_);
      if (sentSource_ > uint64_t(elapsed.count()) * ring_->rate / 1000000) break;
    }
    if (!sendOne()) break;
  }
  if (!inputEnded_) armTimer();
}

// Copies source audio into the ring until `want` frames wait past the
// encoder's position; false when the source has no more.
bool CaptureStream::fill(uint32_t want) {
  int16_t *samples = ringSamples(ring_);
  while (uint32_t(produced_ - consumedIn_) < want) {
    uint32_t index = produced_ % ring_->frames;
    uint32_t room = std::min(ring_->frames - index, want - uint32_t(produced_ - consumedIn_));
    int16_t *at = samples + size_t(index) * ring_->channels;
    if (sound_) {
      // What the source has captured so far; the rest comes later.
      uint32_t got = sound_->read(at, room);
      produced_ += got;
      if (got < room) return false;
      continue;
    } else if (!file_) {
      for (uint32_t i = 0; i < room; ++i) {
        at[i] = int16_t(std::lrint(TONE_LEVEL * std::sin(phase_)));
        phase_ += 2 * M_PI * options_.toneHz / ring_->rate;
        if (phase_ > 2 * M_PI) phase_ -= 2 * M_PI;
      }
    } else if (fileChannels_ <= 2) {
      sf_count_t got = sf_readf_short(file_, at, room);
      if (got <= 0) return false;
      room = uint32_t(got);
    } else {
      // More than two channels: the first two are taken.
      int16_t frame[64];
      uint32_t done = 0;
      while (done < room && fileChannels_ <= 64 && sf_readf_short(file_, frame, 1) == 1) {
        at[2 * done] = frame[0];
        at[2 * done + 1] = frame[1];
        ++done;
      }
      if (done == 0) return false;
      room = done;
    }
    produced_ += room;
  }
  return true;
}

bool CaptureStream::sendOne() {
  uint32_t sent = rsOutPos(&rs_);
  uint32_t want = rsLookahead(&rs_, sent + packetFrames_) - consumedIn_;
  bool filled = fill(want);
  if (!filled && sound_) return false;  // the source has not captured enough yet
  if (!filled && produced_ == consumedIn_) {
    inputEnded_ = true;
    logLine(LOG_INFO, "stream %u: the input has ended after %llu packets", id_,
            (unsigned long long)packets_);
    return false;
  }
  want = std::min(want, uint32_t(produced_ - consumedIn_));
  std::array<uint8_t, PACKET_MAX_DATAGRAM> out{};
  uint8_t *payload = out.data() + PACKET_HEADER_BYTES;
  uint16_t wireFrames = 0;
  uint32_t bytes = 0;
  if (row_->kind == WIRE_COMPANDED) {
    bytes = encodeCompanded(ring_, consumedIn_, want, payload, &wireFrames, row_->stereo, &rs_);
  } else if (row_->kind == WIRE_LINEAR16) {
    bytes = encodeLinear16(ring_, consumedIn_, want, payload, &wireFrames, row_->stereo, &rs_);
  } else {
    bytes = encodeGsm(ring_, consumedIn_, want, payload, &wireFrames, &rs_, &coder_);
  }
  uint32_t after = rsOutPos(&rs_);
  consumedIn_ = rsInPos(&rs_);
  if (after == sent) {
    // Too little left for one coding unit: the input is over.
    inputEnded_ = inputEnded_ || produced_ - consumedIn_ < packetFrames_;
    return false;
  }
  uint32_t start = position(sentSource_);
  sentSource_ += uint32_t(after - sent);
  uint32_t duration = position(sentSource_) - start;
  PacketHeader h{start,          wireFrames, uint16_t(duration), row_->kind, uint8_t(row_->stereo),
                 row_->rateIndex};
  packetStoreHeader(out.data(), &h);
  asio::error_code ignored;  // a lost packet is a gap the driver fills
  asio::const_buffer packet = asio::buffer(out.data(), PACKET_HEADER_BYTES + bytes);
  if (via_.port() == 0) {
    socket_.send_to(packet, driver_, 0, ignored);
  } else {
    std::array<uint8_t, ROUTE_HEADER_BYTES> route;
    routeHeaderBuild(route.data(), driver_.address().to_v4().to_uint(), driver_.port());
    std::array<asio::const_buffer, 2> parts = {asio::buffer(route), packet};
    socket_.send_to(parts, via_, 0, ignored);
  }
  sentLog_[sentCount_++ % SENT_LOG] = {Clock::now(), start, uint16_t(duration)};
  ++packets_;
  bytes_ += PACKET_HEADER_BYTES + bytes;
  return true;
}

bool CaptureStream::openSound(uint32_t rate, uint32_t channels) {
  if (!soundConnected()) return false;
  std::weak_ptr<CaptureStream> weak = weak_from_this();
  auto executor = timer_.get_executor();
  SoundStreamSetup setup{options_.source,
                         "Lumivox recording " + std::to_string(id_),
                         rate,
                         channels,
                         options_.soundLatencyMs * 1000,
                         uint16_t(volume_ ? *volume_ >> 16 : 0xFFFF),
                         [weak, executor] {
                           asio::post(executor, [weak] {
                             if (auto self = weak.lock()) self->sendMore();
                           });
                         }};
  std::string why;
  sound_ = SoundCapture::open(setup, why);
  if (!sound_) {
    logLine(LOG_INFO, "stream %u: no sound system stream (%s): recording a tone", id_, why.c_str());
    return false;
  }
  volumeApplied_ = volume_ ? *volume_ : 0;
  return true;
}

void CaptureStream::applyVolume() {
  if (!volume_ || *volume_ == volumeApplied_) return;
  volumeApplied_ = *volume_;
  sound_->setVolume(uint16_t(volumeApplied_ >> 16));
}

void CaptureStream::armTimer() {
  if (ticking_ || closed_) return;
  ticking_ = true;
  timer_.expires_after(CAPTURE_TICK);
  auto self = shared_from_this();
  timer_.async_wait([self](const asio::error_code &e) {
    self->ticking_ = false;
    if (e || self->closed_) return;
    self->sendMore();
  });
}

void CaptureStream::close() {
  if (closed_) return;
  closed_ = true;
  asio::error_code ignored;
  timer_.cancel();
  socket_.close(ignored);
  finish();
}

void CaptureStream::finish() {
  if (!ring_) return;
  char line[400];
  std::snprintf(line, sizeof line,
                "{\"event\":\"end\",\"stream\":%u,\"driverStream\":%u,\"direction\":\"recording\","
                "\"packets\":%llu,"
                "\"bytes\":%llu,\"acks\":%llu,\"malformed\":%llu,\"rttSamples\":%llu,"
                "\"formatChanges\":0,\"foreign\":%llu,\"sent\":%u,\"credit\":%u}",
                id_, driverId_, (unsigned long long)packets_, (unsigned long long)bytes_,
                (unsigned long long)acks_, (unsigned long long)malformed_,
                (unsigned long long)rttSamples_, (unsigned long long)foreign_,
                position(sentSource_), credit_);
  statsWrite(line);
  if (file_) sf_close(file_);
  file_ = nullptr;
  if (sound_) sound_->close();
  sound_ = nullptr;
  LocalFree(ring_);
  ring_ = nullptr;
}

}  // namespace

bool udpStreamBind(asio::ip::udp::socket &socket, const asio::ip::udp::endpoint &end, uint32_t id,
                   uint32_t host) {
  asio::error_code error;
  socket.connect(end, error);
  if (error) {
    logFrom(host, LOG_INFO, "stream %u: cannot bind to %s:%u: %s", id,
            end.address().to_string().c_str(), unsigned(end.port()), error.message().c_str());
  }
  return !error;
}

size_t udpStreamMemory(const ServerOptions &options, uint8_t direction, uint32_t applicationRate) {
  if (direction == DIRECTION_PLAYBACK) return playoutMemory(options, applicationRate);
  return size_t(RING_FRAMES) * 2 * sizeof(int16_t) + sizeof(CaptureStream) + STREAM_OVERHEAD_BYTES;
}

bool udpStreamLearnsPort(const ServerOptions &options) {
  return options.learnUdpPort || options.advertiseUdpPort >= 0 || !options.sendViaAddress.empty();
}

std::shared_ptr<UdpStream> udpStreamStart(asio::io_context &io, const ServerOptions &options,
                                          StreamRecord &record) {
  if (!udpStreamLearnsPort(options) && !udpStreamBind(record.socket, record.driver, record.number,
                                                      record.driver.address().to_v4().to_uint())) {
    return nullptr;
  }
  if (record.direction == DIRECTION_PLAYBACK) return playoutStart(io, options, record);
  auto stream = std::make_shared<CaptureStream>(io, options, record);
  if (!stream->start()) return nullptr;
  return stream;
}
