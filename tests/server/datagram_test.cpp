// Packet and acknowledgement layouts as plain functions over bytes.
#include "server/datagram.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(Datagram, AckRoundTripsLittleEndian) {
  std::vector<uint8_t> out(ACK_BYTES);
  ackBuild(out, {0x04030201, 0x08070605, 0x0C0B0A09, 0x0E0D, 1});
  EXPECT_EQ(out, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 1, 0}));
  StreamAckFields a;
  ASSERT_TRUE(ackParse(out, a));
  EXPECT_EQ(a.lastDuration, 0x0E0D);
  out.push_back(0);
  EXPECT_FALSE(ackParse(out, a)) << "only exactly 16 bytes";
}

TEST(Datagram, PacketChecksEveryBound) {
  std::vector<uint8_t> d(PACKET_HEADER_BYTES + 4, 0);
  PacketHeader h{7, 2, 2, 2, 0, 6};
  packetHeaderBuild(d, h);
  std::string why;
  PacketHeader got;
  ASSERT_TRUE(packetParse(d, got, why)) << why;
  EXPECT_EQ(got.start, 7u);
  EXPECT_EQ(got.rateIndex, 6);
  d.pop_back();
  EXPECT_FALSE(packetParse(d, got, why)) << "payload of 3 bytes for 2 frames";
  std::vector<uint8_t> probe(PACKET_MAX_BYTES, 0);
  EXPECT_TRUE(packetParse(probe, got, why));
  probe.push_back(0);
  EXPECT_FALSE(packetParse(probe, got, why));
  EXPECT_FALSE(packetParse(std::vector<uint8_t>(11, 0), got, why));
}

}  // namespace
