#include "tests/e2e/e2e_support.h"

#include <dirent.h>
#include <sndfile.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/posix/memtime.h"
#include "tools/common/keyfile.h"

void EventLog::add(UINT message, WAVEHDR *header) {
  std::lock_guard<std::mutex> hold(mutex_);
  events_.push_back({message, header, header ? header->dwBytesRecorded : 0, Clock::now()});
  grown_.notify_all();
}

std::vector<WaveEvent> EventLog::events() {
  std::lock_guard<std::mutex> hold(mutex_);
  return events_;
}

size_t EventLog::count(UINT message) {
  std::lock_guard<std::mutex> hold(mutex_);
  return size_t(std::count_if(events_.begin(), events_.end(),
                              [message](const WaveEvent &e) { return e.message == message; }));
}

bool EventLog::waitFor(UINT message, size_t n) {
  std::unique_lock<std::mutex> hold(mutex_);
  return grown_.wait_for(hold, std::chrono::milliseconds(E2E_WAIT_MS), [&] {
    return size_t(std::count_if(events_.begin(), events_.end(), [message](const WaveEvent &e) {
             return e.message == message;
           })) >= n;
  });
}

void CALLBACK waveCallback(HDRVR, UINT message, DWORD_PTR instance, DWORD_PTR param1, DWORD_PTR) {
  bool carriesHeader = message == WOM_DONE || message == WIM_DATA;
  reinterpret_cast<EventLog *>(instance)->add(
      message, carriesHeader ? reinterpret_cast<WAVEHDR *>(param1) : nullptr);
}

WAVEFORMATEX pcmFormat(WORD channels, DWORD rate, WORD bits) {
  WORD block = WORD(channels * bits / 8);
  return {WAVE_FORMAT_PCM, channels, rate, rate * block, block, bits, 0};
}

