// The driver against audio servers that keep the datagram contract in ways
// lumivox-server does not: a playout clock that runs on through an
// underrun, acknowledgements from another port of the host, a playout that
// stops consuming and goes on answering, a recording that opens late,
// stalls and goes on at its clock's position. And positions just below the
// wraps of the 32-bit counters, against lumivox-server itself.
//
// lumivox-server answers the control connection; for the scripted cases its
// open-stream replies name the port of a peer in this process, which
// answers the driver's datagrams as that case's server would, on the
// driver's tick, which the test moves.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <string>

#include "tests/devices/wave_device.h"

namespace {

using namespace wave_device;

SOCKET loopbackSocket() {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(LOOPBACK);
  bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  return s;
}

uint16_t portOf(SOCKET s) {
  sockaddr_in a = {};
  socklen_t length = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &length);
  return ntohs(a.sin_port);
}

// How the scripted playout plays and answers.
struct PeerScript {
  const char *name;
  bool freeRunning;  // the clock runs on past what was received, as a device's does
  bool otherPort;    // acknowledgements leave from a second socket of the host
};

// The UDP side of a playback server: answers every datagram with the clock's
// position, reports the clock's progress unsolicited, and counts the
// distinct frames of audio it received. The clock (rate frames a second of
// the driver's tick) starts at the first data packet; unless free-running
// it waits where the received audio ends.
class ScriptedPlayout {
 public:
  ScriptedPlayout(DWORD rate, PeerScript script) : rate_(rate), script_(script) {
    listen_ = loopbackSocket();
    reply_ = script.otherPort ? loopbackSocket() : listen_;
    thread_ = std::thread([this] { run(); });
  }
  ~ScriptedPlayout() {
    stop_ = true;
    thread_.join();
    if (reply_ != listen_) closesocket(reply_);
    closesocket(listen_);
  }
  uint16_t port() const { return portOf(listen_); }
  uint64_t frames() {
    std::lock_guard<std::mutex> hold(mutex_);
    return frames_;
  }
  DWORD lastDataTick() {
    std::lock_guard<std::mutex> hold(mutex_);
    return lastDataTick_;
  }
  // An outage: nothing gets through either way while it lasts.
  void setDropping(bool dropping) {
    std::lock_guard<std::mutex> hold(mutex_);
    dropping_ = dropping;
  }
  // The played position stops where it stands; every datagram is still
  // answered.
  void freeze() {
    std::lock_guard<std::mutex> hold(mutex_);
    frozenAt_ = consumed();
    frozen_ = true;
  }

 private:
  void run() {
    while (!stop_) {
      fd_set set;
      FD_ZERO(&set);
      FD_SET(listen_, &set);
      timeval limit = {0, 2000};
      if (select(int(listen_) + 1, &set, nullptr, nullptr, &limit) == 1) {
        uint8_t d[PACKET_MAX_DATAGRAM];
        sockaddr_in from = {};
        socklen_t length = sizeof from;
        int got = recvfrom(listen_, reinterpret_cast<char *>(d), sizeof d, 0,
                           reinterpret_cast<sockaddr *>(&from), &length);
        if (got >= int(PACKET_HEADER_BYTES)) take(d, from);
      }
      report();
    }
  }

  // Called with mutex_ held.
  uint32_t consumed() {
    if (!synced_) return 0;
    if (frozen_) return frozenAt_;
    DWORD now = tickNow();
    uint32_t clock = anchorPos_ + uint32_t(uint64_t(now - anchorTick_) * rate_ / 1000);
    if (!script_.freeRunning && int32_t(clock - receivedEnd_) > 0) {
      anchorPos_ = clock = receivedEnd_;  // dry: waits for more
      anchorTick_ = now;
    }
    return clock;
  }

