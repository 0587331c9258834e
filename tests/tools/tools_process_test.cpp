// lumivox-play, lumivox-record and lumivox-volume run as processes against
// the recording driver module (tests/tools/tool_driver.cpp): what reaches
// the device, what ends up in the files, the exit statuses and messages,
// and the clean stop on SIGINT.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/session_process.h"
#include "tests/tools/tool_driver.h"
#include "tests/tools/tool_process.h"
#include "tools/common/wav.h"

namespace fs = std::filesystem;

namespace {

typedef std::vector<uint8_t> Bytes;

const char *const FAKE_VARIABLES[] = {"LUMIVOX_FAKE_LOG", "LUMIVOX_FAKE_PLAYED",
                                      "LUMIVOX_FAKE_FAIL", "LUMIVOX_FAKE_RECORD_FRAMES",
                                      "LUMIVOX_FAKE_VOLUME"};

class Tools : public ::testing::Test {
 protected:
  void SetUp() override {
    descriptors_ = openDescriptorCount();
    char pattern[] = "/tmp/lvtools-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    setenv("LUMIVOX_DRIVER", LUMIVOX_TOOL_DRIVER, 1);
    setenv("LUMIVOX_FAKE_LOG", (dir_ + "/log").c_str(), 1);
    setenv("LUMIVOX_FAKE_PLAYED", (dir_ + "/played").c_str(), 1);
  }
  void TearDown() override {
    unsetenv("LUMIVOX_DRIVER");
    for (const char *v : FAKE_VARIABLES) unsetenv(v);
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
    EXPECT_EQ(openDescriptorCount(), descriptors_) << "no pipe of a tool left open";
  }

  std::string path(const char *name) const { return dir_ + "/" + name; }

