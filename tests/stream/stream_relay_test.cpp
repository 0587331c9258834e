// The streams end to end: the driver's I/O thread with a session, a play
// sender and a capture receiver, lumivox-server in its own process, and
// lumivox-relay between them for both directions of datagrams. Playback
// reaches the server's stream socket through a relay whose port the server
// names in its replies; recordings go out through a routed relay. The
// endpoints are small test records with the endpoint callback slots: a tone
// for playback, and a reader that takes whatever the receiver writes.
//
// Waits are on conditions, bounded only as guards against a hang.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "audio/formats.h"
#include "driver/entry.h"
#include "net/loop.h"
#include "session/protocol.h"
#include "platform/posix/memtime.h"
#include "stream/endpoint.h"
#include "stream/stream.h"
#include "tests/server/server_process.h"

namespace {

// Guard of every wait on the streams; never reached when they work.
constexpr int STREAM_WAIT_MS = 30000;
constexpr uint32_t RATE = 48000;
constexpr double TONE_LEVEL = 12000;
// The server's tone peaks at half of full scale; a little more allows for
// the rate converter's ripple.
constexpr int16_t TONE_PEAK = 17000;
// Identical frames in a row that only a filled gap gives: the tones here
// change every frame but at their very peaks.
constexpr uint32_t FILLED_RUN = 16;

const char RELAY_READY[] = "lumivox-relay: relaying ";

// The play endpoint: a 1000 Hz stereo tone, made as the sender asks.
struct ToneSource {
  PlaySource source;  // first: the callbacks get its address
  double phase = 0;   // radians
  int started = 0;    // sourceActivity (1) calls
};

int toneFill(PlaySource *s, uint32_t position, uint32_t amount) {
  ToneSource *t = reinterpret_cast<ToneSource *>(s);
  while (int32_t(position + amount - s->produced) > 0) {
    uint32_t span = 0;
    int16_t *at = ringSpan(s->ring, s->produced, &span);
    int16_t v = int16_t(std::lrint(TONE_LEVEL * std::sin(t->phase)));
    at[0] = at[1] = v;
    t->phase = std::fmod(t->phase + 2 * M_PI * 1000 / RATE, 2 * M_PI);
    s->produced += 1;
  }
  return 1;
}
void toneActivity(PlaySource *s, int flag) { reinterpret_cast<ToneSource *>(s)->started += flag; }
void toneProgress(PlaySource *, uint32_t) {}

// The record endpoint: reads everything the first receiver has written as
// soon as it is written, which earns the server its credit, and keeps
// counts of what it read.
struct Reader {
  RecordSink sink;       // first: the callbacks get its address
  uint64_t frames = 0;   // frames read
  uint32_t filled = 0;   // runs of FILLED_RUN identical frames
  uint32_t run = 0;      // identical frames ending at the last one read
  int16_t last[2] = {};  // the last frame read
  int16_t peak = 0;      // largest magnitude read
  int active = 0;        // sinkActivity flag
};

void readerDrain(RecordSink *s) {
  Reader *r = reinterpret_cast<Reader *>(s);
  CaptureReceiver *receiver = s->receivers;
  if (!receiver || !receiver->synced) return;
  while (int32_t(receiver->writePos - s->readPos) > 0) {
    uint32_t span = 0;
    int16_t *at = ringSpan(s->ring, s->readPos, &span);
    uint32_t n = std::min(span, receiver->writePos - s->readPos);
    for (uint32_t i = 0; i < n; i++, at += 2) {
      bool same = r->frames > 0 && at[0] == r->last[0] && at[1] == r->last[1];
      r->run = same ? r->run + 1 : 1;
      if (r->run == FILLED_RUN) r->filled++;
      r->last[0] = at[0];
      r->last[1] = at[1];
      r->peak = std::max<int16_t>(r->peak, int16_t(std::abs(at[0])));
      r->frames++;
    }
    ringClear(s->ring, s->readPos, n);
    s->readPos += n;
  }
  receiverCredit(s);
}
void readerActivity(RecordSink *s, int flag) { reinterpret_cast<Reader *>(s)->active = flag; }

// What the session's callbacks saw.
struct Seen {
  int setups = 0;
  int closes = 0;
  std::vector<StreamSlot *> slots;
};

int onSetup(ServerSession *, void *user) {
  static_cast<Seen *>(user)->setups++;
  return 1;
}
void onClosed(ServerSession *, void *user) { static_cast<Seen *>(user)->closes++; }
void onOpened(ServerSession *session, StreamSlot *slot, void *) {
  static_cast<Seen *>(session->user)->slots.push_back(slot);
}

std::vector<std::string> linesOf(const std::string &path, const std::string &having) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    if (line.find(having) != std::string::npos) lines.push_back(line);
  }
  return lines;
}

