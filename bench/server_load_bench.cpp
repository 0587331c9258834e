// lumivox-server under many concurrent playback streams: streams per core.
//
// For each path (44.1 kHz stereo linear; 8 kHz companded and GSM from a
// 44.1 kHz application, which the server converts to its output rate, the
// application's), for each count of streams: starts the real lumivox-server
// (no sound system, output to nothing, its real-time playout clock),
// opens the streams with the load generator (bench/load.h), measures the
// server process's CPU time over the measured window from /proc, and stops
// it; the server's own count of late and lost packets comes from its
// statistics file. Streams per core is streams / (CPU seconds per second).
//
// The peer, measured in the same run at the same packet rate, datagram
// size and number of sockets: a process that does only the bare system
// calls of the receive path, recvfrom of each datagram and sendto of a
// 16-byte answer, as the floor of any server.
//
// The generator runs on one core and the server on the other; a count at
// which packets come late or get lost, the audio plays more than 2 % slower
// than real time, or the generator is busy 90 % of its time, ends the steps
// of a path. The server's reports of an empty queue (dry) are shown: a few
// come at any load, when a burst of ticks and packets meets the 20 ms lead.
//
//   server_load_bench [--seconds S] [--streams N,N,...] [--path NAME] [--server PATH]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "bench/load.h"

