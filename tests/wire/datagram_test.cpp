// Packet and acknowledgement layouts as plain functions over bytes.
#include "wire/datagram.h"

#include <gtest/gtest.h>

#include <vector>

#include "audio/formats.h"

namespace {

TEST(Datagram, AckRoundTripsLittleEndian) {
  std::vector<uint8_t> out(ACK_BYTES);
  StreamAck sent{0x04030201, 0x08070605, 0x0C0B0A09, 0x0E0D, 1};
  ackStore(out.data(), &sent);
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 1, 0}));
  StreamAck a;
  ASSERT_TRUE(ackLoad(out.data(), out.size(), &a));
  EXPECT_EQ(a.lastDuration, 0x0E0D);
  out.push_back(0);
  EXPECT_FALSE(ackLoad(out.data(), out.size(), &a)) << "only exactly 16 bytes";
}

TEST(Datagram, PacketChecksEveryBound) {
  std::vector<uint8_t> d(PACKET_HEADER_BYTES + 4, 0);
  PacketHeader h{7, 2, 2, 2, 0, 6};
  packetStoreHeader(d.data(), &h);
  PacketHeader got;
  ASSERT_EQ(packetParse(d.data(), d.size(), &got), PACKET_OK);
  EXPECT_EQ(got.start, 7u);
  EXPECT_EQ(got.rateIndex, 6);
  d.pop_back();
  EXPECT_EQ(packetParse(d.data(), d.size(), &got), PACKET_SHORT)
      << "payload of 3 bytes for 2 frames";
  std::vector<uint8_t> probe(PACKET_MAX_DATAGRAM, 0);
  EXPECT_EQ(packetParse(probe.data(), probe.size(), &got), PACKET_OK);
  probe.push_back(0);
  EXPECT_EQ(packetParse(probe.data(), probe.size(), &got), PACKET_SIZE);
  EXPECT_EQ(packetParse(probe.data(), 11, &got), PACKET_SIZE);
}

// The rules both ends apply, at their edges: positions through the wrap, a
// sender's exact packets against what a receiver takes, the words of each
// fault, and what a packet's audio can stand for.
TEST(Datagram, RulesHoldAtTheirEdges) {
  const uint32_t nearWrap = 0xFFFFFFF0u;
  EXPECT_TRUE(positionAfter(5, nearWrap)) << "5 comes 21 frames after the wrap";
  EXPECT_EQ(positionLater(nearWrap, 5), 5u);
  EXPECT_EQ(positionAtMost(40, 5), 5u);
  EXPECT_EQ(positionAtMost(nearWrap, 5), nearWrap);
  EXPECT_TRUE(positionWithin(3, nearWrap, 30));
  EXPECT_FALSE(positionWithin(nearWrap - 1, nearWrap, 30));
  StreamAck ack{100, 90, 0, 0, 0};
  ackClampToSent(&ack, 5);
  EXPECT_EQ(ack.consumed, 5u) << "played beyond what was sent counts as all of it";
  EXPECT_EQ(ack.receivedEnd, 5u);
  ack = {nearWrap, nearWrap, 0, 0, 0};
  ackClampToSent(&ack, 5);
  EXPECT_EQ(ack.consumed, nearWrap) << "behind what was sent stays";

  std::vector<uint8_t> d(PACKET_HEADER_BYTES + 8, 0);
  PacketHeader h{0, 2, 2, WIRE_LINEAR16, 1, 0}, got;
  packetStoreHeader(d.data(), &h);
  EXPECT_TRUE(packetCheck(d.data(), d.size(), &got));
  d.push_back(0);
  EXPECT_EQ(packetParse(d.data(), d.size(), &got), PACKET_OK) << "a receiver reads past nothing";
  EXPECT_FALSE(packetCheck(d.data(), d.size(), &got)) << "a sender's payload is exact";
  d[9] = 2;
  EXPECT_EQ(packetParse(d.data(), d.size(), &got), PACKET_OK);
  EXPECT_FALSE(packetDecodable(&got, d.size() - PACKET_HEADER_BYTES)) << "no third channel";
  std::vector<uint8_t> probe(100, 0);
  EXPECT_EQ(packetParse(probe.data(), probe.size(), &got), PACKET_OK);
  EXPECT_FALSE(packetCheck(probe.data(), probe.size(), &got)) << "a sent probe is full size";

  char why[64];
  struct Case {
    PacketHeader header;
    size_t length;
    PacketFault fault;
    const char *text;
  } cases[] = {
      {{0, 0, 0, 9, 0, 0}, 20, PACKET_KIND, "unknown kind 9"},
      {{0, 0, 0, WIRE_COMPANDED, 0, 9}, 20, PACKET_RATE, "rate index 9"},
      {{0, 100, 0, WIRE_GSM, 0, 0}, 45, PACKET_GSM_FRAMES, "GSM packet of 100 frames"},
      {{0, 160, 0, WIRE_GSM, 0, 0}, 44, PACKET_SHORT, "payload shorter than its 160 frames"},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> bytes(c.length, 0);
    packetStoreHeader(bytes.data(), &c.header);
    ASSERT_EQ(packetParse(bytes.data(), bytes.size(), &got), c.fault) << c.text;
    packetFaultText(c.fault, &got, bytes.size(), why, sizeof why);
    EXPECT_STREQ(why, c.text);
  }
  packetFaultText(PACKET_SIZE, &got, 1413, why, sizeof why);
  EXPECT_STREQ(why, "datagram of 1413 bytes");

  PacketHeader gsm{0, 160, 0, WIRE_GSM, 0, 0};
  EXPECT_EQ(packetCarriedFrames(&gsm, 8000), 160u);
  EXPECT_EQ(packetCarriedFrames(&gsm, 44100), 883u) << "882 rounded up, and a frame for rounding";

  uint8_t route[ROUTE_HEADER_BYTES];
  routeHeaderBuild(route, 0x7F000102, 40001);
  uint32_t address = 0;
  uint16_t port = 0;
  ASSERT_TRUE(routeHeaderParse(route, sizeof route, &address, &port));
  EXPECT_EQ(address, 0x7F000102u);
  EXPECT_EQ(port, 40001);
  EXPECT_FALSE(routeHeaderParse(route, 5, &address, &port));
}

}  // namespace
