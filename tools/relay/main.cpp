// lumivox-relay: a UDP relay on loopback that impairs what it carries, put
// between a driver and lumivox-server in tests. Datagrams to its port go to
// the target from a socket of its own; what comes back to that socket goes
// to whoever sent last. In routed mode each datagram names its own target
// in a route header, which the server's --send-via writes, since only the
// server knows which driver port a recording goes to; answers then go back
// to whoever last routed to the answering address. Each direction has its
// own impairment (tools/relay/impair.h) with its own generator, seeded from
// --seed; the delay may follow a schedule or be stepped by signals, and a
// blackhole may stop both directions for a while.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/version.h"
#include "tools/relay/impair.h"
#include "wire/datagram.h"

namespace {

const char RELAY_USAGE[] =
    "Usage: lumivox-relay --to PORT [OPTION]...\n"
    "   or: lumivox-relay --routed [OPTION]...\n"
    "Relays UDP datagrams on loopback with seeded, repeatable impairments: what\n"
    "arrives on its port goes to the target, and what the target answers goes\n"
    "back to the last sender. Once ready it prints \"lumivox-relay: relaying\n"
    "ADDRESS:PORT to ADDRESS:PORT\" on standard error; on SIGINT or SIGTERM it\n"
    "prints the counts of each direction and exits 0. Each change of the delay\n"
    "is printed as \"lumivox-relay: delay MS ms\"; datagrams already waiting\n"
    "keep their times, and order is kept. A blackhole is announced as\n"
    "\"lumivox-relay: blackhole: nothing passes\" and \"lumivox-relay: blackhole\n"
    "over\".\n"
    "\n"
    "  --to [ADDR:]PORT       the target (default address 127.0.0.1)\n"
    "  --routed               no fixed target: each datagram that arrives on the\n"
    "                         port starts with a 6-byte route header, the IPv4\n"
    "                         address and UDP port of its target in network byte\n"
    "                         order (as lumivox-server --send-via writes it), which\n"
    "                         is taken off; what a target answers goes back, as\n"
    "                         it is, to whoever last sent to that target; targets\n"
    "                         beyond 127.0.0.0/8 are dropped\n"
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
    "  --delay-schedule MS@T[,MS@T]...\n"
    "                         change the delay over time: from T milliseconds\n"
    "                         after the start it is MS (T ascending; before the\n"
    "                         first T it is --delay), e.g. 10@2000,40@4000,0@6000\n"
    "  --delay-step MS        what SIGUSR1 adds to the delay and SIGUSR2 takes off\n"
    "                         it, not below 0 (default 10)\n"
    "  --blackhole START+LENGTH\n"
    "                         from START milliseconds after the start, for LENGTH\n"
    "                         milliseconds, nothing passes either way: datagrams\n"
    "                         that arrive then, or were due to leave then, are\n"
    "                         dropped (and counted so), e.g. 2000+3000\n"
    "  --seed N               seed of the generators (default 1)\n"
    "  -h, --help             show this text and exit\n"
    "  --version              show the version and exit\n"
    "\n"
    "Exit status: 0 after a signal, --help or --version, 1 when it cannot\n"
    "bind, 2 for a usage error.\n";

// The signals the relay answers. They are blocked and read from a
// descriptor in the wait, not caught by handlers: nothing is then lost
// between a check and the wait, and a sanitizer that defers handlers has
// none to defer.
sigset_t relaySignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGUSR1, SIGUSR2}) sigaddset(&set, s);
  return set;
}

struct DelayChange {
  uint64_t atMs;     // after the start
  uint32_t delayMs;  // the delay from then on
};