namespace {

// The server's CPU time so far, seconds (user and system), from /proc.
double processCpu(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  std::getline(in, line);
  size_t close = line.rfind(')');
  if (close == std::string::npos) return 0;
  std::istringstream fields(line.substr(close + 2));
  std::string skip;
  for (int i = 3; i < 14; i++) fields >> skip;  // state .. cmajflt
  unsigned long long user = 0, system = 0;
  fields >> user >> system;
  return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

struct Child {
  pid_t pid = -1;
  uint16_t port = 0;
};

// Starts lumivox-server and reads its ready line.
Child spawnServer(const std::string &program, const std::string &stats, uint32_t streams) {
  int pipes[2];
  if (pipe2(pipes, O_CLOEXEC) != 0) return {};
  std::string limit = std::to_string(streams + 16);
  std::vector<std::string> args = {program, "--no-auth", "--port", "0", "--sound-server", "none",
                                   "--output",
                                   "none", "--verbose", "0", "--stats", stats, "--max-clients",
                                   limit, "--max-connections-per-client", limit,
                                   "--max-streams-per-client", limit, "--max-streams", limit,
                                   "--max-memory", "1048576"};
  pid_t pid = fork();
  if (pid == 0) {
    dup2(pipes[1], STDERR_FILENO);
    std::vector<char *> argv;
    for (std::string &a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  ::close(pipes[1]);
  Child c{pid, 0};
  std::string text;
  char buffer[256];
  pollfd p{pipes[0], POLLIN, 0};
  while (poll(&p, 1, 5000) == 1) {
    ssize_t got = read(pipes[0], buffer, sizeof buffer);
    if (got <= 0) break;
    text.append(buffer, size_t(got));
    size_t at = text.find("listening on ");
    size_t end = text.find('\n', at);
    if (at == std::string::npos || end == std::string::npos) continue;
    std::string where = text.substr(at + 13, end - at - 13);
    c.port = uint16_t(std::atoi(where.substr(where.rfind(':') + 1).c_str()));
    break;
  }
  // Verbose 0 logs errors only; the rest of its output is not read.
  ::close(pipes[0]);
  return c;
}

void stopChild(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
}

// Sums a field over the statistics file's "end" lines.
uint64_t statsSum(const std::string &path, const std::string &field) {
  std::ifstream in(path);
  std::string line;
  uint64_t sum = 0;
  std::string key = "\"" + field + "\":";
  while (std::getline(in, line)) {
    if (line.find("\"event\":\"end\"") == std::string::npos) continue;
    size_t at = line.find(key);
    if (at != std::string::npos) sum += std::strtoull(line.c_str() + at + key.size(), nullptr, 10);
  }
  return sum;
}

// The floor: a child with `sockets` UDP sockets that receives each datagram
// with recvfrom and answers it with a 16-byte sendto; this process sends
// `rate` datagrams of `bytes` a second spread over the sockets, and the
// child's CPU is measured over `seconds`.
double peerCpuPerSecond(uint32_t sockets, double rate, size_t bytes, double seconds) {
  int pipes[2];
  if (pipe(pipes) != 0) return 0;
  pid_t pid = fork();
  if (pid == 0) {
    ::close(pipes[0]);
    int epoll = epoll_create1(0);
    for (uint32_t i = 0; i < sockets; i++) {
      int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
      sockaddr_in at{};
      at.sin_family = AF_INET;
      at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      socklen_t size = sizeof at;
      bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at);
      getsockname(fd, reinterpret_cast<sockaddr *>(&at), &size);
      uint16_t port = ntohs(at.sin_port);
      if (write(pipes[1], &port, sizeof port) != sizeof port) _exit(1);
      epoll_event e{};
      e.events = EPOLLIN;
      e.data.fd = fd;
      epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &e);
    }
    ::close(pipes[1]);
    epoll_event events[256];
    uint8_t datagram[2048], ack[16] = {};
    while (true) {
      int n = epoll_wait(epoll, events, 256, -1);
      for (int i = 0; i < n; i++) {
        sockaddr_in from{};
        socklen_t size = sizeof from;
        while (recvfrom(events[i].data.fd, datagram, sizeof datagram, 0,
                        reinterpret_cast<sockaddr *>(&from), &size) > 0) {
          sendto(events[i].data.fd, ack, sizeof ack, 0, reinterpret_cast<sockaddr *>(&from), size);
          size = sizeof from;
        }
      }
    }
  }
  ::close(pipes[1]);
  std::vector<sockaddr_in> to(sockets);
  for (sockaddr_in &at : to) {
    uint16_t port = 0;
    if (read(pipes[0], &port, sizeof port) != sizeof port) break;
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    at.sin_port = htons(port);
  }
  ::close(pipes[0]);
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  std::vector<uint8_t> datagram(bytes, 0);
  uint8_t ack[64];
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  auto now = [] {
    timespec n;
    clock_gettime(CLOCK_MONOTONIC, &n);
    return double(n.tv_sec) + double(n.tv_nsec) / 1e9;
  };
  double start = now(), measureAt = start + 0.5, endAt = measureAt + seconds;
  double cpuAt = -1, cpu = 0, sent = 0;
  uint32_t next = 0;
  while (true) {
    double at = now();
    if (cpuAt < 0 && at >= measureAt) cpuAt = processCpu(pid);
    if (at >= endAt) {
      cpu = processCpu(pid) - cpuAt;
      break;
    }
    // Whatever is due by now, round robin over the sockets.
    for (; sent < (at - start) * rate; sent += 1) {
      sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to[next]),
             sizeof to[next]);
      next = (next + 1) % sockets;
    }
    while (recv(fd, ack, sizeof ack, 0) > 0) {
    }
    timespec pause{0, 200000};
    nanosleep(&pause, nullptr);
  }
  ::close(fd);
  stopChild(pid);
  return cpu / seconds;
}

struct Row {
  std::string path;
  uint32_t streams;
  double serverCpu;  // fraction of a core
  double peerCpu;    // fraction of a core
  LoadResult load;
  uint64_t serverLate, serverLost;
  bool clean;
};

void printRow(const Row &r) {
  double perCore = r.serverCpu > 0 ? r.streams / r.serverCpu : 0;
  double peerPerCore = r.peerCpu > 0 ? r.streams / r.peerCpu : 0;
  std::printf(
      "%-22s %7u %8.1f%% %10.0f %9llu/%-6llu %9llu/%-6llu %6llu %6.4f %8.1f%% %10.0f %7.1f%% %6.2f%s\n",
      r.path.c_str(), r.streams, 100 * r.serverCpu, perCore, (unsigned long long)r.serverLate,
      (unsigned long long)r.load.late, (unsigned long long)r.serverLost,
      (unsigned long long)r.load.lost, (unsigned long long)r.load.dry, r.load.pace,
      100 * r.load.generatorBusy / std::max(r.load.seconds, 1e-9), peerPerCore, 100 * r.peerCpu,
      peerPerCore > 0 ? perCore / peerPerCore : 0, r.clean ? "" : "  (not clean)");
  std::fflush(stdout);
}

