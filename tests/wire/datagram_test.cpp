// Packet and acknowledgement layouts as plain functions over bytes.
#include "wire/datagram.h"

#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
