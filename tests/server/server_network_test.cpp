// lumivox-server serving a network: streams bound to the control
// connection's peer, requests with fields out of range, the setup and idle
// deadlines, --allow, --udp-ports and the per-client limits, each against
// the real server on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "tests/server/driver_messages.h"
#include "tests/server/udp_peer.h"

namespace {

class NetworkTest : public ::testing::Test {
 protected:
  void SetUp() override { descriptors_ = descriptorCount(getpid()); }
  void TearDown() override { EXPECT_EQ(descriptorCount(getpid()), descriptors_); }

 private:
  int descriptors_ = 0;
};

// A UDP socket on another loopback address (127.0.0.2) at a given port:
// the third party a request may name. -1 when that address cannot be had.
int thirdPartySocket(uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(0x7F000002);
  at.sin_port = htons(port);
  if (bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether a datagram is waiting on fd after waitMs.
bool datagramWaiting(int fd, int waitMs) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, waitMs) == 1;
}

void sendFrom(int fd, uint16_t port, const Bytes &bytes) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
}

// The driver names a third party's address in its requests: the recording
// goes to the driver (the peer of the control connection) at the port it
// named, never to the third party, and the third party's datagrams to the
// playback stream get no acknowledgement.
TEST_F(NetworkTest, StreamsBelongToThePeerWhateverTheRequestNames) {
  UdpPeer driver;
  int third = thirdPartySocket(driver.port());
  if (third < 0) GTEST_SKIP() << "no 127.0.0.2 to bind";
  ServerProcess live({"--port", "0"});
  ASSERT_TRUE(live.ready());
  auto client = setUpClient(live);
  ASSERT_TRUE(client->send(openStreamRequest(
      {.direction = 1, .address = 0x7F000002, .port = driver.port(), .id = 1, .device = 2})));
  StreamReplyFields record = streamReplyFields(client->receive());
  ASSERT_EQ(record.status, 1);
  ASSERT_TRUE(client->send(openStreamRequest(
      {.direction = 0, .address = 0x7F000002, .port = driver.port(), .id = 2, .device = 1})));
  StreamReplyFields play = streamReplyFields(client->receive());
  ASSERT_EQ(play.status, 1);
  EXPECT_TRUE(live.waitForLog("open-stream 1 names address 127.0.0.2, not the peer's"));
  EXPECT_EQ(live.logCount("not the peer's"), 1) << "logged once per connection";

  uint16_t from = 0;
  Bytes first = driver.receive(SERVER_WAIT_MS, &from);
  ASSERT_GE(first.size(), 12u) << "the recording reaches the peer";
  EXPECT_EQ(from, record.port);
  sendFrom(third, play.port, probe());
  driver.sendTo(play.port, probe());
  // The driver's probe is answered; by then the third party's, sent
  // first, would have been answered too.
  for (Bytes d = driver.receive(); d.size() != 16; d = driver.receive()) {
    ASSERT_FALSE(d.empty()) << "no acknowledgement for the driver's probe";
  }
  client.reset();  // ends both streams
  ASSERT_TRUE(live.waitForLog("closed (messages 3, streams ended 2)"));
  // The streams' sockets are connected to the driver's end from their
  // open on: the system dropped the third party's datagram unseen.
  EXPECT_FALSE(datagramWaiting(third, 0)) << "nothing was sent to the named address";
  close(third);
  EXPECT_EQ(live.stop(), 0);
}

