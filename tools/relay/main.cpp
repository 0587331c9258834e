// lumivox-relay: a UDP relay on loopback that impairs what it carries, put
// between a driver and lumivox-server in tests. Datagrams to its port go to
// the target from a socket of its own; what comes back to that socket goes
// to whoever sent last. Each direction has its own impairment
// (tools/relay/impair.h) with its own generator, seeded from --seed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/relay/impair.h"

namespace {

const char RELAY_USAGE[] =
    "Usage: lumivox-relay --to PORT [OPTION]...\n"
    "Relays UDP datagrams on loopback with seeded, repeatable impairments: what\n"
    "arrives on its port goes to the target, and what the target answers goes\n"
    "back to the last sender. Once ready it prints \"lumivox-relay: relaying\n"
    "ADDRESS:PORT to ADDRESS:PORT\" on standard error; on SIGINT or SIGTERM it\n"
    "prints the counts of each direction and exits 0.\n"
    "\n"
    "  --to [ADDR:]PORT       the target (default address 127.0.0.1)\n"
    "  --listen [ADDR:]PORT   where to listen (default 127.0.0.1:0, any free port)\n"
    "                         addresses must be in 127.0.0.0/8\n"
    "  --delay MS             one-way delay of every datagram (default 0)\n"
    "  --jitter MS            extra delay, uniform from 0 to MS (default 0); order\n"
    "                         is kept\n"
    "  --loss P               probability of dropping a datagram, 0 to 1\n"
    "  --duplicate P          probability of sending a datagram twice\n"
    "  --reorder P            probability of holding a datagram back behind the\n"
    "                         next one\n"
    "  --bandwidth BYTES      bytes per second each direction carries (default 0,\n"
    "                         unlimited)\n"
    "  --seed N               seed of the generators (default 1)\n"
    "  --help                 show this text and exit\n"
    "\n"
    "Exit status: 0 after a signal or --help, 1 when it cannot bind, 2 for a\n"
    "usage error.\n";

volatile std::sig_atomic_t stopRequested = 0;
void onSignal(int) { stopRequested = 1; }

struct RelayOptions {
  sockaddr_in listen{};
  sockaddr_in target{};
  bool haveTarget = false;
  ImpairOptions impair;
};

// "[ADDR:]PORT" within 127.0.0.0/8.
bool parseEndpoint(const std::string &text, sockaddr_in &out) {
  std::string address = "127.0.0.1", port = text;
  size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    address = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  char *end = nullptr;
  unsigned long value = std::strtoul(port.c_str(), &end, 10);
  if (port.empty() || *end || value > 65535) return false;
  out = {};
  out.sin_family = AF_INET;
  out.sin_port = htons(uint16_t(value));
  if (inet_pton(AF_INET, address.c_str(), &out.sin_addr) != 1) return false;
  return (ntohl(out.sin_addr.s_addr) >> 24) == 127;
}

bool parseProbability(const std::string &text, double &out) {
  char *end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return !text.empty() && !*end && out >= 0 && out <= 1;
}

bool parseCount(const std::string &text, uint64_t limit, uint64_t &out) {
  char *end = nullptr;
  errno = 0;
  out = std::strtoull(text.c_str(), &end, 10);
  return !text.empty() && text[0] != '-' && !*end && !errno && out <= limit;
}

bool apply(const std::string &name, const std::string &value, RelayOptions &o) {
  uint64_t n = 0;
  if (name == "--to") return o.haveTarget = parseEndpoint(value, o.target);
  if (name == "--listen") return parseEndpoint(value, o.listen);
  if (name == "--loss") return parseProbability(value, o.impair.loss);
  if (name == "--duplicate") return parseProbability(value, o.impair.duplicate);
  if (name == "--reorder") return parseProbability(value, o.impair.reorder);
  if (name == "--seed") return parseCount(value, UINT64_MAX, o.impair.seed);
  if (name == "--bandwidth") return parseCount(value, UINT32_MAX, o.impair.bandwidth);
  if (name == "--delay" || name == "--jitter") {
    if (!parseCount(value, 3600000, n)) return false;
    (name == "--delay" ? o.impair.delayMs : o.impair.jitterMs) = uint32_t(n);
    return true;
  }
  return false;
}

// 0 to run, 1 for --help, 2 for a usage error (reason in why).
int parseOptions(int argc, char **argv, RelayOptions &o, std::string &why) {
  parseEndpoint("0", o.listen);
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], value;
    if (arg == "--help") return 1;
    size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
      arg = arg.substr(0, equals);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      why = arg + " needs a value";
      return 2;
    }
    if (!apply(arg, value, o)) {
      why = "bad option or value: " + arg + " " + value;
      return 2;
    }
  }
  if (!o.haveTarget) {
    why = "no --to given";
    return 2;
  }
  return 0;
}