  void take(const uint8_t *d, const sockaddr_in &from) {
    std::lock_guard<std::mutex> hold(mutex_);
    if (dropping_) return;
    driver_ = from;
    PacketHeader h;
    packetLoadHeader(d, &h);
    uint32_t end = h.start + h.duration;
    if (h.kind != WIRE_PROBE && h.duration > 0) {
      if (!synced_) {
        synced_ = true;
        anchorPos_ = receivedEnd_ = h.start;
        anchorTick_ = tickNow();
      }
      consumed();  // a dry clock starts again from this arrival
      int32_t fresh = int32_t(end - receivedEnd_);
      if (fresh > 0) {
        frames_ += uint32_t(std::min(fresh, int32_t(h.duration)));
        receivedEnd_ = end;
      }
      lastDataTick_ = tickNow();
    }
    send({consumed(), receivedEnd_, h.start, h.duration, 0});
  }

  void report() {
    std::lock_guard<std::mutex> hold(mutex_);
    if (!synced_ || dropping_) return;
    uint32_t now = consumed();
    if (now != reported_) send({now, receivedEnd_, 0, 0, 1});
  }

  // Called with mutex_ held.
  void send(const StreamAck &ack) {
    uint8_t b[ACK_BYTES];
    ackStore(b, &ack);
    reported_ = ack.consumed;
    sendto(reply_, reinterpret_cast<const char *>(b), sizeof b, 0,
           reinterpret_cast<const sockaddr *>(&driver_), sizeof driver_);
  }

  const DWORD rate_;
  const PeerScript script_;
  SOCKET listen_ = INVALID_SOCKET, reply_ = INVALID_SOCKET;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mutex_;
  sockaddr_in driver_ = {};
  bool synced_ = false, dropping_ = false, frozen_ = false;
  uint32_t anchorPos_ = 0, receivedEnd_ = 0, frozenAt_ = 0, reported_ = 0;
  DWORD anchorTick_ = 0, lastDataTick_ = 0;
  uint64_t frames_ = 0;  // distinct frames received
};

class LawfulServers : public WaveDeviceTest {
 protected:
  void TearDown() override {
    senderFirstPosition = 0;
    WaveDeviceTest::TearDown();
  }
  // Serves the control connection, the datagrams going to port.
  void serveFor(uint16_t port) {
    serve({"--silent-streams", "--advertise-udp-port", std::to_string(port), "--adaptive", "0"});
  }
  size_t callbacks() { return fakeDriverCallbackCalls().size(); }
  // Writes headers of frames each; they stay owned by the test.
  void writeAll(std::vector<std::unique_ptr<Header>> &headers, int count, DWORD frames) {
    for (int i = 0; i < count; i++) {
      headers.push_back(std::make_unique<Header>(frames, int16_t(1000 + i)));
      ASSERT_EQ(write(*headers.back()), MMSYSERR_NOERROR);
    }
  }
};

// ---- Playback.

class LawfulPlayout : public LawfulServers, public ::testing::WithParamInterface<PeerScript> {};