struct RelayOptions {
  sockaddr_in listen{};
  sockaddr_in target{};
  bool haveTarget = false;
  bool routed = false;
  std::vector<DelayChange> schedule;  // atMs ascending
  uint32_t delayStepMs = 10;
  uint64_t blackholeStartMs = 0;   // after the start
  uint64_t blackholeLengthMs = 0;  // 0: no blackhole
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

// "MS@T,MS@T,...", T ascending.
bool parseSchedule(const std::string &text, std::vector<DelayChange> &out) {
  out.clear();
  size_t from = 0;
  while (from <= text.size()) {
    size_t comma = text.find(',', from);
    std::string item =
        text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
    size_t at = item.find('@');
    uint64_t ms = 0, when = 0;
    if (at == std::string::npos || !parseCount(item.substr(0, at), 3600000, ms) ||
        !parseCount(item.substr(at + 1), UINT32_MAX, when)) {
      return false;
    }
    if (!out.empty() && when < out.back().atMs) return false;
    out.push_back({when, uint32_t(ms)});
    if (comma == std::string::npos) break;
    from = comma + 1;
  }
  return !out.empty();
}

// "START+LENGTH", milliseconds, LENGTH above 0.
bool parseBlackhole(const std::string &text, RelayOptions &o) {
  size_t plus = text.find('+');
  return plus != std::string::npos &&
         parseCount(text.substr(0, plus), UINT32_MAX, o.blackholeStartMs) &&
         parseCount(text.substr(plus + 1), UINT32_MAX, o.blackholeLengthMs) &&
         o.blackholeLengthMs > 0;
}

bool apply(const std::string &name, const std::string &value, RelayOptions &o) {
  uint64_t n = 0;
  if (name == "--delay-schedule") return parseSchedule(value, o.schedule);
  if (name == "--blackhole") return parseBlackhole(value, o);
  if (name == "--delay-step") {
    if (!parseCount(value, 3600000, n)) return false;
    o.delayStepMs = uint32_t(n);
    return true;
  }
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

// 0 to run, 1 for --help, 2 for a usage error (reason in why), 3 for
// --version.
int parseOptions(int argc, char **argv, RelayOptions &o, std::string &why) {
  parseEndpoint("0", o.listen);
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i], value;
    if (arg == "--help" || arg == "-h") return 1;
    if (arg == "--version") return 3;
    if (arg == "--routed") {
      o.routed = true;
      continue;
    }
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
  if (o.haveTarget == o.routed) {
    why = o.routed ? "--routed takes no --to" : "no --to given";
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

uint64_t tagOf(const sockaddr_in &at) {
  return uint64_t(ntohl(at.sin_addr.s_addr)) << 16 | ntohs(at.sin_port);
}

sockaddr_in addressOf(uint64_t tag) {
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(uint32_t(tag >> 16));
  at.sin_port = htons(uint16_t(tag));
  return at;
}

// The two sockets and where datagrams go.
struct Relay {
  const RelayOptions &options;
  int signals = -1;       // the signal descriptor
  bool stopped = false;   // SIGINT or SIGTERM came
  uint32_t stepsUp = 0, stepsDown = 0;  // SIGUSR1 and SIGUSR2 not yet applied
  int front = -1;  // the listening socket: the driver's side, or the server's when routed
  int back = -1;   // sends to the targets and takes their answers
  Impairment forward, backward;
  uint64_t client = 0;  // fixed target: the last sender on front
  bool haveClient = false;
  std::map<uint64_t, uint64_t> routes;  // routed: target -> whoever last sent to it
  uint64_t unroutable = 0;              // routed: too short, or beyond loopback

  explicit Relay(const RelayOptions &o) : options(o), forward(o.impair, 0), backward(o.impair, 1) {}
};

std::vector<uint8_t> receiveOne(int fd, sockaddr_in &from, bool &got) {
  std::vector<uint8_t> bytes(65536);
  socklen_t size = sizeof from;
  for (;;) {
    ssize_t n =
        recvfrom(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&from), &size);
    if (n < 0 && errno == EINTR) continue;
    // Would block, or an ICMP error of an earlier send: nothing to relay.
    got = n >= 0;
    bytes.resize(got ? size_t(n) : 0);
    return bytes;
  }
}

// Takes every datagram waiting on the front socket into the forward
// impairment, tagged with its target.
void takeFront(Relay &r) {
  for (;;) {
    sockaddr_in from{};
    bool got = false;
    std::vector<uint8_t> bytes = receiveOne(r.front, from, got);
    if (!got) return;
    if (!r.options.routed) {
      r.client = tagOf(from);
      r.haveClient = true;
      r.forward.arrive(std::move(bytes), nowUs(), tagOf(r.options.target));
      continue;
    }
    uint32_t address = 0;
    uint16_t port = 0;
    if (!routeHeaderParse(bytes.data(), bytes.size(), &address, &port) || address >> 24 != 127) {
      ++r.unroutable;
      continue;
    }
    uint64_t target = uint64_t(address) << 16 | port;
    r.routes[target] = tagOf(from);
    bytes.erase(bytes.begin(), bytes.begin() + ROUTE_HEADER_BYTES);
    r.forward.arrive(std::move(bytes), nowUs(), target);
  }
}

// Takes every answer waiting on the back socket into the backward
// impairment, tagged with whoever it goes back to.
void takeBack(Relay &r) {
  for (;;) {
    sockaddr_in from{};
    bool got = false;
    std::vector<uint8_t> bytes = receiveOne(r.back, from, got);
    if (!got) return;
    if (!r.options.routed) {
      if (r.haveClient) r.backward.arrive(std::move(bytes), nowUs(), r.client);
      continue;
    }
    auto route = r.routes.find(tagOf(from));
    if (route == r.routes.end()) {
      ++r.unroutable;  // no one sent to that address
      continue;
    }
    r.backward.arrive(std::move(bytes), nowUs(), route->second);
  }
}

void sendDue(int fd, Impairment &from) {
  std::vector<uint8_t> bytes;
  uint64_t tag = 0;
  while (from.departNext(nowUs(), bytes, &tag)) {
    sockaddr_in to = addressOf(tag);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr *>(&to), sizeof to);
  }
}

void setDelay(Relay &r, uint32_t delayMs) {
  if (delayMs == r.forward.delayMs()) return;
  r.forward.setDelayMs(delayMs);
  r.backward.setDelayMs(delayMs);
  std::fprintf(stderr, "lumivox-relay: delay %u ms\n", delayMs);
}

// Applies the schedule's changes that are due and the signals' steps.
void updateDelay(Relay &r, uint64_t startUs, size_t &nextChange) {
  const std::vector<DelayChange> &schedule = r.options.schedule;
  uint64_t elapsedMs = (nowUs() - startUs) / 1000;
  while (nextChange < schedule.size() && schedule[nextChange].atMs <= elapsedMs) {
    setDelay(r, schedule[nextChange++].delayMs);
  }
  while (r.stepsUp > 0 || r.stepsDown > 0) {
    uint64_t delay = r.forward.delayMs();
    if (r.stepsUp > 0) {
      r.stepsUp--;
      delay = std::min<uint64_t>(delay + r.options.delayStepMs, 3600000);
    } else {
      r.stepsDown--;
      delay = delay > r.options.delayStepMs ? delay - r.options.delayStepMs : 0;
    }
    setDelay(r, uint32_t(delay));
  }
}

// Takes the signals that have come, in their order.
void takeSignals(Relay &r) {
  signalfd_siginfo info;
  while (read(r.signals, &info, sizeof info) == ssize_t(sizeof info)) {
    if (info.ssi_signo == SIGUSR1) {
      r.stepsUp++;
    } else if (info.ssi_signo == SIGUSR2) {
      r.stepsDown++;
    } else {
      r.stopped = true;
    }
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

std::string endpointText(const sockaddr_in &at) {
  char text[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &at.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(at.sin_port));
}

int relay(const RelayOptions &o, int signals) {
  Relay r(o);
  r.signals = signals;
  r.front = boundSocket(o.listen);
  sockaddr_in backAt{};
  parseEndpoint("0", backAt);
  r.back = boundSocket(backAt);
  if (r.front < 0 || r.back < 0) {
    std::fprintf(stderr, "lumivox-relay: cannot bind: %s\n", std::strerror(errno));
    if (r.front >= 0) close(r.front);
    if (r.back >= 0) close(r.back);
    return 1;
  }
  std::fprintf(stderr, "lumivox-relay: relaying %s to %s\n", name(r.front).c_str(),
               o.routed ? "routed targets" : endpointText(o.target).c_str());
  uint64_t startUs = nowUs();
  if (o.blackholeLengthMs > 0) {
    uint64_t from = startUs + o.blackholeStartMs * 1000;
    uint64_t until = from + o.blackholeLengthMs * 1000;
    r.forward.setBlackhole(from, until);
    r.backward.setBlackhole(from, until);
  }
  size_t nextChange = 0;
  bool wasDark = false;
  while (!r.stopped) {
    updateDelay(r, startUs, nextChange);
    if (r.forward.dark(nowUs()) != wasDark) {
      wasDark = !wasDark;
      std::fprintf(stderr, "lumivox-relay: blackhole%s\n", wasDark ? ": nothing passes" : " over");
    }
    uint64_t due = std::min(r.forward.nextDueUs(), r.backward.nextDueUs()), now = nowUs();
    if (nextChange < o.schedule.size()) {
      due = std::min(due, startUs + o.schedule[nextChange].atMs * 1000);
    }
    int waitMs =
        due == UINT64_MAX ? 100 : int(std::min<uint64_t>(100, (due > now ? due - now : 0) / 1000));
    pollfd fds[3] = {{r.front, POLLIN, 0}, {r.back, POLLIN, 0}, {r.signals, POLLIN, 0}};
    if (poll(fds, 3, waitMs) < 0 && errno != EINTR) break;
    if (fds[2].revents) takeSignals(r);
    if (fds[0].revents) takeFront(r);
    if (fds[1].revents) takeBack(r);
    sendDue(r.back, r.forward);
    sendDue(r.front, r.backward);
  }
  printCounts("forward", r.forward.counts());
  printCounts("backward", r.backward.counts());
  if (o.routed) {
    std::fprintf(stderr, "lumivox-relay: unroutable %llu\n", (unsigned long long)r.unroutable);
  }
  close(r.front);
  close(r.back);
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
    case 3:
      std::fputs("lumivox-relay " LUMIVOX_VERSION "\n", stdout);
      return 0;
    default:
      std::fprintf(stderr, "lumivox-relay: %s\nTry 'lumivox-relay --help'.\n", why.c_str());
      return 2;
  }
  sigset_t set = relaySignals();
  sigprocmask(SIG_BLOCK, &set, nullptr);
  int signals = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (signals < 0) {
    std::fprintf(stderr, "lumivox-relay: cannot take signals: %s\n", std::strerror(errno));
    return 1;
  }
  int status = relay(options, signals);
  close(signals);
  return status;
}
