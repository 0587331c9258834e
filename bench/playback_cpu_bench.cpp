// The application process's CPU time per second of audio for one playback
// stream, played through the real driver (loaded by the host) to a real
// lumivox-server in its own process on loopback, paced in real time by the
// server's playout clock (no sound system, output to nothing).
//
// Two rows, 44.1 kHz stereo 16-bit from the application each:
//   lan:       the server allows 48000 Hz, so the stream goes out as 44.1 kHz
//              stereo 16-bit, copied without conversion;
//   resampled: the server allows at most 32000 Hz, so the driver converts
//              to 32 kHz stereo 16-bit before sending.
// Both with --adaptive 0, so that the first format is the best eligible
// one whatever the measured round trip.
//
// The driver's system calls are counted where they leave it: this program
// puts its own sendto, send, recvfrom, recv, select and poll in front of the
// system's (they are exported, so the driver library binds to them). The
// same wrappers time, in wall-clock time, the I/O thread's own code between
// two calls and the calls that do not wait; the scheduler's statistics give
// each thread's time on a CPU and its wake-ups.
//
// The figure is the median over 1 s windows of the process's CPU time
// (getrusage, all threads), so that a burst of other work on a shared
// machine does not decide it; the whole row's mean is printed beside it.
//
// The floor is what the same schedule costs in bare system calls, measured
// in the same run on loopback, in two ways:
//   paced:        for FLOOR_PACED_SECONDS, a peer thread sends 16-byte
//                 datagrams at the rate the driver received
//                 acknowledgements; the measuring thread waits for each in a
//                 blocking poll, reads it with recvfrom, and sends datagrams
//                 of the packets' mean size at the rate the driver sent them.
//                 Each wait ends in a real wake-up from idle, as the
//                 driver's do, and the peer waits on its socket as the
//                 server does, so that each packet wakes it. This is the
//                 floor the ratio is taken to.
//   back to back: the same counts as the whole row with no pause: each
//                 datagram the thread sends is answered at once (median of
//                 five repetitions). Wake-ups from a short wait are cheaper,
//                 so this is a lower bound.
// Only the measuring thread's own CPU time counts (its thread clock).
//
//   playback_cpu_bench [SECONDS [lan|resampled]]
//
// (default 20 s of audio per row, both rows).
//
// Not a test: nothing is asserted.
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/processes.h"
#include "host/mmhost.h"

namespace {

constexpr int DISPLAY = 693;  // control port 9693
constexpr int WAIT_MS = 10000;
constexpr DWORD RATE = 44100;
constexpr DWORD HEADER_FRAMES = 4410;  // 100 ms per header
constexpr size_t HEADERS_QUEUED = 4;

// ---- What leaves the driver.

struct Counts {
  std::atomic<uint64_t> packets{0}, packetBytes{0}, probes{0};
  std::atomic<uint64_t> acks{0}, otherReceives{0};
  std::atomic<uint64_t> waits{0};          // select and poll calls
  std::atomic<uint64_t> wakeSends{0};      // send: the loop's wake-up byte, the control connection
  std::atomic<uint64_t> plainReceives{0};  // recv
};
Counts counts;
std::atomic<bool> counting{false};

struct Snapshot {
  uint64_t packets, packetBytes, probes, acks, otherReceives, waits, wakeSends, plainReceives;
};

Snapshot snapshot() {
  return {counts.packets.load(),   counts.packetBytes.load(),   counts.probes.load(),
          counts.acks.load(),      counts.otherReceives.load(), counts.waits.load(),
          counts.wakeSends.load(), counts.plainReceives.load()};
}

template <typename F>
F real(const char *name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

// Where the thread that makes the calls spends its time, in wall-clock
// nanoseconds: between one call's return and the next call (its own code,
// the driver's), and inside the calls that do not wait.
struct Spent {
  std::atomic<uint64_t> userNs{0}, sendNs{0}, receiveNs{0}, pollNs{0}, polls{0};
};
Spent spent;
thread_local uint64_t lastReturn;  // ns; 0 before the thread's first call

uint64_t nowNs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return uint64_t(t.tv_sec) * 1000000000u + uint64_t(t.tv_nsec);
}

// At a call's entry: the time since the thread's last return was its own.
uint64_t callEntry() {
  uint64_t now = nowNs();
  if (lastReturn != 0 && counting.load(std::memory_order_relaxed)) {
    spent.userNs.fetch_add(now - lastReturn, std::memory_order_relaxed);
  }
  return now;
}

void callReturn(uint64_t entry, std::atomic<uint64_t> *into) {
  lastReturn = nowNs();
  if (into && counting.load(std::memory_order_relaxed)) {
    into->fetch_add(lastReturn - entry, std::memory_order_relaxed);
  }
}

void bump(std::atomic<uint64_t> &n, uint64_t by = 1) {
  if (counting.load(std::memory_order_relaxed)) n.fetch_add(by, std::memory_order_relaxed);
}

}  // namespace