// Three seconds with a 600 ms outage in the middle, then one second, five
// idle seconds and one second more: the flow comes back within a second of
// the outage's end, what the outage took is at most what was in flight,
// the last header comes back within a second (and a lead) of the last
// audio's arrival, and all the audio around the idle gap plays.
TEST_P(LawfulPlayout, AnOutageAndAnIdleGapLoseNothingButWhatWasInFlight) {
  ScriptedPlayout peer(RATE, GetParam());
  serveFor(peer.port());
  lvTickFreeze(1000);
  ASSERT_TRUE(open(WAVE_OUTPUT));
  std::vector<std::unique_ptr<Header>> headers;
  writeAll(headers, 6, RATE / 2);
  advanceTicks(5000, [&] { return peer.frames() >= 3 * RATE / 2; });
  peer.setDropping(true);
  advanceTicks(600);
  peer.setDropping(false);
  DWORD outageEnd = tickNow();
  advanceTicks(3000, [&] { return int32_t(peer.lastDataTick() - outageEnd) >= 0; });
  DWORD flowBack = peer.lastDataTick() - outageEnd;
  EXPECT_LE(flowBack, 1000u) << "the flow did not come back in time";
  advanceTicks(10000, [&] { return callbacks() == 6; });
  DWORD returned = tickNow();
  ASSERT_EQ(callbacks(), 6u);
  EnterCriticalSection(&drvLock);
  DWORD lead = statePlaySender(state())->leadTarget * 1000 / RATE;
  LeaveCriticalSection(&drvLock);
  EXPECT_LE(returned - peer.lastDataTick(), 1000u + lead);
  uint64_t lost = 3 * RATE - peer.frames();
  std::fprintf(stderr,
               "%s: flow back %u ms after the 600 ms outage, %llu of %u frames lost, last "
               "header back %u ms after the last audio, lead %u ms\n",
               GetParam().name, unsigned(flowBack), static_cast<unsigned long long>(lost), 3 * RATE,
               unsigned(returned - peer.lastDataTick()), lead);
  EXPECT_LE(lost, uint64_t(RATE) / 4) << "more was lost than the packets in flight";

  uint64_t before = peer.frames();
  writeAll(headers, 1, RATE);
  advanceTicks(5000, [&] { return callbacks() == 7; });
  ASSERT_EQ(callbacks(), 7u) << "the second before the gap did not come back";
  advanceTicks(5000);
  writeAll(headers, 1, RATE);
  advanceTicks(5000, [&] { return callbacks() == 8 && peer.frames() == before + 2 * RATE; });
  ASSERT_EQ(callbacks(), 8u) << "the second after the gap did not come back";
  // The last frames may wait in the converter for more input (a position
  // off the input's frames after the outage is filtered, not copied); the
  // close sends them, and silence after them.
  DWORD result = 1234;
  EXPECT_LE(messageWhileTicksPass(WODM_CLOSE, &result), 1000u);
  EXPECT_EQ(result, DWORD(MMSYSERR_NOERROR));
  EXPECT_GE(peer.frames() - before, 2 * RATE) << "audio after the idle gap was lost";
}

INSTANTIATE_TEST_SUITE_P(Servers, LawfulPlayout,
                         ::testing::Values(PeerScript{"freeRunningClock", true, false},
                                           PeerScript{"acksFromAnotherPort", false, true}),
                         [](const auto &info) { return std::string(info.param.name); });

