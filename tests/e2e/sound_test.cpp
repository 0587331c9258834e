// Through the real driver to a real sound server: a private daemon with a
// null sink (whose monitor shows what the sink played) and a sine source,
// in the case's runtime directory, with no hardware. What an application
// plays arrives at the sink at its level and frequency, two applications
// are mixed, the output volume scales the stream, and a recording comes
// from the source.
#include <pulse/error.h>
#include <pulse/simple.h>
#include <signal.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/mixer_support.h"
#include "tests/support/spawn.h"
#include "tests/support/tone.h"
#include "tests/tools/tool_process.h"

namespace {

constexpr int SINK_RATE = 48000;
constexpr double SOURCE_HZ = 440;  // the sine source's frequency

// Little-endian 16-bit stereo PCM of a sine on both channels.
std::vector<uint8_t> stereoTone(double hz, double amplitude, double seconds) {
  size_t frames = size_t(seconds * SINK_RATE);
  std::vector<uint8_t> bytes(frames * 4);
  for (size_t i = 0; i < frames; ++i) {
    auto v = int16_t(std::lrint(amplitude * std::sin(TWO_PI * hz * double(i) / SINK_RATE)));
    for (int c = 0; c < 2; ++c) {
      bytes[4 * i + 2 * c] = uint8_t(v);
      bytes[4 * i + 2 * c + 1] = uint8_t(uint16_t(v) >> 8);
    }
  }
  return bytes;
}

// The left channel where the sink played something: from the first to the
// last 10 ms block above a small level, less 100 ms at each end.
std::vector<double> playedPart(const std::vector<int16_t> &stereo) {
  std::vector<double> left = channelOf(stereo, 2, 0);
  const size_t block = SINK_RATE / 100, margin = SINK_RATE / 10;
  size_t first = SIZE_MAX, last = 0;
  for (size_t at = 0; at + block <= left.size(); at += block) {
    std::vector<double> b(left.begin() + long(at), left.begin() + long(at + block));
    if (rms(b) < 300) continue;
    first = std::min(first, at);
    last = at + block;
  }
  if (first == SIZE_MAX || last - first <= 2 * margin) return {};
  return {left.begin() + long(first + margin), left.begin() + long(last - margin)};
}

// The fit of a sine of `hz` over each 100 ms of x and its frequency there,
// and the medians of each: a moment where the sink ran dry on a busy
// machine leaves the figures of the rest as they are.
struct ToneFit {
  double amplitude, snrDb, hz;
};
ToneFit medianFit(const std::vector<double> &x, double hz) {
  std::vector<double> amplitudes, ratios, frequencies;
  const size_t window = SINK_RATE / 10;
  for (size_t at = 0; at + window <= x.size(); at += window) {
    std::vector<double> part(x.begin() + long(at), x.begin() + long(at + window));
    SineFit f = fitSine(part, SINK_RATE, hz);
    amplitudes.push_back(f.amplitude);
    ratios.push_back(f.snrDb);
    frequencies.push_back(zeroCrossingFrequency(part, SINK_RATE));
  }
  return {median(amplitudes), median(ratios), median(frequencies)};
}

class SoundSystem : public EndToEnd {
 protected:
  // A private sound server in the case's runtime directory; the case is
  // skipped when this machine has none installed.
  void startSoundServer() {
    if (access("/usr/bin/pulseaudio", X_OK) != 0) GTEST_SKIP() << "no pulseaudio installed";
    std::string home = file("sound"), socket = home + "/native";
    mkdir(home.c_str(), 0700);
    std::ofstream(home + "/default.pa")
        << "load-module module-null-sink sink_name=lumivox_null rate=48000 channels=2\n"
        << "load-module module-sine-source source_name=lumivox_sine rate=48000 frequency="
        << SOURCE_HZ << "\n"
        << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << socket << "\n"
        << "set-default-sink lumivox_null\n";
    setenv("HOME", home.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", home.c_str(), 1);
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    daemon_ = spawnProgram(
        "/usr/bin/pulseaudio",
        {"-n", "-F", home + "/default.pa", "--daemonize=no", "--exit-idle-time=-1",
         "--use-pid-file=no", "--system=false", "--log-target=file:" + home + "/daemon.log"},
        nullptr, nullptr);
    ASSERT_GT(daemon_, 0);
    server_name_ = "unix:" + socket;
    for (auto until = Clock::now() + std::chrono::milliseconds(E2E_WAIT_MS);
         access(socket.c_str(), F_OK) != 0;) {
      ASSERT_LT(Clock::now(), until) << "the sound server did not start";
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  void startServerOnSound(std::vector<std::string> options) {
    options.insert(options.end(), {"--sound-server", server_name_});
    startServer(options);
    ASSERT_TRUE(server_->waitForLog("sound system: playing to")) << server_->log();
  }

  void TearDown() override {
    EndToEnd::TearDown();
    if (daemon_ > 0) {
      kill(daemon_, SIGTERM);
      waitpid(daemon_, nullptr, 0);
    }
  }

  // Records the sink's monitor for `seconds` on a thread while `play` runs.
  std::vector<int16_t> monitorWhile(double seconds, const std::function<void()> &play) {
    std::vector<int16_t> samples(size_t(seconds * SINK_RATE) * 2);
    pa_sample_spec format{PA_SAMPLE_S16LE, SINK_RATE, 2};
    int error = 0;
    pa_simple *monitor =
        pa_simple_new(server_name_.c_str(), "test", PA_STREAM_RECORD, "lumivox_null.monitor",
                      "monitor", &format, nullptr, nullptr, &error);
    EXPECT_TRUE(monitor) << pa_strerror(error);
    if (!monitor) return {};
    std::thread reader(
        [&] { pa_simple_read(monitor, samples.data(), samples.size() * 2, &error); });
    play();
    reader.join();
    pa_simple_free(monitor);
    return samples;
  }

  pid_t daemon_ = -1;
  std::string server_name_;
};

void play(const std::vector<uint8_t> &pcm) {
  Player player(pcmFormat(2, SINK_RATE, 16), pcm, SINK_RATE / 10 * 4);
  ASSERT_EQ(player.open(), MMSYSERR_NOERROR);
  player.play(4);
  ASSERT_EQ(player.close(), MMSYSERR_NOERROR);
}

// A tone at half of full scale arrives at the sink as it was played; at an
// output volume of one half it arrives 6 dB lower.
TEST_F(SoundSystem, AToneArrivesAtTheSinkAndTheOutputVolumeScalesIt) {
  startSession(701);
  startSoundServer();
  startServerOnSound({});
  std::vector<uint8_t> tone = stereoTone(1000, 16384, 2);
  std::vector<double> full = playedPart(monitorWhile(3, [&] { play(tone); }));
  ASSERT_EQ(setVolume(MIXER_CONTROL_OUTPUT, 0x8000), MMSYSERR_NOERROR);
  std::vector<double> half = playedPart(monitorWhile(3, [&] { play(tone); }));
  ASSERT_GT(full.size(), size_t(SINK_RATE));
  ASSERT_GT(half.size(), size_t(SINK_RATE));

  ToneFit a = medianFit(full, 1000), b = medianFit(half, 1000);
  EXPECT_NEAR(a.hz, 1000, 1);
  EXPECT_NEAR(a.amplitude, 16384, 16384 * 0.02);
  EXPECT_GT(a.snrDb, 40) << server_->log();
  double stepDb = 20 * std::log10(b.amplitude / a.amplitude);
  EXPECT_NEAR(stepDb, -6.02, 0.2);
  std::printf("at the sink: %.1f (SNR %.1f dB), at volume 0x8000 %.1f: %+.2f dB\n", a.amplitude,
              a.snrDb, b.amplitude, stepDb);
}

// Two applications at once: the sink plays both tones, each at its level.
TEST_F(SoundSystem, TwoStreamsAtOnceAreMixed) {
  startSession(702);
  startSoundServer();
  startServerOnSound({});
  std::vector<uint8_t> low = stereoTone(440, 8000, 2), high = stereoTone(1000, 8000, 2);
  // Both open before either plays, so that they play together.
  Player one(pcmFormat(2, SINK_RATE, 16), low, SINK_RATE / 10 * 4);
  Player two(pcmFormat(2, SINK_RATE, 16), high, SINK_RATE / 10 * 4);
  ASSERT_EQ(one.open(), MMSYSERR_NOERROR);
  ASSERT_EQ(two.open(), MMSYSERR_NOERROR);
  std::vector<double> both = playedPart(monitorWhile(3, [&] {
    std::thread other([&] { two.play(4); });
    one.play(4);
    other.join();
  }));
  EXPECT_EQ(one.close(), MMSYSERR_NOERROR);
  EXPECT_EQ(two.close(), MMSYSERR_NOERROR);
  ASSERT_GT(both.size(), size_t(SINK_RATE));
  // Where both streams play: the middle second.
  std::vector<double> middle(both.begin() + long(both.size() / 2 - SINK_RATE / 2),
                             both.begin() + long(both.size() / 2 + SINK_RATE / 2));
  double a = medianFit(middle, 440).amplitude;
  double b = medianFit(middle, 1000).amplitude;
  EXPECT_NEAR(a, 8000, 8000 * 0.03);
  EXPECT_NEAR(b, 8000, 8000 * 0.03);
  std::printf("mixed at the sink: 440 Hz at %.1f, 1000 Hz at %.1f\n", a, b);
}

// A playlist through the sound system: three files in a row, each on a
// stream of its own, and the device reports every frame of each played,
// the last ones too, so that the tool ends each file once it is heard
// rather than when its wait for the last frames runs out. The sound
// system buffers 100 ms: the last frames play long after the last packet,
// when the server has no more reports paid for, and the driver asks.
TEST_F(SoundSystem, APlaylistPlaysToItsLastFrame) {
  startSession(704);
  startSoundServer();
  startServerOnSound({"--sound-latency", "100"});
  std::vector<std::string> files;
  std::vector<uint8_t> tone = stereoTone(660, 8000, 2);
  for (const char *name : {"a.wav", "b.wav", "c.wav"}) {
    files.push_back(file(name));
    SF_INFO info{};
    info.samplerate = SINK_RATE;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(files.back().c_str(), SFM_WRITE, &info);
    ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
    sf_writef_short(f, reinterpret_cast<const int16_t *>(tone.data()), sf_count_t(tone.size() / 4));
    sf_close(f);
  }
  std::vector<std::string> arguments{"--stats", file("play.json")};
  arguments.insert(arguments.end(), files.begin(), files.end());
  std::string err;
  auto start = Clock::now();
  ASSERT_EQ(runTool(LUMIVOX_PLAY, arguments, nullptr, &err), 0) << err;
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::ifstream in(file("play.json"));
  std::string stats((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(stats.find("\"framesWritten\":288000,\"framesPlayed\":288000,"), std::string::npos)
      << stats;
  std::printf("three files of 2 s through the sound system in %.2f s\n", seconds);
}

// The underruns a stream's closing line counts ("N underrun(s) of the
// sound system"); -1 without such a line.
int underrunsLogged(const std::string &log) {
  size_t at = log.find(" underrun");
  if (at == std::string::npos) return -1;
  size_t begin = log.rfind(' ', at - 1);
  return std::atoi(log.c_str() + begin + 1);
}

// What fails at the sound system is said, not hidden: a sink it does not
// have stops the server at start, naming the ones it has; a stream the
// application starves runs dry, and its closing line counts the gap, which
// leaves the buffering as it was; a server held up while audio waits
// raises it.
TEST_F(SoundSystem, ItsFailuresAreToldNotHidden) {
  startSession(705);
  startSoundServer();
  {
    ServerProcess wrong({"--port", "0", "--sound-server", server_name_, "--sink", "no_such_sink"});
    EXPECT_FALSE(wrong.ready());
    EXPECT_EQ(wrong.wait(), 1);
    EXPECT_NE(wrong.log().find("--sink no_such_sink: the sound server has no such sink; it has: "
                               "lumivox_null"),
              std::string::npos)
        << wrong.log();
  }
  startServerOnSound({});
  {
    std::vector<uint8_t> tone = stereoTone(440, 8000, 1);
    Player player(pcmFormat(2, SINK_RATE, 16), tone, SINK_RATE / 10 * 4);
    ASSERT_EQ(player.open(), MMSYSERR_NOERROR);
    player.play(4, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // nothing to play
    player.play(4);
    ASSERT_EQ(player.close(), MMSYSERR_NOERROR);
  }
  ASSERT_TRUE(server_->waitForLog(" ended: "));
  int underruns = underrunsLogged(server_->log());
  std::string log = server_->log();
  size_t ended = log.find(" ended: ");
  std::printf("%s\n", log.substr(ended, log.find('\n', ended) - ended).c_str());
  EXPECT_GE(underruns, 1) << server_->log();
  // The starved gap is not the server's lateness; on a loaded machine the
  // stream's other gaps may be, and raise the buffering.
  EXPECT_LT(server_->logCount("buffering raised"), underruns) << server_->log();
  // The server's thread held up (stopped for 200 ms, as a busy machine
  // would hold it) while audio waits: the buffering rises. A new server,
  // so that the first stream's raises (up to the most, under a sanitizer)
  // leave room for this one.
  server_.reset();
  startServerOnSound({});
  {
    Player held(pcmFormat(2, SINK_RATE, 16), stereoTone(440, 8000, 2), SINK_RATE / 10 * 4);
    ASSERT_EQ(held.open(), MMSYSERR_NOERROR);
    std::thread stall([this] {
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
      kill(server_->pid(), SIGSTOP);
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
      kill(server_->pid(), SIGCONT);
    });
    held.play(4);
    stall.join();
    ASSERT_EQ(held.close(), MMSYSERR_NOERROR);
  }
  // Stopped, the server's libpulse thread stops too, and may pass on what
  // it held before it hears of the underrun: either reason raises it.
  EXPECT_TRUE(server_->waitForLog("its buffering raised to")) << server_->log();
  EXPECT_EQ(server_->logCount("raised to 15 ms (from 10 ms)"), 1);
  std::printf("a starved stream: %d underrun(s) counted\n", underruns);
}

// Runs pactl on the case's sound server; its output.
std::string pactl(const std::string &server, const std::string &arguments) {
  std::string out;
  if (FILE *p = popen(("pactl --server=" + server + " " + arguments + " 2>&1").c_str(), "r")) {
    char line[256];
    while (fgets(line, sizeof line, p)) out += line;
    pclose(p);
  }
  return out;
}

// A running stream follows the sound system. When its sink goes, the sound
// server moves it to its default sink, and the log says where. When the
// sound server dies, the stream plays on, to nothing, on the server's own
// clock, while a new playback is refused; a sound server started again is
// found within 2 s, and the running stream plays there: the tone is heard
// and the closing line counts what went to nothing.
TEST_F(SoundSystem, ARunningStreamFollowsItsSinkAndItsSoundServer) {
  startSession(706);
  startSoundServer();
  std::string module = pactl(server_name_, "load-module module-null-sink sink_name=lumivox_spare");
  ASSERT_GT(std::atoi(module.c_str()), 0) << module;
  startServerOnSound({"--sink", "lumivox_spare"});
  Player running(pcmFormat(2, SINK_RATE, 16), stereoTone(440, 8000, 10), SINK_RATE / 10 * 4);
  ASSERT_EQ(running.open(), MMSYSERR_NOERROR);
  std::thread playing([&] { running.play(4); });
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  pactl(server_name_, "unload-module " + std::to_string(std::atoi(module.c_str())));
  EXPECT_TRUE(server_->waitForLog("the sound system moved it to lumivox_null")) << server_->log();

  kill(daemon_, SIGKILL);
  waitpid(daemon_, nullptr, 0);
  daemon_ = -1;
  ASSERT_TRUE(server_->waitForLog("the sound server does not answer"));
  EXPECT_TRUE(server_->waitForLog("the sound system's stream failed: playing to nothing"));
  {
    Player refused(pcmFormat(2, SINK_RATE, 16), stereoTone(440, 8000, 0.2), SINK_RATE / 10 * 4);
    EXPECT_NE(refused.open(), MMSYSERR_NOERROR);
  }
  EXPECT_TRUE(server_->waitForLog("no sound server answers (playback would play to nothing)"));
  unlink((file("sound") + "/native").c_str());  // the killed daemon's socket
  startSoundServer();
  auto restarted = Clock::now();
  ASSERT_TRUE(server_->waitForLog("the sound server is back"));
  auto found = Clock::now() - restarted;
  EXPECT_LT(found, std::chrono::milliseconds(2500));
  EXPECT_TRUE(server_->waitForLog("playing to lumivox_null again")) << server_->log();
  std::vector<int16_t> heard = monitorWhile(0.6, [] {});
  playing.join();
  EXPECT_EQ(running.close(), MMSYSERR_NOERROR);
  std::printf("a restarted sound server found in %lld ms\n",
              (long long)std::chrono::duration_cast<std::chrono::milliseconds>(found).count());
  std::vector<double> left;
  for (size_t i = 0; i < heard.size(); i += 2) left.push_back(heard[i]);
  EXPECT_GT(medianFit(left, 440).amplitude, 4000) << server_->log();
  ASSERT_TRUE(server_->waitForLog(" ended: "));
  EXPECT_NE(server_->log().find(" of it to nothing"), std::string::npos) << server_->log();
}

// A recording through the driver comes from the source: its sine, clean.
TEST_F(SoundSystem, ARecordingComesFromTheSource) {
  startSession(703);
  startSoundServer();
  startServerOnSound({"--source", "lumivox_sine"});
  WAVEFORMATEX format = pcmFormat(1, SINK_RATE, 16);
  std::vector<int16_t> samples(SINK_RATE * 3 / 2);
  WAVEHDR header = {};
  header.lpData = reinterpret_cast<LPSTR>(samples.data());
  header.dwBufferLength = DWORD(samples.size() * 2);
  EventLog log;
  HWAVEIN handle = nullptr;
  ASSERT_EQ(waveInOpen(&handle, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(waveCallback),
                       reinterpret_cast<DWORD_PTR>(&log), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  EXPECT_EQ(waveInPrepareHeader(handle, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInAddBuffer(handle, &header, sizeof header), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
  EXPECT_TRUE(log.waitFor(WIM_DATA, 1));
  EXPECT_EQ(waveInReset(handle), MMSYSERR_NOERROR);
  EXPECT_EQ(waveInClose(handle), MMSYSERR_NOERROR);
  ASSERT_EQ(header.dwBytesRecorded, header.dwBufferLength);

  // The first 0.25 s holds the stream's start.
  std::vector<double> x(samples.begin() + SINK_RATE / 4, samples.end());
  ToneFit fit = medianFit(x, SOURCE_HZ);
  EXPECT_NEAR(fit.hz, SOURCE_HZ, 1);
  EXPECT_GT(fit.amplitude, 1000);
  EXPECT_GT(fit.snrDb, 40);
  std::printf("recorded from the source: %.1f at %.1f dB SNR\n", fit.amplitude, fit.snrDb);
}

}  // namespace