int threadCount() {
  int count = 0;
  DIR *dir = opendir("/proc/self/task");
  if (!dir) return -1;
  while (dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count;
}

void EndToEnd::SetUp() { setenv("LUMIVOX_DRIVER", LUMIVOX_LIBRARY, 1); }

void EndToEnd::startSession(int display) {
  display_ = display;
  dir_ = std::make_unique<RuntimeDir>();
  ASSERT_FALSE(dir_->path().empty());
  // The server's key where the server and the session look for it by
  // default, so that the session publishes it with no option, as on a
  // machine that is both terminal and host; the server gets it named.
  setenv("XDG_CONFIG_HOME", (dir_->path() + "/config").c_str(), 1);
  keyFile_ = keyFileDefault();
  uint8_t key[KEY_BYTES];
  std::string error;
  ASSERT_NE(keyFileLoad(keyFile_, true, key, error), KeyFileResult::FAILED) << error;
  std::string number = std::to_string(display_);
  session_ = std::make_unique<SessionProcess>(std::vector<std::string>{
      "--session", "1", "--record", "1", "--address", "127.0.0.1", "--display", number});
  ASSERT_TRUE(session_->ready()) << session_->line();
  // A runtime may start a helper thread of its own with the first thread
  // the process creates (ThreadSanitizer does): one is made and joined
  // here, so that the helper is in the baseline. A joined thread may take
  // a moment more to leave the process: the count waits for it.
  pid_t joined = 0;
  std::thread([&joined] { joined = pid_t(syscall(SYS_gettid)); }).join();
  std::string task = "/proc/self/task/" + std::to_string(joined);
  for (auto until = Clock::now() + std::chrono::seconds(5);
       access(task.c_str(), F_OK) == 0 && Clock::now() < until;) {
    std::this_thread::yield();
  }
  baseThreads_ = threadCount();
  baseDescriptors_ = openDescriptorCount();
}

void EndToEnd::startServer(const std::vector<std::string> &options) {
  std::vector<std::string> all{"--listen",   "127.0.0.1", "--display", std::to_string(display_),
                               "--key-file", keyFile_};
  all.insert(all.end(), options.begin(), options.end());
  server_ = std::make_unique<ServerProcess>(all);
  ASSERT_TRUE(server_->ready()) << server_->log();
  ASSERT_EQ(server_->port(), port());
}

void EndToEnd::expectDriverGone() {
  checked_ = true;
  // The server's log reader is a thread of ours and its pipe a descriptor:
  // the server goes first, so that what is left is the driver's.
  server_.reset();
  mmhostUnload();
  // The stop has waited for the thread's function to return; the thread
  // itself may take a moment more to leave the process.
  for (auto until = Clock::now() + std::chrono::seconds(5);
       threadCount() > baseThreads_ && Clock::now() < until;) {
    std::this_thread::yield();
  }
  EXPECT_EQ(threadCount(), baseThreads_) << "the I/O thread ends with DRV_CLOSE";
  EXPECT_EQ(openDescriptorCount(), baseDescriptors_) << "no socket or descriptor is left";
  EXPECT_EQ(lvLocalAllocLive(), 0) << "every block the driver allocated is freed";
}

void EndToEnd::TearDown() {
  unsetenv("XDG_CONFIG_HOME");
  if (!checked_ && dir_) expectDriverGone();
  server_.reset();
  session_.reset();
  dir_.reset();
  unsetenv("LUMIVOX_DRIVER");
}

WavData readWav(const std::string &path) {
  WavData wav;
  SF_INFO info{};
  SNDFILE *f = sf_open(path.c_str(), SFM_READ, &info);
  if (!f) return wav;
  wav.rate = info.samplerate;
  wav.channels = info.channels;
  wav.samples.resize(size_t(info.frames) * size_t(info.channels));
  sf_count_t got = sf_readf_short(f, wav.samples.data(), info.frames);
  wav.samples.resize(size_t(got) * size_t(info.channels));
  sf_close(f);
  return wav;
}

std::vector<double> channelOf(const std::vector<int16_t> &samples, int channels, int channel) {
  std::vector<double> x;
  x.reserve(samples.size() / size_t(channels));
  for (size_t i = size_t(channel); i < samples.size(); i += size_t(channels))
    x.push_back(samples[i]);
  return x;
}

SineFit fitSine(const std::vector<double> &x, double rate, double hz) {
  // Normal equations of x ~ a sin + b cos + c over the whole signal.
  double ss = 0, cc = 0, sc = 0, s1 = 0, c1 = 0, xs = 0, xc = 0, x1 = 0;
  const double w = 2 * M_PI * hz / rate;
  const double n = double(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    double s = std::sin(w * double(i)), c = std::cos(w * double(i));
    ss += s * s, cc += c * c, sc += s * c, s1 += s, c1 += c;
    xs += x[i] * s, xc += x[i] * c, x1 += x[i];
  }
  // Solve the 3 x 3 system by Cramer's rule.
  double m[3][3] = {{ss, sc, s1}, {sc, cc, c1}, {s1, c1, n}};
  double r[3] = {xs, xc, x1};
  auto det = [](double a[3][3]) {
    return a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
           a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
           a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  };
  double d = det(m);
  double coef[3];
  for (int k = 0; k < 3; ++k) {
    double t[3][3];
    for (int i = 0; i < 3; ++i) {
      for (int j = 0; j < 3; ++j) t[i][j] = j == k ? r[i] : m[i][j];
    }
    coef[k] = d != 0 ? det(t) / d : 0;
  }
  double signal = 0, noise = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    double fit = coef[0] * std::sin(w * double(i)) + coef[1] * std::cos(w * double(i)) + coef[2];
    signal += fit * fit;
    noise += (x[i] - fit) * (x[i] - fit);
  }
  SineFit result;
  result.amplitude = std::hypot(coef[0], coef[1]);
  result.snrDb = noise > 0 ? 10 * std::log10(signal / noise) : 200;
  return result;
}

double zeroCrossingFrequency(const std::vector<double> &x, double rate) {
  double first = -1, last = -1;
  int crossings = 0;
  for (size_t i = 1; i < x.size(); ++i) {
    if ((x[i - 1] < 0) != (x[i] < 0)) {
      double t = double(i - 1) + x[i - 1] / (x[i - 1] - x[i]);
      if (first < 0) first = t;
      last = t;
      ++crossings;
    }
  }
  if (crossings < 2 || last <= first) return 0;
  return (crossings - 1) / 2.0 / ((last - first) / rate);
}

double rms(const std::vector<double> &x) {
  double sum = 0;
  for (double v : x) sum += v * v;
  return x.empty() ? 0 : std::sqrt(sum / double(x.size()));
}