// A server that answers everything but stops consuming: a pause given
// during the close ends it at once (the device plays nothing now), and
// after the restart the close gives up once neither the played nor the
// sent position has moved for ten seconds, returning every header.
TEST_F(LawfulServers, AServerThatStopsConsumingLetsTheCloseGoWithinTenSeconds) {
  ScriptedPlayout peer(RATE, PeerScript{"frozen", false, false});
  serveFor(peer.port());
  lvTickFreeze(1000);
  ASSERT_TRUE(open(WAVE_OUTPUT));
  std::vector<std::unique_ptr<Header>> headers;
  writeAll(headers, 4, RATE / 2);
  advanceTicks(5000, [&] { return peer.frames() >= RATE / 2; });
  peer.freeze();
  advanceTicks(200);

  std::atomic<DWORD> closeResult{1234};
  std::thread closer([&] { closeResult = message(WODM_CLOSE); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(message(WODM_PAUSE), MMSYSERR_NOERROR);
  closer.join();  // no tick moves: the pause alone ends the close
  EXPECT_EQ(closeResult, DWORD(WAVERR_STILLPLAYING));
  EXPECT_EQ(message(WODM_RESTART), MMSYSERR_NOERROR);

  DWORD result = 1234;
  DWORD moved = messageWhileTicksPass(WODM_CLOSE, &result);
  EXPECT_EQ(result, DWORD(MMSYSERR_NOERROR));
  EXPECT_LE(moved, 10500u) << "the close outlived ten seconds without progress";
  std::vector<DWORD> expected(4, WOM_DONE);
  expected.push_back(WOM_CLOSE);
  EXPECT_EQ(messagesSeen(), expected);
  std::fprintf(stderr, "the close returned after %u ms of ticks\n", moved);
}

// ---- Recording.

// Audio packets of 10 ms of 16-bit mono at 48000 Hz, as a server sends
// them, to the driver's stream port.
class CaptureSender {
 public:
  explicit CaptureSender(uint16_t driverPort) : socket_(loopbackSocket()) {
    to_.sin_family = AF_INET;
    to_.sin_addr.s_addr = htonl(LOOPBACK);
    to_.sin_port = htons(driverPort);
  }
  ~CaptureSender() { closesocket(socket_); }
  // One packet at position (timebase frames), covering duration of them.
  void send(uint32_t position, uint16_t duration) {
    std::vector<uint8_t> d(PACKET_HEADER_BYTES + 2 * FRAMES, 0);
    PacketHeader h = {position, FRAMES, duration, WIRE_LINEAR16, 0, 6};
    packetStoreHeader(d.data(), &h);
    for (uint32_t i = 0; i < FRAMES; i++) d[PACKET_HEADER_BYTES + 2 * i + 1] = 0x10;  // 4096
    sendto(socket_, reinterpret_cast<const char *>(d.data()), int(d.size()), 0,
           reinterpret_cast<const sockaddr *>(&to_), sizeof to_);
  }
  // Acknowledgements that answered a packet, received so far (credit
  // reports are not counted).
  int answers() {
    unsigned long on = 1;
    ioctlsocket(socket_, FIONBIO, &on);
    uint8_t b[64];
    StreamAck ack;
    for (int got; (got = recv(socket_, reinterpret_cast<char *>(b), sizeof b, 0)) > 0;) {
      answers_ += ackLoad(b, got, &ack) && ack.unsolicited == 0;
    }
    return answers_;
  }
  static constexpr uint16_t FRAMES = 480;

 private:
  SOCKET socket_;
  sockaddr_in to_ = {};
  int answers_ = 0;
};

// A microphone that opens 15 s after the start: the recording waits for it.
// Half a second later the server stalls for 2 s and goes on at its clock's
// position, more than a ring beyond: the recording follows at once, and
// every packet is answered.
TEST_F(LawfulServers, ALateMicrophoneAndAStalledServerAreFollowed) {
  serve({"--silent-streams"});
  lvTickFreeze(1000);
  ASSERT_TRUE(open(WAVE_INPUT));
  std::vector<std::unique_ptr<Header>> headers;
  writeAll(headers, 12, RATE / 10);
  ASSERT_EQ(message(WIDM_START), MMSYSERR_NOERROR);
  EnterCriticalSection(&drvLock);
  StreamSlot *slot = state()->streamSlot;
  uint16_t port = slot ? slot->localPort : 0;
  uint32_t timebase = slot ? slot->receiver->timebaseRate : 0;
  LeaveCriticalSection(&drvLock);
  ASSERT_NE(port, 0);
  ASSERT_GT(timebase, 0u);
  advanceTicks(15000);
  EXPECT_EQ(callbacks(), 0u) << "the recording was given up before the microphone opened";

  CaptureSender server(port);
  const uint16_t step = uint16_t(uint64_t(timebase) / 100);  // 10 ms of the timebase
  uint32_t position = 0x7FFF0000;
  auto sendHalfSecond = [&] {
    for (int i = 0; i < 50; i++, position += step) {
      server.send(position, step);
      advanceTicks(10);
    }
  };
  sendHalfSecond();
  advanceTicks(1000, [&] { return callbacks() >= 4; });
  EXPECT_GE(callbacks(), 4u) << "the first half second was not recorded";
  advanceTicks(2000);
  position += 2 * timebase;
  size_t before = callbacks();
  sendHalfSecond();
  // Nine full buffers hold 0.9 s: all but the last tenth of what was sent.
  advanceTicks(5000, [&] { return callbacks() >= 9 && server.answers() == 100; });
  EXPECT_GE(callbacks(), before + 4) << "the recording did not follow the server's jump";
  EXPECT_EQ(server.answers(), 100);
  EXPECT_EQ(message(WIDM_STOP), MMSYSERR_NOERROR);
  EXPECT_EQ(message(WIDM_RESET), MMSYSERR_NOERROR);
  DWORD recorded = 0;
  for (auto &h : headers) recorded += h->h.dwBytesRecorded / BLOCK;
  EXPECT_GE(recorded, RATE * 9 / 10) << "less than the second sent was recorded";
}

// ---- Positions across the wraps, against lumivox-server itself.

std::vector<int16_t> leftChannelOf(const std::string &path) {
  SF_INFO info{};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  std::vector<int16_t> all(size_t(info.frames) * size_t(info.channels)), left;
  if (!f) return left;
  sf_readf_short(f, all.data(), info.frames);
  sf_close(f);
  for (size_t i = 0; i < all.size(); i += size_t(info.channels)) left.push_back(all[i]);
  return left;
}

class AcrossTheWrap : public LawfulServers, public ::testing::WithParamInterface<uint32_t> {};

// A second played from half a second below the wrap plays whole, in real
// time, and comes back; a second recorded from half a second below it
// arrives whole, the tone in it.
TEST_P(AcrossTheWrap, PlaybackAndRecordingCarryOn) {
  const uint32_t first = GetParam() - RATE / 2;
  std::string played = runtime_.path() + "/played.wav";
  serve({"--output", played, "--adaptive", "0", "--first-position",
         std::to_string(GetParam() - 24000)});
  senderFirstPosition = first;
  ASSERT_TRUE(open(WAVE_OUTPUT));
  std::vector<std::unique_ptr<Header>> headers;
  writeAll(headers, 10, RATE / 10);
  ASSERT_EQ(message(WODM_CLOSE), MMSYSERR_NOERROR);
  EXPECT_EQ(callbacks(), 11u);
  ASSERT_TRUE(server_->waitForLog("closed by the driver"));

  ASSERT_TRUE(open(WAVE_INPUT));
  std::vector<std::unique_ptr<Header>> recorded;
  for (int i = 0; i < 10; i++) {
    recorded.push_back(std::make_unique<Header>(RATE / 10));
    ASSERT_EQ(write(*recorded.back()), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(message(WIDM_START), MMSYSERR_NOERROR);
  ASSERT_TRUE(fakeWaitForDriverCallbacks(11 + 10, WAIT_MS));
  size_t loud = 0;
  for (auto &h : recorded) {
    EXPECT_EQ(h->h.dwBytesRecorded, RATE / 10 * BLOCK);
    for (int16_t v : h->data) loud += std::abs(v) > 1000;
  }
  EXPECT_GT(loud, size_t(RATE)) << "the recording is silent";
  EXPECT_EQ(message(WIDM_STOP), MMSYSERR_NOERROR);
  EXPECT_EQ(message(WIDM_CLOSE), MMSYSERR_NOERROR);
  server_->stop();

  // Each header holds its own value: all of them, whole and in order.
  std::vector<int16_t> left = leftChannelOf(played);
  for (int i = 0; i < 10; i++) {
    size_t n = std::count(left.begin(), left.end(), int16_t(1000 + i));
    EXPECT_GE(n + 64, size_t(RATE / 10)) << "header " << i << " did not play whole";
  }
}

INSTANTIATE_TEST_SUITE_P(Wraps, AcrossTheWrap, ::testing::Values(0x80000000u, 0u),
                         [](const auto &info) {
                           return std::string(info.param ? "signed" : "unsigned");
                         });

}  // namespace