  static Bytes readFile(const std::string &file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  // The module's log, one call per line.
  std::vector<std::string> log() const {
    std::vector<std::string> lines;
    std::ifstream in(path("log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The logged lines that start with prefix.
  std::vector<std::string> logged(const std::string &prefix) const {
    std::vector<std::string> lines;
    for (const std::string &l : log()) {
      if (l.rfind(prefix, 0) == 0) lines.push_back(l);
    }
    return lines;
  }
  // Index of the first logged line starting with prefix, or -1.
  long firstLogged(const std::string &prefix) const {
    std::vector<std::string> lines = log();
    for (size_t i = 0; i < lines.size(); ++i) {
      if (lines[i].rfind(prefix, 0) == 0) return long(i);
    }
    return -1;
  }

  // A WAV file of frames pseudo-random frames, so that bytes out of order
  // would show.
  Bytes writeWav(const char *name, const WavFormat &format, size_t frames) {
    Bytes samples(frames * format.blockAlign);
    uint32_t state = 12345;
    for (uint8_t &b : samples) b = uint8_t((state = state * 1103515245u + 12345u) >> 16);
    Bytes file = wavHeader(format, uint32_t(samples.size()));
    file.insert(file.end(), samples.begin(), samples.end());
    std::ofstream(path(name), std::ios::binary)
        .write(reinterpret_cast<const char *>(file.data()), std::streamsize(file.size()));
    return samples;
  }

  // Checks the device was reset, its headers unprepared and it was closed,
  // in that order, once.
  void expectCleanClose(const char *entry, size_t headers) {
    std::string e = entry;
    long reset = firstLogged(e + " RESET"), close = firstLogged(e + " CLOSE");
    EXPECT_GE(reset, 0);
    EXPECT_GT(close, reset);
    EXPECT_EQ(logged(e + " CLOSE").size(), 1u);
    EXPECT_EQ(logged(e + " CLOSE queued=0").size(), 1u);
    EXPECT_EQ(logged(e + " UNPREPARE").size(), headers);
  }

  std::string dir_;
  int descriptors_ = 0;
};

const WavFormat STEREO16 = wavMakeFormat(8000, 2, 16);  // 3200 bytes per header

TEST_F(Tools, PlaySendsTheFilesBytesInOrderAndClosesTheDevice) {
  Bytes samples = writeWav("a.wav", STEREO16, 2800);  // three whole headers and a half one
  std::string out, err;
  EXPECT_EQ(runTool(LUMIVOX_PLAY, {path("a.wav")}, &out, &err), 0) << err;
  EXPECT_EQ(readFile(path("played")), samples);
  std::vector<std::string> open = logged("wod OPEN");
  ASSERT_EQ(open.size(), 1u);
  EXPECT_EQ(open[0], "wod OPEN tag=1 channels=2 rate=8000 bits=16 align=4 callback=5");
  EXPECT_EQ(
      logged("wod WRITE"),
      (std::vector<std::string>{
          "wod WRITE bytes=3200 flags=0x2 loops=0", "wod WRITE bytes=3200 flags=0x2 loops=0",
          "wod WRITE bytes=3200 flags=0x2 loops=0", "wod WRITE bytes=1600 flags=0x2 loops=0"}));
  expectCleanClose("wod", 4);
  EXPECT_NE(err.find("a.wav: WAV, 8000 Hz, 16-bit, stereo, 0:00"), std::string::npos) << err;
  EXPECT_NE(err.find("\n0:00 / 0:00\n"), std::string::npos) << "plain progress lines: " << err;
  EXPECT_EQ(err.find('\r'), std::string::npos) << "no redrawing when not on a terminal";
  EXPECT_EQ(out, "") << "standard output is left to the audio";
}

TEST_F(Tools, PlayLoopUsesTheHeaderLoopAndPlaysTheFileThatOften) {
  Bytes samples = writeWav("a.wav", STEREO16, 2000);
  std::string err;
  EXPECT_EQ(runTool(LUMIVOX_PLAY, {"--loop=3", path("a.wav")}, nullptr, &err), 0) << err;
  Bytes thrice;
  for (int i = 0; i < 3; ++i) thrice.insert(thrice.end(), samples.begin(), samples.end());
  EXPECT_EQ(readFile(path("played")), thrice);
  EXPECT_EQ(logged("wod WRITE"),
            (std::vector<std::string>{"wod WRITE bytes=3200 flags=0x6 loops=3",
                                      "wod WRITE bytes=3200 flags=0x2 loops=0",
                                      "wod WRITE bytes=1600 flags=0xa loops=0"}));

  // One header with both flags is a loop by itself.
  fs::remove(path("log"));
  writeWav("short.wav", STEREO16, 100);
  EXPECT_EQ(runTool(LUMIVOX_PLAY, {"--loop=2", path("short.wav")}), 0);
  EXPECT_EQ(logged("wod WRITE"),
            (std::vector<std::string>{"wod WRITE bytes=400 flags=0xe loops=2"}));
  EXPECT_EQ(logged("wod PLAY").size(), 2u);
}

TEST_F(Tools, PlayPausesAtTheAskedPositionAndResumes) {
  Bytes samples = writeWav("a.wav", STEREO16, 4000);  // five headers of 0.1 s
  std::string err;
  EXPECT_EQ(
      runTool(LUMIVOX_PLAY, {path("a.wav"), "--pause-at", "0.2", "--pause-for=0"}, nullptr, &err),
      0)
      << err;
  std::vector<std::string> lines = log();
  long pause = firstLogged("wod PAUSE"), restart = firstLogged("wod RESTART");
  ASSERT_GE(pause, 0);
  EXPECT_GT(restart, pause);
  size_t playedBefore = 0;
  for (long i = 0; i < pause; ++i) playedBefore += lines[size_t(i)].rfind("wod PLAY", 0) == 0;
  EXPECT_EQ(playedBefore, 2u) << "paused once 0.2 s had been played";
  EXPECT_EQ(readFile(path("played")), samples) << "and then played the rest";
  EXPECT_EQ(logged("wod PAUSE").size(), 1u);
}

// Files that cannot be played are reported one by one and the others
// played, each with the device opened at its own format; the run then ends
// with status 1.
TEST_F(Tools, PlayReportsBadFilesPlaysTheOthersAndExitsWithOne) {
  Bytes stereo = writeWav("good.wav", STEREO16, 100);
  Bytes wide = writeWav("24.wav", wavMakeFormat(8000, 1, 24), 100);
  writeWav("slow.wav", wavMakeFormat(500, 1, 16), 100);
  std::ofstream(path("text.wav")) << "not audio";
  std::ofstream(path("empty.wav")).flush();
  std::string err;
  EXPECT_EQ(runTool(LUMIVOX_PLAY,
                    {path("missing.wav"), path("good.wav"), path("text.wav"), path("empty.wav"),
                     path("slow.wav"), path("24.wav")},
                    nullptr, &err),
            1);
  for (const char *message : {
           "missing.wav: cannot open: No such file or directory",
           "text.wav: not a sound file libsndfile reads: ",
           "empty.wav: empty: 0 bytes, no sound to play",
           "slow.wav: unsupported format: a rate of 500 Hz; the tools take 8000 to 192000 Hz",
           "good.wav: WAV, 8000 Hz, 16-bit, stereo",
           "24.wav: WAV, 8000 Hz, 24-bit, mono",
       }) {
    EXPECT_NE(err.find(message), std::string::npos) << message << "\n" << err;
  }
  // The 24-bit samples arrive as their upper 16 bits.
  Bytes played = stereo;
  for (size_t i = 0; i + 2 < wide.size(); i += 3)
    played.insert(played.end(), {wide[i + 1], wide[i + 2]});
  EXPECT_EQ(readFile(path("played")), played);
  EXPECT_EQ(
      logged("wod OPEN"),
      (std::vector<std::string>{"wod OPEN tag=1 channels=2 rate=8000 bits=16 align=4 callback=5",
                                "wod OPEN tag=1 channels=1 rate=8000 bits=16 align=2 callback=5"}));
}

TEST_F(Tools, UsageErrorsExitWithTwo) {
  for (const char *tool : {LUMIVOX_PLAY, LUMIVOX_RECORD, LUMIVOX_VOLUME}) {
    std::string out, err;
    EXPECT_EQ(runTool(tool, {"--help"}, &out), 0) << tool;
    EXPECT_EQ(out.rfind("Usage: ", 0), 0u) << out;
    EXPECT_EQ(runTool(tool, {"--bogus"}, nullptr, &err), 2) << tool;
    EXPECT_NE(err.find("unknown option: --bogus\nTry '"), std::string::npos) << err;
  }
  EXPECT_TRUE(log().empty());
}

TEST_F(Tools, DeviceErrorsGiveTheirTextAndStatusThree) {
  writeWav("a.wav", STEREO16, 100);
  std::string out = path("out.wav");
  struct Case {
    const char *fail;
    std::string tool;
    std::vector<std::string> arguments;
    const char *message;
  } cases[] = {
      {"wod:5=6",
       LUMIVOX_PLAY,
       {path("a.wav")},
       "lumivox-play: cannot open the wave output device: no audio server reachable for this "
       "session (MMSYSERR_NODRIVER)\n"},
      {"wid:52=6",
       LUMIVOX_RECORD,
       {out, "--seconds", "1"},
       "lumivox-record: cannot open the wave input device: no audio server reachable for this "
       "session (MMSYSERR_NODRIVER)\n"},
      {"mxd:3=6",
       LUMIVOX_VOLUME,
       {},
       "lumivox-volume: cannot open the mixer device: no audio server reachable for this session "
       "(MMSYSERR_NODRIVER)\n"},
      {"wod:5=32",
       LUMIVOX_PLAY,
       {path("a.wav")},
       "cannot open the wave output device: the device does not take this wave format "
       "(WAVERR_BADFORMAT)"},
      {"wod:9=34",
       LUMIVOX_PLAY,
       {path("a.wav")},
       "lumivox-play: waveOutWrite: the buffer was not prepared (WAVERR_UNPREPARED)"},
      {"wid:57=7",
       LUMIVOX_RECORD,
       {out},
       "lumivox-record: waveInStart: out of memory (MMSYSERR_NOMEM)"},
      {"mxd:6=1025",
       LUMIVOX_VOLUME,
       {"--input"},
       "cannot find the line's volume control: the mixer line has no such control "
       "(MIXERR_INVALCONTROL)"},
      {"mxd:8=8",
       LUMIVOX_VOLUME,
       {"set", "10%"},
       "cannot set the volume: the device does not support this format or request "
       "(MMSYSERR_NOTSUPPORTED)"},
  };
  for (const Case &c : cases) {
    setenv("LUMIVOX_FAKE_FAIL", c.fail, 1);
    std::string err;
    EXPECT_EQ(runTool(c.tool, c.arguments, nullptr, &err), 3) << c.fail;
    EXPECT_NE(err.find(c.message), std::string::npos) << c.fail << ": " << err;
    bool noDriver = std::string(c.message).find("NODRIVER") != std::string::npos;
    EXPECT_EQ(err.find("run lumivox-doctor") != std::string::npos, noDriver) << err;
  }
  EXPECT_FALSE(fs::exists(out)) << "a recording that got nothing leaves no file";
  // The failed write still left the device reset and closed.
  EXPECT_EQ(logged("wod CLOSE queued=0").size(), 1u);
  EXPECT_EQ(logged("wid CLOSE queued=0").size(), 1u);

  unsetenv("LUMIVOX_FAKE_FAIL");
  setenv("LUMIVOX_DRIVER", "/nonexistent/liblumivox.so", 1);
  std::string err;
  EXPECT_EQ(runTool(LUMIVOX_PLAY, {path("a.wav")}, nullptr, &err), 3);
  // The loader's own reason, and the variable to look at.
  EXPECT_NE(err.find("lumivox-play: no wave output device: the driver cannot be loaded: "
                     "/nonexistent/liblumivox.so: cannot open shared object file"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("LUMIVOX_DRIVER=/nonexistent/liblumivox.so"), std::string::npos) << err;
}

TEST_F(Tools, PlayStopsCleanlyOnSigint) {
  writeWav("a.wav", STEREO16, 800);
  ToolProcess play(LUMIVOX_PLAY, {"--loop", path("a.wav")});
  ASSERT_TRUE(play.waitForLine("lumivox-play: "));
  ASSERT_TRUE(play.waitForLine("0:01 (looping)")) << play.out();
  play.interrupt();
  EXPECT_EQ(play.finish(), 130);
  EXPECT_NE(play.err().find("lumivox-play: interrupted"), std::string::npos) << play.err();
  EXPECT_EQ(logged("wod WRITE"),
            (std::vector<std::string>{"wod WRITE bytes=3200 flags=0xe loops=4294967295"}));
  expectCleanClose("wod", 1);
}

// Every sample of a recording is the module's signal, from its first frame.
void expectSignal(const Bytes &samples, const WavFormat &format) {
  size_t bytes = format.bits / 8, mismatches = 0;
  for (size_t i = 0; i < samples.size() / bytes; ++i) {
    uint64_t frame = i / format.channels;
    unsigned channel = unsigned(i % format.channels);
    int got = bytes == 1 ? samples[i] : int16_t(uint16_t(samples[2 * i] | samples[2 * i + 1] << 8));
    int want = bytes == 1 ? toolSignal8(frame, channel) : toolSignal16(frame, channel);
    mismatches += got != want;
  }
  EXPECT_EQ(mismatches, 0u);
}

TEST_F(Tools, RecordWritesExactlyTheAskedLengthOfTheSignal) {
  struct Case {
    WavFormat format;
    const char *seconds;
    size_t frames;
  } cases[] = {{wavMakeFormat(8000, 2, 16), "0.25", 2000},
               {wavMakeFormat(11025, 1, 8), "1.01", 11135}};
  for (const Case &c : cases) {
    fs::remove(path("log"));
    std::string out, err;
    ASSERT_EQ(runTool(LUMIVOX_RECORD,
                      {path("rec.wav"), "--seconds", c.seconds, "--rate",
                       std::to_string(c.format.rate), "--channels",
                       std::to_string(c.format.channels), "--bits", std::to_string(c.format.bits)},
                      &out, &err),
              0)
        << err;
    WavFormat format;
    Bytes samples;
    std::string error;
    ASSERT_TRUE(wavLoad(path("rec.wav"), format, samples, error)) << error;
    EXPECT_EQ(format.rate, c.format.rate);
    EXPECT_EQ(format.channels, c.format.channels);
    EXPECT_EQ(format.bits, c.format.bits);
    EXPECT_EQ(samples.size(), c.frames * c.format.blockAlign);
    expectSignal(samples, c.format);
    EXPECT_NE(err.find(std::to_string(c.frames) + " frames"), std::string::npos) << err;
    EXPECT_NE(err.find("  peak -12."), std::string::npos)
        << "the signal peaks near -12 dBFS: " << err;
    EXPECT_EQ(out, "");
    EXPECT_EQ(logged("wid OPEN").size(), 1u);
    EXPECT_LT(firstLogged("wid START"), firstLogged("wid STOP"));
    expectCleanClose("wid", 4);
  }
}

TEST_F(Tools, RecordFinishesTheFileOnEveryStopSignal) {
  // The device delivers 1.05 s and then nothing: the last 400 frames sit in
  // a header it has begun, which the stop gives back.
  setenv("LUMIVOX_FAKE_RECORD_FRAMES", "8400", 1);
  const std::vector<int> signals = {SIGINT, SIGTERM, SIGHUP};
  for (int signal : signals) {
    fs::remove(path("log"));
    ToolProcess record(LUMIVOX_RECORD,
                       {path("rec.wav"), "--rate", "8000", "--channels", "1", "--bits", "16"});
    ASSERT_TRUE(record.waitForLine("lumivox-record: recording"));
    ASSERT_TRUE(record.waitForLine("0:01  peak")) << record.err();
    record.signal(signal);
    EXPECT_EQ(record.finish(), 0) << record.err();
    // wavLoad holds the header's sizes to the bytes that are there.
    WavFormat format;
    Bytes samples;
    std::string error;
    ASSERT_TRUE(wavLoad(path("rec.wav"), format, samples, error)) << signal << ": " << error;
    EXPECT_EQ(samples.size(), 8400u * 2);
    expectSignal(samples, format);
    EXPECT_NE(record.err().find("8400 frames, 0:01"), std::string::npos) << record.err();
    expectCleanClose("wid", 4);
  }
}

TEST_F(Tools, StatsCountTheHeadersTheFramesAndTheCallsOfARun) {
  auto text = [&](const char *name) {
    Bytes bytes = readFile(path(name));
    return std::string(bytes.begin(), bytes.end());
  };
  writeWav("a.wav", STEREO16, 2800);  // three whole headers and a half one
  ASSERT_EQ(runTool(LUMIVOX_PLAY, {"--stats", path("play.json"), path("a.wav")}), 0);
  std::string play = text("play.json");
  EXPECT_EQ(play.rfind("{\"tool\":\"lumivox-play\",\"status\":0,\"headersWritten\":4,"
                       "\"headersReturned\":4,\"framesWritten\":2800,\"framesPlayed\":2800,"
                       "\"calls\":{\"waveOutOpen\":{\"count\":1,\"longestMs\":",
                       0),
            0u)
      << play;
  EXPECT_NE(play.find("\"waveOutWrite\":{\"count\":4,"), std::string::npos) << play;
  EXPECT_NE(play.find("\"waveOutClose\":{\"count\":1,"), std::string::npos) << play;
  EXPECT_EQ(play.substr(play.size() - 3), "}}\n") << "one line";

  // 0.25 s at 8000 Hz: headers of 800, 800 and 400 frames.
  std::vector<std::string> record{
      "--stats=" + path("record.json"), path("r.wav"), "--seconds", "0.25", "--rate", "8000"};
  ASSERT_EQ(runTool(LUMIVOX_RECORD, record), 0);
  std::string got = text("record.json");
  EXPECT_NE(got.find("\"status\":0,\"headersAdded\":3,\"headersReturned\":3,"
                     "\"framesAsked\":2000,\"framesRecorded\":2000,"),
            std::string::npos)
      << got;
  EXPECT_NE(got.find("\"waveInStop\":{\"count\":1,"), std::string::npos) << got;

  // A failed run still writes its statistics, with the tool's exit status.
  setenv("LUMIVOX_FAKE_FAIL", "wid:57=7", 1);
  ASSERT_EQ(runTool(LUMIVOX_RECORD, record), 3);
  got = text("record.json");
  EXPECT_NE(got.find("\"status\":3,\"headersAdded\":3,"), std::string::npos) << got;
  std::string err;
  EXPECT_EQ(runTool(LUMIVOX_PLAY, {"--stats", path("a.wav")}, nullptr, &err), 2) << "no file";
}

TEST_F(Tools, VolumeFindsTheControlAsAnApplicationDoesAndReadsIt) {
  setenv("LUMIVOX_FAKE_VOLUME", "16384", 1);
  std::string out, err;
  EXPECT_EQ(runTool(LUMIVOX_VOLUME, {}, &out, &err), 0) << err;
  EXPECT_EQ(out, "output volume: 16384 (25%)\n");
  EXPECT_EQ(log(), (std::vector<std::string>{
                       "mxd OPEN",
                       "mxd GETLINEINFO query=3 type=0x4 line=0x0",
                       "mxd GETLINECONTROLS query=2 line=0xffff0000 id=0x50030001",
                       "mxd GETCONTROLDETAILS control=0 value=16384 channels=1 bytes=4",
                       "mxd CLOSE",
                   }));
  fs::remove(path("log"));
  EXPECT_EQ(runTool(LUMIVOX_VOLUME, {"get", "--input"}, &out), 0);
  EXPECT_EQ(out, "input volume: 16384 (25%)\n");
  EXPECT_EQ(logged("mxd GETLINEINFO"),
            (std::vector<std::string>{"mxd GETLINEINFO query=3 type=0x7 line=0x0"}));
  EXPECT_EQ(
      logged("mxd GETLINECONTROLS"),
      (std::vector<std::string>{"mxd GETLINECONTROLS query=2 line=0xffff0002 id=0x50030001"}));
  EXPECT_EQ(logged("mxd GETCONTROLDETAILS control=1").size(), 1u);
}

TEST_F(Tools, VolumeSetWritesTheValueAndPrintsItReadBack) {
  struct Case {
    std::vector<std::string> arguments;
    const char *set;
    const char *printed;
  } cases[] = {
      {{"set", "50%"},
       "mxd SETCONTROLDETAILS control=0 value=32768 channels=1 bytes=4",
       "output volume: 32768 (50%)\n"},
      {{"--input", "set", "1000"},
       "mxd SETCONTROLDETAILS control=1 value=1000 channels=1 bytes=4",
       "input volume: 1000 (2%)\n"},
      {{"set", "0%"},
       "mxd SETCONTROLDETAILS control=0 value=0 channels=1 bytes=4",
       "output volume: 0 (0%)\n"},
  };
  for (const Case &c : cases) {
    fs::remove(path("log"));
    std::string out, err;
    EXPECT_EQ(runTool(LUMIVOX_VOLUME, c.arguments, &out, &err), 0) << err;
    EXPECT_EQ(logged("mxd SETCONTROLDETAILS"), (std::vector<std::string>{c.set}));
    EXPECT_LT(firstLogged("mxd SETCONTROLDETAILS"), firstLogged("mxd GETCONTROLDETAILS"));
    EXPECT_EQ(out, c.printed);
  }
  std::string err;
  EXPECT_EQ(runTool(LUMIVOX_VOLUME, {"set", "70000"}, nullptr, &err), 2);
  EXPECT_NE(err.find("bad LEVEL: 70000"), std::string::npos) << err;
}

}  // namespace