std::vector<uint32_t> parseCounts(const std::string &text) {
  std::vector<uint32_t> counts;
  std::stringstream in(text);
  std::string item;
  while (std::getline(in, item, ',')) counts.push_back(uint32_t(std::atoi(item.c_str())));
  return counts;
}

}  // namespace

int main(int argc, char **argv) {
  std::string server = LUMIVOX_SERVER, only;
  double seconds = 5;
  std::vector<uint32_t> counts = {250, 500, 750};
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i], v = argv[i + 1];
    if (a == "--seconds") seconds = std::atof(v.c_str());
    if (a == "--streams") counts = parseCounts(v);
    if (a == "--path") only = v;
    if (a == "--server") server = v;
  }
  std::signal(SIGPIPE, SIG_IGN);
  std::string stats = "/tmp/server_load_bench." + std::to_string(getpid()) + ".jsonl";
  std::printf(
      "lumivox-server under concurrent playback streams, %.0f s measured per run; server late/lost "
      "from its statistics, generator late/lost from the acknowledgements; dry: the server's "
      "reports of an empty queue; pace: audio played per real time; peer: recvfrom + 16-byte "
      "sendto per datagram at the same rate\n",
      seconds);
  std::printf("%-22s %7s %9s %10s %16s %16s %6s %6s %9s %10s %8s %6s\n", "path", "streams",
              "srv cpu", "streams/c", "late srv/gen", "lost srv/gen", "dry", "pace", "gen busy",
              "peer str/c", "peer cpu", "ratio");
  std::vector<Row> best;
  for (const LoadPath &path : LOAD_PATHS) {
    if (!only.empty() && only != path.name) continue;
    Row top{};
    for (uint32_t n : counts) {
      Child c = spawnServer(server, stats, n);
      if (c.port == 0) {
        std::fprintf(stderr, "server_load_bench: %s did not start\n", server.c_str());
        if (c.pid > 0) stopChild(c.pid);
        return 1;
      }
      LoadOptions o;
      o.port = c.port;
      o.streams = n;
      o.path = path;
      o.seconds = seconds;
      double cpuBegin = 0, cpuEnd = 0;
      LoadResult load;
      bool ran = loadRun(o, load,
                         {[&] { cpuBegin = processCpu(c.pid); }, [&] { cpuEnd = processCpu(c.pid); }});
      // The streams are closed; the server writes their figures as it stops.
      stopChild(c.pid);
      if (!ran) {
        std::fprintf(stderr, "server_load_bench: %s, %u streams: %s\n", path.name, n,
                     load.error.c_str());
        break;
      }
      Row r{path.name, n, (cpuEnd - cpuBegin) / load.seconds, 0, load,
            statsSum(stats, "late"), statsSum(stats, "lost"), false};
      r.peerCpu = peerCpuPerSecond(n, double(load.sent) / load.seconds,
                                   load.sent ? size_t(load.bytes / load.sent) : 16, seconds);
      // The generator keeps pace while it has time to spare on its core.
      bool generatorKeptUp = load.generatorBusy < 0.9 * load.seconds;
      r.clean = r.serverLate == 0 && r.serverLost == 0 && load.late == 0 && load.lost == 0 &&
                load.pace > 0.98 && generatorKeptUp;
      printRow(r);
      if (!r.clean) break;
      top = r;
    }
    if (top.streams) best.push_back(top);
  }
  std::remove(stats.c_str());
  std::printf("\nlargest clean count per path (no late or lost packet, real time kept):\n");
  for (const Row &r : best) printRow(r);
  return 0;
}