extern "C" ssize_t sendto(int s, const void *data, size_t bytes, int flags, const sockaddr *to,
                          socklen_t toBytes) {
  using Fn = ssize_t (*)(int, const void *, size_t, int, const sockaddr *, socklen_t);
  static Fn next = real<Fn>("sendto");
  const uint8_t *p = static_cast<const uint8_t *>(data);
  if (bytes > 16 && p[8] != 0) {
    bump(counts.packets);
    bump(counts.packetBytes, bytes);
  } else if (bytes > 16) {
    bump(counts.probes);
  }
  uint64_t entry = callEntry();
  ssize_t result = next(s, data, bytes, flags, to, toBytes);
  callReturn(entry, &spent.sendNs);
  return result;
}

extern "C" ssize_t recvfrom(int s, void *data, size_t bytes, int flags, sockaddr *from,
                            socklen_t *fromBytes) {
  using Fn = ssize_t (*)(int, void *, size_t, int, sockaddr *, socklen_t *);
  static Fn next = real<Fn>("recvfrom");
  uint64_t entry = callEntry();
  ssize_t got = next(s, data, bytes, flags, from, fromBytes);
  callReturn(entry, &spent.receiveNs);
  bump(got == 16 ? counts.acks : counts.otherReceives);
  return got;
}

extern "C" ssize_t send(int s, const void *data, size_t bytes, int flags) {
  using Fn = ssize_t (*)(int, const void *, size_t, int);
  static Fn next = real<Fn>("send");
  bump(counts.wakeSends);
  return next(s, data, bytes, flags);
}

extern "C" ssize_t recv(int s, void *data, size_t bytes, int flags) {
  using Fn = ssize_t (*)(int, void *, size_t, int);
  static Fn next = real<Fn>("recv");
  bump(counts.plainReceives);
  return next(s, data, bytes, flags);
}

extern "C" int select(int n, fd_set *r, fd_set *w, fd_set *e, timeval *timeout) {
  using Fn = int (*)(int, fd_set *, fd_set *, fd_set *, timeval *);
  static Fn next = real<Fn>("select");
  bump(counts.waits);
  bool polling = timeout && timeout->tv_sec == 0 && timeout->tv_usec == 0;
  if (polling) bump(spent.polls);
  uint64_t entry = callEntry();
  int result = next(n, r, w, e, timeout);
  callReturn(entry, polling ? &spent.pollNs : nullptr);
  return result;
}

extern "C" int poll(pollfd *fds, nfds_t n, int timeout) {
  using Fn = int (*)(pollfd *, nfds_t, int);
  static Fn next = real<Fn>("poll");
  bump(counts.waits);
  return next(fds, n, timeout);
}