// Every field the server computes with is checked; a request out of range
// is refused in its turn, at once, and the server goes on serving.
TEST_F(NetworkTest, RequestsWithFieldsOutOfRangeAreRefused) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  const OpenStream bad[] = {
      {.rate = 0xFFFFFFFF, .id = 1}, {.rate = 999, .id = 2},
      {.rate = 192001, .id = 3},     {.id = 4, .lead = 65537},
      {.port = 0, .id = 5},          {.direction = 1, .rate = 0, .id = 6, .device = 2},
  };
  for (const OpenStream &o : bad) ASSERT_TRUE(client->send(openStreamRequest(o)));
  for (uint32_t sequence = 1; sequence <= std::size(bad); ++sequence) {
    StreamReplyFields reply = streamReplyFields(client->receive());
    EXPECT_EQ(reply.status, 0) << sequence;
    EXPECT_EQ(reply.sequence, sequence);
    EXPECT_EQ(reply.port, 0);
  }
  EXPECT_TRUE(server.waitForLog("application rate outside 1000 to 192000 Hz: refusing", 4));
  EXPECT_TRUE(server.waitForLog("lead above 65536 frames: refusing"));
  EXPECT_TRUE(server.waitForLog("UDP port 0: refusing"));
  // The edges of the ranges are granted.
  ASSERT_TRUE(client->send(openStreamRequest({.rate = 192000, .id = 7, .lead = 65536})));
  EXPECT_EQ(streamReplyFields(client->receive()).status, 1);
  auto other = setUpClient(server);
  ASSERT_TRUE(other->send(queryControlRequest(3)));
  EXPECT_EQ(other->receive(), queryReply(1, 0xFFFFFFFF));
  EXPECT_EQ(server.stop(), 0);
}

// A connection must send its setup request within --setup-timeout; after
// it, one without streams that stays silent for --idle-timeout is closed,
// while one with a stream open stays however silent it is.
TEST_F(NetworkTest, SetupAndIdleDeadlines) {
  ServerProcess server({"--port", "0", "--setup-timeout", "1", "--idle-timeout", "2"});
  ASSERT_TRUE(server.ready());
  UdpPeer driver;
  auto streaming = setUpClient(server);
  ASSERT_TRUE(streaming->send(openStreamRequest({.port = driver.port()})));
  ASSERT_EQ(streamReplyFields(streaming->receive()).status, 1);
  auto idle = setUpClient(server);  // set up after the streaming one spoke last
  ControlClient silent(server);
  ASSERT_TRUE(silent.connected());
  EXPECT_TRUE(silent.closedByPeer());
  EXPECT_TRUE(server.waitForLog("no setup request (or no key proof) within 1 s (--setup-timeout): closing"));
  EXPECT_TRUE(idle->closedByPeer());
  EXPECT_TRUE(
      server.waitForLog("nothing received for 2 s and no stream open (--idle-timeout): closing"));
  ASSERT_TRUE(streaming->send(queryControlRequest(3)));
  EXPECT_EQ(streaming->receive(), queryReply(2, 0xFFFFFFFF)) << "the streaming one stays";
  EXPECT_EQ(server.logCount("--idle-timeout"), 1);
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(NetworkTest, AllowClosesOtherAddressesAtAccept) {
  ServerProcess server({"--port", "0", "--allow", "10.0.0.0/8", "--allow", "192.168.1.7"});
  ASSERT_TRUE(server.ready());
  ControlClient client(server);
  EXPECT_TRUE(client.closedByPeer());
  EXPECT_TRUE(server.waitForLog("connection 1 refused: 127.0.0.1 is not in the --allow networks"));
  EXPECT_EQ(server.stop(), 0);
  ServerProcess loopback({"--port", "0", "--allow", "127.0.0.0/8"});
  ASSERT_TRUE(loopback.ready());
  auto allowed = setUpClient(loopback);
  EXPECT_EQ(loopback.stop(), 0);
}

// Stream sockets stay within --udp-ports; with the range taken a stream is
// refused, and a port given back is used again.
TEST_F(NetworkTest, UdpPortRangeIsHonouredAndItsExhaustionRefused) {
  uint16_t port = freeUdpPort();
  std::string range = std::to_string(port) + "-" + std::to_string(port);
  ServerProcess server({"--port", "0", "--udp-ports", range});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  ASSERT_TRUE(client->send(openStreamRequest({.id = 1})));
  EXPECT_EQ(streamReplyFields(client->receive()).port, port);
  ASSERT_TRUE(client->send(openStreamRequest({.id = 2})));
  StreamReplyFields refused = streamReplyFields(client->receive());
  EXPECT_EQ(refused.status, 0);
  EXPECT_TRUE(server.waitForLog("open-stream 2: no free UDP port in " + range + ": refusing"));
  ASSERT_TRUE(client->send(closeStreamRequest(1)));
  ASSERT_TRUE(client->send(openStreamRequest({.id = 3})));
  StreamReplyFields again = streamReplyFields(client->receive());
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.port, port);
  EXPECT_EQ(server.stop(), 0);
}

