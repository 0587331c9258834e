// End-to-end latencies of the driver on loopback, measured with the real
// processes: lumivox-session publishing a session whose terminal is
// 127.0.0.1, lumivox-server playing at real time, and the driver loaded by
// the host.
//
//   open:   from waveOutOpen to the WOM_OPEN callback, against the bare
//           exchange the open needs (TCP connect, setup, open-stream) made
//           by a raw client in the same run;
//   write:  from waveOutWrite of a header to the first datagram that
//           carries its audio, on an idle device (one 10 ms header at a
//           time) and while streaming (four 23 ms headers queued).
//
// The datagrams are seen where they leave the driver: this program puts
// its own sendto in front of the system's (it is exported, so the driver
// library binds to it) and notes the time and the frames of each audio
// packet. Loopback adds its own few microseconds after that.
//
//   latency_bench [ROUNDS]   (default 40)
//
// Prints medians and worst cases in milliseconds. Not a test: nothing is
// asserted.
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
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

using Clock = std::chrono::steady_clock;
constexpr int DISPLAY = 690;  // port 9690
constexpr int WAIT_MS = 10000;

double msBetween(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

// ---- The datagrams the driver sends.

struct Sent {
  Clock::time_point at;
  uint32_t start, duration;  // application frames
};
constexpr size_t SENT_MAX = 1 << 16;
Sent sentLog[SENT_MAX];
std::atomic<size_t> sentCount{0};

}  // namespace

// Audio packets are 12-byte headers with a nonzero kind at byte 8; probes
// (kind 0) and acknowledgements (16 bytes, sent only by recordings) are
// not noted.
extern "C" ssize_t sendto(int s, const void *data, size_t bytes, int flags, const sockaddr *to,
                          socklen_t toBytes) {
  using SendTo = ssize_t (*)(int, const void *, size_t, int, const sockaddr *, socklen_t);
  static SendTo real = reinterpret_cast<SendTo>(dlsym(RTLD_NEXT, "sendto"));
  const uint8_t *p = static_cast<const uint8_t *>(data);
  if (bytes > 16 && p[8] != 0) {
    size_t n = sentCount.load();
    if (n < SENT_MAX) {
      uint32_t start = p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
      uint32_t duration = p[6] | p[7] << 8;
      sentLog[n] = {Clock::now(), start, duration};
      sentCount.store(n + 1);
    }
  }
  return real(s, data, bytes, flags, to, toBytes);
}

namespace {

// ---- The application side.

std::mutex eventsLock;
std::condition_variable eventsGrown;
std::vector<std::pair<UINT, Clock::time_point>> events;

void CALLBACK onWave(HDRVR, UINT message, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
  std::lock_guard<std::mutex> hold(eventsLock);
  events.push_back({message, Clock::now()});
  eventsGrown.notify_all();
}

size_t countOf(UINT message) {
  return size_t(std::count_if(events.begin(), events.end(),
                              [message](const auto &e) { return e.first == message; }));
}

bool waitForCount(UINT message, size_t n) {
  std::unique_lock<std::mutex> hold(eventsLock);
  return eventsGrown.wait_for(hold, std::chrono::milliseconds(WAIT_MS),
                              [&] { return countOf(message) >= n; });
}

const WAVEFORMATEX FORMAT = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};

HWAVEOUT openOut() {
  HWAVEOUT h = nullptr;
  if (waveOutOpen(&h, WAVE_MAPPER, &FORMAT, reinterpret_cast<DWORD_PTR>(onWave), 0,
                  CALLBACK_FUNCTION) != MMSYSERR_NOERROR) {
    std::fprintf(stderr, "latency_bench: waveOutOpen failed\n");
    std::exit(1);
  }
  return h;
}

// Open to WOM_OPEN, each a connection of its own.
std::vector<double> openTimes(int rounds) {
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    {
      std::lock_guard<std::mutex> hold(eventsLock);
      events.clear();
    }
    Clock::time_point begin = Clock::now();
    HWAVEOUT h = openOut();
    {
      std::lock_guard<std::mutex> hold(eventsLock);
      if (countOf(WOM_OPEN) == 1) times.push_back(msBetween(begin, events[0].second));
    }
    waveOutClose(h);
  }
  return times;
}

// The raw exchange: connect, setup, open-stream, each answer awaited.
bool rawRead(int fd, std::vector<uint8_t> &m) {
  m.assign(4, 0);
  auto readAll = [fd](uint8_t *into, size_t n) {
    while (n > 0) {
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, WAIT_MS) <= 0) return false;
      ssize_t got = read(fd, into, n);
      if (got <= 0) return false;
      into += got, n -= size_t(got);
    }
    return true;
  };
  if (!readAll(m.data(), 4)) return false;
  size_t bytes = size_t(m[2] | m[3] << 8) * 4;
  if (bytes <= 4) return true;
  m.resize(bytes);
  return readAll(m.data() + 4, bytes - 4);
}