namespace {

// ---- The application.

std::mutex doneLock;
std::condition_variable doneGrown;
size_t doneCount = 0;

void CALLBACK onWave(HDRVR, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  if (message != WOM_DONE) return;
  std::lock_guard<std::mutex> hold(doneLock);
  doneCount += 1;
  doneGrown.notify_all();
}

bool waitForDone(size_t n) {
  std::unique_lock<std::mutex> hold(doneLock);
  return doneGrown.wait_for(hold, std::chrono::milliseconds(WAIT_MS),
                            [n] { return doneCount >= n; });
}

double seconds(const timeval &t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

double cpuSeconds(int who) {
  rusage u;
  getrusage(who, &u);
  return seconds(u.ru_utime) + seconds(u.ru_stime);
}

// The kernel's share of the process's time (its split of the two is
// sampled at the scheduler tick, so only a whole row's is worth reading).
double systemSeconds() {
  rusage u;
  getrusage(RUSAGE_SELF, &u);
  return seconds(u.ru_stime);
}

double threadCpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Each thread's time on a CPU (ns) and the times it was put on one, from
// the scheduler's statistics: where the process's time goes, and how often
// each thread wakes up.
struct ThreadTimes {
  long tid;
  uint64_t ns, runs;
};

std::vector<ThreadTimes> threadTimes() {
  std::vector<ThreadTimes> all;
  std::error_code ignored;
  for (const auto &entry : std::filesystem::directory_iterator("/proc/self/task", ignored)) {
    FILE *f = std::fopen((entry.path() / "schedstat").c_str(), "r");
    if (!f) continue;
    unsigned long long ns = 0, wait = 0, runs = 0;
    if (std::fscanf(f, "%llu %llu %llu", &ns, &wait, &runs) == 3) {
      all.push_back({std::atol(entry.path().filename().c_str()), ns, runs});
    }
    std::fclose(f);
  }
  return all;
}

struct RowResult {
  const char *name;
  double audioSeconds;
  double cpu;         // s, the whole process
  double medianRate;  // CPU s per s of audio: the median over 1 s windows
  double system;      // s of cpu in the kernel
  Snapshot counted;
  bool ok;
  std::vector<ThreadTimes> threads;                   // during the row, the threads that ran
  uint64_t userNs, sendNs, receiveNs, pollNs, polls;  // from Spent, during the row
};

// Plays `seconds` of a stereo tone through one wave output opened at
// 44.1 kHz, HEADERS_QUEUED headers of HEADER_FRAMES frames in the queue,
// each written again as soon as it comes back.
RowResult playRow(const char *name, const std::vector<std::string> &serverOptions, int seconds) {
  RowResult result{name, 0, 0, 0, 0, {}, false, {}, 0, 0, 0, 0, 0};
  char pattern[] = "/tmp/lvcpubench-XXXXXX";
  if (!mkdtemp(pattern)) return result;
  std::string dir = pattern;
  setenv("LUMIVOX_RUNTIME_DIR", dir.c_str(), 1);
  std::string display = std::to_string(DISPLAY);
  BenchChild session = benchSpawnUntil("playback_cpu_bench", LUMIVOX_SESSION,
                                       {"--session", "1", "--record", "1", "--address", "127.0.0.1",
                                        "--display", display, "--no-key"},
                                       1, "lumivox-session: ready", WAIT_MS);
  std::vector<std::string> args = {"--no-auth", "--display",      display, "--verbose",
                                   "0",         "--sound-server", "none",  "--output",
                                   "none",      "--adaptive",     "0"};
  args.insert(args.end(), serverOptions.begin(), serverOptions.end());
  BenchChild server = benchSpawnUntil("playback_cpu_bench", LUMIVOX_SERVER, args, 2,
                                      "lumivox-server: listening on", WAIT_MS);

  const WAVEFORMATEX format = {WAVE_FORMAT_PCM, 2, RATE, RATE * 4, 4, 16, 0};
  HWAVEOUT out = nullptr;
  {
    std::lock_guard<std::mutex> hold(doneLock);
    doneCount = 0;
  }
  if (waveOutOpen(&out, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(onWave), 0,
                  CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
    std::fprintf(stderr, "playback_cpu_bench: waveOutOpen failed\n");
    benchStop(server), benchStop(session);
    return result;
  }
  // A 440/660 Hz tone, made before the clock starts.
  std::vector<std::vector<int16_t>> data(HEADERS_QUEUED, std::vector<int16_t>(HEADER_FRAMES * 2));
  for (size_t h = 0; h < HEADERS_QUEUED; h++) {
    for (size_t i = 0; i < HEADER_FRAMES; i++) {
      double t = double(h * HEADER_FRAMES + i) / RATE;
      data[h][2 * i] = int16_t(8000 * __builtin_sin(6.283185307179586 * 440 * t));
      data[h][2 * i + 1] = int16_t(8000 * __builtin_sin(6.283185307179586 * 660 * t));
    }
  }
  std::vector<WAVEHDR> headers(HEADERS_QUEUED);
  for (size_t h = 0; h < HEADERS_QUEUED; h++) {
    headers[h] = WAVEHDR{};
    headers[h].lpData = reinterpret_cast<LPSTR>(data[h].data());
    headers[h].dwBufferLength = HEADER_FRAMES * 4;
    waveOutPrepareHeader(out, &headers[h], sizeof headers[h]);
  }
  const size_t total = size_t(seconds) * RATE / HEADER_FRAMES;

  Snapshot before = snapshot();
  const uint64_t spentBefore[] = {spent.userNs.load(), spent.sendNs.load(), spent.receiveNs.load(),
                                  spent.pollNs.load(), spent.polls.load()};
  counting = true;
  std::vector<ThreadTimes> threadsBefore = threadTimes();
  double cpuBefore = cpuSeconds(RUSAGE_SELF);
  double systemBefore = systemSeconds();
  bool ok = true;
  // The process's CPU time as each header comes back, for the windows.
  std::vector<double> cpuAt;
  for (size_t i = 0; i < total && ok; i++) {
    if (i >= HEADERS_QUEUED) {
      ok = waitForDone(i - HEADERS_QUEUED + 1);
      cpuAt.push_back(cpuSeconds(RUSAGE_SELF));
    }
    WAVEHDR &h = headers[i % HEADERS_QUEUED];
    h.dwFlags &= ~DWORD(WHDR_DONE);
    if (ok) ok = waveOutWrite(out, &h, sizeof h) == MMSYSERR_NOERROR;
  }
  if (ok) ok = waitForDone(total);
  double cpuAfter = cpuSeconds(RUSAGE_SELF);
  result.system = systemSeconds() - systemBefore;
  std::vector<ThreadTimes> threadsAfter = threadTimes();
  counting = false;
  result.userNs = spent.userNs.load() - spentBefore[0];
  result.sendNs = spent.sendNs.load() - spentBefore[1];
  result.receiveNs = spent.receiveNs.load() - spentBefore[2];
  result.pollNs = spent.pollNs.load() - spentBefore[3];
  result.polls = spent.polls.load() - spentBefore[4];
  for (const ThreadTimes &a : threadsAfter) {
    ThreadTimes d = a;
    for (const ThreadTimes &b : threadsBefore) {
      if (b.tid == a.tid) d.ns -= b.ns, d.runs -= b.runs;
    }
    if (d.runs > 0) result.threads.push_back(d);
  }
  Snapshot after = snapshot();

  for (WAVEHDR &h : headers) waveOutUnprepareHeader(out, &h, sizeof h);
  waveOutClose(out);
  mmhostUnload();
  benchStop(server);
  benchStop(session);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);

  result.audioSeconds = double(total * HEADER_FRAMES) / RATE;
  result.cpu = cpuAfter - cpuBefore;
  // A second of audio is WINDOW headers; the median of the windows is
  // what a steady stream costs, with a burst of other work on a shared
  // machine (which lands in some window) left out.
  constexpr size_t WINDOW = RATE / HEADER_FRAMES;
  std::vector<double> rates;
  for (size_t i = 0; i + WINDOW < cpuAt.size(); i += WINDOW) {
    rates.push_back((cpuAt[i + WINDOW] - cpuAt[i]) * RATE / double(WINDOW * HEADER_FRAMES));
  }
  std::sort(rates.begin(), rates.end());
  result.medianRate =
      rates.empty() ? result.cpu / (double(total * HEADER_FRAMES) / RATE) : rates[rates.size() / 2];
  result.counted = {after.packets - before.packets,
                    after.packetBytes - before.packetBytes,
                    after.probes - before.probes,
                    after.acks - before.acks,
                    after.otherReceives - before.otherReceives,
                    after.waits - before.waits,
                    after.wakeSends - before.wakeSends,
                    after.plainReceives - before.plainReceives};
  result.ok = ok;
  if (!ok) std::fprintf(stderr, "playback_cpu_bench: %s: the headers did not come back\n", name);
  return result;
}

// ---- The floor: the same system calls, bare.

int udpSocket(sockaddr_in *address) {
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(0x7F000001);
  bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a);
  socklen_t length = sizeof *address;
  getsockname(s, reinterpret_cast<sockaddr *>(address), &length);
  return s;
}

// Busy for about `us` microseconds, so that the thread waiting for the next
// datagram is back in its poll before it comes.
void spin(int us) {
  auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(us);
  while (std::chrono::steady_clock::now() < until) {
  }
}

// The measuring thread's CPU seconds for `packets` sendto calls of
// `packetBytes` bytes and `acks` blocking polls each followed by a recvfrom
// of 16 bytes.
double floorCpu(uint64_t packets, uint64_t packetBytes, uint64_t acks) {
  if (packets == 0) return 0;
  sockaddr_in ours, peers;
  int mine = udpSocket(&ours), theirs = udpSocket(&peers);
  size_t bytes = size_t(packetBytes / packets);
  if (bytes < 17) bytes = 17;
  // acks answers spread over packets datagrams: packet i earns
  // answers(i + 1) - answers(i) of them.
  auto answers = [&](uint64_t i) { return i * acks / packets; };
  std::thread peer([&] {
    std::vector<uint8_t> in(2048);
    uint8_t ack[16] = {};
    for (uint64_t i = 0; i < packets; i++) {
      recv(theirs, in.data(), in.size(), 0);
      for (uint64_t k = answers(i); k < answers(i + 1); k++) {
        if (k > answers(i)) spin(30);
        sendto(theirs, ack, sizeof ack, 0, reinterpret_cast<sockaddr *>(&ours), sizeof ours);
      }
    }
  });
  std::vector<uint8_t> packet(bytes, 1), in(2048);
  double begin = threadCpuSeconds();
  for (uint64_t i = 0; i < packets; i++) {
    sendto(mine, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&peers),
           sizeof peers);
    for (uint64_t k = answers(i); k < answers(i + 1); k++) {
      pollfd p{mine, POLLIN, 0};
      poll(&p, 1, WAIT_MS);
      sockaddr_in from;
      socklen_t length = sizeof from;
      recvfrom(mine, in.data(), in.size(), 0, reinterpret_cast<sockaddr *>(&from), &length);
    }
  }
  double cpu = threadCpuSeconds() - begin;
  peer.join();
  close(mine);
  close(theirs);
  return cpu;
}