// Ports of a wider range are taken in random order: eight streams' ports
// are not the range's first eight, one after the other.
TEST_F(NetworkTest, UdpPortsOfARangeAreTakenInRandomOrder) {
  uint16_t first = freeUdpPort();
  if (first > 65535 - 255) first = uint16_t(65535 - 255);
  std::string range = std::to_string(first) + "-" + std::to_string(first + 255);
  ServerProcess server({"--port", "0", "--udp-ports", range});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  std::vector<uint16_t> ports;
  for (uint32_t id = 1; id <= 8; ++id) {
    ASSERT_TRUE(client->send(openStreamRequest({.id = id})));
    StreamReplyFields reply = streamReplyFields(client->receive());
    ASSERT_EQ(reply.status, 1);
    EXPECT_GE(reply.port, first);
    EXPECT_LE(reply.port, first + 255);
    ports.push_back(reply.port);
  }
  bool inOrder = true;
  for (size_t i = 1; i < ports.size(); ++i) inOrder = inOrder && ports[i] == ports[i - 1] + 1;
  EXPECT_FALSE(inOrder) << "ports counted up from " << ports[0];
  EXPECT_EQ(server.stop(), 0);
}

// One client address holds at most --max-connections-per-client
// connections and --max-streams-per-client streams over all of them;
// what it gives back it may take again.
TEST_F(NetworkTest, PerClientLimits) {
  ServerProcess server(
      {"--port", "0", "--max-connections-per-client", "2", "--max-streams-per-client", "3"});
  ASSERT_TRUE(server.ready());
  auto first = setUpClient(server);
  auto second = setUpClient(server);
  {
    ControlClient third(server);
    EXPECT_TRUE(third.closedByPeer());
    EXPECT_TRUE(server.waitForLog(
        "refused: 127.0.0.1 has 2 connections already (--max-connections-per-client)"));
  }
  ASSERT_TRUE(first->send(openStreamRequest({.id = 1})));
  ASSERT_TRUE(first->send(openStreamRequest({.direction = 1, .id = 2, .device = 2})));
  ASSERT_TRUE(second->send(openStreamRequest({.id = 1})));
  ASSERT_TRUE(second->send(openStreamRequest({.id = 2})));
  EXPECT_EQ(streamReplyFields(first->receive()).status, 1);
  EXPECT_EQ(streamReplyFields(first->receive()).status, 1);
  EXPECT_EQ(streamReplyFields(second->receive()).status, 1);
  EXPECT_EQ(streamReplyFields(second->receive()).status, 0) << "the fourth of the address";
  EXPECT_TRUE(server.waitForLog("as many streams from this address as --max-streams-per-client"));
  std::string name = first->name();
  ASSERT_TRUE(first->send(closeStreamRequest(1)));
  ASSERT_TRUE(server.waitForLog(name + "): stream 1 closed"));
  ASSERT_TRUE(second->send(openStreamRequest({.id = 3})));
  EXPECT_EQ(streamReplyFields(second->receive()).status, 1) << "a closed stream counts no more";
  first.reset();  // its last stream ends with it
  ASSERT_TRUE(server.waitForLog(name + "): closed"));
  auto another = setUpClient(server);
  ASSERT_TRUE(another->send(openStreamRequest({.id = 1})));
  EXPECT_EQ(streamReplyFields(another->receive()).status, 1);
  EXPECT_EQ(server.stop(), 0);
}

}  // namespace