uint64_t nowUs() {
  using namespace std::chrono;
  return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

int boundSocket(const sockaddr_in &at) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  if (bind(fd, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string name(int fd) {
  sockaddr_in at{};
  socklen_t size = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr *>(&at), &size);
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &at.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(at.sin_port));
}

// Takes every datagram waiting on fd into the impairment; the sender's
// address goes to *from when asked.
void takeAll(int fd, Impairment &into, sockaddr_in *from, bool *haveFrom) {
  for (;;) {
    std::vector<uint8_t> bytes(65536);
    sockaddr_in at{};
    socklen_t size = sizeof at;
    ssize_t got =
        recvfrom(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&at), &size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return;  // would block, or an ICMP error of an earlier send: nothing to relay
    }
    bytes.resize(size_t(got));
    if (from) {
      *from = at;
      *haveFrom = true;
    }
    into.arrive(std::move(bytes), nowUs());
  }
}

void sendDue(int fd, Impairment &from, const sockaddr_in &to, bool haveTo) {
  std::vector<uint8_t> bytes;
  while (from.departNext(nowUs(), bytes)) {
    if (haveTo)
      sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
  }
}

void printCounts(const char *direction, const ImpairCounts &c) {
  std::fprintf(stderr,
               "lumivox-relay: %s: received %llu dropped %llu duplicated %llu reordered %llu "
               "overflow %llu sent %llu\n",
               direction, (unsigned long long)c.received, (unsigned long long)c.dropped,
               (unsigned long long)c.duplicated, (unsigned long long)c.reordered,
               (unsigned long long)c.overflow, (unsigned long long)c.sent);
}

int relay(const RelayOptions &o) {
  int front = boundSocket(o.listen);
  sockaddr_in backAt{};
  parseEndpoint("0", backAt);
  int back = boundSocket(backAt);
  if (front < 0 || back < 0) {
    std::fprintf(stderr, "lumivox-relay: cannot bind: %s\n", std::strerror(errno));
    if (front >= 0) close(front);
    if (back >= 0) close(back);
    return 1;
  }
  Impairment forward(o.impair, 0), backward(o.impair, 1);
  sockaddr_in client{};
  bool haveClient = false;
  std::fprintf(stderr, "lumivox-relay: relaying %s to %s\n", name(front).c_str(),
               [&] {
                 char text[INET_ADDRSTRLEN];
                 inet_ntop(AF_INET, &o.target.sin_addr, text, sizeof text);
                 return std::string(text) + ":" + std::to_string(ntohs(o.target.sin_port));
               }()
                   .c_str());
  while (!stopRequested) {
    uint64_t due = std::min(forward.nextDueUs(), backward.nextDueUs()), now = nowUs();
    // Bounded so that a signal between the check and poll is seen soon.
    int waitMs =
        due == UINT64_MAX ? 100 : int(std::min<uint64_t>(100, (due > now ? due - now : 0) / 1000));
    pollfd fds[2] = {{front, POLLIN, 0}, {back, POLLIN, 0}};
    if (poll(fds, 2, waitMs) < 0 && errno != EINTR) break;
    if (fds[0].revents) takeAll(front, forward, &client, &haveClient);
    if (fds[1].revents) takeAll(back, backward, nullptr, nullptr);
    sendDue(back, forward, o.target, true);
    sendDue(front, backward, client, haveClient);
  }
  printCounts("forward", forward.counts());
  printCounts("backward", backward.counts());
  close(front);
  close(back);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  RelayOptions options;
  std::string why;
  switch (parseOptions(argc, argv, options, why)) {
    case 0:
      break;
    case 1:
      std::fputs(RELAY_USAGE, stdout);
      return 0;
    default:
      std::fprintf(stderr, "lumivox-relay: %s\nTry 'lumivox-relay --help'.\n", why.c_str());
      return 2;
  }
  struct sigaction action {};
  action.sa_handler = onSignal;  // no SA_RESTART: poll returns at the signal
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  return relay(options);
}
