// lumivox-server's datagram side against a test playing the driver over raw
// loopback sockets: acknowledgements of playback byte for byte, the playout
// clock, the WAV output, recordings paced by credit, statistics lines and
// bad datagrams.
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "audio/convert.h"
#include "audio/formats.h"
#include "platform/platform.h"
#include "tests/server/driver_messages.h"
#include "tests/server/udp_peer.h"
#include "tests/support/tone.h"

namespace {

class UdpStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    descriptors_ = descriptorCount(getpid());
    char name[] = "/tmp/lumivox-udp-XXXXXX";
    ASSERT_NE(mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override {
    std::string command = "rm -rf '" + dir_ + "'";
    EXPECT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(descriptorCount(getpid()), descriptors_);
  }
  std::string path(const char *name) const { return dir_ + "/" + name; }

 private:
  int descriptors_ = 0;
  std::string dir_;
};

// Opens stream 1 towards the peer; the server's UDP port, or 0.
uint16_t openStream(ControlClient &client, const UdpPeer &peer, uint8_t direction, uint32_t rate,
                    uint32_t lead = 256) {
  OpenStream o;
  o.direction = direction;
  o.port = peer.port();
  o.rate = rate;
  o.lead = lead;
  o.device = direction == 0 ? 1 : 2;
  EXPECT_TRUE(client.send(openStreamRequest(o)));
  StreamReplyFields reply = streamReplyFields(client.receive());
  EXPECT_EQ(reply.status, 1);
  return reply.port;
}

Bytes linearPayload(const std::vector<int16_t> &samples) {
  Bytes b(samples.size() * 2);
  for (size_t i = 0; i < samples.size(); ++i) put16(b, 2 * i, uint16_t(samples[i]));
  return b;
}

std::vector<int16_t> readWav(const std::string &path, SF_INFO &info) {
  info = {};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return {};
  std::vector<int16_t> samples(size_t(info.frames) * size_t(info.channels));
  sf_readf_short(f, samples.data(), info.frames);
  sf_close(f);
  return samples;
}

// Closes stream 1 and the server, which finishes the output file.
void closeAndStop(ControlClient &client, ServerProcess &server) {
  ASSERT_TRUE(client.send(closeStreamRequest(1)));
  EXPECT_TRUE(server.waitForLog("stream 1 closed"));
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(UdpStreamTest, PlaybackProbeAndDataAreAckedByteForByte) {
  ServerProcess server({"--port", "0", "--fast"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  UdpPeer peer;
  uint16_t port = openStream(*client, peer, 0, 44100);
  ASSERT_NE(port, 0);
  peer.sendTo(port, probe());
  uint16_t from = 0;
  EXPECT_EQ(peer.receive(SERVER_WAIT_MS, &from), streamAck(0, 0, 0, 0, 0));
  EXPECT_EQ(from, port) << "acknowledgements leave from the stream's socket";
  // Linear 16-bit at 44100 Hz mono (rate index 5); --fast consumes at once.
  std::vector<int16_t> samples(300, 1000);
  peer.sendTo(port, packet(0, 300, 300, 2, 0, 5, linearPayload(samples)));
  EXPECT_EQ(peer.receive(), streamAck(300, 300, 0, 300, 0));
  peer.sendTo(port, packet(300, 300, 300, 2, 0, 5, linearPayload(samples)));
  EXPECT_EQ(peer.receive(), streamAck(600, 600, 300, 300, 0));
  closeAndStop(*client, server);
}

TEST_F(UdpStreamTest, PlaybackClockAdvancesConsumedWithUnsolicitedAcks) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  UdpPeer peer;
  uint16_t port = openStream(*client, peer, 0, 8000);
  // 800 frames at 8000 Hz mono companded: a tenth of a second to play.
  peer.sendTo(port, packet(0, 800, 800, 1, 0, 0, Bytes(800, 0xFF)));
  Bytes first = peer.receive();
  ASSERT_EQ(first.size(), 16u);
  EXPECT_EQ(get16(first, 14), 0);
  EXPECT_EQ(get32(first, 4), 800u);
  EXPECT_EQ(get32(first, 8), 0u);
  EXPECT_EQ(get16(first, 12), 800);
  uint32_t consumed = get32(first, 0);
  EXPECT_LE(consumed, 800u);
  // The clock reports each advance until it reaches the received end.
  while (consumed < 800) {
    Bytes ack = peer.receive();
    ASSERT_EQ(ack.size(), 16u);
    EXPECT_EQ(get16(ack, 14), 1);
    EXPECT_GT(get32(ack, 0), consumed);
    EXPECT_EQ(get32(ack, 4), 800u);
    consumed = get32(ack, 0);
  }
  EXPECT_EQ(consumed, 800u) << "never beyond what was received";
  closeAndStop(*client, server);
}

// Every stream's clock runs on the server's one shared tick, and datagrams
// that wait together are taken together: each is still answered at once and
// in order, and a stream that closes leaves the others' clocks running.
TEST_F(UdpStreamTest, ClocksOfSeveralStreamsShareTheTick) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  auto first = setUpClient(server), second = setUpClient(server);
  UdpPeer firstPeer, secondPeer;
  uint16_t firstPort = openStream(*first, firstPeer, 0, 8000);
  uint16_t secondPort = openStream(*second, secondPeer, 0, 8000);
  firstPeer.sendTo(firstPort, packet(0, 800, 800, 1, 0, 0, Bytes(800, 0xFF)));
  for (uint32_t start = 0; start < 1200; start += 400) {
    secondPeer.sendTo(secondPort, packet(start, 400, 400, 1, 0, 0, Bytes(400, 0xFF)));
  }
  Bytes firstAck = firstPeer.receive();
  ASSERT_EQ(firstAck.size(), 16u);
  EXPECT_EQ(get16(firstAck, 14), 0);
  uint32_t answered = 0, consumed = 0;
  while (consumed < 1200) {
    Bytes ack = secondPeer.receive();
    ASSERT_EQ(ack.size(), 16u);
    if (get16(ack, 14) == 0) {
      EXPECT_EQ(get32(ack, 8), answered) << "answered once each, in order";
      answered += 400;
    }
    consumed = get32(ack, 0);
  }
  EXPECT_EQ(answered, 1200u);
  EXPECT_EQ(consumed, 1200u);
  ASSERT_TRUE(first->send(closeStreamRequest(1)));
  EXPECT_TRUE(server.waitForLog("stream 1 closed"));
  secondPeer.sendTo(secondPort, packet(1200, 400, 400, 1, 0, 0, Bytes(400, 0xFF)));
  while (consumed < 1600) {
    Bytes ack = secondPeer.receive();
    ASSERT_EQ(ack.size(), 16u);
    consumed = get32(ack, 0);
  }
  EXPECT_EQ(consumed, 1600u);
  closeAndStop(*second, server);
}

TEST_F(UdpStreamTest, LinearAtTheOutputRateIsWrittenBitExact) {
  std::string out = path("out.wav");
  ServerProcess server({"--port", "0", "--fast", "--output", out, "--output-rate", "44100",
                        "--output-channels", "2"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  UdpPeer peer;
  uint16_t port = openStream(*client, peer, 0, 44100);
  std::vector<int16_t> sent;
  for (uint32_t p = 0; p < 4; ++p) {
    std::vector<int16_t> samples;
    for (int i = 0; i < 2 * 300; ++i) samples.push_back(int16_t((p * 600 + i) * 37 - 30000));
    sent.insert(sent.end(), samples.begin(), samples.end());
    peer.sendTo(port, packet(p * 300, 300, 300, 2, 1, 5, linearPayload(samples)));
    ASSERT_EQ(peer.receive().size(), 16u);
  }
  closeAndStop(*client, server);
  SF_INFO info;
  std::vector<int16_t> got = readWav(out, info);
  EXPECT_EQ(info.samplerate, 44100);
  EXPECT_EQ(info.channels, 2);
  EXPECT_EQ(got, sent);
}

// A sine of `hz` at 8000 Hz mono coded as the kind's encoder does it.
Bytes encodeSine(uint8_t kind, uint32_t frames, uint32_t first, double hz, uint16_t &wireFrames,
                 GsmCoder *streamCoder = nullptr) {
  SampleRing *ring = ringCreate(RING_FRAMES, 8000, 0);
  for (uint32_t i = 0; i < frames; ++i) {
    ringSamples(ring)[i] = int16_t(std::lrint(8000 * std::sin(2 * M_PI * hz * (first + i) / 8000)));
  }
  static Resampler rs;
  static GsmCoder coder;  // one stream's coder across its packets
  rs = {};
  rsSetup(&rs, 8000, 8000, 8000, 1);
  Bytes payload(1400);
  uint32_t bytes = kind == 1 ? encodeCompanded(ring, 0, frames, payload.data(), &wireFrames, 0, &rs)
                             : encodeGsm(ring, 0, frames, payload.data(), &wireFrames, &rs,
                                         streamCoder ? streamCoder : &coder);
  payload.resize(bytes);
  LocalFree(ring);
  return payload;
}

// Companded and GSM at 8000 Hz, converted to 48000 Hz mono: the level and
// the frequency (by zero crossings) of the sine come through.
TEST_F(UdpStreamTest, CompandedAndGsmAreDecodedAndConverted) {
  for (uint8_t kind : {1, 3}) {
    SCOPED_TRACE(kind == 1 ? "companded" : "GSM");
    std::string out = path(kind == 1 ? "mulaw.wav" : "gsm.wav");
    ServerProcess server({"--port", "0", "--fast", "--output", out, "--output-rate", "48000",
                          "--output-channels", "1"});
    ASSERT_TRUE(server.ready());
    auto client = setUpClient(server);
    UdpPeer peer;
    uint16_t port = openStream(*client, peer, 0, 8000);
    const uint32_t packetFrames = 640;   // four GSM frames
    for (uint32_t p = 0; p < 25; ++p) {  // two seconds
      uint16_t wireFrames = 0;
      Bytes payload = encodeSine(kind, packetFrames, p * packetFrames, 400, wireFrames);
      ASSERT_EQ(wireFrames, packetFrames);
      peer.sendTo(port, packet(p * packetFrames, wireFrames, packetFrames, kind, 0, 0, payload));
      ASSERT_EQ(peer.receive().size(), 16u);
    }
    closeAndStop(*client, server);
    SF_INFO info;
    std::vector<int16_t> got = readWav(out, info);
    EXPECT_EQ(info.samplerate, 48000);
    ASSERT_GT(got.size(), 48000u);
    // The middle second, away from the filter's start.
    double energy = 0;
    int crossings = 0;
    for (size_t i = 24000; i < 72000 && i < got.size(); ++i) {
      energy += double(got[i]) * got[i];
      if ((got[i - 1] < 0) != (got[i] < 0)) ++crossings;
    }
    double rms = std::sqrt(energy / 48000);
    EXPECT_NEAR(rms, 8000 / std::sqrt(2.0), 8000 * 0.15);
    EXPECT_NEAR(crossings, 800, 16);
  }
}

// Two GSM streams at one server, a frame each in turn: each decodes against
// its own history. The first stream owns the output file.
TEST_F(UdpStreamTest, TwoGsmStreamsAtOneServerKeepTheirOwnDecoders) {
  std::string out = path("two.wav");
  ServerProcess server({"--port", "0", "--fast", "--output", out, "--output-rate", "8000",
                        "--output-channels", "1"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  UdpPeer peers[2];
  uint16_t ports[2];
  for (uint32_t k = 0; k < 2; ++k) {
    OpenStream o;
    o.port = peers[k].port();
    o.rate = 8000;
    o.id = k + 1;
    ASSERT_TRUE(client->send(openStreamRequest(o)));
    ports[k] = streamReplyFields(client->receive()).port;
    ASSERT_NE(ports[k], 0);
  }
  GsmCoder coders[2] = {nullptr, nullptr};
  const double hz[2] = {400, 1000};
  for (uint32_t p = 0; p < 100; ++p) {  // two seconds each
    for (int k = 0; k < 2; ++k) {
      uint16_t wireFrames = 0;
      Bytes payload = encodeSine(3, 160, p * 160, hz[k], wireFrames, &coders[k]);
      peers[k].sendTo(ports[k], packet(p * 160, wireFrames, 160, 3, 0, 0, payload));
      ASSERT_EQ(peers[k].receive().size(), 16u);
    }
  }
  for (GsmCoder &c : coders) gsmCoderFree(&c);
  ASSERT_TRUE(client->send(closeStreamRequest(2)));
  EXPECT_TRUE(server.waitForLog("stream 2 closed"));
  closeAndStop(*client, server);
  SF_INFO info;
  std::vector<int16_t> got = readWav(out, info);
  ASSERT_GE(got.size(), 15000u);
  double worst = 200;
  for (size_t from = 1600; from + 160 <= 15000; from += 160) {
    worst = std::fmin(worst, toneSnrDb(got.data(), from, from + 160, 8000, 400));
  }
  EXPECT_GT(worst, 25) << "the worst frame of the 400 Hz stream";
}

// A mono 44100 Hz WAV file of a ramp.
std::vector<int16_t> writeRamp(const std::string &path, uint32_t frames) {
  SF_INFO info{};
  info.samplerate = 44100;
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
  std::vector<int16_t> samples(frames);
  for (uint32_t i = 0; i < frames; ++i) samples[i] = int16_t(i * 13 - 20000);
  sf_writef_short(f, samples.data(), frames);
  sf_close(f);
  return samples;
}

TEST_F(UdpStreamTest, RecordingFromAWavIsSentInTheChosenFormatWithinTheCredit) {
  std::string in = path("in.wav");
  std::vector<int16_t> source = writeRamp(in, 20000);
  std::string stats = path("stats.jsonl");
  ServerProcess server({"--port", "0", "--fast", "--input", in, "--record-format", "12", "--rate",
                        "44100", "--stats", stats});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  UdpPeer peer;
  const uint32_t lead = 2048;
  uint16_t port = openStream(*client, peer, 1, 44100, lead);
  ASSERT_NE(port, 0);
  std::vector<int16_t> received;
  uint32_t end = 0, credit = 0;
  // Acknowledge every packet without credit, then grant it in two steps.
  for (uint32_t grant : {0u, 4096u, 8192u}) {
    if (grant) {
      credit = grant;
      peer.sendTo(port, streamAck(credit, end, 0, 0, 1));
    }
    while (int32_t(end - credit) < int32_t(lead)) {
      uint16_t from = 0;
      Bytes p = peer.receive(SERVER_WAIT_MS, &from);
      ASSERT_GE(p.size(), 12u);
      EXPECT_EQ(from, port);
      EXPECT_EQ(get32(p, 0), end) << "contiguous positions";
      uint16_t frames = get16(p, 4), duration = get16(p, 6);
      EXPECT_EQ(frames, duration) << "the wire rate is the timebase";
      EXPECT_EQ(p[8], 2);
      EXPECT_EQ(p[9], 0);
      EXPECT_EQ(p[10], 5);
      ASSERT_EQ(p.size(), 12u + 2 * frames);
      for (uint16_t i = 0; i < frames; ++i) received.push_back(int16_t(get16(p, 12 + 2 * i)));
      end += duration;
      peer.sendTo(port, streamAck(credit, end, get32(p, 0), duration, 0));
    }
    EXPECT_LE(end - credit, lead + 882) << "at most one packet beyond the lead";
  }
  // The last acknowledgement got an answer, so nothing more was in flight
  // before it: the server has sent exactly what the credit allowed.
  EXPECT_EQ(received, std::vector<int16_t>(source.begin(), source.begin() + received.size()));
  ASSERT_TRUE(client->send(closeStreamRequest(1)));
  EXPECT_TRUE(server.waitForLog("stream 1 closed"));
  EXPECT_TRUE(peer.receive(0).empty());
  EXPECT_EQ(server.stop(), 0);
  std::ifstream lines(stats);
  std::string line;
  int rtt = 0, ends = 0;
  double lastTime = 0;
  while (std::getline(lines, line)) {
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '}');
    // Each line starts with its time in milliseconds, never going back.
    ASSERT_EQ(line.rfind("{\"time\":", 0), 0u) << line;
    double time = std::strtod(line.c_str() + 8, nullptr);
    EXPECT_GE(time, lastTime) << line;
    lastTime = time;
    if (line.find("\"event\":\"rtt\"") != std::string::npos) ++rtt;
    if (line.find("\"event\":\"end\"") != std::string::npos) {
      ++ends;
      EXPECT_NE(line.find("\"direction\":\"recording\""), std::string::npos);
      EXPECT_NE(line.find("\"credit\":8192"), std::string::npos) << line;
    }
  }
  EXPECT_GT(rtt, 0);
  EXPECT_EQ(ends, 1);
}

// A driver whose lead of packets was lost repeats its last acknowledgement
// while it waits: a repeat moves no credit, so the server's retry still
// sends one packet beyond the credit, or neither end would speak again.
TEST_F(UdpStreamTest, RepeatedAcknowledgementsDoNotHoldOffTheRetry) {
  std::string in = path("in.wav");
  writeRamp(in, 20000);
  ServerProcess server(
      {"--port", "0", "--fast", "--input", in, "--record-format", "12", "--rate", "44100"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  UdpPeer peer;
  uint16_t port = openStream(*client, peer, 1, 44100, 2048);
  ASSERT_NE(port, 0);
  // The lead's packets, all taken as lost: none is answered.
  uint32_t packets = 0;
  while (!peer.receive(300).empty()) ++packets;
  ASSERT_GT(packets, 0u);
  bool retried = false;
  for (int i = 0; i < 10 && !retried; ++i) {
    peer.sendTo(port, streamAck(0, 0, 0, 0, 1));
    retried = !peer.receive(300).empty();
  }
  EXPECT_TRUE(retried) << "no packet in 3 s of repeated acknowledgements";
  closeAndStop(*client, server);
}

// A tone at the 48000 Hz timebase coded as GSM and as companded 8000 Hz:
// durations count timebase frames, wireFrames wire frames, and positions
// follow on without gaps.
TEST_F(UdpStreamTest, RecordingAToneInSlowerFormats) {
  for (const char *row : {"0", "1"}) {
    SCOPED_TRACE(row);
    ServerProcess server({"--port", "0", "--fast", "--tone", "1000", "--record-format", row});
    ASSERT_TRUE(server.ready());
    auto client = setUpClient(server);
    UdpPeer peer;
    uint16_t port = openStream(*client, peer, 1, 44100, 8192);
    uint32_t end = 0;
    int peaks = 0;
    while (end < 8192) {
      Bytes p = peer.receive();
      ASSERT_GE(p.size(), 12u);
      EXPECT_EQ(get32(p, 0), end);
      uint16_t frames = get16(p, 4), duration = get16(p, 6);
      EXPECT_EQ(p[8], row[0] == '0' ? 3 : 1);
      EXPECT_EQ(p[10], 0) << "8000 Hz";
      EXPECT_NEAR(duration, frames * 6, 6);
      if (row[0] == '0') {
        EXPECT_EQ(frames % 160, 0);
        EXPECT_EQ(p.size(), 12u + frames / 160 * 33);
      } else {
        ASSERT_EQ(p.size(), 12u + frames);
        for (size_t i = 12; i < p.size(); ++i) peaks += (p[i] & 0x7F) < 0x10;  // loud codes
      }
      end += duration;
      peer.sendTo(port, streamAck(0, end, get32(p, 0), duration, 0));
    }
    if (row[0] == '1') {
      EXPECT_GT(peaks, 0) << "the tone is at half of full scale";
    }
    closeAndStop(*client, server);
  }
}

TEST_F(UdpStreamTest, PlaybackStatisticsCountLossesLateAndFormatChanges) {
  std::string stats = path("stats.jsonl");
  ServerProcess server({"--port", "0", "--fast", "--stats", stats});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  UdpPeer peer;
  uint16_t port = openStream(*client, peer, 0, 8000);
  auto send = [&](uint32_t start, uint8_t kind, uint8_t rateIndex) {
    uint16_t frames = 160;
    Bytes payload(kind == 3 ? 33 : kind == 1 ? 160 : 320, 0);
    peer.sendTo(port, packet(start, frames, 160, kind, 0, rateIndex, payload));
    ASSERT_EQ(peer.receive().size(), 16u);
  };
  send(0, 1, 0);
  send(160, 2, 0);  // a format change
  send(480, 2, 0);  // 160 frames lost
  send(320, 2, 0);  // late: played out already (--fast)
  send(640, 3, 0);  // another change
  closeAndStop(*client, server);
  std::ifstream lines(stats);
  std::string line, end;
  int formats = 0;
  while (std::getline(lines, line)) {
    if (line.find("\"event\":\"format\"") != std::string::npos) ++formats;
    if (line.find("\"event\":\"end\"") != std::string::npos) end = line;
  }
  EXPECT_EQ(formats, 3);
  EXPECT_NE(end.find("\"packets\":5,"), std::string::npos) << end;
  EXPECT_NE(end.find("\"lost\":1,\"lostFrames\":160,"), std::string::npos) << end;
  EXPECT_NE(end.find("\"late\":1,"), std::string::npos) << end;
  EXPECT_NE(end.find("\"formatChanges\":2,"), std::string::npos) << end;
}

TEST_F(UdpStreamTest, MalformedDatagramsAreLoggedAndIgnored) {
  ServerProcess server({"--port", "0", "--fast"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  UdpPeer peer;
  uint16_t port = openStream(*client, peer, 0, 44100);
  peer.sendTo(port, Bytes(5, 1));                                 // shorter than a header
  peer.sendTo(port, Bytes(1500, 0));                              // longer than a packet
  peer.sendTo(port, packet(0, 10, 10, 7, 0, 5, Bytes(20, 0)));    // unknown kind
  peer.sendTo(port, packet(0, 10, 10, 2, 0, 9, Bytes(20, 0)));    // no such rate
  peer.sendTo(port, packet(0, 100, 100, 2, 0, 5, Bytes(20, 0)));  // payload too short
  peer.sendTo(port, packet(0, 100, 100, 3, 0, 0, Bytes(33, 0)));  // GSM, not whole frames
  EXPECT_TRUE(server.waitForLog("malformed datagram", 6));
  peer.sendTo(port, probe());
  EXPECT_EQ(peer.receive(), streamAck(0, 0, 0, 0, 0)) << "only the probe is answered";
  closeAndStop(*client, server);
}

}  // namespace
