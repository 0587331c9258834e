// lumivox-relay: its impairments packet by packet on a clock of the test's
// own, and the program itself between two loopback sockets.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/server/udp_peer.h"
#include "tools/relay/impair.h"

namespace {

std::vector<uint8_t> numbered(uint32_t n, size_t size = 8) {
  std::vector<uint8_t> b(size, 0);
  for (int i = 0; i < 4; ++i) b[i] = uint8_t(n >> (8 * i));
  return b;
}

uint32_t number(const std::vector<uint8_t> &b) {
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// Sends `count` numbered datagrams 1 ms apart and collects what departs,
// stepping the clock by 1 ms; the order of departure.
std::vector<uint32_t> run(const ImpairOptions &o, uint32_t count, Impairment *keep = nullptr) {
  Impairment local(o, 0);
  Impairment &imp = keep ? *keep : local;
  std::vector<uint32_t> out;
  std::vector<uint8_t> bytes;
  uint64_t now = 0;
  for (uint32_t i = 0; i < count; ++i, now += 1000) {
    imp.arrive(numbered(i), now);
    while (imp.departNext(now, bytes)) out.push_back(number(bytes));
  }
  for (; imp.nextDueUs() != UINT64_MAX; now += 1000) {
    while (imp.departNext(now, bytes)) out.push_back(number(bytes));
  }
  return out;
}

TEST(RelayImpairment, TheSameSeedGivesTheSameFate) {
  ImpairOptions o;
  o.loss = 0.2;
  o.duplicate = 0.1;
  o.reorder = 0.1;
  o.jitterMs = 5;
  o.seed = 42;
  std::vector<uint32_t> first = run(o, 2000), second = run(o, 2000);
  EXPECT_EQ(first, second);
  o.seed = 43;
  EXPECT_NE(run(o, 2000), first);
}

TEST(RelayImpairment, LossDuplicationAndReorderingAsConfigured) {
  ImpairOptions o;
  o.loss = 0.3;
  o.duplicate = 0.1;
  o.reorder = 0.05;
  o.seed = 7;
  Impairment imp(o, 0);
  std::vector<uint32_t> out = run(o, 10000, &imp);
  const ImpairCounts &c = imp.counts();
  EXPECT_EQ(c.received, 10000u);
  EXPECT_NEAR(double(c.dropped), 3000, 200);
  EXPECT_NEAR(double(c.duplicated), 700, 100);  // a tenth of what is kept
  EXPECT_GT(c.reordered, 200u);
  EXPECT_EQ(c.sent, c.received - c.dropped + c.duplicated);
  EXPECT_EQ(out.size(), c.sent);
  // Each held-back datagram leaves exactly one inversion: it follows the
  // next one sent.
  uint64_t inversions = 0;
  for (size_t i = 1; i < out.size(); ++i) inversions += out[i] < out[i - 1];
  EXPECT_EQ(inversions, c.reordered);
}

TEST(RelayImpairment, DelayJitterAndBandwidthSetDueTimesInOrder) {
  ImpairOptions o;
  o.delayMs = 50;
  o.jitterMs = 20;
  o.seed = 3;
  Impairment imp(o, 0);
  for (uint32_t i = 0; i < 100; ++i) imp.arrive(numbered(i), i * 1000);
  std::vector<uint8_t> bytes;
  EXPECT_FALSE(imp.departNext(49999, bytes)) << "nothing before the delay";
  uint64_t last = 0;
  for (uint32_t i = 0; i < 100; ++i) {
    uint64_t due = imp.nextDueUs();
    EXPECT_GE(due, i * 1000 + 50000u);
    EXPECT_GE(due, last) << "jitter keeps the order";
    last = due;
    ASSERT_TRUE(imp.departNext(due, bytes));
    EXPECT_EQ(number(bytes), i);
  }
  // 1000 bytes per second: ten datagrams of 100 bytes arriving at once
  // leave 100 ms apart.
  ImpairOptions slow;
  slow.bandwidth = 1000;
  Impairment link(slow, 0);
  for (uint32_t i = 0; i < 10; ++i) link.arrive(numbered(i, 100), 0);
  for (uint32_t i = 0; i < 10; ++i) {
    EXPECT_EQ(link.nextDueUs(), i * 100000u);
    ASSERT_TRUE(link.departNext(link.nextDueUs(), bytes));
  }
}

TEST(RelayImpairment, ADelayChangedOnTheWayKeepsOrderAndTags) {
  ImpairOptions o;
  o.delayMs = 100;
  Impairment imp(o, 0);
  imp.arrive(numbered(1), 0, 0xA);
  imp.setDelayMs(10);
  EXPECT_EQ(imp.delayMs(), 10u);
  imp.arrive(numbered(2), 1000, 0xB);
  std::vector<uint8_t> bytes;
  uint64_t tag = 0;
  EXPECT_FALSE(imp.departNext(50000, bytes)) << "the later one waits behind the earlier";
  ASSERT_TRUE(imp.departNext(100000, bytes, &tag));
  EXPECT_EQ(number(bytes), 1u);
  EXPECT_EQ(tag, 0xAu);
  ASSERT_TRUE(imp.departNext(100000, bytes, &tag));
  EXPECT_EQ(number(bytes), 2u);
  EXPECT_EQ(tag, 0xBu);
  imp.arrive(numbered(3), 200000, 0xC);
  EXPECT_EQ(imp.nextDueUs(), 210000u) << "and the new delay holds from then on";
}

TEST(RelayImpairment, ArrivalsBeyondTheQueueBoundAreDropped) {
  ImpairOptions o;
  o.delayMs = 1000;
  Impairment imp(o, 0);
  for (uint32_t i = 0; i < IMPAIR_QUEUE_MAX + 10; ++i) imp.arrive(numbered(i), 0);
  EXPECT_GT(imp.counts().overflow, 0u);
}

// lumivox-relay as a child process, its standard error read through a pipe.
class RelayProcess {
 public:
  explicit RelayProcess(std::vector<std::string> args) {
    int pipeFds[2];
    EXPECT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    pid_ = fork();
    if (pid_ == 0) {
      dup2(pipeFds[1], 2);
      std::vector<char *> argv{const_cast<char *>(LUMIVOX_RELAY)};
      for (std::string &a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(LUMIVOX_RELAY, argv.data());
      _exit(127);
    }
    close(pipeFds[1]);
    errors_ = pipeFds[0];
    std::string ready = line();
    size_t colon = ready.rfind(':', ready.find(" to "));
    if (ready.find("relaying") != std::string::npos && colon != std::string::npos) {
      port_ = uint16_t(std::stoi(ready.substr(colon + 1)));
    }
  }
  ~RelayProcess() {
    if (pid_ > 0) stop();
    if (errors_ >= 0) close(errors_);
  }
  uint16_t port() const { return port_; }
  void signal(int number) { kill(pid_, number); }
  // One line of its standard error, or empty after SERVER_WAIT_MS.
  std::string line() {
    std::string text;
    char c;
    pollfd p{errors_, POLLIN, 0};
    while (poll(&p, 1, SERVER_WAIT_MS) == 1 && read(errors_, &c, 1) == 1 && c != '\n') text += c;
    return text;
  }
  // SIGTERM; the count lines it prints, and its exit status in *status.
  std::string stop(int *status = nullptr) { return end(true, status); }
  // Waits for it to end by itself.
  std::string wait(int *status) { return end(false, status); }

 private:
  std::string end(bool signal, int *status) {
    if (signal) kill(pid_, SIGTERM);
    std::string rest;
    for (std::string l = line(); !l.empty(); l = line()) rest += l + "\n";
    int s = 0;
    waitpid(pid_, &s, 0);
    pid_ = -1;
    if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return rest;
  }

  pid_t pid_ = -1;
  int errors_ = -1;
  uint16_t port_ = 0;
};

int openDescriptors() {
  int count = 0;
  for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    (void)entry;
    ++count;
  }
  return count;
}

// Every case ends with the relay gone (its status read) and this process
// holding the descriptors it had before.
class RelayProgram : public ::testing::Test {
 protected:
  void SetUp() override { descriptors_ = openDescriptors(); }
  void TearDown() override { EXPECT_EQ(openDescriptors(), descriptors_); }

 private:
  int descriptors_ = 0;
};

TEST_F(RelayProgram, RelaysBothWaysAndDelaysBehindADirectDatagram) {
  UdpPeer target, client;
  RelayProcess relay({"--to", std::to_string(target.port()), "--delay", "300"});
  ASSERT_NE(relay.port(), 0);
  client.sendTo(relay.port(), {1});
  // Sent later, straight to the target: it arrives first.
  client.sendTo(target.port(), {2});
  uint16_t relayBack = 0;
  EXPECT_EQ(target.receive(), Bytes{2});
  EXPECT_EQ(target.receive(SERVER_WAIT_MS, &relayBack), Bytes{1});
  target.sendTo(relayBack, {3});
  uint16_t from = 0;
  EXPECT_EQ(client.receive(SERVER_WAIT_MS, &from), Bytes{3});
  EXPECT_EQ(from, relay.port()) << "answers come back from the relay's port";
  int status = -1;
  std::string counts = relay.stop(&status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(counts.find("forward: received 1 dropped 0"), std::string::npos) << counts;
  EXPECT_NE(counts.find("backward: received 1 dropped 0"), std::string::npos) << counts;
}

TEST_F(RelayProgram, SeededLossIsRepeatableAndReported) {
  std::vector<std::vector<uint32_t>> runs;
  for (int attempt = 0; attempt < 2; ++attempt) {
    UdpPeer target, client;
    RelayProcess relay({"--to", std::to_string(target.port()), "--loss", "0.25", "--seed", "9"});
    ASSERT_NE(relay.port(), 0);
    // Loopback keeps order and loses nothing, so the relay sees the same
    // arrivals in both runs; a final marker ends the collection.
    for (uint32_t i = 0; i < 200; ++i) client.sendTo(relay.port(), numbered(i));
    client.sendTo(relay.port(), numbered(0xFFFF));
    std::vector<uint32_t> got;
    Bytes b;
    while (!(b = target.receive()).empty() && number(b) != 0xFFFF) got.push_back(number(b));
    int status = -1;
    std::string counts = relay.stop(&status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(counts.find("forward: received 201 dropped " + std::to_string(200 - got.size())),
              std::string::npos)
        << counts << " (the marker was kept: seed 9 keeps it)";
    EXPECT_NEAR(double(got.size()), 150, 25);
    runs.push_back(got);
  }
  EXPECT_EQ(runs[0], runs[1]);
}

// Routed: the route header names the target; the answer goes back to the
// one who routed there, without a header; targets beyond loopback and
// datagrams too short for a header are dropped.
TEST_F(RelayProgram, RoutedDatagramsGoWhereTheirHeaderSays) {
  UdpPeer server, driver;
  RelayProcess relay({"--routed"});
  ASSERT_NE(relay.port(), 0);
  Bytes routed = {127, 0, 0, 1, uint8_t(driver.port() >> 8), uint8_t(driver.port()), 7, 8, 9};
  server.sendTo(relay.port(), routed);
  uint16_t relayBack = 0;
  EXPECT_EQ(driver.receive(SERVER_WAIT_MS, &relayBack), (Bytes{7, 8, 9}));
  driver.sendTo(relayBack, {4});
  uint16_t from = 0;
  EXPECT_EQ(server.receive(SERVER_WAIT_MS, &from), Bytes{4});
  EXPECT_EQ(from, relay.port());
  server.sendTo(relay.port(), {10, 0, 0, 1, 0x23, 0x28, 1});
  server.sendTo(relay.port(), {127, 0, 0});
  UdpPeer stranger;
  stranger.sendTo(relayBack, {5});  // nobody routed to it: no one to answer
  server.sendTo(relay.port(), routed);
  EXPECT_EQ(driver.receive(), (Bytes{7, 8, 9})) << "only the routable one";
  EXPECT_TRUE(server.receive(100).empty());
  int status = -1;
  std::string counts = relay.stop(&status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(counts.find("forward: received 2 dropped 0"), std::string::npos) << counts;
  EXPECT_NE(counts.find("unroutable 3"), std::string::npos) << counts;
}

// The delay follows the schedule from the start and each signal's step;
// a delayed datagram arrives behind one sent later straight to the target.
TEST_F(RelayProgram, TheDelayFollowsItsScheduleAndSignals) {
  UdpPeer target, client;
  RelayProcess relay({"--to", std::to_string(target.port()), "--delay-schedule", "500@0,0@0",
                      "--delay-step", "300"});
  ASSERT_NE(relay.port(), 0);
  EXPECT_EQ(relay.line(), "lumivox-relay: delay 500 ms");
  EXPECT_EQ(relay.line(), "lumivox-relay: delay 0 ms");
  relay.signal(SIGUSR1);
  EXPECT_EQ(relay.line(), "lumivox-relay: delay 300 ms");
  client.sendTo(relay.port(), {1});
  client.sendTo(target.port(), {2});
  EXPECT_EQ(target.receive(), Bytes{2});
  EXPECT_EQ(target.receive(), Bytes{1});
  relay.signal(SIGUSR2);
  EXPECT_EQ(relay.line(), "lumivox-relay: delay 0 ms");
  relay.signal(SIGUSR2);  // not below 0: no change to print
  client.sendTo(relay.port(), {3});
  EXPECT_EQ(target.receive(), Bytes{3});
  int status = -1;
  std::string rest = relay.stop(&status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(rest.find("delay"), std::string::npos) << rest;
}

TEST(RelayImpairment, ABlackholeDropsWhatArrivesOrFallsDueWithinIt) {
  ImpairOptions o;
  o.delayMs = 5;
  Impairment imp(o, 0);
  imp.setBlackhole(10000, 20000);
  std::vector<uint32_t> out;
  std::vector<uint8_t> bytes;
  // One datagram a millisecond for 30 ms, 5 ms on the way: those that
  // arrive from 10 ms on, and those on the way then (arrived from 5 ms on),
  // are lost until 20 ms.
  for (uint64_t now = 0; now < 40000; now += 1000) {
    if (now < 30000) imp.arrive(numbered(uint32_t(now / 1000)), now);
    while (imp.departNext(now, bytes)) out.push_back(number(bytes));
  }
  std::vector<uint32_t> expected{0, 1, 2, 3, 4};
  for (uint32_t i = 20; i < 30; ++i) expected.push_back(i);
  EXPECT_EQ(out, expected);
  EXPECT_EQ(imp.counts().dropped, 15u);
  EXPECT_EQ(imp.counts().sent, 15u);
}

TEST_F(RelayProgram, BadScheduleOrModesAreUsageErrors) {
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--to", "9", "--delay-schedule", "5@10,5@9"},
        {"--to", "9", "--delay-schedule", "5"},
        {"--to", "9", "--delay-schedule", ""},
        {"--to", "9", "--blackhole", "1000"},
        {"--to", "9", "--blackhole", "1000+0"},
        {"--to", "9", "--blackhole", "+3000"},
        {"--routed", "--to", "9"},
        {"--delay", "5"}}) {
    RelayProcess relay(args);
    EXPECT_EQ(relay.port(), 0);
    int status = -1;
    relay.wait(&status);
    EXPECT_EQ(status, 2) << args[args.size() - 1];
  }
}

TEST_F(RelayProgram, RefusesAddressesBeyondLoopback) {
  RelayProcess relay({"--to", "10.0.0.1:9000"});
  EXPECT_EQ(relay.port(), 0);
  int status = -1;
  relay.wait(&status);
  EXPECT_EQ(status, 2);
}

}  // namespace
