// lumivox-server against an attacker on the driver's own host or network,
// each case with the real server in its own process: a flood from another
// port of the driver's host, datagrams that claim more than they carry, a
// recording's credit forged, a storm of opens from many addresses, floods of
// messages and connections, a connection that trickles, and another user
// of the host without the server's key.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "tests/server/driver_messages.h"
#include "tests/server/udp_peer.h"
#include "tools/common/keyfile.h"
#include "wire/auth.h"
#include "wire/messages.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t KIND_LINEAR = 2;
constexpr uint8_t RATE_44100 = 5;        // rate index
constexpr uint16_t PACKET_FRAMES = 441;  // 10 ms at 44100 Hz

// A mono 16-bit packet of `frames` frames that carries them all.
Bytes audioPacket(uint32_t start, uint16_t frames) {
  return packet(start, frames, frames, KIND_LINEAR, 0, RATE_44100, Bytes(size_t(frames) * 2, 0x10));
}

uint16_t openFor(ControlClient &client, const UdpPeer &peer, uint8_t direction, uint32_t rate) {
  OpenStream o;
  o.direction = direction;
  o.device = direction == 0 ? 1 : 2;
  o.port = peer.port();
  o.rate = rate;
  EXPECT_TRUE(client.send(openStreamRequest(o)));
  StreamReplyFields reply = streamReplyFields(client.receive());
  EXPECT_EQ(reply.status, 1);
  return reply.port;
}

