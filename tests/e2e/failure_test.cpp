// What an application sees when the server is not what the driver needs:
// a server without a playback device, a server remembered as unreachable by
// the other processes of the session, a server that dies while it plays;
// and the driver's own end when the multimedia layer closes it, with
// nothing of it left in a program the application starts.
#include <signal.h>
#include <sndfile.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/e2e/e2e_support.h"
#include "tests/tools/tool_process.h"

namespace {

class Failures : public EndToEnd {
 protected:
  // Seconds of 44.1 kHz stereo silence for lumivox-play.
  std::string silenceWav(int seconds = 1) {
    std::string path = file("silence-" + std::to_string(seconds) + ".wav");
    SF_INFO info{};
    info.samplerate = 44100;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE *f = sf_open(path.c_str(), SFM_WRITE, &info);
    std::vector<int16_t> zeros(size_t(44100) * 2 * seconds);
    if (f) sf_writef_short(f, zeros.data(), sf_count_t(44100) * seconds), sf_close(f);
    return path;
  }
  int connections() { return server_->logCount("): connected"); }
};

std::vector<uint8_t> silence(size_t bytes) { return std::vector<uint8_t>(bytes, 0); }

// The sockets a program started now by this process holds: the
// descriptors it inherited, as it lists them itself.
int socketsAChildInherits() {
  FILE *child = popen("ls -l /proc/self/fd", "r");
  if (!child) return -1;
  int sockets = 0;
  char line[512];
  while (std::fgets(line, sizeof line, child)) sockets += std::strstr(line, "socket:") != nullptr;
  pclose(child);
  return sockets;
}

// The open fails on the setup reply, which lists no playback device: the
// connected callback ends the session and the wait with it. A server that
// answered is not remembered as unreachable: the next open, in another
// process, asks it again and fails the same way.
TEST_F(Failures, AnOutputOpenWithoutAPlaybackDeviceFailsAndTheNextOpenAsksAgain) {
  startSession(631);
  startServer({"--no-output-device"});
  Player player(pcmFormat(2, 44100, 16), silence(4410 * 4), 4410 * 4);
  auto begin = Clock::now();
  EXPECT_EQ(player.open(), MMSYSERR_NODRIVER);
  auto took = Clock::now() - begin;
  // The one observable difference between the two ends of the wait: a
  // failure by time-out would take the whole of the 5000 ms.
  EXPECT_LT(took, std::chrono::milliseconds(5000)) << "the open waited out its time-out";
  EXPECT_EQ(player.log.events().size(), 0u) << "no WOM_OPEN after a failed open";
  ASSERT_TRUE(server_->waitForLog("setup accepted: 1 devices"));
  ASSERT_TRUE(server_->waitForLog("closed by the driver"));
  const int before = connections();
  EXPECT_EQ(before, 1);

  std::string err;
  EXPECT_EQ(runTool(LUMIVOX_PLAY, {silenceWav()}, nullptr, &err), 3) << err;
  EXPECT_NE(err.find("MMSYSERR_NODRIVER"), std::string::npos) << err;
  EXPECT_TRUE(server_->waitForLog("): connected", before + 1))
      << "a server that answered is asked again";
}

// A server whose key is not the one this session holds (its key renewed
// since the pairing, say) turns the driver away after its proof: the open
// fails at once, and since the server answered, it is asked again next
// time rather than remembered as unreachable.
TEST_F(Failures, AServerThatRefusesTheKeyFailsTheOpenAtOnceWithoutAMark) {
  startSession(635);
  startServer({"--key-file", file("renewed.key")});
  Player player(pcmFormat(2, 44100, 16), silence(4410 * 4), 4410 * 4);
  auto begin = Clock::now();
  EXPECT_NE(player.open(), MMSYSERR_NOERROR);
  EXPECT_LT(Clock::now() - begin, std::chrono::milliseconds(5000)) << "no wait for an answer";
  ASSERT_TRUE(server_->waitForLog("does not match this server's key"));
  EXPECT_EQ(server_->logCount("stream 1 opened"), 0);
  const int before = connections();
  std::string err;
  EXPECT_EQ(runTool(LUMIVOX_PLAY, {silenceWav()}, nullptr, &err), 3) << err;
  EXPECT_TRUE(server_->waitForLog("): connected", before + 1)) << "no mark: asked again";
}

// A server killed mid-recording, its positions having crossed 2^32 on the
// wire: the take ends with the audio that came and nothing made up after
// it, and the tool fails at once, saying where it ended.
TEST_F(Failures, ARecordingWhoseServerDiesEndsAtItsAudioAndFails) {
  startSession(636);
  startServer({"--tone", "440", "--first-position", "4294923296"});  // 2^32 - 44000
  std::string take = file("take.wav"), err;
  int status = -1;
  std::thread recorder([&] {
    status = runTool(LUMIVOX_RECORD, {take, "--seconds", "8", "--stats", file("record.json")},
                     nullptr, &err);
  });
  ASSERT_TRUE(server_->waitForLog("opened: recording"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  kill(server_->pid(), SIGKILL);
  auto killed = Clock::now();
  recorder.join();
  EXPECT_LT(Clock::now() - killed, std::chrono::seconds(3)) << "the tool noticed at once";
  EXPECT_EQ(status, 3) << err;
  EXPECT_NE(err.find("the recording ended at 0:01"), std::string::npos) << err;
  std::ifstream json(file("record.json"));
  std::string stats((std::istreambuf_iterator<char>(json)), std::istreambuf_iterator<char>());
  size_t added = stats.find("\"headersAdded\":"), returned = stats.find("\"headersReturned\":");
  ASSERT_NE(returned, std::string::npos) << stats;
  EXPECT_EQ(std::atoi(stats.c_str() + added + 15), std::atoi(stats.c_str() + returned + 18))
      << "the device gives every header back by itself: " << stats;
  WavData wav = readWav(take);
  ASSERT_GT(wav.rate, 0);
  double seconds = double(wav.frames()) / wav.rate;
  EXPECT_GT(seconds, 1.0);
  EXPECT_LT(seconds, 2.5) << "no silence made up after the server's audio";
  std::vector<double> left = channelOf(wav.samples, wav.channels, 0);
  std::vector<double> tail(left.end() - wav.rate / 50, left.end());
  EXPECT_GT(rms(tail), 1000) << "the take ends with the tone, not with silence";
}

// The same for playback: with the server gone, the driver passes every
// header on and its position stands, and the tool says so within the 2 s
// it allows a device that has every buffer back, not the 10 s it allows
// a stream that waits for its server.
TEST_F(Failures, APlaybackWhoseServerDiesFailsWithinTwoSeconds) {
  startSession(637);
  startServer({});
  std::string err, wav = silenceWav(10);
  int status = -1;
  std::thread player([&] { status = runTool(LUMIVOX_PLAY, {wav}, nullptr, &err); });
  ASSERT_TRUE(server_->waitForLog("opened: playback"));
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  kill(server_->pid(), SIGKILL);
  auto killed = Clock::now();
  player.join();
  EXPECT_LT(Clock::now() - killed, std::chrono::milliseconds(3500));
  EXPECT_EQ(status, 3) << err;
  EXPECT_NE(err.find("stood still for 2 s with every buffer given back"), std::string::npos) << err;
}

// The connection goes while headers are queued: the stream passes every
// header on, to nowhere, and the draining close returns with all of them
// back in write order and WOM_CLOSE last. Positions read 0 once the
// stream has lost its play sender, so they are not checked here.
TEST_F(Failures, AServerKilledWhilePlayingLetsTheCloseReturnEveryHeader) {
  startSession(632);
  startServer({"--min-lead", "1024"});
  Player player(pcmFormat(2, 44100, 16), silence(44100 * 4 * 3), 4410 * 4);  // 3 s
  player.checkPositions = false;
  ASSERT_EQ(player.open(), MMSYSERR_NOERROR);
  player.play(8, 12);
  ASSERT_TRUE(player.log.waitFor(WOM_DONE, 3));
  ASSERT_EQ(kill(server_->pid(), SIGKILL), 0);
  EXPECT_EQ(server_->wait(), -1);
  player.play(8);
  ASSERT_EQ(player.close(), MMSYSERR_NOERROR);
  player.expectCallbacksInOrder();
}

// DRV_CLOSE, once every device is closed, stops the I/O thread and leaves
// nothing of the driver behind; until then the thread lives on.
TEST_F(Failures, DriverCloseAfterTheDevicesClosedEndsTheIoThread) {
  startSession(633);
  startServer({"--fast"});
  {
    Player player(pcmFormat(1, 22050, 16), silence(22050 * 2), 2205 * 2);
    ASSERT_EQ(player.open(), MMSYSERR_NOERROR);
    player.play(4);
    ASSERT_EQ(player.close(), MMSYSERR_NOERROR);
  }
  WAVEFORMATEX format = pcmFormat(1, 8000, 8);
  HWAVEIN in = nullptr;
  ASSERT_EQ(waveInOpen(&in, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInStart(in), MMSYSERR_NOERROR);
  // A program the application starts takes none of the driver's sockets
  // along: it would keep the connection and the stream open on the server
  // after the device closed.
  EXPECT_EQ(socketsAChildInherits(), 0);
  ASSERT_EQ(waveInStop(in), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInClose(in), MMSYSERR_NOERROR);
  // The server's reader thread is one of ours, the I/O thread the other.
  EXPECT_EQ(threadCount(), baseThreads_ + 2) << "the I/O thread lives until DRV_CLOSE";
  expectDriverGone();
}

// fork while a device plays: the child has neither the I/O thread nor
// the lock's owner. It starts the driver from nothing: its own device opens
// and closes, and its unload (DRV_CLOSE) returns at once instead of
// waiting for a thread that is not there. The parent's device plays on.
TEST_F(Failures, AForkedChildStartsTheDriverAfresh) {
  startSession(634);
  startServer({"--fast"});
  Player player(pcmFormat(1, 22050, 16), silence(22050 * 2), 2205 * 2);
  ASSERT_EQ(player.open(), MMSYSERR_NOERROR);
  player.play(4, 5);
#ifdef __SANITIZE_THREAD__
  // ThreadSanitizer starts no thread in the child of a process with threads:
  // there the child only unloads the driver, which must not wait either.
  constexpr bool CHILD_OPENS = false;
#else
  constexpr bool CHILD_OPENS = true;
#endif
  pid_t child = fork();
  if (child == 0) {
    // No test macros here: the child reports through its exit status.
    int status = 0;
    if (CHILD_OPENS) {
      WAVEFORMATEX format = pcmFormat(1, 8000, 16);
      HWAVEOUT own = nullptr;
      bool opened =
          waveOutOpen(&own, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL) == MMSYSERR_NOERROR;
      status = opened && waveOutClose(own) == MMSYSERR_NOERROR ? 0 : 1;
    }
    mmhostUnload();
    _exit(status);
  }
  ASSERT_GT(child, 0);
  int status = -1;
  auto until = Clock::now() + std::chrono::milliseconds(E2E_WAIT_MS);
  while (waitpid(child, &status, WNOHANG) == 0 && Clock::now() < until) usleep(10000);
  if (!WIFEXITED(status)) {
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    FAIL() << "the child did not exit: it waited for the parent's driver, or died";
  }
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's own device did not open and close";
  player.play(4);
  ASSERT_EQ(player.close(), MMSYSERR_NOERROR);
  player.expectCallbacksInOrder();
  if (CHILD_OPENS) EXPECT_TRUE(server_->waitForLog("): connected", 2));
}

}  // namespace
