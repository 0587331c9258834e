// The load generator: see bench/load.h.
#include "bench/load.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "audio/convert.h"
#include "audio/formats.h"
#include "stream/stream.h"
#include "wire/messages.h"

const LoadPath LOAD_PATHS[3] = {
    {"linear16_44100_stereo", 16, 44100},
    {"companded_8000", 1, 44100},
    {"gsm_8000", 0, 44100},
};

namespace {

// Bound of every wait of the setup: a connect, an answer.
constexpr int SETUP_WAIT_MS = 5000;
// What the driver's window rule works with (stream/sender.cpp): packets of
// at most 1384 coded bytes and at least 200, four packets of lead.
constexpr uint32_t WINDOW_MAX_BYTES = 1384;
constexpr uint32_t WINDOW_MIN_BYTES = 200;
constexpr uint32_t LEAD_PACKETS = 4;
// What the driver's open-stream request asks for (session/protocol.h, whose
// names clash with the server's message header): a lead of 256 frames, at
// most the ring's 65536.
constexpr uint32_t REQUEST_LEAD = 256;
constexpr uint32_t REQUEST_LEAD_MAX = 65536;
// Datagrams taken from a socket per system call.
constexpr unsigned RECEIVE_BATCH = 8;
// How often unanswered packets are looked for, microseconds.
constexpr uint64_t TIMEOUT_SCAN_US = 20000;
// After the measured window, how long the streams get to have their last
// packets answered before they close, microseconds.
constexpr uint64_t DRAIN_US = 500000;

uint64_t nowUs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000000 + uint64_t(t.tv_nsec) / 1000;
}

double cpuSeconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// One second of a row's wire audio, coded once with the driver's encoders;
// packets are slices of it.
struct CodedCycle {
  const WireFormat *row;
  uint32_t frames;              // wire frames in the cycle
  std::vector<uint8_t> bytes;   // coded
  uint32_t unitFrames;          // wire frames coded together: 160 for GSM, else 1
  uint32_t unitBytes;           // bytes of one unit
};

CodedCycle codeCycle(const WireFormat &row) {
  CodedCycle c{&row, row.rate, {}, row.samplesPerUnit, 0};
  uint32_t channels = row.stereo ? 2 : 1;
  c.unitBytes = row.kind == WIRE_GSM         ? GSM_FRAME_BYTES
                : row.kind == WIRE_LINEAR16 ? 2 * channels
                                            : channels;
  SampleRing *ring = ringCreate(RING_FRAMES, row.rate, int(row.stereo));
  for (uint32_t i = 0; i < c.frames; i++) {
    uint32_t span = 0;
    int16_t *at = ringSpan(ring, i, &span);
    double t = double(i) / row.rate;
    at[0] = int16_t(8000 * std::sin(2 * 3.14159265358979 * 440 * t));
    if (channels == 2) at[1] = int16_t(8000 * std::sin(2 * 3.14159265358979 * 660 * t));
  }
  Resampler rs{};
  rsSetup(&rs, row.rate, row.rate, row.rate, channels);
  GsmCoder coder = nullptr;
  uint32_t position = 0;
  uint8_t payload[PACKET_PAYLOAD_MAX];
  while (position < c.frames) {
    uint16_t wireFrames = 0;
    uint32_t want = std::min<uint32_t>(c.frames - position, 320);
    uint32_t bytes =
        row.kind == WIRE_GSM ? encodeGsm(ring, position, want, payload, &wireFrames, &rs, &coder)
        : row.kind == WIRE_LINEAR16
            ? encodeLinear16(ring, position, want, payload, &wireFrames, int(row.stereo), &rs)
            : encodeCompanded(ring, position, want, payload, &wireFrames, int(row.stereo), &rs);
    if (wireFrames == 0) break;
    c.bytes.insert(c.bytes.end(), payload, payload + bytes);
    position += wireFrames;
  }
  c.frames = uint32_t(c.bytes.size() / c.unitBytes) * c.unitFrames;
  gsmCoderFree(&coder);
  LocalFree(ring);
  return c;
}

struct Sent {
  uint64_t atUs;
  uint32_t start, duration;  // application frames
};