std::vector<double> rawOpenTimes(int rounds) {
  const uint8_t setup[16] = {0, 0, 4, 0, 1};
  // Playback from 127.0.0.1 (little-endian 0x7F000001), UDP port 10000.
  uint8_t open[36] = {0, 0, 9, 0, 1, 0, 0, 127, 0x10, 0x27};
  const uint32_t fields[] = {44100, 1, 1024, 65536};  // rate, id, lead, maximum lead
  for (int i = 0; i < 4; ++i) {
    for (int b = 0; b < 4; ++b) open[12 + 4 * i + b] = uint8_t(fields[i] >> (8 * b));
  }
  open[28] = 1;  // the playback device
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    Clock::time_point begin = Clock::now();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(9000 + DISPLAY));
    a.sin_addr.s_addr = htonl(0x7F000001);
    std::vector<uint8_t> reply;
    bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 &&
              write(fd, setup, sizeof setup) == ssize_t(sizeof setup) && rawRead(fd, reply) &&
              write(fd, open, sizeof open) == ssize_t(sizeof open) && rawRead(fd, reply);
    if (ok) times.push_back(msBetween(begin, Clock::now()));
    close(fd);
  }
  return times;
}

// The first datagram after `from` in the log that carries frame `frame`.
bool firstCarrying(uint32_t frame, size_t from, Clock::time_point *at) {
  size_t n = sentCount.load();
  for (size_t i = from; i < n; ++i) {
    if (int32_t(sentLog[i].start + sentLog[i].duration - frame) > 0) {
      *at = sentLog[i].at;
      return true;
    }
  }
  return false;
}

// Writes `count` headers of `frames` frames, at most inFlight queued; an
// idle run (inFlight 1) waits 20 ms after each WOM_DONE so that the device
// is idle when the next header comes. Returns each header's write to its
// first datagram.
std::vector<double> writeLatencies(int count, DWORD frames, size_t inFlight) {
  {
    std::lock_guard<std::mutex> hold(eventsLock);
    events.clear();
  }
  HWAVEOUT h = openOut();
  std::vector<std::vector<int16_t>> data(static_cast<size_t>(count),
                                         std::vector<int16_t>(frames * 2, 1000));
  std::vector<WAVEHDR> headers(static_cast<size_t>(count));
  std::vector<Clock::time_point> writtenAt(static_cast<size_t>(count));
  size_t logStart = sentCount.load();
  for (int i = 0; i < count; ++i) {
    if (size_t(i) >= inFlight) waitForCount(WOM_DONE, size_t(i) - inFlight + 1);
    if (inFlight == 1 && i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    WAVEHDR &w = headers[size_t(i)];
    w.lpData = reinterpret_cast<LPSTR>(data[size_t(i)].data());
    w.dwBufferLength = frames * 4;
    waveOutPrepareHeader(h, &w, sizeof w);
    writtenAt[size_t(i)] = Clock::now();
    waveOutWrite(h, &w, sizeof w);
  }
  waveOutClose(h);
  std::vector<double> latencies;
  for (int i = 0; i < count; ++i) {
    Clock::time_point at;
    if (firstCarrying(uint32_t(i) * frames, logStart, &at)) {
      latencies.push_back(msBetween(writtenAt[size_t(i)], at));
    }
  }
  return latencies;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void report(const char *what, const std::vector<double> &v) {
  double worst = v.empty() ? 0 : *std::max_element(v.begin(), v.end());
  std::printf("%-44s %4zu  median %8.3f ms  worst %8.3f ms\n", what, v.size(), median(v), worst);
}

}  // namespace

int main(int argc, char **argv) {
  int rounds = argc > 1 ? std::atoi(argv[1]) : 40;
  if (rounds < 1) rounds = 1;
  char pattern[] = "/tmp/lvlatency-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  std::string dir = pattern;
  setenv("LUMIVOX_RUNTIME_DIR", dir.c_str(), 1);
  setenv("LUMIVOX_DRIVER", LUMIVOX_LIBRARY, 1);
  std::string display = std::to_string(DISPLAY);
  BenchChild session = benchSpawnUntil("latency_bench", LUMIVOX_SESSION,
                                       {"--session", "1", "--record", "1", "--address", "127.0.0.1",
                                        "--display", display, "--no-key"},
                                       1, "lumivox-session: ready", WAIT_MS);
  // At its default minimum lead the server's 10 ms playout steps run the
  // stream dry; 1024 frames cover them.
  BenchChild server =
      benchSpawnUntil("latency_bench", LUMIVOX_SERVER,
                      {"--no-auth", "--display", display, "--verbose", "0", "--min-lead", "1024"},
                      2, "lumivox-server: listening on", WAIT_MS);

  std::vector<double> raw = rawOpenTimes(rounds);
  std::vector<double> open = openTimes(rounds);
  std::vector<double> idle = writeLatencies(rounds, 441, 1);
  std::vector<double> streaming = writeLatencies(rounds * 5, 1024, 4);
  report("raw connect + setup + open-stream exchange", raw);
  report("WODM_OPEN to WOM_OPEN", open);
  std::printf("%-44s        median %8.2f x the raw exchange\n", "", median(open) / median(raw));
  report("WODM_WRITE to first datagram, idle device", idle);
  report("WODM_WRITE to first datagram, 4 x 1024 queued", streaming);

  mmhostUnload();
  benchStop(server);
  benchStop(session);
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
  return 0;
}
