// The playback side of a stream, shared by its files: the stream itself
// (PlayoutStream), the tick that runs its clock (PlayoutTicker) and the
// readiness of its socket (PlayoutPoller). See server/udpstream.h for what
// a stream does on the wire.
//
//   server/playout.cpp        the stream: datagrams taken, positions, the
//                             lead, acknowledgements and progress reports,
//                             start, close and the closing figures;
//   server/playout_clock.cpp  its clocks, moving audio from the ring to the
//                             output, and the latency samples;
//   server/playout_io.cpp     the shared tick and the socket's drain;
//   server/outputs.cpp        where the audio goes (server/outputs.h).
//
// Cost per stream: a server carries hundreds of streams on one thread, so
// the per-datagram and per-tick work is kept to the system calls the wire
// needs. One shared tick (PlayoutTicker) serves the clocks of every stream
// of an io_context instead of a timer each; a readable socket is drained
// with recvmmsg, whose short count tells that it is empty, instead of a
// receive per datagram and one more that finds nothing.
//
// A stream has one of two clocks, as its output has one of its own or not
// (PlayoutOutput::clocked). Without, the stream's clock runs from an anchor
// at the stream's rate and plays out what it passes to the output at once.
// With, the output asks for what the ring holds and its played position is
// the clock.
#pragma once

#include <netinet/in.h>

#include <array>
#include <asio.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <span>
#include <unordered_map>
#include <vector>

#include "audio/convert.h"
#include "server/options.h"
#include "server/outputs.h"
#include "server/udpstream.h"
#include "wire/datagram.h"

// The clock advances consumed this often.
constexpr auto PLAYOUT_TICK = std::chrono::milliseconds(10);
// Datagrams taken per recvmmsg: the driver keeps at most four packets in
// flight, and a probe.
constexpr unsigned RECEIVE_BATCH = 5;
// Samples kept for the stream's closing figures: all of the first 8192
// (13 minutes), then a uniform sample of that many, so that a stream's
// memory does not grow with its length.
constexpr size_t LATENCY_KEPT = 8192;
// A stream whose sound-system stream failed tries a new one after this,
// then after twice as long each time one fails again before it plays, up
// to RESUME_MAX; while the sound server is away, the reconnection paces it.
constexpr auto RESUME_FIRST = std::chrono::milliseconds(250);
constexpr auto RESUME_MAX = std::chrono::seconds(8);

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

class PlayoutStream : public UdpStream, public std::enable_shared_from_this<PlayoutStream> {
 public:
  using Clock = std::chrono::steady_clock;

  PlayoutStream(asio::io_context &io, const ServerOptions &o, StreamRecord &r);
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
  // The socket (server/playout_io.cpp).
  void receiveNext();
  friend class PlayoutPoller;
  void drain();
  // Datagrams, positions and reports (server/playout.cpp).
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
  void sendAck(uint16_t unsolicited);
  void report(Clock::time_point now);
  bool reportDue() const { return consumed_ != reported_ && reportCredit_ > 0; }
  void finish();
  // The clocks (server/playout_clock.cpp). Our own clock runs unless the
  // output has one or --fast consumes at once.
  bool ownClock() const { return !options_.fast && !output_->clocked(); }
  bool advanceClock(Clock::time_point now);
  void playTo(uint32_t position);
  void writeOut(uint32_t frames);
  void armTimer();
  // The output's clock: feeding it, its played position, the latency
  // samples, and going on without it.
  void onOutput();
  void feed();
  bool followDevice();
  void sampleLatency(const PacketHeader &h);
  void measureLatency();
  void dropOutput(const char *why);
  void resumeOutput(Clock::time_point now);
  void resumeLater(Clock::time_point from);

  const ServerOptions &options_;
  asio::ip::udp::socket socket_;
  PlayoutTicker &ticker_;       // PLAYOUT_TICK while the clock runs
  PlayoutPoller &poller_;       // the socket's readiness
  bool polled_ = false;         // in the poller's set (else its own wait)
  uint32_t id_;                 // the server's number for it
  uint32_t driverId_;           // the driver's
  uint32_t rate_;               // Hz: the timebase, the application's rate
  uint32_t driverHost_;         // the request's IPv4 address, host order: others ignored
  SampleRing *ring_ = nullptr;  // output rate and channels; LocalFree'd by finish
  Resampler rs_{};              // wire rate to output rate, positions in timebase frames
  GsmCoder coder_ = nullptr;    // this stream's own GSM coder, made on first use
  // Where the audio goes; made by start, ended by close or finish.
  std::unique_ptr<PlayoutOutput> output_;
  PlayoutOutputSetup outputSetup_;  // what it was opened with, to open it again
  // The sound system's stream failed and the stream plays to nothing on its
  // own clock meanwhile: a new one is tried at resumeAt_, once the sound
  // system answers, the wait doubling after each that fails before it
  // plays. The first goes to the sink the stream was on; after that one
  // failed too, to the default sink.
  bool outputLost_ = false;
  uint32_t outputFailures_ = 0;  // in a row, without playing in between
  Clock::time_point resumeAt_;
  Clock::duration resumeWait_ = RESUME_FIRST;
  uint64_t outputFrom_ = 0;  // played_ when the output began
  // One byte more than the largest datagram shows an oversized one.
  std::array<std::array<uint8_t, PACKET_MAX_DATAGRAM + 1>, RECEIVE_BATCH> receive_;
  std::array<sockaddr_in, RECEIVE_BATCH> senders_;  // of the datagrams of one recvmmsg
  asio::ip::udp::endpoint from_;                    // sender of the last datagram
  // The driver's end, from the open on or (udpStreamLearnsPort) once its
  // first valid datagram came: the socket is connected to it, so the
  // system drops anyone else's.
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
  // With an output that has a clock, the frames it has played, counted
  // from syncPos_, give consumed.
  uint32_t syncPos_ = 0;    // timebase frames: consumed at the first data packet
  const uint32_t *volume_;  // the volume control's stored value, or null
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
  // Gaps of the outputs dropped so far (see PlayoutOutput::gaps), and the
  // timebase frames played to nothing.
  uint32_t gaps_ = 0;
  uint64_t gapMicroseconds_ = 0;
  uint64_t nothingFrames_ = 0;
  // Adds the output's gaps to the stream's, before the output goes.
  void takeGaps();
  // The output's gaps already looked at (watchGaps): all, late, and their
  // silence.
  uint32_t gapsSeen_ = 0, lateSeen_ = 0;
  uint64_t gapMicrosecondsSeen_ = 0;
  void watchGaps();
  uint32_t dryTicks_ = 0;  // ticks in a row that found the ring empty
};

// The public entry points (server/capture.cpp starts and counts streams of
// both directions through them).
std::shared_ptr<UdpStream> playoutStart(asio::io_context &io, const ServerOptions &options,
                                        StreamRecord &record);
size_t playoutMemory(const ServerOptions &options, uint32_t applicationRate);