struct Stream {
  int control = -1;            // the control connection
  int udp = -1;                // the driver's datagram socket
  sockaddr_in server{};        // the stream's UDP port at the server
  uint32_t id = 0;
  uint32_t leadMin = 0, leadMax = 0;  // application frames, as the driver bounds them
  uint32_t leadTarget = 0, packetFrames = 0;
  uint32_t sent = 0;           // application frames: start of the next packet
  uint64_t wirePos = 0;        // wire frames sent
  uint64_t appPos = 0;         // application frames sent (sent, unwrapped)
  uint32_t ackedEnd = 0, ackedPlayed = 0;
  uint32_t smoothedRtt = 0;    // ms
  uint32_t timeoutMs = SENDER_FIRST_TIMEOUT_MS;
  std::array<Sent, SENDER_MAX_IN_FLIGHT> log{};
  uint32_t sentCount = 0, inFlight = 0;
  bool started = false;
  bool queued = false;  // on the list of streams that may send this turn
  uint64_t sentPackets = 0, acked = 0, late = 0, lost = 0, acks = 0, dry = 0, bytes = 0;
};

// The driver's window rule for a round trip of r ms.
void window(Stream &s, const CodedCycle &c, uint32_t appRate, uint32_t r) {
  const WireFormat &row = *c.row;
  uint32_t maxFrames = uint32_t(uint64_t(appRate) * WINDOW_MAX_BYTES / row.bytesPerSecond);
  uint32_t minFrames = uint32_t(uint64_t(appRate) * WINDOW_MIN_BYTES / row.bytesPerSecond);
  uint32_t unitFrames = uint32_t(uint64_t(row.samplesPerUnit + 8) * appRate / row.rate);
  uint32_t h = uint32_t(uint64_t(maxFrames) * r / row.rttLimit);
  h = std::max(h, s.leadMin / 4);
  h = std::min(h, maxFrames);
  h = std::max(h, minFrames);
  h = std::max(h, unitFrames);
  s.packetFrames = h;
  s.leadTarget = std::max(std::min(LEAD_PACKETS * h, s.leadMax), s.leadMin);
}

class Generator {
 public:
  Generator(const LoadOptions &o, LoadResult &r)
      : o_(o), r_(r), cycle_(codeCycle(wireFormats[o.path.row])) {}
  ~Generator();
  bool open();
  void run(const LoadHooks &hooks);

 private:
  bool openStream(Stream &s, uint32_t id);
  bool answer(int fd, std::vector<uint8_t> &message);
  void receive(Stream &s);
  void takeAck(Stream &s, const uint8_t *bytes, int length, uint64_t now);
  void turn(uint64_t now);
  void sendPacket(Stream &s, uint64_t now);
  void sendProbe(Stream &s, uint64_t now);
  void scanTimeouts(uint64_t now);
  void queue(Stream &s);
  void logSent(Stream &s, uint64_t now, uint32_t start, uint32_t duration);

  const LoadOptions &o_;
  LoadResult &r_;
  CodedCycle cycle_;
  std::vector<Stream> streams_;
  std::vector<Stream *> ready_;    // may send this turn
  std::vector<Stream *> turning_;  // those of the turn being run
  int epoll_ = -1;
  bool sending_ = true;  // false once the run is over: answers only
};

Generator::~Generator() {
  uint8_t close[CLOSE_STREAM_BYTES];
  for (Stream &s : streams_) {
    if (s.control >= 0 && closeStreamBuild(close, s.id)) {
      ssize_t ignored = write(s.control, close, sizeof close);
      (void)ignored;
    }
    if (s.control >= 0) ::close(s.control);
    if (s.udp >= 0) ::close(s.udp);
  }
  if (epoll_ >= 0) ::close(epoll_);
}

// One whole control message from a blocking connection, within the wait.
bool Generator::answer(int fd, std::vector<uint8_t> &message) {
  message.clear();
  uint8_t buffer[MESSAGE_MAX_BYTES];
  size_t have = 0;
  while (true) {
    Frame f = frameNext(std::span<const uint8_t>(buffer, have));
    if (f.status == FrameStatus::COMPLETE) break;
    if (f.status != FrameStatus::NEED_MORE) return false;
    size_t want = f.bytes ? f.bytes : MESSAGE_HEADER_BYTES;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, SETUP_WAIT_MS) != 1) return false;
    ssize_t got = read(fd, buffer + have, want - have);
    if (got <= 0) return false;
    have += size_t(got);
  }
  message.assign(buffer, buffer + have);
  return true;
}