uint32_t field32(const Bytes &b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

// Datagrams (and their bytes) that come until none has for waitMs.
int countReplies(UdpPeer &peer, int waitMs, size_t *bytes = nullptr) {
  int n = 0;
  for (Bytes b = peer.receive(waitMs); !b.empty(); b = peer.receive(waitMs)) {
    ++n;
    if (bytes) *bytes += b.size();
  }
  return n;
}

// The resident size of a process, KiB.
long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// Sends junk, headers and acknowledgement-shaped datagrams from its own port
// of 127.0.0.1 to one port as fast as it can, and counts what comes back.
class Flood {
 public:
  explicit Flood(uint16_t target) : thread_([this, target] { run(target); }) {}
  ~Flood() { stop(); }
  void stop() {
    running_ = false;
    if (thread_.joinable()) thread_.join();
  }
  uint64_t sent() const { return sent_; }
  uint64_t received() const { return received_; }

 private:
  void run(uint16_t target) {
    UdpPeer self;
    std::mt19937 random(7);
    std::vector<Bytes> kinds;
    for (int i = 0; i < 64; ++i) {
      Bytes junk(1 + random() % 1412);
      for (auto &b : junk) b = uint8_t(random());
      kinds.push_back(junk);
      kinds.push_back(packet(uint32_t(random()), 0, 65535, KIND_LINEAR, 0, RATE_44100, {}));
      kinds.push_back(audioPacket(uint32_t(random() % 200000), PACKET_FRAMES));
      kinds.push_back(streamAck(0x7FFFFFFF, 0x7FFFFFFF, uint32_t(random()), 441, 0));
    }
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(target);
    constexpr unsigned BATCH = 256;
    std::vector<mmsghdr> messages(BATCH);
    std::vector<iovec> vectors(BATCH);
    for (unsigned i = 0; i < BATCH; ++i) {
      Bytes &b = kinds[i % kinds.size()];
      vectors[i] = {b.data(), b.size()};
      messages[i].msg_hdr = {};
      messages[i].msg_hdr.msg_name = &to;
      messages[i].msg_hdr.msg_namelen = sizeof to;
      messages[i].msg_hdr.msg_iov = &vectors[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    while (running_) {
      int n = sendmmsg(fd, messages.data(), BATCH, 0);
      if (n > 0) sent_ += uint64_t(n);
      uint8_t answer[2048];
      while (recv(fd, answer, sizeof answer, MSG_DONTWAIT) >= 0) ++received_;
      if (!self.receive(0).empty()) ++received_;
    }
    close(fd);
  }

  std::atomic<bool> running_{true};
  std::atomic<uint64_t> sent_{0}, received_{0};
  std::thread thread_;
};

class Attack : public ::testing::Test {};

// A legitimate stream plays 3 s in real time while another port of its
// driver's host floods the stream's port: the stream's socket is bound to
// its driver, so the flood costs it nothing and gets nothing back.
TEST_F(Attack, AFloodFromAnotherPortOfTheDriversHostCostsTheStreamNothing) {
  ServerProcess server({"--port", "0", "--output", "none"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  UdpPeer driver;
  uint16_t port = openFor(*client, driver, 0, 44100);
  constexpr uint32_t PACKETS = 300;
  uint32_t start = 5000;
  driver.sendTo(port, audioPacket(start, PACKET_FRAMES));  // binds the stream
  ASSERT_FALSE(driver.receive().empty());
  start += PACKET_FRAMES;
  Flood flood(port);
  std::set<uint32_t> sent, answered;
  uint32_t reportedEnd = 0;
  auto began = Clock::now();
  for (uint32_t i = 0; i < PACKETS; ++i) {
    sent.insert(start);
    driver.sendTo(port, audioPacket(start, PACKET_FRAMES));
    start += PACKET_FRAMES;
    auto due = began + std::chrono::milliseconds(10 * (i + 1));
    for (;;) {
      int left =
          int(std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now()).count());
      Bytes ack = driver.receive(std::max(left, 0));
      if (ack.empty()) break;
      if (ack.size() != 16) continue;
      reportedEnd = std::max(reportedEnd, field32(ack, 4));
      if (ack[14] == 0 && sent.count(field32(ack, 8))) answered.insert(field32(ack, 8));
    }
  }
  double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  for (Bytes ack = driver.receive(200); !ack.empty(); ack = driver.receive(200)) {
    if (ack.size() == 16 && ack[14] == 0 && sent.count(field32(ack, 8))) {
      answered.insert(field32(ack, 8));
    }
  }
  flood.stop();
  double rate = double(flood.sent()) / seconds;
  std::printf("flood: %.0f datagrams/s; answered %zu of %u; the flood got %llu back\n", rate,
              answered.size(), PACKETS, (unsigned long long)flood.received());
  EXPECT_GE(answered.size(), size_t(PACKETS * 99 / 100)) << "under 1 % lost";
  EXPECT_EQ(flood.received(), 0u);
  EXPECT_LE(reportedEnd, start) << "no forged position followed";
  EXPECT_GT(rate, 20000) << "the flood was a flood";
  client->close();
  EXPECT_EQ(server.stop(), 0);
}

// No datagram earns more than two back, nor more than four times its
// bytes: a header claiming 65535 frames and carrying none, one claiming
// nothing, one starting ten minutes ahead, and real audio.
TEST_F(Attack, NoDatagramEarnsMoreThanTwoBack) {
  ServerProcess server({"--port", "0", "--output", "none"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  UdpPeer driver;
  uint16_t port = openFor(*client, driver, 0, 44100);
  struct Case {
    const char *what;
    Bytes datagram;
  } cases[] = {
      {"65535 frames claimed, none carried",
       packet(1000, 0, 65535, KIND_LINEAR, 0, RATE_44100, {})},
      {"no frames", packet(1000, 0, 0, KIND_LINEAR, 0, RATE_44100, {})},
      {"15 ms of audio claiming 65535 frames",
       packet(1000, 661, 65535, KIND_LINEAR, 0, RATE_44100, Bytes(1322, 0x10))},
      {"10 minutes ahead", audioPacket(1000 + 44100 * 600, PACKET_FRAMES)},
      {"10 ms of audio", audioPacket(1661, PACKET_FRAMES)},
  };
  int datagrams = 0, replies = 0;
  for (const Case &c : cases) {
    driver.sendTo(port, c.datagram);
    size_t bytes = 0;
    int n = countReplies(driver, 600, &bytes);
    EXPECT_LE(n, 2) << c.what;
    EXPECT_LE(bytes, 4 * c.datagram.size()) << c.what;
    ++datagrams;
    replies += n;
  }
  EXPECT_LE(replies, 2 * datagrams);
  // The positions took only what the audio carried: 15 ms and 10 ms.
  driver.sendTo(port, packet(2102, 0, 0, KIND_LINEAR, 0, RATE_44100, {}));
  Bytes ack = driver.receive();
  ASSERT_EQ(ack.size(), 16u);
  EXPECT_EQ(field32(ack, 0), 1000u + 661 + PACKET_FRAMES) << "consumed";
  EXPECT_EQ(field32(ack, 4), 1000u + 661 + PACKET_FRAMES) << "receivedEnd";
  // A probe places nothing and is answered wherever it says it starts, here
  // half the position range from the stream's.
  UdpPeer far;
  OpenStream o;
  o.id = 2;
  o.port = far.port();
  o.rate = 44100;
  ASSERT_TRUE(client->send(openStreamRequest(o)));
  uint16_t farPort = streamReplyFields(client->receive()).port;
  far.sendTo(farPort, audioPacket(0x90000000, PACKET_FRAMES));
  EXPECT_EQ(countReplies(far, 300), 2);
  far.sendTo(farPort, probe());
  EXPECT_EQ(countReplies(far, 300), 1);
  client->close();
  EXPECT_EQ(server.stop(), 0);
}

// A recording goes on to its driver when another port of the driver's host
// answers its first packet before the driver does and grants itself all
// the credit there is (a recording that learnt its driver's port from the
// first plausible acknowledgement went to the forger), and the driver's own
// wild credit buys no more than the lead beyond what was sent.
TEST_F(Attack, ARecordingStaysWithItsDriverAndItsLead) {
  ServerProcess server({"--port", "0", "--tone", "440", "--fast"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  UdpPeer driver, forger;
  uint16_t port = openFor(*client, driver, 1, 48000);
  Bytes first = driver.receive();
  ASSERT_GE(first.size(), 12u);
  uint32_t lastStart = field32(first, 0), lastDuration = uint32_t(first[6] | first[7] << 8);
  forger.sendTo(port, streamAck(lastStart + lastDuration, lastStart + lastDuration, lastStart,
                                uint16_t(lastDuration), 0));
  forger.sendTo(port, streamAck(0x7FFFFFFF, 0x7FFFFFFF, lastStart, uint16_t(lastDuration), 0));
  driver.sendTo(port, streamAck(lastStart + lastDuration, lastStart + lastDuration, lastStart,
                                uint16_t(lastDuration), 0));
  EXPECT_EQ(countReplies(forger, 500), 0) << "nothing goes to the forger";
  // The driver credits far beyond what it was sent, and then nothing.
  uint32_t credited = 0;
  for (Bytes b = driver.receive(200); !b.empty(); b = driver.receive(200)) {
    lastStart = field32(b, 0);
    lastDuration = uint32_t(b[6] | b[7] << 8);
    credited = lastStart + lastDuration;
  }
  driver.sendTo(port, streamAck(0x7FFFFFFF, 0x7FFFFFFF, lastStart, uint16_t(lastDuration), 1));
  uint32_t end = credited;
  for (Bytes b = driver.receive(300); !b.empty(); b = driver.receive(300)) {
    end = field32(b, 0) + uint32_t(b[6] | b[7] << 8);
  }
  EXPECT_LE(end - credited, 48000u / 10) << "a lead and a packet beyond the credit at most";
  client->close();
  EXPECT_EQ(server.stop(), 0);
}

// Playback streams at 192 kHz opened from 20 addresses, 64 each: the server
// refuses what --max-memory cannot hold and stays within it, and says so
// once per client and minute.
TEST_F(Attack, AStormOfOpensStaysWithinMaxMemory) {
  constexpr int ADDRESSES = 20, STREAMS = 64;
  ServerProcess server(
      {"--port", "0", "--output", "none", "--max-memory", "48", "--max-streams", "5000"});
  ASSERT_TRUE(server.ready());
  std::vector<std::unique_ptr<ControlClient>> clients;
  UdpPeer driver;
  int granted = 0, refused = 0;
  for (int a = 0; a < ADDRESSES; ++a) {
    std::string from = "127.0.0." + std::to_string(a + 2);
    for (int c = 0; c < 2; ++c) {
      auto client = std::make_unique<ControlClient>(server, from);
      if (!client->connected()) GTEST_SKIP() << "cannot connect from " << from;
      ASSERT_TRUE(client->send(setupRequest()));
      ASSERT_EQ(client->receive(), setupAcceptedBoth());
      for (int s = 0; s < STREAMS / 2; ++s) {
        OpenStream o;
        o.id = uint32_t(s + 1);
        o.port = driver.port();
        o.rate = 192000;
        ASSERT_TRUE(client->send(openStreamRequest(o)));
        (streamReplyFields(client->receive()).status == 1 ? granted : refused) += 1;
      }
      clients.push_back(std::move(client));
    }
  }
  long resident = residentKiB(server.pid());
  std::printf("granted %d, refused %d; resident %ld KiB\n", granted, refused, resident);
  EXPECT_GT(granted, 0);
  EXPECT_GT(refused, 0);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // A sanitizer's shadow memory grows with the program's; the bound is on
  // the program's own.
  (void)resident;
#else
  EXPECT_LE(resident, 48 * 1024);
#endif
  EXPECT_LE(server.logCount("exceed --max-memory"), ADDRESSES);
  clients.clear();
  EXPECT_EQ(server.stop(), 0);
  // --max-streams bounds the count the same way.
  ServerProcess few({"--port", "0", "--output", "none", "--max-streams", "2"});
  ASSERT_TRUE(few.ready());
  auto client = setUpClient(few);
  for (uint32_t id = 1; id <= 3; ++id) {
    ASSERT_TRUE(client->send(openStreamRequest({.id = id})));
    EXPECT_EQ(streamReplyFields(client->receive()).status, id <= 2 ? 1 : 0) << id;
  }
  EXPECT_TRUE(few.waitForLog("2 streams open already (--max-streams): refusing"));
  client.reset();
  EXPECT_EQ(few.stop(), 0);
}

// Connections that ask for volumes and never read the answers: each stops
// being read once its answers back up, and together their answers stay
// within --max-memory (one buffer each, counted with the streams); those
// that would pass it are closed.
TEST_F(Attack, UnreadAnswersStayWithinMaxMemory) {
  long base = 0;
  {
    ServerProcess measure({"--port", "0", "--output", "none"});
    ASSERT_TRUE(measure.ready());
    base = residentKiB(measure.pid());
    EXPECT_EQ(measure.stop(), 0);
  }
  const long limitMiB = std::max(base / 1024 + 8, 16L);  // the option's least
  ServerProcess server(
      {"--port", "0", "--output", "none", "--max-memory", std::to_string(limitMiB)});
  ASSERT_TRUE(server.ready());
  constexpr int CONNECTIONS = 256, PER_ADDRESS = 32;
  constexpr size_t QUERY_BYTES = 64 * 1024;  // each: 8192 questions, 128 KiB of answers
  Bytes queries;
  for (size_t i = 0; i < QUERY_BYTES / 8; ++i) {
    Bytes q = queryControlRequest(3);  // the output volume
    queries.insert(queries.end(), q.begin(), q.end());
  }
  std::vector<int> sockets;
  for (int c = 0; c < CONNECTIONS; ++c) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int small = 4096;  // a reader that takes next to nothing
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in from{}, to{};
    from.sin_family = to.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(0x7F000002 + uint32_t(c / PER_ADDRESS));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(server.port());
    if (bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof from) != 0 ||
        connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
      close(fd);
      for (int s : sockets) close(s);
      GTEST_SKIP() << "cannot connect from 127.0.0." << 2 + c / PER_ADDRESS;
    }
    Bytes setup = setupRequest();
    ASSERT_EQ(send(fd, setup.data(), setup.size(), 0), ssize_t(setup.size()));
    // As much as the server takes now; the rest would only wait in our
    // own buffers.
    for (size_t at = 0; at < queries.size();) {
      ssize_t n = send(fd, queries.data() + at, queries.size() - at, MSG_DONTWAIT);
      if (n <= 0) break;
      at += size_t(n);
    }
    sockets.push_back(fd);
  }
  EXPECT_TRUE(server.waitForLog("would exceed --max-memory"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the last reads
  long resident = residentKiB(server.pid());
  std::printf("base %ld KiB, limit %ld MiB: resident %ld KiB with %d unread connections\n", base,
              limitMiB, resident, CONNECTIONS);
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  (void)resident;  // the sanitizers' shadow memory grows with the program's
#else
  // The allocator's own slack: 1 MiB.
  EXPECT_LE(resident, limitMiB * 1024 + 1024);
#endif
  for (int fd : sockets) close(fd);
  EXPECT_EQ(server.stop(), 0);
}

// 100000 close-stream messages for no stream and 300 refused connections
// grow the log by a few lines each; what was held back is counted when the
// server stops.
TEST_F(Attack, FloodsOfMessagesAndConnectionsGrowTheLogByLittle) {
  ServerProcess server({"--port", "0", "--max-connections-per-client", "1"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  size_t before = server.log().size();
  constexpr int MESSAGES = 100000;
  Bytes burst;
  for (int i = 0; i < 1000; ++i) {
    Bytes one = closeStreamRequest(uint32_t(1000 + i));
    burst.insert(burst.end(), one.begin(), one.end());
  }
  for (int i = 0; i < MESSAGES / 1000; ++i) ASSERT_TRUE(client->send(burst));
  for (int i = 0; i < 300; ++i) {
    ControlClient refusedOne(server);
    ASSERT_TRUE(refusedOne.closedByPeer());
  }
  ASSERT_TRUE(client->send(queryControlRequest(4)));
  ASSERT_EQ(client->receive(), queryReply(MESSAGES + 1, 0xFFFFFFFF));
  size_t grown = server.log().size() - before;
  std::printf("log grew %zu bytes for %d messages and 300 refused connections\n", grown, MESSAGES);
  EXPECT_LT(grown, 16u * 1024);
  client.reset();
  EXPECT_EQ(server.stop(), 0);
  EXPECT_GE(server.logCount("more like this in the last"), 2);
  EXPECT_GE(server.logCount("no such stream: ignored ... 99990 more like this"), 1);
}

// Bytes that trickle never make a message: the connection is closed once a
// message has been incomplete for --setup-timeout, streams or not.
TEST_F(Attack, ATrickleOfBytesDoesNotHoldAConnection) {
  ServerProcess server({"--port", "0", "--setup-timeout", "1", "--output", "none"});
  ASSERT_TRUE(server.ready());
  auto client = setUpClient(server);
  UdpPeer driver;
  openFor(*client, driver, 0, 44100);
  Bytes request = queryControlRequest(4);
  auto began = Clock::now();
  bool closed = false;
  for (size_t i = 0; i < request.size() && !closed; ++i) {
    client->send(Bytes{request[i]});
    closed = client->closedByPeer(600);
  }
  if (!closed) closed = client->closedByPeer(2000);
  double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  EXPECT_TRUE(closed);
  EXPECT_LT(seconds, 3.0);
  EXPECT_TRUE(server.waitForLog("a message begun 1 s ago is still incomplete"));
  EXPECT_EQ(server.stop(), 0);
}

}  // namespace

// Another user of the driver's host, as the attacker of a shared terminal
// server is: uid nobody when the test may switch users, else a second
// process that was never given the key. Each way in is tried on its own
// connection; a driver holding the key then opens a recording, which shows
// that the refusals were the key's doing.
TEST_F(Attack, AnotherUserWithoutTheKeyGetsNoStreamNoControlNoQuery) {
  char pattern[] = "/tmp/lvkey-XXXXXX";
  ASSERT_TRUE(mkdtemp(pattern));
  std::string dir = pattern, keyPath = dir + "/server.key";
  uint8_t key[KEY_BYTES];
  std::string error;
  ASSERT_EQ(keyFileLoad(keyPath, true, key, error), KeyFileResult::CREATED) << error;
  ServerProcess server({"--port", "0", "--key-file", keyPath, "--tone", "440"});
  ASSERT_TRUE(server.ready()) << server.log();

  bool otherUser = geteuid() == 0;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The attacker; its exit status names the first way in that worked.
    if (otherUser && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(10);
    }
    if (otherUser && open(keyPath.c_str(), O_RDONLY) >= 0) _exit(11);
    {
      ControlClient c(server);
      Bytes refused{0, SETUP_REFUSED_NO_KEY, 2, 0, 0, 0, 0, 0};
      if (!c.send(setupRequest()) || c.receive() != refused || !c.closedByPeer()) _exit(12);
    }
    Bytes offer = setupRequest();
    offer[1] = SETUP_OFFERS_KEY;
    const Bytes keyRefused{TYPE_EVENT, EVENT_KEY_REFUSED, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    OpenStream microphone;
    microphone.direction = 1;
    microphone.device = 2;
    Bytes guess(KEY_PROOF_BYTES, 0x5A);
    guess[0] = TYPE_KEY_PROOF;
    guess[1] = 0;
    put16(guess, 2, KEY_PROOF_BYTES / 4);
    const Bytes attempts[] = {guess, openStreamRequest(microphone), openStreamRequest({}),
                              setControlRequest(3, 0), queryControlRequest(3)};
    int status = 13;
    for (const Bytes &attempt : attempts) {
      ControlClient c(server);
      Bytes accepted = (c.send(offer), c.receive());
      if (accepted.size() < 16 || accepted[1] != SETUP_CHALLENGES || !c.send(attempt) ||
          c.receive() != keyRefused || !c.closedByPeer()) {
        _exit(status);
      }
      ++status;
    }
    _exit(0);
  }
  int status = -1;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "the attacker (" << (otherUser ? "uid nobody" : "a process without the key")
      << ") got in; exit status " << WEXITSTATUS(status) << "\n"
      << server.log();
  EXPECT_EQ(server.logCount("opened:"), 0);
  EXPECT_EQ(server.logCount("set to"), 0);

  // The key's holder: its proof, then the microphone.
  ControlClient owner(server);
  Bytes offer = setupRequest();
  offer[1] = SETUP_OFFERS_KEY;
  ASSERT_TRUE(owner.send(offer));
  Bytes accepted = owner.receive();
  uint8_t challenge[CHALLENGE_NONCE_BYTES];
  ASSERT_TRUE(setupAcceptedChallenge(accepted, challenge));
  sockaddr_in self{}, peer{};
  socklen_t length = sizeof self;
  getsockname(owner.fd(), reinterpret_cast<sockaddr *>(&self), &length);
  length = sizeof peer;
  getpeername(owner.fd(), reinterpret_cast<sockaddr *>(&peer), &length);
  AddressPair pair{ntohl(self.sin_addr.s_addr), ntohs(self.sin_port), ntohl(peer.sin_addr.s_addr),
                   ntohs(peer.sin_port)};
  const uint8_t nonce[PROOF_NONCE_BYTES] = {1};
  Bytes proof(KEY_PROOF_BYTES);
  ASSERT_EQ(keyProofBuild(proof, key, challenge, nonce, pair), KEY_PROOF_BYTES);
  UdpPeer driver;
  ASSERT_TRUE(owner.send(proof));
  EXPECT_NE(openFor(owner, driver, 1, 44100), 0);
  EXPECT_FALSE(driver.receive(SERVER_WAIT_MS).empty()) << "the owner's recording arrives";
  std::filesystem::remove_all(dir);
}