// The measuring thread's CPU seconds per second for the paced schedule:
// acks per second answered by the peer, packets per second sent.
constexpr double FLOOR_PACED_SECONDS = 5;

double floorPaced(double packetRate, uint64_t packetBytes, double ackRate) {
  if (packetRate <= 0 || ackRate <= 0) return 0;
  sockaddr_in ours, peers;
  int mine = udpSocket(&ours), theirs = udpSocket(&peers);
  const uint64_t acks = uint64_t(ackRate * FLOOR_PACED_SECONDS);
  const double packetsPerAck = packetRate / ackRate;
  std::thread peer([&] {
    std::vector<uint8_t> in(2048);
    uint8_t ack[16] = {};
    timespec at;
    clock_gettime(CLOCK_MONOTONIC, &at);
    const long stepNs = long(1e9 / ackRate);
    // Waits on its socket between answers, as the server does, so that
    // each datagram sent to it wakes it.
    for (uint64_t k = 0; k < acks; k++) {
      at.tv_nsec += stepNs;
      while (at.tv_nsec >= 1000000000) at.tv_nsec -= 1000000000, at.tv_sec += 1;
      for (;;) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long leftNs = (at.tv_sec - now.tv_sec) * 1000000000L + (at.tv_nsec - now.tv_nsec);
        if (leftNs <= 0) break;
        pollfd p{theirs, POLLIN, 0};
        timespec left{leftNs / 1000000000L, leftNs % 1000000000L};
        if (ppoll(&p, 1, &left, nullptr) > 0) {
          while (recv(theirs, in.data(), in.size(), MSG_DONTWAIT) > 0) {
          }
        }
      }
      sendto(theirs, ack, sizeof ack, 0, reinterpret_cast<sockaddr *>(&ours), sizeof ours);
    }
  });
  std::vector<uint8_t> packet(packetBytes < 17 ? 17 : packetBytes, 1), in(2048);
  double begin = threadCpuSeconds();
  uint64_t sent = 0;
  for (uint64_t k = 0; k < acks; k++) {
    pollfd p{mine, POLLIN, 0};
    poll(&p, 1, WAIT_MS);
    sockaddr_in from;
    socklen_t length = sizeof from;
    recvfrom(mine, in.data(), in.size(), 0, reinterpret_cast<sockaddr *>(&from), &length);
    for (; double(sent) < double(k + 1) * packetsPerAck; sent++) {
      sendto(mine, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr *>(&peers),
             sizeof peers);
    }
  }
  double cpu = threadCpuSeconds() - begin;
  peer.join();
  close(mine);
  close(theirs);
  return cpu / FLOOR_PACED_SECONDS;
}