double median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double largest(const std::vector<double> &values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

WaveFormatRecord sampleFormat(WORD channels, DWORD rate, WORD bits, bool isFloat, bool extensible) {
  WaveFormatRecord f = {};
  WORD tag = isFloat ? 3 : WAVE_FORMAT_PCM;  // WAVE_FORMAT_IEEE_FLOAT
  f.ex = {tag, channels, rate, 0, WORD(channels * bits / 8), bits, 0};
  if (extensible) {
    f.ex.wFormatTag = 0xFFFE;  // WAVE_FORMAT_EXTENSIBLE
    f.ex.cbSize = sizeof f - sizeof f.ex;
    f.validBits = bits;
    f.channelMask = channels == 2 ? 3 : 4;
    // {0000000X-0000-0010-8000-00AA00389B71}, X the plain tag.
    const uint8_t guid[16] = {uint8_t(tag), 0, 0, 0,    0, 0,    0x10, 0,
                              0x80,         0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    std::memcpy(f.subformat, guid, sizeof guid);
  }
  return f;
}

Player::Player(const WAVEFORMATEX &format, std::vector<uint8_t> data, size_t headerBytes)
    : data_(std::move(data)) {
  std::memcpy(&format_, &format, std::min(sizeof format + format.cbSize, sizeof(WaveFormatRecord)));
  for (size_t at = 0; at < data_.size(); at += headerBytes) {
    WAVEHDR h = {};
    h.lpData = reinterpret_cast<LPSTR>(data_.data() + at);
    h.dwBufferLength = DWORD(std::min(headerBytes, data_.size() - at));
    headers.push_back(h);
  }
}

Player::~Player() {
  if (handle) waveOutReset(handle), waveOutClose(handle);
}

MMRESULT Player::open() {
  return waveOutOpen(&handle, WAVE_MAPPER, &format_.ex, reinterpret_cast<DWORD_PTR>(waveCallback),
                     reinterpret_cast<DWORD_PTR>(&log), CALLBACK_FUNCTION);
}

void Player::readPosition() {
  MMTIME time = {};
  time.wType = TIME_SAMPLES;
  ASSERT_EQ(waveOutGetPosition(handle, &time, sizeof time), MMSYSERR_NOERROR);
  ASSERT_EQ(time.wType, UINT(TIME_SAMPLES));
  DWORD position = time.u.sample;
  ++positionReads;
  if (!checkPositions) return;
  EXPECT_GE(LONG(position - lastPosition), 0) << "the position went back at read " << positionReads;
  EXPECT_LE(LONG(position - framesWritten), 0) << "the position passed the frames written";
  lastPosition = position;
}

void Player::play(size_t inFlight, size_t until) {
  until = std::min(until, headers.size());
  while (written < until) {
    if (written - log.count(WOM_DONE) >= inFlight) {
      ASSERT_TRUE(log.waitFor(WOM_DONE, written - inFlight + 1)) << "no WOM_DONE came";
      readPosition();
    }
    WAVEHDR *h = &headers[written];
    ASSERT_EQ(waveOutPrepareHeader(handle, h, sizeof *h), MMSYSERR_NOERROR);
    ASSERT_EQ(waveOutWrite(handle, h, sizeof *h), MMSYSERR_NOERROR);
    ++written;
    framesWritten += h->dwBufferLength / format_.ex.nBlockAlign;
    readPosition();
  }
}

MMRESULT Player::close() {
  MMRESULT result = waveOutClose(handle);
  if (result == MMSYSERR_NOERROR) handle = nullptr;
  return result;
}

void Player::expectCallbacksInOrder() {
  std::vector<WaveEvent> seen = log.events();
  ASSERT_EQ(seen.size(), written + 2);
  EXPECT_EQ(seen.front().message, UINT(WOM_OPEN));
  EXPECT_EQ(seen.back().message, UINT(WOM_CLOSE));
  for (size_t i = 0; i < written; ++i) {
    EXPECT_EQ(seen[i + 1].message, UINT(WOM_DONE)) << "callback " << i + 1;
    EXPECT_EQ(seen[i + 1].header, &headers[i])
        << "WOM_DONE " << i << " is not the header written " << i << "th";
    EXPECT_TRUE(headers[i].dwFlags & WHDR_DONE);
    EXPECT_FALSE(headers[i].dwFlags & WHDR_INQUEUE);
  }
}
