// The play sender and the capture receiver against a loopback socket that
// plays the audio server: it receives the sender's datagrams and answers
// with acknowledgements, or sends audio packets to a receiver and reads its
// acknowledgements. Time moves only through the frozen tick.
#include "stream/stream.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "audio/formats.h"
#include "stream/endpoint.h"
#include "tests/support/loop_support.h"
#include "tests/support/tone.h"

namespace {

constexpr uint32_t SERVER_HOST = 0x7F000001;  // 127.0.0.1
constexpr uint32_t OTHER_HOST = 0x7F000002;   // 127.0.0.2: a host that is not the server

SOCKET boundSocket(uint32_t host) {
  SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(host);
  bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  unsigned long on = 1;
  ioctlsocket(s, FIONBIO, &on);
  return s;
}

// Whether a datagram from a socket bound to OTHER_HOST arrives naming
// that host. Some emulated socket layers (Wine) send every loopback
// datagram from 127.0.0.1, and there another host cannot be played.
bool otherHostDistinct(SOCKET other, SOCKET server);

uint16_t portOf(SOCKET s) {
  sockaddr_in a = {};
  socklen_t length = sizeof a;
  getsockname(s, reinterpret_cast<sockaddr *>(&a), &length);
  return ntohs(a.sin_port);
}

bool otherHostDistinct(SOCKET other, SOCKET server) {
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(SERVER_HOST);
  to.sin_port = htons(portOf(server));
  char byte = 1;
  sendto(other, &byte, 1, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  fd_set set;
  FD_ZERO(&set);
  FD_SET(server, &set);
  timeval limit = {5, 0};
  if (select(int(server) + 1, &set, nullptr, nullptr, &limit) != 1) return false;
  sockaddr_in from = {};
  socklen_t length = sizeof from;
  if (recvfrom(server, &byte, 1, 0, reinterpret_cast<sockaddr *>(&from), &length) != 1)
    return false;
  return ntohl(from.sin_addr.s_addr) == OTHER_HOST;
}

// Fills requests with a ramp and counts the callbacks.
struct SourceLog {
  int fills = 0;
  int activity = -1;
  uint32_t progress = 0;
  int refuse = 0;  // 1: sourceFill produces nothing
};
SourceLog *sourceLog;

int testFill(PlaySource *source, uint32_t position, uint32_t amount) {
  sourceLog->fills++;
  if (sourceLog->refuse) return 0;
  uint32_t need = position + amount - source->produced;
  if (int32_t(need) <= 0) return 0;
  for (uint32_t i = 0; i < need; i++) {
    uint32_t span;
    int16_t *at = ringSpan(source->ring, source->produced, &span);
    for (uint32_t c = 0; c < source->ring->channels; c++) at[c] = int16_t(source->produced * 7);
    source->produced++;
  }
  return 1;
}
void testSourceActivity(PlaySource *, int flag) { sourceLog->activity = flag; }
void testProgress(PlaySource *, uint32_t consumed) { sourceLog->progress = consumed; }

struct SinkLog {
  int dataReady = 0;
  int activity = -1;
};
SinkLog *sinkLog;
void testDataReady(RecordSink *) { sinkLog->dataReady++; }
void testSinkActivity(RecordSink *, int flag) { sinkLog->activity = flag; }
const PlaySourceEvents testSourceEvents = {testFill, testSourceActivity, testProgress, nullptr};
const RecordSinkEvents testSinkEvents = {testDataReady, testSinkActivity};

class StreamTest : public LoopTest {
 protected:
  void SetUp() override {
    LoopTest::SetUp();
    sourceLog = &slog;
    sinkLog = &klog;
    server = boundSocket(SERVER_HOST);
    other = boundSocket(OTHER_HOST);
    source.events = &testSourceEvents;
    source.ring = ringCreate(RING_FRAMES, 44100, 1);
    sink.events = &testSinkEvents;
    sink.ring = ringCreate(RING_FRAMES, 44100, 0);
  }
  void TearDown() override {
    if (slot) slotClose(slot);
    closesocket(server);
    closesocket(other);
    LocalFree(source.ring);
    LocalFree(sink.ring);
    LoopTest::TearDown();
  }

  PlaySender *bindSender(uint8_t adaptive = 0, uint32_t serverRate = 48000) {
    slot = slotCreate();
    EXPECT_NE(slot, nullptr);
    slotBindPlay(slot, &source, SERVER_HOST, portOf(server), 256, 65536, adaptive, serverRate);
    return slot->sender;
  }
  CaptureReceiver *bindReceiver(uint32_t timebase = 8000) {
    slot = slotCreate();
    EXPECT_NE(slot, nullptr);
    slotBindCapture(slot, &sink, SERVER_HOST, timebase);
    return slot->receiver;
  }

  // Runs loop turns while a work item is queued (bounded).
  void runWork() {
    for (int i = 0; i < 64 && loopWork; i++) loopTurn();
  }
  // The next datagram at the server, or an empty vector.
  std::vector<uint8_t> serverReceive() {
    std::vector<uint8_t> d(2048);
    int got = recv(server, reinterpret_cast<char *>(d.data()), int(d.size()), 0);
    d.resize(got > 0 ? size_t(got) : 0);
    return d;
  }
  void sendToSlot(SOCKET from, const uint8_t *bytes, size_t length) {
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(SERVER_HOST);
    to.sin_port = htons(slot->localPort);
    sendto(from, reinterpret_cast<const char *>(bytes), int(length), 0,
           reinterpret_cast<sockaddr *>(&to), sizeof to);
  }
  void ack(const StreamAck &a, SOCKET from = INVALID_SOCKET) {
    uint8_t b[ACK_BYTES];
    ackStore(b, &a);
    sendToSlot(from == INVALID_SOCKET ? server : from, b, sizeof b);
    loopTurn();  // the acknowledgement watcher outranks everything
  }
  // Takes every packet the sender sends, as a server that keeps them all
  // and plays none, each answered after rtt ms of ticks; returns where the
  // last one ends.
  uint32_t fillWithoutPlaying(DWORD rtt) {
    uint32_t end = 0;
    for (int round = 0; round < 100; round++) {
      runWork();
      std::vector<uint8_t> d = serverReceive();
      if (d.empty()) break;
      PacketHeader h;
      bool valid = packetCheck(d.data(), int(d.size()), &h);
      EXPECT_TRUE(valid);
      if (!valid) break;
      end = h.start + h.duration;
      lvTickAdvance(rtt);
      ack({0, end, h.start, h.duration, 0});
    }
    return end;
  }
  // Answers the probe after rtt ms, starting the sender.
  void startSender(PlaySender *sender, DWORD rtt) {
    runWork();
    ASSERT_EQ(serverReceive().size(), PACKET_MAX_DATAGRAM);
    lvTickAdvance(rtt);
    ack({0, 0, 0, 0, 0});
    ASSERT_EQ(sender->started, 1u);
  }

  SourceLog slog;
  SinkLog klog;
  PlaySource source = {};
  RecordSink sink = {};
  StreamSlot *slot = nullptr;
  SOCKET server = INVALID_SOCKET, other = INVALID_SOCKET;
};

TEST(StreamPackets, LayoutsAreLittleEndianAndChecked) {
  uint8_t b[PACKET_MAX_DATAGRAM] = {};
  PacketHeader h = {0x04030201, 160, 0x0605, WIRE_COMPANDED, 0, 0};
  packetStoreHeader(b, &h);
  const uint8_t expected[12] = {1, 2, 3, 4, 160, 0, 5, 6, 1, 0, 0, 0};
  EXPECT_EQ(std::memcmp(b, expected, 12), 0);
  PacketHeader back;
  EXPECT_TRUE(packetCheck(b, 12 + 160, &back));  // row 1: one byte per frame
  EXPECT_EQ(back.start, 0x04030201u);
  EXPECT_EQ(back.duration, 0x0605);
  EXPECT_FALSE(packetCheck(b, 12 + 159, &back));
  EXPECT_FALSE(packetCheck(b, 11, &back));
  b[8] = WIRE_LINEAR16;  // kind 2 at 8000 Hz is no sending row, and still audio
  EXPECT_TRUE(packetCheck(b, 12 + 320, &back));
  b[10] = 7;  // no such rate
  EXPECT_FALSE(packetCheck(b, 12 + 320, &back));
  b[8] = 4, b[10] = 0;  // no such kind
  EXPECT_FALSE(packetCheck(b, 12 + 160, &back));
  b[8] = WIRE_LINEAR16;
  b[10] = 5;
  b[9] = 1;  // row 16: four bytes per frame
  EXPECT_TRUE(packetCheck(b, 12 + 640, &back));
  b[9] = 2;
  EXPECT_FALSE(packetCheck(b, 12 + 640, &back));
  b[8] = WIRE_GSM, b[9] = 0, b[10] = 0;
  EXPECT_TRUE(packetCheck(b, 12 + 33, &back));
  b[4] = 161;
  EXPECT_FALSE(packetCheck(b, 12 + 33, &back));
  std::memset(b, 0, 12);
  EXPECT_TRUE(packetCheck(b, PACKET_MAX_DATAGRAM, &back));  // the probe is full size
  EXPECT_FALSE(packetCheck(b, 16, &back));

  StreamAck a = {1, 0x01020304, 3, 0xABCD, 1}, r;
  ackStore(b, &a);
  EXPECT_EQ(b[4], 4);
  EXPECT_EQ(b[7], 1);
  EXPECT_EQ(b[12], 0xCD);
  EXPECT_FALSE(ackLoad(b, 15, &r));
  EXPECT_FALSE(ackLoad(b, 17, &r));
  ASSERT_TRUE(ackLoad(b, 16, &r));
  EXPECT_EQ(r.receivedEnd, 0x01020304u);
  EXPECT_EQ(r.lastDuration, 0xABCD);
  EXPECT_EQ(r.unsolicited, 1);
}

TEST_F(StreamTest, NewSenderProbesOnceThenAgainAfterFiveSeconds) {
  PlaySender *sender = bindSender();
  runWork();
  std::vector<uint8_t> probe = serverReceive();
  ASSERT_EQ(probe.size(), 1412u);
  for (uint8_t byte : probe) ASSERT_EQ(byte, 0);
  EXPECT_TRUE(serverReceive().empty());
  EXPECT_EQ(sender->inFlight, 1u);
  EXPECT_EQ(loopTimers, &sender->timer);
  EXPECT_EQ(sender->timer.due, START_TICK + 5000);

  lvTickAdvance(4999);
  EXPECT_EQ(loopWork, nullptr);
  lvTickAdvance(1);
  loopTurn();  // the timer writes the probe off and asks for a run
  EXPECT_EQ(sender->inFlight, 0u);
  runWork();
  EXPECT_EQ(serverReceive().size(), 1412u);
  EXPECT_EQ(sender->sentCount, 2u);
}

TEST_F(StreamTest, FirstRoundTripSetsTimesAndChoosesTheFormat) {
  source.produced = 777;
  PlaySender *sender = bindSender();
  startSender(sender, 30);
  EXPECT_EQ(sender->lastRtt, 120u);
  EXPECT_EQ(sender->smoothedRtt, 120u);
  EXPECT_EQ(sender->timeout, 1200u);
  EXPECT_EQ(sender->base, 777u);
  EXPECT_EQ(source.startedCount, 1u);
  EXPECT_EQ(slog.activity, 1);
  // Not adaptive: the best eligible row, 44100 Hz stereo.
  EXPECT_EQ(sender->format, &wireFormats[16]);
  EXPECT_EQ(sender->stepUpAt, 8 * sender->leadTarget);
  EXPECT_EQ(sender->stepDownAt, 2 * sender->leadTarget);
  slotClose(slot);
  slot = nullptr;
  EXPECT_EQ(slog.activity, 0);

  // A round trip of 0 ms counts as 1; a mono ring takes row 12.
  LocalFree(source.ring);
  source.ring = ringCreate(RING_FRAMES, 44100, 0);
  sender = bindSender();
  startSender(sender, 0);
  EXPECT_EQ(sender->lastRtt, 4u);
  EXPECT_EQ(sender->timeout, 1000u);
  EXPECT_EQ(sender->format, &wireFormats[12]);

  // The window at row 12 for 31 ms: 692-frame packets, a lead of four.
  senderWindow(sender, 31);
  EXPECT_EQ(sender->packetFrames, 692u);
  EXPECT_EQ(sender->leadTarget, 2768u);
}

TEST_F(StreamTest, AdaptiveSenderStartsByRoundTripAndStepsDown) {
  PlaySender *sender = bindSender(1);
  startSender(sender, 20);                     // counts as 80 ms: rows up to 63 ms fail
  EXPECT_EQ(sender->format, &wireFormats[7]);  // the highest row with a limit above 80 ms
  // A slow trip past the row's limit steps down by bytes per second.
  sender->lastRtt = 200;
  EXPECT_TRUE(senderStepDown(sender));
  EXPECT_LT(sender->format->bytesPerSecond, wireFormats[7].bytesPerSecond);
  EXPECT_GT(sender->format->rttLimit, 200u * sender->format->bytesPerSecond / 32000);
  EXPECT_EQ(sender->format, &wireFormats[1]);  // the lowest row that passes
  // Up from 8000 bytes per second, a 1 ms trip scales to 22 ms at row 16
  // (limit 15): the walk stops at row 15.
  sender->smoothedRtt = 1;
  EXPECT_TRUE(senderStepUp(sender));
  EXPECT_EQ(sender->format, &wireFormats[15]);
}

TEST_F(StreamTest, FourInFlightBlockDataAndAcknowledgementsOpenTheWindow) {
  PlaySender *sender = bindSender();
  startSender(sender, 5);
  runWork();
  std::vector<PacketHeader> packets;
  for (std::vector<uint8_t> d = serverReceive(); !d.empty(); d = serverReceive()) {
    PacketHeader h;
    ASSERT_TRUE(packetCheck(d.data(), int(d.size()), &h));
    EXPECT_EQ(h.kind, WIRE_LINEAR16);
    EXPECT_EQ(h.stereo, 1);
    EXPECT_EQ(h.rateIndex, 5);
    EXPECT_EQ(h.wireFrames, h.duration);  // equal rates
    if (!packets.empty()) {
      EXPECT_EQ(h.start, packets.back().start + packets.back().duration);
    }
    packets.push_back(h);
  }
  ASSERT_EQ(packets.size(), 4u);
  EXPECT_EQ(packets[0].start, 0u);
  EXPECT_EQ(sender->inFlight, 4u);
  EXPECT_EQ(loopWork, nullptr);
  EXPECT_EQ(slog.progress, sender->consumed);
  EXPECT_EQ(senderSend(sender), 0);  // the window is full: nothing is built
  EXPECT_TRUE(serverReceive().empty());

  // At the boundary of packets 0 and 1 the older one matches. The server
  // reports a full lead queued, so nothing more is sent.
  uint32_t full = sender->leadTarget;
  ack({0, full, packets[1].start, packets[0].duration, 0});
  EXPECT_EQ(sender->inFlight, 3u);
  runWork();
  EXPECT_TRUE(serverReceive().empty());
  // An acknowledgement that matches no packet raises the positions only.
  ack({100, full, 999999, 0, 1});
  EXPECT_EQ(sender->ackedPlayed, 100u);
  EXPECT_EQ(sender->inFlight, 3u);
  runWork();  // 100 frames played: the lead opens for one packet
  ASSERT_EQ(serverReceive().size() > 0, true);
  EXPECT_EQ(sender->inFlight, 4u);
  // Packets 1 to 4 are in flight; the second-oldest (2) leaves two.
  ack({100, full + 100, packets[2].start + 1, 0, 0});
  EXPECT_EQ(sender->inFlight, 2u);
  runWork();
}

TEST_F(StreamTest, AServerThatNeverConsumesStopsTheFlowAfterOneLead) {
  PlaySender *sender = bindSender();
  startSender(sender, 5);
  uint32_t end = 0, longest = 0;
  int packets = 0;
  for (int round = 0; round < 100; round++) {
    runWork();
    std::vector<uint8_t> d = serverReceive();
    if (d.empty()) break;
    PacketHeader h;
    ASSERT_TRUE(packetCheck(d.data(), int(d.size()), &h));
    packets++;
    if (h.duration > longest) longest = h.duration;
    end = h.start + h.duration;
    ack({0, end, h.start, h.duration, 0});
  }
  runWork();
  EXPECT_TRUE(serverReceive().empty());
  EXPECT_GE(end, sender->leadTarget);
  // What was in flight when the lead was reached may still arrive.
  EXPECT_LT(end, sender->leadTarget + SENDER_MAX_IN_FLIGHT * longest);
  EXPECT_GE(int32_t(sender->ackedEnd - sender->ackedPlayed), int32_t(sender->leadTarget));
  EXPECT_LT(packets, 100);
  EXPECT_EQ(sender->inFlight, 0u);
}

// A server that has played all it got when the next packet comes runs
// dry through the sender's lateness. Past the start, two such run-outs
// close together raise the lead by a step, a lone one does not, and a
// quiet half minute takes the step back.
TEST_F(StreamTest, ALeadThatRunsOutTwiceCloseTogetherRisesAndQuietLowersIt) {
  slot = slotCreate();
  ASSERT_NE(slot, nullptr);
  const uint32_t minLead = 4410;  // 100 ms: above what the packets' size asks
  slotBindPlay(slot, &source, SERVER_HOST, portOf(server), minLead, 65536, 0, 48000);
  PlaySender *sender = slot->sender;
  startSender(sender, 5);
  const uint32_t step = 44100 * 5 / 1000;
  // Everything sent so far arrives and is played before the next packet.
  auto runDry = [&] {
    runWork();
    PacketHeader last = {};
    for (std::vector<uint8_t> d = serverReceive(); !d.empty(); d = serverReceive()) {
      ASSERT_TRUE(packetCheck(d.data(), int(d.size()), &last));
    }
    uint32_t end = last.start + last.duration;
    ack({end, end, last.start, last.duration, 1});  // a report: no round-trip sample
    runWork();
  };
  runDry();  // the start's
  lvTickAdvance(1500);
  runDry();  // a lone one
  lvTickAdvance(3500);
  runDry();  // another, too far from the last
  EXPECT_EQ(sender->leadRanOut, 3u);
  EXPECT_EQ(sender->leadTarget, minLead);
  lvTickAdvance(1000);
  runDry();
  lvTickAdvance(1000);
  runDry();
  EXPECT_EQ(sender->leadRanOut, 5u);
  EXPECT_EQ(sender->leadTarget, minLead + 2 * step);
  for (int i = 0; i < 20; i++) {  // closer still: up to 40 ms, no further
    lvTickAdvance(100);
    runDry();
  }
  EXPECT_EQ(sender->leadTarget, minLead + 8 * step);
  lvTickAdvance(29000);
  runWork();
  loopTurn();
  runWork();
  EXPECT_EQ(sender->leadTarget, minLead + 8 * step);
  lvTickAdvance(1500);
  loopTurn();
  runWork();
  EXPECT_EQ(sender->leadTarget, minLead + 7 * step);
}

// On a 400 ms path, a full queue whose server has spent its reports is
// asked for the positions after two round trips, not after the retransmit
// timeout (16 s at first), so that the played position moves on.
TEST_F(StreamTest, AFullQueueAsksForThePositionsAfterTwoRoundTrips) {
  PlaySender *sender = bindSender();
  startSender(sender, 400);
  fillWithoutPlaying(400);
  ASSERT_GT(sender->timeout, 4000u);
  runWork();
  ASSERT_TRUE(serverReceive().empty()) << "the queue is full";
  lvTickAdvance(2 * sender->lastRtt);
  loopTurn();
  runWork();
  std::vector<uint8_t> ask = serverReceive();
  ASSERT_EQ(ask.size(), PACKET_HEADER_BYTES) << "an empty packet asks for the positions";
}

// A long path chooses a slow row with large packets (GSM, about 0.8 s
// each); with a server that takes everything and plays nothing, what is
// sent never runs beyond the server's largest lead of what it has played,
// packets in flight included.
TEST_F(StreamTest, ALongPathStaysWithinTheServersLargestLead) {
  PlaySender *sender = bindSender(1);
  startSender(sender, 400);
  uint32_t end = fillWithoutPlaying(0);
  EXPECT_LE(end, sender->leadMax) << "kind " << int(sender->format->kind) << " at "
                                  << sender->format->rate << " Hz";
}

TEST_F(StreamTest, SenderIgnoresOtherHostsAndMalformedAcknowledgements) {
  if (!otherHostDistinct(other, server)) {
    GTEST_SKIP() << "this socket layer sends every loopback datagram from 127.0.0.1";
  }
  PlaySender *sender = bindSender();
  runWork();
  serverReceive();
  lvTickAdvance(10);
  ack({5000, 5000, 0, 0, 0}, other);  // forged: would start the sender
  EXPECT_EQ(sender->started, 0u);
  EXPECT_EQ(sender->ackedEnd, 0u);
  EXPECT_EQ(loopWork, nullptr);
  uint8_t b[17] = {};
  sendToSlot(server, b, 15);
  loopTurn();
  sendToSlot(server, b, 17);
  loopTurn();
  EXPECT_EQ(sender->started, 0u);
  EXPECT_EQ(sender->inFlight, 1u);
  EXPECT_EQ(loopWork, nullptr);
  ack({0, 0, 0, 0, 0});  // the server's own answer still counts
  EXPECT_EQ(sender->started, 1u);
  runWork();
  while (!serverReceive().empty()) {
  }
}

// Acknowledgements count from any port of the server's host, and only
// their plausible part: a position beyond what was sent counts as what was
// sent (a playout clock that ran on through an underrun has played it
// all), and none moves back. A lead larger than the ring gates nothing,
// and the pump never fills past the ring.
TEST_F(StreamTest, AcknowledgementsFromAnyPortAreClampedToWhatWasSent) {
  SOCKET stranger = boundSocket(SERVER_HOST);
  PlaySender *sender = bindSender();
  startSender(sender, 5);
  runWork();
  uint32_t sent = sender->sent;
  ASSERT_GT(sent, 0u);
  ack({0, 0x7FFFFFFF, 0, 0, 0}, stranger);  // another port, beyond what was sent
  EXPECT_EQ(sender->ackedEnd, sent);
  EXPECT_EQ(sender->ackedPlayed, 0u);
  ack({sent + 220500, sent, 0, 0, 1});  // a clock five seconds past the audio
  EXPECT_EQ(sender->ackedPlayed, sent);
  ack({0, 0, 0, 0, 1});  // an older one moves nothing back
  EXPECT_EQ(sender->ackedEnd, sent);
  EXPECT_EQ(sender->ackedPlayed, sent);
  while (!serverReceive().empty()) {
  }
  runWork();  // nothing is queued at the server: the sender goes on
  EXPECT_FALSE(serverReceive().empty());
  EXPECT_GT(int32_t(sender->sent - sent), 0);
  closesocket(stranger);

  // Positions compare by signed difference across the 2^32 wrap.
  sender->sent += 0xFFFFFF00u;
  sender->ackedEnd = sender->ackedPlayed = sender->sent - 0x100;
  ack({sender->sent - 0x80, sender->sent, 0, 0, 1});
  EXPECT_EQ(sender->ackedEnd, sender->sent);
  EXPECT_EQ(sender->ackedPlayed, sender->sent - 0x80);
  slotClose(slot);
  slot = nullptr;

  for (uint32_t minLead : {200000u, 0x80000000u}) {
    slot = slotCreate();
    ASSERT_NE(slot, nullptr);
    slotBindPlay(slot, &source, SERVER_HOST, portOf(server), minLead, 65536, 0, 48000);
    PlaySender *s = slot->sender;
    EXPECT_LE(s->leadMin, RING_FRAMES);
    EXPECT_LE(s->leadMin, s->leadMax);
    senderWindow(s, 5);
    EXPECT_GT(int32_t(s->leadTarget), 0);
    EXPECT_LE(s->leadTarget, RING_FRAMES);
    slotClose(slot);
    slot = nullptr;
    while (!serverReceive().empty()) {
    }
  }
}

// A sine at half of full scale in both channels of a 44100 Hz source ring:
// 1 kHz, or 440 Hz for the source named here.
constexpr double SINE_HZ = 1000, SINE_PEAK = 16384;
PlaySource *lowToneSource;
double sineAt(double ringPosition, double hz = SINE_HZ) {
  return SINE_PEAK * std::sin(TWO_PI * hz * ringPosition / 44100);
}
int sineFill(PlaySource *source, uint32_t position, uint32_t amount) {
  double hz = source == lowToneSource ? 440 : SINE_HZ;
  for (; int32_t(position + amount - source->produced) > 0; source->produced++) {
    uint32_t span;
    int16_t *at = ringSpan(source->ring, source->produced, &span);
    at[0] = at[1] = int16_t(std::lrint(sineAt(source->produced, hz)));
  }
  return 1;
}
const PlaySourceEvents sineEvents = {sineFill, testSourceActivity, testProgress, nullptr};

// A sine sent through changes between linear rows, up and down, and many
// packets on each: every sample after the first window is the sine at the
// instant the stream's own clock gives it (uniform at each row's rate,
// running on unbroken across packets and changes) within 1 % of full scale.
// Received as a server does, into a 48000 Hz ring, it is the sine there too.
TEST_F(StreamTest, ASineCrossesFormatChangesAndPacketsUnbroken) {
  source.events = &sineEvents;
  PlaySender *sender = bindSender();
  startSender(sender, 5);
  const int rows[] = {4, 11, 6, 12, 9, 14, 4, 12, 9, 11, 12};  // 11025 32000 16000 44100 ...
  uint64_t clock = 0;  // 32.32 timebase frames of the next wire frame
  double worst = 0;
  SampleRing *heard = ringCreate(1 << 20, 48000, 0);
  Resampler receiving = {};
  uint32_t writePos = 0;
  // The same packets into a ring at the application's rate, as a server
  // whose sink runs at it: the 44100 Hz stretches are copied.
  SampleRing *same = ringCreate(1 << 20, 44100, 0);
  Resampler sameRs = {};
  uint32_t sameWrite = 0;
  std::vector<std::pair<uint32_t, bool>> stretches;  // start, copied
  int packets = 0;
  for (int row : rows) {
    senderSwitch(sender, &wireFormats[row], 5);
    sender->stepUpAt = sender->stepDownAt = sender->sent + 0x40000000;
    for (int n = 0; n < 12; n++) {
      runWork();
      for (std::vector<uint8_t> d = serverReceive(); !d.empty(); d = serverReceive()) {
        PacketHeader h;
        ASSERT_TRUE(packetCheck(d.data(), int(d.size()), &h));
        ASSERT_EQ(h.kind, WIRE_LINEAR16);
        uint32_t rate = wireRates[h.rateIndex];
        if (rate == 44100) clock &= ~uint64_t(0xFFFFFFFF);  // the ring's own frames
        ASSERT_EQ(h.start, uint32_t(clock >> 32));
        uint64_t step = ((uint64_t(44100) << 32) + rate / 2) / rate;
        for (uint32_t i = 0; i < h.wireFrames; i++, clock += step) {
          const uint8_t *at = d.data() + PACKET_HEADER_BYTES + 2 * i;
          double got = int16_t(uint16_t(at[0] | at[1] << 8));
          double t = double(clock) / 4294967296.0;
          if (t > RS_MAX_TAPS) worst = std::fmax(worst, std::fabs(got - sineAt(sender->base + t)));
        }
        writePos +=
            rsPlacePacket(&receiving, 44100, rate, heard, h.start, packets == 0, writePos, 0);
        AudioPayload payload = {h.wireFrames, 0, d.data() + PACKET_HEADER_BYTES,
                                uint32_t(d.size() - PACKET_HEADER_BYTES)};
        writePos += decodeLinear16(&payload, writePos, heard, 0, &receiving);
        if (stretches.empty() || stretches.back().second != (rate == 44100))
          stretches.push_back({h.start, rate == 44100});
        sameWrite += rsPlacePacket(&sameRs, 44100, rate, same, h.start, packets == 0, sameWrite, 0);
        sameWrite += decodeLinear16(&payload, sameWrite, same, 0, &sameRs);
        packets++;
        ack({h.start + h.duration, h.start + h.duration, h.start, h.duration, 0});
      }
    }
  }
  EXPECT_GT(packets, 60);
  EXPECT_LT(worst, 0.01 * 32768) << "the worst sample's error";
  // Each ring frame at its instant in the sender's frames; the last half
  // window waits for input that never came.
  double worstHeard = 0;
  const double step = 44100.0 / 48000;
  for (uint32_t j = 2 * RS_MAX_TAPS; j + RS_MAX_TAPS < writePos; j++) {
    double error = std::fabs(ringSamples(heard)[j] - sineAt(sender->base + j * step));
    worstHeard = std::fmax(worstHeard, error);
  }
  // A change of wire rate joins two spacings of frames at the receiver;
  // the join leaves a per cent or two at the change itself.
  EXPECT_LT(worstHeard, 0.02 * 32768) << "the worst error of what was heard";
  LocalFree(heard);
  // At the application's rate: every frame sent arrives, one for one; each
  // 44100 Hz stretch is the sender's own samples once the join has passed
  // (the old frames weigh nothing a window of the join's band, half the
  // lowest rate's, after it); and no step between samples is larger than
  // the sine's own, but for the rounding of both ends and a join's ripple.
  EXPECT_EQ(sameWrite, uint32_t(clock >> 32)) << "frames arrived for frames sent";
  const uint32_t join = RS_TABLE_TAPS * 44100 / (11025 / 2);
  const double bound = 1.03 * SINE_PEAK * TWO_PI * SINE_HZ / 44100 + 2;
  size_t inexact = 0;
  double steepest = 0;
  for (uint32_t j = 1; j < sameWrite; j++) {
    int16_t *s = ringSamples(same);
    steepest = std::fmax(steepest, std::fabs(double(s[j]) - s[j - 1]));
    auto in = std::upper_bound(stretches.begin(), stretches.end(), std::make_pair(j, true));
    if (in != stretches.begin() && std::prev(in)->second && j - std::prev(in)->first >= join &&
        s[j] != int16_t(std::lrint(sineAt(sender->base + j)))) {
      if (inexact++ < 5) ADD_FAILURE() << "frame " << j << " of a copied stretch differs";
    }
  }
  EXPECT_LE(steepest, bound) << "the largest step between samples";
  LocalFree(same);
}

// Two GSM streams in one process, their packets interleaved: every sender
// and every receiver codes against its own stream's history only.
TEST_F(StreamTest, TwoGsmStreamsInOneProcessKeepTheirOwnCoders) {
  PlaySource low = source;
  low.ring = ringCreate(RING_FRAMES, 44100, 1);
  low.events = source.events = &sineEvents;
  lowToneSource = &low;
  RecordSink lowSink = sink;
  lowSink.ring = ringCreate(RING_FRAMES, 44100, 0);
  PlaySource *sources[2] = {&source, &low};
  RecordSink *sinks[2] = {&sink, &lowSink};
  StreamSlot *slots[4];
  PlaySender *senders[2];
  CaptureReceiver *receivers[2];
  for (int k = 0; k < 2; k++) {
    ASSERT_NE(slots[k] = slotCreate(), nullptr);
    slotBindPlay(slots[k], sources[k], SERVER_HOST, portOf(server), 256, 65536, 0, 8000);
    senders[k] = slots[k]->sender;
    ASSERT_NE(slots[2 + k] = slotCreate(), nullptr);
    slotBindCapture(slots[2 + k], sinks[k], SERVER_HOST, 44100);  // positions as sent
    receivers[k] = slots[2 + k]->receiver;
  }
  sockaddr_in serverAddress = {};
  serverAddress.sin_family = AF_INET;
  serverAddress.sin_addr.s_addr = htonl(SERVER_HOST);
  serverAddress.sin_port = htons(portOf(server));
  auto answer = [&](const StreamAck &a, int k) {
    uint8_t b[ACK_BYTES];
    ackStore(b, &a);
    sockaddr_in to = serverAddress;
    to.sin_port = htons(slots[k]->localPort);
    sendto(server, reinterpret_cast<const char *>(b), sizeof b, 0,
           reinterpret_cast<sockaddr *>(&to), sizeof to);
    loopTurn();
  };
  // Both probes answered; then both on the GSM row for good.
  runWork();
  while (!serverReceive().empty()) {
  }
  for (int k = 0; k < 2; k++) {
    answer({0, 0, 0, 0, 0}, k);
    ASSERT_EQ(senders[k]->started, 1u);
    senderSwitch(senders[k], &wireFormats[0], 5);
    senders[k]->stepUpAt = senders[k]->stepDownAt = 0x40000000;
  }
  // A second of audio each; each packet goes on to the receiver of its
  // stream as it arrives, so the two streams' frames alternate.
  uint32_t frames[2] = {0, 0};
  for (int round = 0; round < 400 && (frames[0] < 8000 || frames[1] < 8000); round++) {
    runWork();
    for (;;) {
      uint8_t d[PACKET_MAX_DATAGRAM];
      sockaddr_in from = {};
      socklen_t length = sizeof from;
      int got = recvfrom(server, reinterpret_cast<char *>(d), sizeof d, 0,
                         reinterpret_cast<sockaddr *>(&from), &length);
      if (got <= 0) break;
      if (got == int(ACK_BYTES)) continue;  // a receiver's acknowledgement
      int k = ntohs(from.sin_port) == slots[0]->localPort ? 0 : 1;
      PacketHeader h;
      ASSERT_TRUE(packetCheck(d, got, &h));
      ASSERT_EQ(h.kind, WIRE_GSM);
      if (frames[k] < 8000) receiverTakeDatagram(receivers[k], d, got, &serverAddress);
      frames[k] += h.wireFrames;
      answer({h.start + h.duration, h.start + h.duration, h.start, h.duration, 0}, k);
    }
  }
  // The worst 20 ms (a GSM frame) of each, away from the converters' start
  // and within what a second made: a coder that took the other stream's
  // history spoils the frames after each change of stream.
  double worst[2] = {200, 200};
  for (uint32_t from = 4000; from + 882 <= 40000; from += 882) {
    worst[0] =
        std::fmin(worst[0], toneSnrDb(ringSamples(sink.ring), from, from + 882, 44100, SINE_HZ));
    worst[1] =
        std::fmin(worst[1], toneSnrDb(ringSamples(lowSink.ring), from, from + 882, 44100, 440));
  }
  EXPECT_GT(worst[0], 25) << "1 kHz stream";
  EXPECT_GT(worst[1], 25) << "440 Hz stream";
  std::printf("GSM tones through two streams: worst frame %.1f dB and %.1f dB SNR\n", worst[0],
              worst[1]);
  for (StreamSlot *s : slots) slotClose(s);
  LocalFree(low.ring);
  LocalFree(lowSink.ring);
}

TEST_F(StreamTest, SenderWithoutAudioSendsNothingUntilAsked) {
  slog.refuse = 1;
  PlaySender *sender = bindSender();
  startSender(sender, 5);
  runWork();
  EXPECT_TRUE(serverReceive().empty());
  EXPECT_GT(slog.fills, 0);
  EXPECT_EQ(sender->inFlight, 0u);
  EXPECT_EQ(loopWork, nullptr);
}

TEST_F(StreamTest, GsmPacketsCarryWholeFrames) {
  PlaySender *sender = bindSender(0, 8000);  // a server limited to 8000 Hz: GSM or row 1
  startSender(sender, 5);
  senderSwitch(sender, &wireFormats[0], sender->smoothedRtt);
  sender->paused = 1;  // only the explicit sends below
  for (int i = 0; i < 3; i++) {
    sender->inFlight = 0;
    senderSend(sender);
    std::vector<uint8_t> d = serverReceive();
    PacketHeader h;
    ASSERT_TRUE(packetCheck(d.data(), int(d.size()), &h)) << d.size();
    EXPECT_EQ(h.kind, WIRE_GSM);
    // At least 200 coded bytes: six 33-byte frames.
    EXPECT_EQ(h.wireFrames, 6 * 160);
    EXPECT_EQ(d.size(), 12u + 6 * 33);
    // 160 wire frames at 8000 Hz are 882 application frames at 44100 Hz.
    EXPECT_NEAR(h.duration, 6 * 882, 2) << i;
    if (i > 0) {
      EXPECT_EQ(h.start, sender->sent - h.duration);
    }
  }
  sender->inFlight = 0;
}

// ---- Capture receiver.

std::vector<uint8_t> companded(uint32_t start, uint16_t frames, uint16_t duration) {
  std::vector<uint8_t> d(PACKET_HEADER_BYTES + frames, 0xF0);  // row 1: 8000 Hz mono
  PacketHeader h = {start, frames, duration, WIRE_COMPANDED, 0, 0};
  packetStoreHeader(d.data(), &h);
  return d;
}

TEST_F(StreamTest, ReceiverAcknowledgesProbesAndSynchronisesAtTheFirstPacket) {
  CaptureReceiver *receiver = bindReceiver();
  sink.readPos = 1000;
  std::vector<uint8_t> probe(PACKET_MAX_DATAGRAM, 0);
  PacketHeader ph = {500, 0, 80, WIRE_PROBE, 0, 0};
  packetStoreHeader(probe.data(), &ph);
  sendToSlot(server, probe.data(), probe.size());
  loopTurn();
  std::vector<uint8_t> reply = serverReceive();
  StreamAck a;
  ASSERT_TRUE(ackLoad(reply.data(), int(reply.size()), &a));
  EXPECT_EQ(a.unsolicited, 0);
  EXPECT_EQ(a.lastStart, 500u);
  EXPECT_EQ(a.lastDuration, 80);
  EXPECT_EQ(a.receivedEnd, 580u);
  EXPECT_EQ(a.consumed, 0u);
  EXPECT_EQ(receiver->synced, 0u);
  EXPECT_EQ(receiver->writePos, 0u);
  EXPECT_EQ(sink.activeCount, 0u);

  std::vector<uint8_t> data = companded(580, 160, 160);
  sendToSlot(server, data.data(), data.size());
  loopTurn();
  ASSERT_TRUE(ackLoad(serverReceive().data(), 16, &a));
  EXPECT_EQ(receiver->synced, 1u);
  EXPECT_EQ(receiver->creditedRead, 1000u);
  EXPECT_EQ(receiver->creditedPos, 740u);
  EXPECT_EQ(a.consumed, 740u);
  EXPECT_EQ(a.receivedEnd, 740u);
  // Written from the reader's position itself, upsampled to 44100 Hz.
  EXPECT_GT(receiver->writePos, 1000u + 700);
  EXPECT_LT(receiver->writePos, 1000u + 900);
  EXPECT_EQ(klog.activity, 1);
  EXPECT_EQ(klog.dataReady, 2);
  int16_t *at = ringSamples(sink.ring);
  EXPECT_EQ(at[999], 0);
  int nonzero = 0;
  for (uint32_t i = 1000; i < receiver->writePos; i++) nonzero += at[i] != 0;
  EXPECT_GT(nonzero, 600);
}

TEST_F(StreamTest, ReceiverCreditFollowsTheReader) {
  CaptureReceiver *receiver = bindReceiver();
  std::vector<uint8_t> data = companded(0, 160, 160);
  sendToSlot(server, data.data(), data.size());
  loopTurn();
  serverReceive();
  ASSERT_EQ(receiver->synced, 1u);

  StreamAck a;
  sink.readPos += 44100;
  receiverCredit(&sink);
  std::vector<uint8_t> reply = serverReceive();
  ASSERT_TRUE(ackLoad(reply.data(), int(reply.size()), &a));
  EXPECT_EQ(a.consumed, 160u + 8000);  // exactly one second of the timebase
  EXPECT_EQ(a.unsolicited, 1);
  EXPECT_EQ(receiver->creditRemainder, 0u);

  sink.readPos += 100;
  receiverCredit(&sink);
  EXPECT_EQ(receiver->pendingCredit, 18u);
  EXPECT_EQ(receiver->creditRemainder, 6200u);
  EXPECT_TRUE(serverReceive().empty());
  // 100 frames at a time: the ninth read brings the credit to 163, past a
  // packet's 160, and the acknowledgement goes out at once.
  for (int read = 2; read <= 9; read++) {
    sink.readPos += 100;
    receiverCredit(&sink);
    EXPECT_EQ(serverReceive().empty(), read < 9) << read;
  }
  EXPECT_EQ(receiver->pendingCredit, 0u);
  EXPECT_EQ(receiver->creditedPos, 160u + 8000 + 163);
  // A reader behind the credited position earns nothing.
  sink.readPos -= 10;
  receiverCredit(&sink);
  EXPECT_EQ(receiver->pendingCredit, 0u);
}

TEST_F(StreamTest, ReceiverFillsGapsByRepetition) {
  CaptureReceiver *receiver = bindReceiver(44100);
  // 44100 Hz mono linear (row 12): equal rates, sample-exact.
  auto linear = [](uint32_t start, int16_t value) {
    std::vector<uint8_t> d(PACKET_HEADER_BYTES + 2 * 100);
    PacketHeader h = {start, 100, 100, WIRE_LINEAR16, 0, 5};
    packetStoreHeader(d.data(), &h);
    for (int i = 0; i < 100; i++) {
      d[12 + 2 * i] = uint8_t(value);
      d[13 + 2 * i] = uint8_t(uint16_t(value) >> 8);
    }
    return d;
  };
  std::vector<uint8_t> first = linear(0, 1000), third = linear(200, -3);
  sendToSlot(server, first.data(), first.size());
  loopTurn();
  sendToSlot(server, third.data(), third.size());
  loopTurn();
  EXPECT_EQ(receiver->writePos, 300u);
  int16_t *at = ringSamples(sink.ring);
  EXPECT_EQ(at[99], 1000);
  EXPECT_EQ(at[150], 1000);  // the lost packet's frames repeat the last one
  EXPECT_EQ(at[200], -3);
  serverReceive();
  serverReceive();
}

// A start more than a ring from the stream (a server whose clock ran on
// through a stall, or a stray packet) moves the stream there: the packet is
// answered and placed right after the last, with no filler, the credit
// moves with it, and the packets after a lone stray one are placed where
// they belong. A coding and rate that no sending row has (16-bit linear at
// 8000 Hz) is decoded, and so is a payload longer than its frames need.
TEST_F(StreamTest, ReceiverFollowsAJumpingServerAndDecodesAnyListedFormat) {
  CaptureReceiver *receiver = bindReceiver();
  std::vector<uint8_t> first = companded(0, 160, 160);
  sendToSlot(server, first.data(), first.size());
  loopTurn();
  ASSERT_EQ(receiver->synced, 1u);
  ASSERT_EQ(serverReceive().size(), ACK_BYTES);
  // 160 frames at 8000 Hz make about 882 at 44100.
  auto placedOnce = [&](uint32_t from) { return receiver->writePos - from < 1000u; };
  uint32_t outstanding = 0;  // the reader takes nothing: each packet adds its duration
  for (uint32_t start : {0x80000000u, 320u, 320u + 16000u, 0u - 12000u}) {
    uint32_t writePos = receiver->writePos;
    std::vector<uint8_t> jump = companded(start, 160, 160);
    sendToSlot(server, jump.data(), jump.size());
    loopTurn();
    EXPECT_GT(receiver->writePos, writePos) << start;
    EXPECT_TRUE(placedOnce(writePos)) << start;
    EXPECT_EQ(receiver->receivedEnd, start + 160) << start;
    StreamAck a;
    ASSERT_TRUE(ackLoad(serverReceive().data(), int(ACK_BYTES), &a)) << start;
    EXPECT_EQ(a.lastStart, start);
    // The server sees as much outstanding as before the jump, and the packet.
    outstanding += 160;
    EXPECT_EQ(a.receivedEnd - a.consumed, outstanding) << start;
  }
  std::vector<uint8_t> linear(PACKET_HEADER_BYTES + 320 + 7, 0);  // 7 bytes to spare
  uint32_t at = 0u - 12000u + 160;
  PacketHeader h = {at, 160, 160, WIRE_LINEAR16, 0, 0};
  packetStoreHeader(linear.data(), &h);
  for (uint32_t i = 0; i < 160; i++) linear[PACKET_HEADER_BYTES + 2 * i + 1] = 0x10;  // 4096
  uint32_t writePos = receiver->writePos;
  sendToSlot(server, linear.data(), linear.size());
  loopTurn();
  EXPECT_EQ(receiver->receivedEnd, at + 160);
  EXPECT_GT(int32_t(receiver->writePos - writePos), 800);  // 160 frames at 8000 Hz, at 44100
  EXPECT_EQ(serverReceive().size(), ACK_BYTES);
}

TEST_F(StreamTest, ReceiverIgnoresOtherHostsAndMalformedDatagrams) {
  if (!otherHostDistinct(other, server)) {
    GTEST_SKIP() << "this socket layer sends every loopback datagram from 127.0.0.1";
  }
  CaptureReceiver *receiver = bindReceiver();
  std::vector<uint8_t> good = companded(40, 160, 160);
  // A valid packet from another host: no audio, no acknowledgement there.
  sendToSlot(other, good.data(), good.size());
  loopTurn();
  EXPECT_EQ(receiver->synced, 0u);
  EXPECT_EQ(receiver->receivedEnd, 0u);
  char byte;
  EXPECT_EQ(recv(other, &byte, 1, 0), SOCKET_ERROR);

  // From the server: a late acknowledgement of a closed playback stream, a
  // short payload, a rate outside the list, a short probe, a bare header
  // fragment.
  StreamAck stale = {0x00050102, 0x000000A0, 0x00000502, 160, 0};
  uint8_t ackBytes[ACK_BYTES];
  ackStore(ackBytes, &stale);
  std::vector<uint8_t> shortPayload = companded(40, 160, 160);
  shortPayload.pop_back();
  std::vector<uint8_t> noRow = companded(40, 160, 160);
  noRow[10] = 7;
  std::vector<uint8_t> shortProbe(PACKET_HEADER_BYTES, 0);
  const std::vector<uint8_t> bad[] = {std::vector<uint8_t>(ackBytes, ackBytes + 16), shortPayload,
                                      noRow, shortProbe, std::vector<uint8_t>(5, 1)};
  // Every packet is answered, so that the server's pacing goes on, but
  // none of these carries audio the receiver can place.
  for (const std::vector<uint8_t> &d : bad) {
    sendToSlot(server, d.data(), d.size());
    loopTurn();
  }
  EXPECT_EQ(receiver->synced, 0u);
  EXPECT_EQ(receiver->receivedEnd, 0u);
  for (int answered = 0; answered < 4; answered++) {
    EXPECT_EQ(serverReceive().size(), ACK_BYTES) << answered;
  }
  EXPECT_TRUE(serverReceive().empty()) << "a fragment shorter than a header was answered";

  sendToSlot(server, good.data(), good.size());
  loopTurn();
  EXPECT_EQ(receiver->synced, 1u);
  EXPECT_EQ(serverReceive().size(), ACK_BYTES);
  slotClose(slot);
  slot = nullptr;
  EXPECT_EQ(sink.activeCount, 0u);
}

}  // namespace