// The number after "\"name\":" in a JSON line, or -1.
long long field(const std::string &line, const std::string &name) {
  size_t at = line.find("\"" + name + "\":");
  if (at == std::string::npos) return -1;
  return std::atoll(line.c_str() + at + name.size() + 3);
}

class RelayedStream : public ::testing::Test {
 protected:
  void SetUp() override {
    descriptors_ = descriptorCount(getpid());
    blocks_ = lvLocalAllocLive();
    char name[] = "/tmp/lumivox-relayed-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
    drvInitLock();
    EnterCriticalSection(&drvLock);
    ASSERT_EQ(drvStartIo(), 1);
    LeaveCriticalSection(&drvLock);
  }

  void TearDown() override {
    if (session_ && !closed_) closeAll();
    relays_.clear();
    server_.reset();
    drvStopIo();
    EXPECT_EQ(loopReaders, nullptr);
    EXPECT_EQ(loopWriters, nullptr);
    EXPECT_EQ(loopWork, nullptr);
    EXPECT_EQ(loopTimers, nullptr);
    if (tone_.source.ring) LocalFree(tone_.source.ring);
    if (reader_.sink.ring) LocalFree(reader_.sink.ring);
    EXPECT_EQ(lvLocalAllocLive(), blocks_) << "a record of the streams was not freed";
    std::filesystem::remove_all(dir_);
    EXPECT_EQ(descriptorCount(getpid()), descriptors_) << "a socket was left open";
  }

  std::string stats() const { return dir_ + "/stats.jsonl"; }