double floorMedian(uint64_t packets, uint64_t packetBytes, uint64_t acks) {
  std::vector<double> runs;
  for (int i = 0; i < 5; i++) runs.push_back(floorCpu(packets, packetBytes, acks));
  std::sort(runs.begin(), runs.end());
  return runs[runs.size() / 2];
}

void report(const RowResult &r) {
  const Snapshot &c = r.counted;
  double s = r.audioSeconds;
  double floor = floorMedian(c.packets, c.packetBytes, c.acks);
  double paced = floorPaced(c.packets / s, c.packets ? c.packetBytes / c.packets : 0, c.acks / s);
  std::printf("%s: %.1f s of audio, %s\n", r.name, s, r.ok ? "played" : "FAILED");
  std::printf(
      "  driver   %7.3f %% of a core (median of 1 s windows; over the whole row %.3f %%,"
      " %.3f s CPU for the process, %.0f %% of it in the kernel)\n",
      100 * r.medianRate, 100 * r.cpu / s, r.cpu, r.cpu > 0 ? 100 * r.system / r.cpu : 0.0);
  std::printf(
      "  floor    %7.3f %% of a core paced (the same sendto, poll and recvfrom per second,"
      " bare)\n",
      100 * paced);
  std::printf("           %7.3f %% back to back (%.3f s CPU: %llu sendto, %llu poll + recvfrom)\n",
              100 * floor / s, floor, (unsigned long long)c.packets, (unsigned long long)c.acks);
  std::printf("  ratio    %7.2f x the paced floor\n", paced > 0 ? r.medianRate / paced : 0.0);
  std::printf(
      "  per second: %.1f packets (%.0f bytes each), %.1f acknowledgements, %.1f datagram "
      "events\n",
      c.packets / s, c.packets ? double(c.packetBytes) / double(c.packets) : 0.0, c.acks / s,
      (c.packets + c.acks) / s);
  std::printf("              %.1f select/poll, %.1f send, %.1f recv, %.1f other recvfrom\n",
              c.waits / s, c.wakeSends / s, c.plainReceives / s, c.otherReceives / s);
  auto per = [](uint64_t ns, uint64_t n) { return n ? double(ns) / 1000.0 / double(n) : 0.0; };
  std::printf(
      "  between system calls %.0f us per second (the driver's own code); inside them:"
      " sendto %.1f us, recvfrom %.1f us, polling select %.1f us each\n",
      double(r.userNs) / 1000.0 / s, per(r.sendNs, c.packets + c.probes),
      per(r.receiveNs, c.acks + c.otherReceives), per(r.pollNs, r.polls));
  for (const ThreadTimes &t : r.threads) {
    std::printf("  thread %ld%s: %.3f %% of a core, %.1f wakeups per second\n", t.tid,
                t.tid == long(getpid()) ? " (application)" : "", 100 * double(t.ns) / 1e9 / s,
                double(t.runs) / s);
  }
}

}  // namespace

int main(int argc, char **argv) {
  int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  if (seconds < 1) seconds = 1;
  setenv("LUMIVOX_DRIVER", LUMIVOX_LIBRARY, 1);
  std::string only = argc > 2 ? argv[2] : "";
  std::vector<RowResult> rows;
  if (only.empty() || only == "lan") {
    rows.push_back(playRow("lan 44.1 kHz stereo 16-bit, no conversion", {}, seconds));
  }
  if (only.empty() || only == "resampled") {
    rows.push_back(
        playRow("resampled 44.1 kHz to 32 kHz stereo 16-bit", {"--rate", "32000"}, seconds));
  }
  bool ok = !rows.empty();
  for (const RowResult &r : rows) report(r), ok = ok && r.ok;
  return ok ? 0 : 1;
}
