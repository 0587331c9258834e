// lumivox-server when things go wrong: the misbehaviour options that let
// tests play a bad server, bad input from a driver, many drivers at once,
// and the command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <set>

#include "tests/server/driver_messages.h"

namespace {

class ServerTest : public ::testing::Test {
 protected:
  void SetUp() override { descriptors_ = descriptorCount(getpid()); }
  void TearDown() override { EXPECT_EQ(descriptorCount(getpid()), descriptors_); }

 private:
  int descriptors_ = 0;
};

using Misbehaviour = ServerTest;

TEST_F(Misbehaviour, DelayedSetupHoldsBackEverythingAfterIt) {
  ServerProcess server({"--port", "0", "--verbose", "2", "--delay-setup", "60000"});
  ASSERT_TRUE(server.ready());
  ControlClient client(server);
  ASSERT_TRUE(client.send(setupRequest()));
  ASSERT_TRUE(client.send(queryControlRequest(3)));
  ASSERT_TRUE(server.waitForLog("delaying type 1 (48 bytes) by 60000 ms"));
  // The reply is not delayed itself, but waits behind the setup answer.
  ASSERT_TRUE(server.waitForLog("delaying type 1 (16 bytes) by 0 ms"));
  EXPECT_TRUE(client.nothingPending());
  EXPECT_EQ(server.stop(), 0) << "stops with answers still waiting";
}

TEST_F(Misbehaviour, DelayedAnswersArriveInOrder) {
  ServerProcess server({"--port", "0", "--delay-setup", "20", "--delay-replies", "30"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  ASSERT_TRUE(client->send(queryControlRequest(3)));
  ASSERT_TRUE(client->send(openStreamRequest({.id = 4})));
  ASSERT_TRUE(client->send(queryControlRequest(4)));
  EXPECT_EQ(client->receive(), queryReply(1, 0xFFFFFFFF));
  EXPECT_EQ(streamReplyFields(client->receive()).sequence, 2u);
  EXPECT_EQ(client->receive(), queryReply(3, 0xFFFFFFFF));
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(Misbehaviour, WithheldSetupLeavesTheConnectionServing) {
  ServerProcess server({"--port", "0", "--withhold-setup"});
  ASSERT_TRUE(server.ready());
  ControlClient client(server);
  ASSERT_TRUE(client.send(setupRequest()));
  ASSERT_TRUE(client.send(queryControlRequest(3)));
  EXPECT_EQ(client.receive(), queryReply(1, 0xFFFFFFFF)) << "the first thing it sends";
  EXPECT_TRUE(server.waitForLog("withholding the setup answer"));
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(Misbehaviour, WithheldRepliesNeverCome) {
  ServerProcess server({"--port", "0", "--withhold-replies", "--close-after", "3"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  ASSERT_TRUE(client->send(openStreamRequest({.id = 1})));
  ASSERT_TRUE(client->send(queryControlRequest(3)));
  EXPECT_TRUE(client->closedByPeer()) << "closed with nothing sent after the setup";
  EXPECT_TRUE(server.waitForLog("withholding the reply", 2));
  EXPECT_TRUE(server.waitForLog("closed (messages 3, streams ended 1)"));
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(Misbehaviour, CloseAfterNMessagesSendsTheirAnswersFirst) {
  {
    ServerProcess server({"--port", "0", "--close-after", "0"});
    ASSERT_TRUE(server.ready());
    ControlClient client(server);
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_EQ(server.stop(), 0);
  }
  {
    ServerProcess server({"--port", "0", "--close-after", "1"});
    ASSERT_TRUE(server.ready());
    auto client = setUpClient(server);
    EXPECT_TRUE(client->closedByPeer());
    EXPECT_EQ(server.stop(), 0);
  }
  ServerProcess server({"--port", "0", "--close-after", "2"});
  ASSERT_TRUE(server.ready());
  ControlClient client(server);
  // Sent together: the third message is not handled.
  Bytes all = setupRequest();
  for (uint16_t control : {3, 4}) {
    Bytes query = queryControlRequest(control);
    all.insert(all.end(), query.begin(), query.end());
  }
  ASSERT_TRUE(client.send(all));
  EXPECT_EQ(client.receive(), setupAcceptedBoth());
  EXPECT_EQ(client.receive(), queryReply(1, 0xFFFFFFFF));
  EXPECT_TRUE(client.closedByPeer());
  EXPECT_EQ(server.stop(), 0);
}

using BadInput = ServerTest;

TEST_F(BadInput, FramingErrorsCloseOnlyThatConnection) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  auto bystander = setUpClient(server);
  const Bytes bad[] = {
      {0, 0, 0, 0, 0, 0, 0, 0},        // length 0
      {3, 0, 1, 0, 3, 0, 0, 0},        // length 1: a 4-byte message
      {3, 0, 129, 0, 3, 0, 0, 0},      // 516 bytes, beyond any message
      {2, 0, 0xFF, 0xFF, 0, 0, 0, 0},  // the largest length field
  };
  uint32_t sequence = 0;
  for (bool afterSetup : {false, true}) {
    for (const Bytes &message : bad) {
      std::unique_ptr<ControlClient> client;
      if (afterSetup) {
        client = setUpClient(server);
      } else {
        client = std::make_unique<ControlClient>(server);
      }
      ASSERT_TRUE(client->send(message));
      EXPECT_TRUE(client->closedByPeer());
      ASSERT_TRUE(bystander->send(queryControlRequest(3)));
      EXPECT_EQ(bystander->receive(), queryReply(++sequence, 0xFFFFFFFF));
    }
  }
  EXPECT_TRUE(server.waitForLog("is shorter than 8 bytes", 4));
  EXPECT_TRUE(server.waitForLog("exceeds 512 bytes", 4));
  auto newcomer = setUpClient(server);
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(BadInput, UnknownTypesAreSkippedAndCounted) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  ControlClient client(server);
  ASSERT_TRUE(client.send({7, 0, 2, 0, 0, 0, 0, 0}));  // before the setup
  ASSERT_TRUE(client.send(setupRequest()));
  EXPECT_EQ(client.receive(), setupAcceptedBoth());
  ASSERT_TRUE(client.send({4, 0, 2, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(client.send({6, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(client.send({255, 9, 2, 0, 1, 2, 3, 4}));
  ASSERT_TRUE(client.send(queryControlRequest(3)));
  EXPECT_EQ(client.receive(), queryReply(4, 0xFFFFFFFF));
  ASSERT_TRUE(server.waitForLog("unknown message type", 4));
  EXPECT_EQ(server.logCount("unknown message type"), 4);
  EXPECT_EQ(server.logCount("unknown message type 7 (8 bytes) in the setup phase"), 1);
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(BadInput, ShortBodiesAreIgnoredAndLongerOnesRead) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  ControlClient client(server);
  Bytes longSetup = setupRequest();
  longSetup.resize(24, 0xEE);
  longSetup[2] = 6;
  ASSERT_TRUE(client.send(longSetup));
  EXPECT_EQ(client.receive(), setupAcceptedBoth());
  ASSERT_TRUE(client.send({2, 0, 2, 0, 3, 0, 0, 0}));  // set-control of 8 bytes: no value
  ASSERT_TRUE(client.send({3, 0, 3, 0, 3, 0, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE}));  // query, 12 bytes
  EXPECT_EQ(client.receive(), queryReply(2, 0xFFFFFFFF)) << "the value was not touched";
  EXPECT_TRUE(server.waitForLog("malformed set-control request (8 bytes): ignored"));
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(BadInput, HalfAMessageThenHangingUp) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  ASSERT_TRUE(client->send({2, 0, 4, 0, 3, 0, 0, 0, 1}));  // 9 of 16 bytes
  std::string name = client->name();
  client.reset();
  EXPECT_TRUE(server.waitForLog(name + "): closed (messages 1, streams ended 0)"));
  ASSERT_TRUE(server.waitForLog(name + "): closed by the driver"));
  auto next = setUpClient(server);
  ASSERT_TRUE(next->send(queryControlRequest(3)));
  EXPECT_EQ(next->receive(), queryReply(1, 0xFFFFFFFF)) << "the half set-control did nothing";
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(BadInput, ArbitraryBytesNeverStopTheServer) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  uint32_t state = 12345;  // a fixed sequence: the same bytes every run
  for (int round = 0; round < 16; ++round) {
    std::unique_ptr<ControlClient> client =
        round % 2 ? setUpClient(server) : std::make_unique<ControlClient>(server);
    Bytes noise(4096);
    for (uint8_t &byte : noise) {
      state = state * 1103515245 + 12345;
      byte = uint8_t(state >> 16);
    }
    // Some rounds make every length field small, so that most of the noise
    // is dispatched as messages rather than ending at the first header.
    if (round % 4 >= 2) {
      for (size_t at = 2; at < noise.size(); at += 4) noise[at] &= 0x07;
    }
    client->send(noise);  // the server may close while we write
  }
  auto after = setUpClient(server);
  ASSERT_TRUE(after->send(queryControlRequest(3)));
  EXPECT_EQ(get32(after->receive(), 4), 1u);
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(BadInput, ADriverThatNeverReadsIsHeldAtABound) {
  ServerProcess server({"--port", "0"});
  ASSERT_TRUE(server.ready());
  auto flood = setUpClient(server);
  fcntl(flood->fd(), F_SETFL, fcntl(flood->fd(), F_GETFL) | O_NONBLOCK);
  Bytes batch;
  for (int i = 0; i < 512; ++i) {
    Bytes query = queryControlRequest(3);
    batch.insert(batch.end(), query.begin(), query.end());
  }
  // The server stops reading once its answers pile up, so the socket fills
  // and refuses more; without that bound this would run to the limit.
  constexpr size_t FLOOD_LIMIT_BYTES = size_t(256) << 20;
  size_t sent = 0;
  bool blocked = false;
  while (!blocked && sent < FLOOD_LIMIT_BYTES) {
    ssize_t n = send(flood->fd(), batch.data(), batch.size(), MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Full for now: wait (bounded) in case the server is still reading.
      pollfd p{flood->fd(), POLLOUT, 0};
      blocked = poll(&p, 1, 500) == 0;
      continue;
    }
    ASSERT_GT(n, 0);
    sent += size_t(n);
  }
  EXPECT_TRUE(blocked) << sent << " bytes accepted";
  auto other = setUpClient(server);
  ASSERT_TRUE(other->send(queryControlRequest(4)));
  EXPECT_EQ(other->receive(), queryReply(1, 0xFFFFFFFF));
  std::string name = flood->name();
  flood.reset();
  EXPECT_TRUE(server.waitForLog(name + "): closed"));
  EXPECT_EQ(server.stop(), 0);
}

using Concurrency = ServerTest;

TEST_F(Concurrency, HundredsOfDriversAtOnce) {
  constexpr int DRIVERS = 300;
  // All from one address, so its per-client limits are lifted; every line
  // is logged at the debug level, so each close can be counted.
  ServerProcess server({"--port", "0", "--max-connections-per-client", "1000",
                        "--max-streams-per-client", "1000", "--max-streams", "1000", "--verbose",
                        "2"});
  ASSERT_TRUE(server.ready());
  int serverDescriptors = descriptorCount(server.pid());
  std::vector<std::unique_ptr<ControlClient>> drivers;
  for (int i = 0; i < DRIVERS; ++i) {
    drivers.push_back(std::make_unique<ControlClient>(server));
    ASSERT_TRUE(drivers.back()->connected()) << i;
  }
  for (auto &d : drivers) ASSERT_TRUE(d->send(setupRequest()));
  for (auto &d : drivers) ASSERT_EQ(d->receive(), setupAcceptedBoth());
  for (int i = 0; i < DRIVERS; ++i) {
    ASSERT_TRUE(drivers[i]->send(openStreamRequest({.id = uint32_t(i + 1)})));
    ASSERT_TRUE(drivers[i]->send(queryControlRequest(4)));
  }
  std::set<uint16_t> ports;
  for (auto &d : drivers) {
    StreamReplyFields reply = streamReplyFields(d->receive());
    ASSERT_EQ(reply.status, 1);
    ports.insert(reply.port);
    ASSERT_EQ(d->receive(), queryReply(2, 0xFFFFFFFF));
  }
  EXPECT_EQ(ports.size(), size_t(DRIVERS)) << "a port of its own for every stream";
  drivers.clear();
  EXPECT_TRUE(server.waitForLog("): closed (messages 3, streams ended 1)", DRIVERS));
  EXPECT_EQ(descriptorCount(server.pid()), serverDescriptors);
  EXPECT_EQ(server.stop(), 0);
}

TEST_F(Concurrency, ConnectionsBeyondTheLimitAreClosedAtOnce) {
  ServerProcess server({"--port", "0", "--max-clients", "2"});
  ASSERT_TRUE(server.ready());
  auto first = setUpClient(server);
  auto second = setUpClient(server);
  {
    ControlClient third(server);
    EXPECT_TRUE(third.closedByPeer());
    EXPECT_TRUE(server.waitForLog("connection 3 refused: 2 connections already"));
  }
  std::string name = first->name();
  first.reset();
  ASSERT_TRUE(server.waitForLog(name + "): closed"));
  auto fourth = setUpClient(server);
  EXPECT_EQ(server.stop(), 0);
}

using CommandLine = ServerTest;

// The whole of a command's standard output, and its exit status.
std::string run(const std::string &arguments, int &status) {
  std::string text;
  FILE *pipe = popen((std::string(LUMIVOX_SERVER) + " " + arguments + " 2>/dev/null").c_str(), "r");
  if (!pipe) return text;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
  int raw = pclose(pipe);
  status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return text;
}

TEST_F(CommandLine, HelpDocumentsEveryOption) {
  int status = -1;
  std::string help = run("--help", status);
  EXPECT_EQ(status, 0);
  for (const char *option : {"--display N",
                             "--listen ADDR",
                             "--port N",
                             "--verbose LEVEL",
                             "--max-clients N",
                             "--stream-status N",
                             "--udp-port N",
                             "--adaptive 0|1",
                             "--rate HZ",
                             "--min-lead FRAMES",
                             "--max-lead FRAMES",
                             "--refuse-setup",
                             "--no-output-device",
                             "--no-input-device",
                             "--delay-setup MS",
                             "--delay-replies MS",
                             "--withhold-setup",
                             "--withhold-replies",
                             "--close-after N",
                             "--stop-reading-after N",
                             "--silent-streams",
                             "-h, --help",
                             "--advertise-udp-port N",
                             "--send-via [ADDR:]PORT",
                             "--allow NET",
                             "--max-connections-per-client",
                             "--max-streams-per-client",
                             "--max-streams N",
                             "--max-memory MIB",
                             "--setup-timeout S",
                             "--idle-timeout S",
                             "--udp-ports FIRST-LAST"}) {
    EXPECT_NE(help.find(std::string("  ") + option), std::string::npos) << option;
  }
}

TEST_F(CommandLine, UsageErrorsExitWithTwo) {
  for (const char *arguments :
       {"--bogus", "--port", "--port 65536", "--listen 10.1.2", "--listen localhost",
        "--display 56536", "--verbose 3", "--max-clients 0", "--stream-status 256", "--adaptive 2",
        "--rate -1", "--close-after x", "--delay-setup 1.5", "--advertise-udp-port 65536",
        "--send-via 10.1.2:9", "--send-via 0"}) {
    int status = -1;
    run(arguments, status);
    EXPECT_EQ(status, 2) << arguments;
  }
}

TEST_F(CommandLine, APortInUseExitsWithOne) {
  ServerProcess first({"--port", "0"});
  ASSERT_TRUE(first.ready());
  // Under the journal the line begins with the priority that
  // journalctl -p err finds.
  setenv("JOURNAL_STREAM", "8:4242", 1);
  ServerProcess second({"--port", std::to_string(first.port())});
  unsetenv("JOURNAL_STREAM");
  EXPECT_FALSE(second.ready());
  EXPECT_EQ(second.wait(), 1);
  EXPECT_NE(second.log().find("<3>lumivox-server: cannot listen on 127.0.0.1:" +
                              std::to_string(first.port())),
            std::string::npos)
      << second.log();
  EXPECT_EQ(first.stop(), 0);
}

// Files that cannot work are refused at start with the system's reason,
// rather than taken for a stream that plays to nothing or records nothing;
// what can work is said in the log, each line stamped with the time.
TEST_F(CommandLine, ImpossibleFilesExitWithOneAndTheLogSaysWhereAudioGoes) {
  const std::pair<std::vector<std::string>, std::string> refused[] = {
      {{"--output", "/nonexistent/played.wav"},
       "--output /nonexistent/played.wav: cannot write into its directory: No such file or "
       "directory"},
      {{"--input", "/nonexistent/input.wav"}, "--input /nonexistent/input.wav: cannot read: "},
      {{"--stats", "/nonexistent/stats.jsonl"},
       "--stats /nonexistent/stats.jsonl: cannot write: No such file or directory"},
  };
  for (const auto &[arguments, message] : refused) {
    std::vector<std::string> all{"--port", "0", "--sound-server", "none"};
    all.insert(all.end(), arguments.begin(), arguments.end());
    ServerProcess server(all);
    EXPECT_FALSE(server.ready());
    EXPECT_EQ(server.wait(), 1) << arguments[0];
    EXPECT_NE(server.log().find(message), std::string::npos) << server.log();
  }
  ServerProcess server({"--port", "0", "--sound-server", "none", "--output", "/dev/null"});
  ASSERT_TRUE(server.ready());
  std::string log = server.log();
  EXPECT_NE(log.find("lumivox-server: playback goes to /dev/null"), std::string::npos) << log;
  EXPECT_NE(log.find("lumivox-server: recordings come from a tone of 440 Hz"), std::string::npos)
      << log;
  EXPECT_EQ(log.find("nowhere"), std::string::npos) << log;
  EXPECT_EQ(log.compare(0, 2, "20"), 0) << "a line without its time: " << log;
  EXPECT_EQ(server.stop(), 0);
}

// SIGHUP, as a log rotation sends it, opens the statistics file again
// under its name and stops nothing.
TEST_F(CommandLine, HangupReopensTheStatisticsAndStopsNothing) {
  std::string dir = testing::TempDir() + "/hangup-" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  std::string stats = dir + "/stats.jsonl";
  ServerProcess server({"--port", "0", "--sound-server", "none", "--stats", stats});
  ASSERT_TRUE(server.ready());
  std::filesystem::rename(stats, stats + ".1");
  kill(server.pid(), SIGHUP);
  ASSERT_TRUE(server.waitForLog("SIGHUP: the statistics file reopened"));
  EXPECT_TRUE(std::filesystem::exists(stats));
  EXPECT_EQ(server.stop(), 0) << "SIGHUP ended the server";
  std::filesystem::remove_all(dir);
}

TEST_F(CommandLine, VerboseSetsWhatIsLogged) {
  std::string logs[3];
  for (int level = 0; level <= 2; ++level) {
    ServerProcess server({"--port", "0", "--verbose", std::to_string(level)});
    ASSERT_TRUE(server.ready());
    auto client = setUpClient(server);
    ASSERT_TRUE(client->send({9, 0, 2, 0, 0, 0, 0, 0}));
    ASSERT_TRUE(client->send(queryControlRequest(3)));
    ASSERT_EQ(client->receive(), queryReply(2, 0xFFFFFFFF));
    client.reset();
    EXPECT_EQ(server.stop(), 0);
    logs[level] = server.log();
  }
  EXPECT_EQ(logs[0].find("connection"), std::string::npos) << logs[0];
  EXPECT_NE(logs[1].find("unknown message type 9"), std::string::npos);
  EXPECT_EQ(logs[1].find("received query-control request"), std::string::npos);
  EXPECT_NE(logs[2].find("received query-control request (type 3, 8 bytes, sequence 2)"),
            std::string::npos);
}

}  // namespace