  // Runs f with drvLock held and wakes the I/O thread for what it queued.
  void locked(const std::function<void()> &f) {
    EnterCriticalSection(&drvLock);
    f();
    loopWake();
    LeaveCriticalSection(&drvLock);
  }
  // Whether done (read with drvLock held) came true within the guard.
  bool waitUntil(const std::function<bool()> &done) {
    auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(STREAM_WAIT_MS);
    for (;;) {
      EnterCriticalSection(&drvLock);
      bool now = done();
      LeaveCriticalSection(&drvLock);
      if (now) return true;
      if (std::chrono::steady_clock::now() > limit) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  ServerProcess *relay(std::vector<std::string> options) {
    relays_.push_back(std::make_unique<ServerProcess>(LUMIVOX_RELAY, RELAY_READY, options));
    return relays_.back()->ready() ? relays_.back().get() : nullptr;
  }
  // The server, and a session to it once its setup has been accepted.
  // Fast, it consumes playback as it comes and records as fast as the
  // credit allows; otherwise both run in real time.
  bool serve(std::vector<std::string> options, bool fast = true) {
    options.insert(options.end(),
                   {"--listen", "127.0.0.1", "--port", "0", "--stats", stats(), "--verbose", "1"});
    if (fast) options.push_back("--fast");
    server_ = std::make_unique<ServerProcess>(options);
    if (!server_->ready()) return false;
    std::string address = "127.0.0.1:" + std::to_string(server_->port());
    locked([&] { session_ = sessionOpen(address.c_str(), onSetup, onClosed, &seen_); });
    return session_ && waitUntil([&] { return seen_.setups == 1; });
  }

  PlaySender *openPlay() {
    static const PlaySourceEvents toneEvents = {toneFill, toneActivity, toneProgress, nullptr};
    tone_.source.events = &toneEvents;
    tone_.source.ring = ringCreate(RING_FRAMES, RATE, 1);
    size_t before = seen_.slots.size();
    locked([&] {
      requestOpenPlayStream(session_, &tone_.source, serverDeviceId(&session_->devices[0]),
                            onOpened, nullptr);
    });
    if (!waitUntil([&] { return seen_.slots.size() > before; })) return nullptr;
    play_ = seen_.slots.back();
    return play_ ? play_->sender : nullptr;
  }

  CaptureReceiver *openRecord() {
    static const RecordSinkEvents readerEvents = {readerDrain, readerActivity};
    reader_.sink.events = &readerEvents;
    reader_.sink.ring = ringCreate(RING_FRAMES, RATE, 1);
    size_t before = seen_.slots.size();
    locked([&] {
      requestOpenRecordStream(session_, &reader_.sink, serverDeviceId(&session_->devices[1]),
                              onOpened, nullptr);
    });
    if (!waitUntil([&] { return seen_.slots.size() > before; })) return nullptr;
    record_ = seen_.slots.back();
    return record_ ? record_->receiver : nullptr;
  }

  // Closes the streams and the session, waits for the I/O thread to let go
  // of them, and stops the server (which writes the streams' end lines).
  void closeAll() {
    closed_ = true;
    locked([&] {
      if (play_) requestCloseStream(session_, play_);
      if (record_) requestCloseStream(session_, record_);
      play_ = record_ = nullptr;
      connClose(session_->connection);
    });
    EXPECT_TRUE(waitUntil([&] { return seen_.closes == 1; }));
    EXPECT_EQ(server_->stop(), 0);
  }

  // The relay's delay after one more signal: SIGUSR1 raises it, SIGUSR2
  // lowers it, by its --delay-step.
  bool stepDelay(ServerProcess *relay, int signal, uint32_t expectedMs) {
    std::string line = "lumivox-relay: delay " + std::to_string(expectedMs) + " ms";
    int before = relay->logCount(line);
    kill(relay->pid(), signal);
    return relay->waitForLog(line, before + 1);
  }

  ToneSource tone_{};
  Reader reader_{};
  Seen seen_;
  ServerSession *session_ = nullptr;
  StreamSlot *play_ = nullptr;
  StreamSlot *record_ = nullptr;
  bool closed_ = false;  // closeAll ran
  std::unique_ptr<ServerProcess> server_;
  std::vector<std::unique_ptr<ServerProcess>> relays_;

 private:
  int descriptors_ = 0;
  long blocks_ = 0;
  std::string dir_;
};

int rowOf(const PlaySender *sender) { return int(sender->format - wireFormats); }

// The relay's delay is one way, so a round trip takes twice it. A round
// trip beyond every row's limit but GSM's starts the stream in GSM; as it
// falls the sender climbs out of it, and as it rises again the sender steps
// down to rows whose limit is above it. Stepping down stops at row 1: only
// the first choice goes to GSM.
TEST_F(RelayedStream, TheSenderFollowsTheRoundTripDownAndUp) {
  uint16_t streamPort = freeUdpPort();
  ServerProcess *relay = this->relay(
      {"--to", std::to_string(streamPort), "--delay", "150", "--delay-step", "50", "--seed", "2"});
  ASSERT_NE(relay, nullptr);
  ASSERT_TRUE(serve({"--udp-port", std::to_string(streamPort), "--advertise-udp-port",
                     std::to_string(relay->port())}));
  PlaySender *sender = openPlay();
  ASSERT_NE(sender, nullptr);
  ASSERT_EQ(ntohs(sender->server.sin_port), relay->port()) << "the reply names the relay";
  int firstRow = -1;
  uint32_t smoothed = 0;
  ASSERT_TRUE(waitUntil([&] {
    firstRow = rowOf(sender);
    smoothed = sender->smoothedRtt;
    return sender->started == 1 && tone_.started == 1;
  }));
  EXPECT_GE(smoothed, 1000u) << "four times the first round trip of over 300 ms";
  EXPECT_EQ(firstRow, 0) << "GSM: no other row's limit is above 1200 ms";

  // Falling to no delay: the sender climbs out of GSM to the fast rows.
  for (uint32_t delay : {100u, 50u, 0u}) ASSERT_TRUE(stepDelay(relay, SIGUSR2, delay));
  ASSERT_TRUE(waitUntil([&] { return rowOf(sender) >= 10; }));

  // Rising step by step: each round trip drives it below the row that
  // could not carry it. Whatever it tries on the way, it settles on a row
  // whose limit is above the round trip, and never on GSM.
  int row = -1;
  for (uint32_t delay : {50u, 100u, 150u}) {
    ASSERT_TRUE(stepDelay(relay, SIGUSR1, delay));
    ASSERT_TRUE(waitUntil([&] {
      row = rowOf(sender);
      return sender->lastRtt >= 2 * delay && sender->format->rttLimit > 2 * delay;
    })) << "delay "
        << delay << " ms: at row " << row;
    EXPECT_NE(row, 0);
  }
  EXPECT_EQ(row, 1) << "only row 1's limit of 350 ms is above 300 ms but GSM's";

  // Falling again: back up.
  for (uint32_t delay : {100u, 50u, 0u}) ASSERT_TRUE(stepDelay(relay, SIGUSR2, delay));
  ASSERT_TRUE(waitUntil([&] { return (row = rowOf(sender)) >= 10; })) << "at row " << row;
  closeAll();

  // The server saw each change of the wire format: GSM first, then up,
  // down below 8000 Hz linear rows and up again.
  std::vector<std::string> formats = linesOf(stats(), "\"event\":\"format\"");
  ASSERT_GE(formats.size(), 4u);
  EXPECT_EQ(field(formats[0], "kind"), WIRE_GSM) << formats[0];
  int fromGsm = 0, toCompanded8000 = 0;
  for (size_t i = 1; i < formats.size(); i++) {
    if (field(formats[i - 1], "kind") == WIRE_GSM) fromGsm++;
    if (field(formats[i], "kind") == WIRE_COMPANDED && field(formats[i], "rate") == 8000) {
      toCompanded8000++;
    }
  }
  EXPECT_EQ(fromGsm, 1);
  EXPECT_GE(toCompanded8000, 1) << "row 1 at the highest round trip";
  std::vector<std::string> ends = linesOf(stats(), "\"event\":\"end\"");
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_GE(field(ends[0], "formatChanges"), 3);
  EXPECT_EQ(field(ends[0], "malformed"), 0);
}

// Seeded loss of a tenth of the datagrams, each way, in both streams at
// once: audio keeps flowing, the capture receiver fills the gaps, and the
// server counts what it lost of the playback.
TEST_F(RelayedStream, TenPercentLossKeepsBothStreamsFlowing) {
  uint16_t streamPort = freeUdpPort();
  ServerProcess *playRelay =
      relay({"--to", std::to_string(streamPort), "--loss", "0.1", "--seed", "11"});
  ServerProcess *recordRelay = relay({"--routed", "--loss", "0.1", "--seed", "12"});
  ASSERT_TRUE(playRelay && recordRelay);
  ASSERT_TRUE(serve({"--udp-port", std::to_string(streamPort), "--advertise-udp-port",
                     std::to_string(playRelay->port()), "--send-via",
                     std::to_string(recordRelay->port()), "--tone", "1000"},
                    false));
  PlaySender *sender = openPlay();  // first, so that its socket is the one on streamPort
  ASSERT_NE(sender, nullptr);
  CaptureReceiver *receiver = openRecord();
  ASSERT_NE(receiver, nullptr);
  // Three seconds of audio each way, in real time.
  ASSERT_TRUE(waitUntil([&] {
    return sender->started && sender->consumed >= 3 * RATE && reader_.frames >= 3 * RATE;
  }));
  locked([&] {
    EXPECT_EQ(reader_.active, 1);
    EXPECT_GT(reader_.filled, 0u) << "lost packets leave gaps, filled by repetition";
    EXPECT_LE(reader_.peak, TONE_PEAK) << "the tone at half of full scale, and only it";
  });
  closeAll();
  std::vector<std::string> ends = linesOf(stats(), "\"event\":\"end\"");
  ASSERT_EQ(ends.size(), 2u);
  for (const std::string &line : ends) {
    if (line.find("\"playback\"") != std::string::npos) {
      EXPECT_GT(field(line, "lost"), 0) << line;
      EXPECT_GT(field(line, "packets"), 100) << line;
      EXPECT_EQ(field(line, "malformed"), 0) << line;
    } else {
      EXPECT_GT(field(line, "packets"), 100) << line;
      EXPECT_GT(field(line, "acks"), 100) << line;
    }
  }
  for (ServerProcess *r : {playRelay, recordRelay}) {
    EXPECT_EQ(r->stop(), 0);
    std::string log = r->log();
    for (const char *direction : {"forward", "backward"}) {
      size_t at = log.find(std::string(direction) + ": received ");
      ASSERT_NE(at, std::string::npos) << log;
      EXPECT_GT(std::atoll(log.c_str() + log.find("dropped ", at) + 8), 0) << log;
    }
  }
}

// A host that is not the driver's writes to the server's stream sockets,
// and one that is not the server's writes to the driver's slots, while
// both streams run through the relays: forged audio, acknowledgements and
// credit all go unheard, and the streams carry on.
TEST_F(RelayedStream, ForgedDatagramsFromAnotherHostAreIgnoredEndToEnd) {
  int forger = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(0x7F000002);
  if (bind(forger, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
    close(forger);
    GTEST_SKIP() << "no 127.0.0.2 to send from";
  }
  uint16_t streamPort = freeUdpPort();
  ServerProcess *playRelay = relay({"--to", std::to_string(streamPort)});
  ServerProcess *recordRelay = relay({"--routed"});
  ASSERT_TRUE(playRelay && recordRelay);
  ASSERT_TRUE(serve({"--udp-port", std::to_string(streamPort), "--advertise-udp-port",
                     std::to_string(playRelay->port()), "--send-via",
                     std::to_string(recordRelay->port())}));
  PlaySender *sender = openPlay();
  ASSERT_NE(sender, nullptr);
  CaptureReceiver *receiver = openRecord();
  ASSERT_NE(receiver, nullptr);
  ASSERT_TRUE(waitUntil([&] { return sender->started && reader_.frames >= RATE; }));

  // The server's record socket is the one after the play socket.
  auto sendTo = [&](uint16_t port, const std::vector<uint8_t> &bytes) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    sendto(forger, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  };
  // Loud audio at full scale, a huge credit and a played position far
  // ahead: each would show if it were taken.
  std::vector<uint8_t> loud(PACKET_HEADER_BYTES + 2 * 2 * 100);
  PacketHeader h = {0, 100, 100, WIRE_LINEAR16, 1, 6};
  uint16_t slotPlay = 0, slotRecord = 0;
  uint32_t writePos = 0;
  locked([&] {
    h.start = receiver->receivedEnd;
    writePos = receiver->writePos;
    slotPlay = play_->localPort;
    slotRecord = record_->localPort;
  });
  // The server's own ports, from its log: the playback socket's is the one
  // the relay targets.
  uint16_t playPort = streamPort, recordPort = 0;
  std::string log = server_->log();
  size_t opened = log.find("opened: recording");
  ASSERT_NE(opened, std::string::npos) << log;
  recordPort = uint16_t(std::atoi(log.c_str() + log.find("UDP port ", opened) + 9));
  ASSERT_NE(recordPort, 0);
  packetStoreHeader(loud.data(), &h);
  for (size_t i = PACKET_HEADER_BYTES; i < loud.size(); i += 2) loud[i] = 0xFF, loud[i + 1] = 0x7F;
  std::vector<uint8_t> ack(ACK_BYTES);
  StreamAck credit = {0x40000000, 0x40000000, 0, 0, 1};
  ackStore(ack.data(), &credit);
  for (int i = 0; i < 20; i++) {
    sendTo(slotRecord, loud);  // audio to the driver's receiver
    sendTo(slotPlay, ack);     // a played position to the driver's sender
    sendTo(playPort, loud);    // audio to the server's playout
    sendTo(recordPort, ack);   // credit and a new destination to the server's recording
  }
  // The streams go on: another second each way after the forgeries.
  uint64_t recorded = 0;
  uint32_t consumed = 0;
  locked([&] {
    recorded = reader_.frames;
    consumed = sender->consumed;
  });
  ASSERT_TRUE(waitUntil(
      [&] { return reader_.frames >= recorded + RATE && sender->consumed - consumed >= RATE; }));
  locked([&] {
    EXPECT_LE(reader_.peak, TONE_PEAK) << "no forged audio was written";
    EXPECT_LE(int32_t(sender->ackedPlayed - sender->sent), 0) << "played no further than sent";
    EXPECT_GE(int32_t(receiver->writePos - writePos), int32_t(RATE));
  });
  close(forger);
  closeAll();
  std::vector<std::string> ends = linesOf(stats(), "\"event\":\"end\"");
  ASSERT_EQ(ends.size(), 2u);
  for (const std::string &line : ends) {
    // Each stream's socket is connected to its driver's end by then: the
    // system drops the forgeries before the server sees them.
    EXPECT_EQ(field(line, "foreign"), 0) << line;
    EXPECT_EQ(field(line, "malformed"), 0) << line;
    if (line.find("\"recording\"") != std::string::npos) {
      EXPECT_LT(field(line, "credit"), 0x40000000) << line;
    }
  }
  for (ServerProcess *r : {playRelay, recordRelay}) EXPECT_EQ(r->stop(), 0);
}

}  // namespace
