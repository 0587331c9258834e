// lumivox-server's control side against raw connections: the setup
// exchange, stored control values, sequence numbers, and the stream
// requests with the UDP sockets behind them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/server/driver_messages.h"

namespace {

// Every test ends with the server stopped by a signal with status 0 (under
// the sanitizers that also means no leak) and this process holding exactly
// the descriptors it had before.
class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { descriptors_ = descriptorCount(getpid()); }
  void TearDown() override { EXPECT_EQ(descriptorCount(getpid()), descriptors_); }

 private:
  int descriptors_ = 0;
};

// True when a UDP socket cannot be bound at the address and port.
bool udpPortTaken(const std::string &address, uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &at.sin_addr);
  bool taken = bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0 && errno == EADDRINUSE;
  close(fd);
  return taken;
}

using SetupExchange = ServerTest;

TEST_F(SetupExchange, AcceptedListsBothDevicesAndTheirVolumesByteForByte) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  EXPECT_EQ(server.address(), "127.0.0.1");
  ControlClient client(server);
  ASSERT_TRUE(client.connected());
  // One byte per send: the server frames what arrives in pieces.
  for (uint8_t byte : setupRequest()) ASSERT_TRUE(client.send({byte}));
  EXPECT_EQ(client.receive(), setupAcceptedBoth());
  EXPECT_TRUE(client.nothingPending());
  client.close();
  EXPECT_TRUE(server.waitForLog("): closed (messages 1, streams ended 0)"));
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(SetupExchange, ListensOnNineThousandPlusTheDisplay) {
  // An address of this test's own, so the fixed port is free.
  ServerProcess server({"--listen", "127.31.0.1", "--display", "3"});
  ASSERT_TRUE(server.ready());
  EXPECT_EQ(server.address(), "127.31.0.1");
  EXPECT_EQ(server.port(), 9003);
  auto client = setUpClient(server);
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(SetupExchange, RefusedWithTheOptionThenClosed) {
  ServerProcess server({"--port", "0", "--refuse-setup"});
  ASSERT_TRUE(server.ready());
  ControlClient client(server);
  ASSERT_TRUE(client.send(setupRequest()));
  EXPECT_EQ(client.receive(), setupRefused());
  EXPECT_TRUE(client.closedByPeer());
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(SetupExchange, MalformedSetupRequestIsRefused) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  Bytes eightBytes{0, 0, 2, 0, 1, 0, 0, 0};
  Bytes otherVersion = setupRequest();
  otherVersion[4] = 2;
  for (const Bytes &request : {eightBytes, otherVersion}) {
    ControlClient client(server);
    ASSERT_TRUE(client.send(request));
    EXPECT_EQ(client.receive(), setupRefused());
    EXPECT_TRUE(client.closedByPeer());
  }
  EXPECT_TRUE(server.waitForLog("malformed setup request", 2));
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(SetupExchange, NoDeviceOfADirectionListsOnlyTheOther) {
  ServerProcess noOutput({"--port", "0", "--no-output-device"});
  ServerProcess noInput({"--port", "0", "--no-input-device"});
  ASSERT_TRUE(noOutput.ready() && noInput.ready());
  auto recordOnly = setUpClient(noOutput, {1, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0,  //
                                           1, 0, 2, 0, 0, 0, 0, 0,    // recording, device 2
                                           0, 0, 4, 0, 2, 0, 0, 0});  // control 4 of device 2
  auto playOnly = setUpClient(noInput, {1, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 1, 0,  //
                                        0, 0, 1, 0, 0, 0, 0, 0,    // playback, device 1
                                        0, 0, 3, 0, 1, 0, 0, 0});  // control 3 of device 1
  // The missing device cannot be opened, nor its control queried.
  ASSERT_TRUE(recordOnly->send(openStreamRequest({.direction = 0, .device = 1})));
  EXPECT_EQ(streamReplyFields(recordOnly->receive()).status, 0);
  ASSERT_TRUE(playOnly->send(openStreamRequest({.direction = 1, .device = 2})));
  EXPECT_EQ(streamReplyFields(playOnly->receive()).status, 0);
  ASSERT_TRUE(playOnly->send(queryControlRequest(4)));
  EXPECT_EQ(playOnly->receive(), queryReply(2, 0, 0));
  EXPECT_EQ(noOutput.stop(), 0);
  EXPECT_EQ(noInput.stop(), 0);
}

using Controls = ServerTest;

TEST_F(Controls, QueryAfterSetReturnsTheStoredValueOnAnyConnection) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  {
    auto mixer = setUpClient(server);
    ASSERT_TRUE(mixer->send(queryControlRequest(3)));
    EXPECT_EQ(mixer->receive(), queryReply(1, 0xFFFFFFFF)) << "full scale before any set";
    ASSERT_TRUE(mixer->send(setControlRequest(3, 0x12341234)));
    ASSERT_TRUE(mixer->send(setControlRequest(4, 0x00050005)));
    ASSERT_TRUE(mixer->send(queryControlRequest(3)));
    EXPECT_EQ(mixer->receive(), queryReply(4, 0x12341234));
  }
  // The driver's mixer opens a connection per request: values outlive them.
  auto later = setUpClient(server);
  ASSERT_TRUE(later->send(queryControlRequest(4)));
  EXPECT_EQ(later->receive(), queryReply(1, 0x00050005));
  ASSERT_TRUE(later->send(queryControlRequest(3)));
  EXPECT_EQ(later->receive(), queryReply(2, 0x12341234));
  // An unlisted control is answered, with status 0 and value 0.
  ASSERT_TRUE(later->send(setControlRequest(9, 7)));
  ASSERT_TRUE(later->send(queryControlRequest(9)));
  EXPECT_EQ(later->receive(), queryReply(4, 0, 0));
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(Controls, EveryRequestAfterTheSetupConsumesASequenceNumber) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  ASSERT_TRUE(client->send(openStreamRequest({.id = 5})));  // 1, replied
  ASSERT_TRUE(client->send(closeStreamRequest(5)));         // 2
  ASSERT_TRUE(client->send(setControlRequest(3, 1)));       // 3
  ASSERT_TRUE(client->send(pauseStreamRequest(5, 0)));      // 4
  ASSERT_TRUE(client->send({4, 0, 2, 0, 0, 0, 0, 0}));      // 5, type 4
  ASSERT_TRUE(client->send(queryControlRequest(3)));        // 6
  EXPECT_EQ(streamReplyFields(client->receive()).sequence, 1u);
  EXPECT_EQ(client->receive(), queryReply(6, 1));
  EXPECT_EQ(server.stop(), 0);
}

using Streams = ServerTest;

TEST_F(Streams, OpenReplyCarriesTheDefaultsAndARealPort) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  ASSERT_TRUE(client->send(openStreamRequest({.direction = 0, .id = 11, .device = 1})));
  Bytes bytes = client->receive();
  ASSERT_EQ(bytes.size(), 28u);
  StreamReplyFields play = streamReplyFields(bytes);
  EXPECT_EQ(play.type, 0);
  EXPECT_EQ(play.status, 1);
  EXPECT_EQ(play.length, 7);
  EXPECT_EQ(play.sequence, 1u);
  EXPECT_NE(play.port, 0);
  EXPECT_EQ(play.adaptive, 1);
  EXPECT_EQ(play.rate, 48000u);
  EXPECT_EQ(play.id, 11u);
  EXPECT_EQ(play.minLead, 882u) << "20 ms at 44.1 kHz";
  EXPECT_EQ(play.maxLead, 65536u);
  EXPECT_EQ(bytes[11], 0);
  EXPECT_TRUE(udpPortTaken("127.0.0.1", play.port)) << "the stream owns its socket";

  ASSERT_TRUE(
      client->send(openStreamRequest({.direction = 1, .id = 12, .lead = 2048, .device = 2})));
  StreamReplyFields record = streamReplyFields(client->receive());
  EXPECT_EQ(record.status, 1);
  EXPECT_EQ(record.sequence, 2u);
  EXPECT_EQ(record.rate, 48000u);
  EXPECT_NE(record.port, play.port);
  EXPECT_TRUE(udpPortTaken("127.0.0.1", record.port));
  // The server numbers the streams of every connection in one sequence,
  // the driver's own number beside.
  EXPECT_TRUE(server.waitForLog("stream 1 opened: playback on device 1"));
  EXPECT_TRUE(server.waitForLog("stream 2 opened: recording on device 2"));
  EXPECT_TRUE(
      server.waitForLog("named " + std::to_string(record.port) + "; the driver's stream 12"));
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(Streams, OptionsSetEveryReplyField) {
  ServerProcess server({"--listen", "127.45.0.1", "--port", "0", "--udp-port", "23000",
                        "--adaptive", "0", "--rate", "22050", "--min-lead", "512", "--max-lead",
                        "4096"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  for (uint32_t id : {1u, 2u}) {
    ASSERT_TRUE(client->send(openStreamRequest({.address = 0x7F2D0001, .id = id})));
    StreamReplyFields reply = streamReplyFields(client->receive());
    EXPECT_EQ(reply.status, 1);
    EXPECT_EQ(reply.port, 23000 + id - 1) << "ports counted up from --udp-port";
    EXPECT_EQ(reply.adaptive, 0);
    EXPECT_EQ(reply.rate, 22050u);
    EXPECT_EQ(reply.minLead, 512u);
    EXPECT_EQ(reply.maxLead, 4096u);
    EXPECT_TRUE(udpPortTaken("127.45.0.1", reply.port)) << "bound on the listen address";
  }
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(Streams, StatusOptionRefusesEveryStream) {
  ServerProcess server({"--port", "0", "--stream-status", "2"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  ASSERT_TRUE(client->send(openStreamRequest({.id = 3})));
  StreamReplyFields reply = streamReplyFields(client->receive());
  EXPECT_EQ(reply.status, 2);
  EXPECT_EQ(reply.sequence, 1u);
  EXPECT_EQ(reply.port, 0);
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(Streams, RequestsThatCannotBeGrantedAreRefusedInSequence) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  ASSERT_TRUE(
      client->send(openStreamRequest({.direction = 0, .id = 1, .device = 2})));  // wrong device
  ASSERT_TRUE(client->send(openStreamRequest({.direction = 7, .id = 2})));  // no such direction
  ASSERT_TRUE(client->send(openStreamRequest({.id = 3})));
  ASSERT_TRUE(client->send(openStreamRequest({.id = 3})));  // the same id again
  ASSERT_TRUE(client->send({0, 0, 2, 0, 0, 0, 0, 0}));      // 8 bytes only
  uint8_t expected[] = {0, 0, 1, 0, 0};
  for (uint32_t sequence = 1; sequence <= 5; ++sequence) {
    StreamReplyFields reply = streamReplyFields(client->receive());
    EXPECT_EQ(reply.sequence, sequence);
    EXPECT_EQ(reply.status, expected[sequence - 1]) << sequence;
  }
  EXPECT_TRUE(server.waitForLog("malformed open-stream request (8 bytes): refusing"));
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(Streams, CloseAndConnectionEndReleaseTheirPorts) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  int serverDescriptors = descriptorCount(server.pid());
  auto client = setUpClient(server);
  uint16_t ports[3];
  for (uint32_t id = 1; id <= 3; ++id) {
    ASSERT_TRUE(client->send(openStreamRequest({.id = id})));
    ports[id - 1] = streamReplyFields(client->receive()).port;
    EXPECT_TRUE(udpPortTaken("127.0.0.1", ports[id - 1]));
  }
  ASSERT_TRUE(client->send(closeStreamRequest(2)));
  ASSERT_TRUE(client->send(closeStreamRequest(2)));  // no longer open: ignored
  ASSERT_TRUE(client->send(queryControlRequest(3)));
  ASSERT_EQ(client->receive(), queryReply(6, 0xFFFFFFFF)) << "the closes were handled";
  EXPECT_FALSE(udpPortTaken("127.0.0.1", ports[1]));
  EXPECT_TRUE(udpPortTaken("127.0.0.1", ports[0]));
  EXPECT_TRUE(server.waitForLog("close-stream 2: no such stream: ignored"));

  std::string name = client->name();
  client.reset();
  EXPECT_TRUE(server.waitForLog(name + "): closed (messages 7, streams ended 2)"));
  EXPECT_FALSE(udpPortTaken("127.0.0.1", ports[0]));
  EXPECT_FALSE(udpPortTaken("127.0.0.1", ports[2]));
  EXPECT_EQ(descriptorCount(server.pid()), serverDescriptors);
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(Streams, PauseIsRecordedForOpenStreamsOnly) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  ASSERT_TRUE(client->send(openStreamRequest({.id = 7})));
  EXPECT_EQ(streamReplyFields(client->receive()).status, 1);
  ASSERT_TRUE(client->send(pauseStreamRequest(7, 4800)));
  ASSERT_TRUE(client->send(pauseStreamRequest(8, 1)));
  ASSERT_TRUE(client->send({5, 0, 3, 0, 7, 0, 0, 0, 0, 0, 0, 0}));  // 12 bytes: too short
  EXPECT_TRUE(server.waitForLog("stream 1 paused at position 4800"));
  EXPECT_TRUE(server.waitForLog("pause-stream 8: no such stream: ignored"));
  EXPECT_TRUE(server.waitForLog("malformed pause-stream request (12 bytes): ignored"));
  EXPECT_EQ(server.stop(), 0);
}

}  // namespace