// The driver's open of one playback stream: connect, setup, open-stream.
bool Generator::openStream(Stream &s, uint32_t id) {
  s.id = id;
  s.control = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(o_.port);
  if (s.control < 0 || inet_pton(AF_INET, o_.host.c_str(), &at.sin_addr) != 1 ||
      connect(s.control, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
    r_.error = "cannot connect to " + o_.host + ":" + std::to_string(o_.port);
    return false;
  }
  int one = 1;
  setsockopt(s.control, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  std::vector<uint8_t> reply;
  uint8_t request[OPEN_STREAM_BYTES];
  uint16_t device = 0;
  if (write(s.control, request, setupRequestBuild(request)) != ssize_t(SETUP_REQUEST_BYTES) ||
      !answer(s.control, reply) ||
      !setupAcceptedFindDevice(reply, DIRECTION_PLAYBACK, device)) {
    r_.error = "stream " + std::to_string(id) + ": no setup with a playback device";
    return false;
  }
  sockaddr_in local{};
  socklen_t size = sizeof local;
  getsockname(s.control, reinterpret_cast<sockaddr *>(&local), &size);
  s.udp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in bound = local;
  bound.sin_port = 0;
  size = sizeof bound;
  if (s.udp < 0 || bind(s.udp, reinterpret_cast<sockaddr *>(&bound), sizeof bound) != 0 ||
      getsockname(s.udp, reinterpret_cast<sockaddr *>(&bound), &size) != 0) {
    r_.error = "no UDP socket";
    return false;
  }
  OpenStreamRequest open{DIRECTION_PLAYBACK, ntohl(local.sin_addr.s_addr), ntohs(bound.sin_port),
                         0, o_.path.appRate, id, REQUEST_LEAD, REQUEST_LEAD_MAX, device};
  StreamReply granted{};
  if (write(s.control, request, openStreamBuild(request, open)) != ssize_t(OPEN_STREAM_BYTES) ||
      !answer(s.control, reply) || !streamReplyParse(reply, granted) ||
      granted.status != STATUS_ACCEPTED) {
    r_.error = "stream " + std::to_string(id) + ": refused";
    return false;
  }
  s.server = at;
  s.server.sin_port = htons(granted.port);
  s.leadMin = std::max(granted.minLead, SENDER_LEAD_FLOOR);
  s.leadMax = std::min(granted.maxLead, SENDER_LEAD_CEILING);
  window(s, cycle_, o_.path.appRate, SENDER_FIRST_RTT);
  epoll_event e{};
  e.events = EPOLLIN;
  e.data.ptr = &s;
  return epoll_ctl(epoll_, EPOLL_CTL_ADD, s.udp, &e) == 0;
}

bool Generator::open() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  if (cycle_.frames == 0) {
    r_.error = "the row codes nothing";
    return false;
  }
  epoll_ = epoll_create1(EPOLL_CLOEXEC);
  streams_.resize(o_.streams);
  ready_.reserve(o_.streams);
  turning_.reserve(o_.streams);
  for (uint32_t i = 0; i < o_.streams; i++) {
    if (!openStream(streams_[i], i + 1)) return false;
    ++r_.opened;
  }
  return true;
}

void Generator::queue(Stream &s) {
  if (s.queued) return;
  s.queued = true;
  ready_.push_back(&s);
}

void Generator::logSent(Stream &s, uint64_t now, uint32_t start, uint32_t duration) {
  s.log[s.sentCount % SENDER_MAX_IN_FLIGHT] = {now, start, duration};
  ++s.sentCount;
  ++s.inFlight;
}

void Generator::sendProbe(Stream &s, uint64_t now) {
  static const uint8_t probe[PACKET_MAX_DATAGRAM] = {};
  sendto(s.udp, probe, sizeof probe, 0, reinterpret_cast<sockaddr *>(&s.server), sizeof s.server);
  logSent(s, now, 0, 0);
}

// The next packet of packetFrames application frames (GSM: whole frames),
// its payload sliced from the coded cycle.
void Generator::sendPacket(Stream &s, uint64_t now) {
  const WireFormat &row = *cycle_.row;
  uint64_t wireEnd = (s.appPos + s.packetFrames) * row.rate / o_.path.appRate;
  uint64_t units = (wireEnd - s.wirePos) / cycle_.unitFrames;
  units = std::clamp<uint64_t>(units, 1, PACKET_PAYLOAD_MAX / cycle_.unitBytes);
  uint32_t wireFrames = uint32_t(units * cycle_.unitFrames);
  uint64_t appEnd = (s.wirePos + wireFrames) * o_.path.appRate / row.rate;
  uint32_t duration = uint32_t(appEnd - s.appPos);
  uint8_t datagram[PACKET_MAX_DATAGRAM];
  PacketHeader h{s.sent, uint16_t(wireFrames), uint16_t(duration), row.kind, uint8_t(row.stereo),
                 row.rateIndex};
  packetStoreHeader(datagram, &h);
  size_t bytes = size_t(units) * cycle_.unitBytes;
  size_t from = size_t((s.wirePos % cycle_.frames) / cycle_.unitFrames) * cycle_.unitBytes;
  for (size_t done = 0; done < bytes;) {
    size_t n = std::min(bytes - done, cycle_.bytes.size() - from);
    std::memcpy(datagram + PACKET_HEADER_BYTES + done, cycle_.bytes.data() + from, n);
    done += n;
    from = 0;
  }
  sendto(s.udp, datagram, PACKET_HEADER_BYTES + bytes, 0, reinterpret_cast<sockaddr *>(&s.server),
         sizeof s.server);
  logSent(s, now, s.sent, duration);
  s.sent += duration;
  s.appPos = appEnd;
  s.wirePos += wireFrames;
  ++s.sentPackets;
  s.bytes += PACKET_HEADER_BYTES + bytes;
}

// The driver's senderOnAck, and the counts.
void Generator::takeAck(Stream &s, const uint8_t *bytes, int length, uint64_t now) {
  StreamAck a;
  if (!ackLoad(bytes, length, &a)) return;
  ++s.acks;
  int matched = -1;
  for (uint32_t n = s.sentCount - s.inFlight; n != s.sentCount; n++) {
    const Sent &p = s.log[n % SENDER_MAX_IN_FLIGHT];
    if (p.start <= a.lastStart && p.start + p.duration >= a.lastStart) {
      matched = int(n);
      break;
    }
  }
  if (int32_t(a.receivedEnd - s.ackedEnd) > 0) s.ackedEnd = a.receivedEnd;
  if (int32_t(a.consumed - s.ackedPlayed) > 0) s.ackedPlayed = a.consumed;
  if (a.unsolicited && sending_ && s.started && a.consumed == a.receivedEnd) ++s.dry;
  if (matched >= 0) {
    const Sent &p = s.log[uint32_t(matched) % SENDER_MAX_IN_FLIGHT];
    if (!a.unsolicited) {
      uint32_t rtt = std::max<uint32_t>(1, uint32_t((now - p.atUs) / 1000));
      if (!s.started) {
        s.started = true;
        s.smoothedRtt = 4 * rtt;
        ++r_.started;
      } else {
        s.smoothedRtt = (63 * s.smoothedRtt + rtt) / 64;
      }
      s.timeoutMs = std::max<uint32_t>(10 * s.smoothedRtt, 1000);
      if (p.duration) {
        ++s.acked;
        if (int32_t(a.consumed - (p.start + p.duration)) >= 0) ++s.late;
      }
    }
    s.inFlight = s.sentCount - uint32_t(matched) - 1;
  }
  queue(s);
}

void Generator::receive(Stream &s) {
  uint8_t buffers[RECEIVE_BATCH][PACKET_MAX_DATAGRAM];
  mmsghdr messages[RECEIVE_BATCH];
  iovec vectors[RECEIVE_BATCH];
  for (unsigned i = 0; i < RECEIVE_BATCH; i++) {
    vectors[i] = {buffers[i], sizeof buffers[i]};
    messages[i] = {};
    messages[i].msg_hdr.msg_iov = &vectors[i];
    messages[i].msg_hdr.msg_iovlen = 1;
  }
  while (true) {
    int got = recvmmsg(s.udp, messages, RECEIVE_BATCH, MSG_DONTWAIT, nullptr);
    if (got <= 0) return;
    uint64_t now = nowUs();
    for (int i = 0; i < got; i++) takeAck(s, buffers[i], int(messages[i].msg_len), now);
    if (unsigned(got) < RECEIVE_BATCH) return;
  }
}

// The driver's senderOnTimeout: unanswered packets older than the timeout
// are written off with every older one.
void Generator::scanTimeouts(uint64_t now) {
  for (Stream &s : streams_) {
    if (s.inFlight == 0) continue;
    for (uint32_t k = 0; k < s.inFlight; k++) {
      uint32_t n = s.sentCount - 1 - k;
      const Sent &p = s.log[n % SENDER_MAX_IN_FLIGHT];
      if (now - p.atUs < uint64_t(s.timeoutMs) * 1000) continue;
      for (uint32_t m = s.sentCount - s.inFlight; m <= n; m++) {
        if (s.log[m % SENDER_MAX_IN_FLIGHT].duration) ++s.lost;
      }
      s.inFlight = k;
      queue(s);
      break;
    }
  }
}

// One packet for each stream that may send: the driver's senderRun.
void Generator::turn(uint64_t now) {
  std::vector<Stream *> &turn = turning_;
  turn.swap(ready_);
  for (Stream *s : turn) {
    s->queued = false;
    if (!s->started) {
      if (s->inFlight == 0) sendProbe(*s, now);
      continue;
    }
    if (!sending_) continue;
    window(*s, cycle_, o_.path.appRate, s->smoothedRtt);
    if (s->inFlight >= SENDER_MAX_IN_FLIGHT ||
        int32_t(s->ackedEnd - s->ackedPlayed) >= int32_t(s->leadTarget)) {
      continue;
    }
    sendPacket(*s, now);
    if (s->inFlight < SENDER_MAX_IN_FLIGHT) queue(*s);
  }
  turn.clear();
}

void Generator::run(const LoadHooks &hooks) {
  for (Stream &s : streams_) queue(s);
  uint64_t start = nowUs(), lastScan = start;
  uint64_t measureAt = 0, endAt = 0, closeAt = 0;
  std::vector<uint64_t> sentAt, ackedAt, lateAt, lostAt, acksAt, dryAt, bytesAt;
  std::vector<uint32_t> playedAt;
  double cpuAt = 0;
  uint64_t busyUs = 0;  // in turns that found work, in the measured window
  epoll_event events[256];
  while (true) {
    uint64_t now = nowUs();
    if (!measureAt && (r_.started == streams_.size() || now - start > 5000000)) {
      measureAt = now + uint64_t(o_.warmupSeconds * 1e6);
      endAt = measureAt + uint64_t(o_.seconds * 1e6);
    }
    if (measureAt && cpuAt == 0 && now >= measureAt) {
      if (hooks.measureBegin) hooks.measureBegin();
      cpuAt = cpuSeconds();
      for (Stream &s : streams_) {
        sentAt.push_back(s.sentPackets), ackedAt.push_back(s.acked), lateAt.push_back(s.late);
        lostAt.push_back(s.lost), acksAt.push_back(s.acks), dryAt.push_back(s.dry);
        bytesAt.push_back(s.bytes), playedAt.push_back(s.ackedPlayed);
      }
      measureAt = now;
    }
    if (cpuAt != 0 && sending_ && now >= endAt) {
      if (hooks.measureEnd) hooks.measureEnd();
      r_.generatorCpu = cpuSeconds() - cpuAt;
      r_.generatorBusy = double(busyUs) / 1e6;
      r_.seconds = double(now - measureAt) / 1e6;
      for (size_t i = 0; i < streams_.size(); i++) {
        Stream &s = streams_[i];
        r_.sent += s.sentPackets - sentAt[i], r_.acked += s.acked - ackedAt[i];
        r_.late += s.late - lateAt[i], r_.lost += s.lost - lostAt[i];
        r_.acks += s.acks - acksAt[i], r_.dry += s.dry - dryAt[i];
        r_.bytes += s.bytes - bytesAt[i], r_.played += uint32_t(s.ackedPlayed - playedAt[i]);
      }
      r_.pace = double(r_.played) / (double(streams_.size()) * o_.path.appRate * r_.seconds);
      sending_ = false;
      closeAt = now + DRAIN_US;
    }
    if (!sending_ && now >= closeAt) break;
    if (now - lastScan >= TIMEOUT_SCAN_US) {
      scanTimeouts(now);
      lastScan = now;
    }
    // Polled, never slept in: on loopback the sender of a datagram pays for
    // waking its receiver, which a network card would not charge the
    // server with. The time of the turns that found work is the
    // generator's load.
    int n = epoll_wait(epoll_, events, 256, 0);
    if (n <= 0 && ready_.empty()) continue;
    now = nowUs();
    for (int i = 0; i < n; i++) receive(*static_cast<Stream *>(events[i].data.ptr));
    turn(now);
    if (cpuAt != 0 && sending_) busyUs += nowUs() - now;
  }
}

}  // namespace

bool loadRun(const LoadOptions &options, LoadResult &result, const LoadHooks &hooks) {
  result = {};
  Generator generator(options, result);
  if (!generator.open()) return false;
  generator.run(hooks);
  return true;
}
