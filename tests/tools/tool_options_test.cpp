// The tools' command lines, their help texts, the result texts and the
// status line's formatting.
#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <string>
#include <vector>

#include "tools/common/console.h"
#include "tools/common/device.h"
#include "tools/common/results.h"
#include "tools/play/options.h"
#include "tools/record/options.h"
#include "tools/volume/options.h"

namespace {

// argv for a parser: the program name, then the arguments.
struct Argv {
  explicit Argv(std::initializer_list<const char *> arguments) {
    words.push_back("tool");
    words.insert(words.end(), arguments.begin(), arguments.end());
    for (std::string &w : words) pointers.push_back(w.data());
    pointers.push_back(nullptr);
  }
  int argc() const { return int(pointers.size() - 1); }
  char **argv() { return pointers.data(); }
  std::vector<std::string> words;
  std::vector<char *> pointers;
};

ParseOutcome play(std::initializer_list<const char *> arguments, PlayOptions &o,
                  std::string &error) {
  Argv a(arguments);
  return playParseOptions(a.argc(), a.argv(), o, error);
}
ParseOutcome record(std::initializer_list<const char *> arguments, RecordOptions &o,
                    std::string &error) {
  Argv a(arguments);
  return recordParseOptions(a.argc(), a.argv(), o, error);
}
ParseOutcome volume(std::initializer_list<const char *> arguments, VolumeOptions &o,
                    std::string &error) {
  Argv a(arguments);
  return volumeParseOptions(a.argc(), a.argv(), o, error);
}

TEST(PlayOptions, LoopCountsAndPauseTimes) {
  PlayOptions o;
  std::string error;
  ASSERT_EQ(play({"a.wav"}, o, error), PARSE_OK);
  EXPECT_EQ(o.files, std::vector<std::string>{"a.wav"});
  EXPECT_FALSE(o.loop);
  EXPECT_EQ(o.plays, 1u);
  EXPECT_FALSE(o.pause);

  o = PlayOptions{};
  ASSERT_EQ(play({"--loop", "a.wav"}, o, error), PARSE_OK);
  EXPECT_TRUE(o.loop);
  EXPECT_EQ(o.plays, PLAY_LOOP_FOREVER);

  o = PlayOptions{};
  ASSERT_EQ(play({"a.wav", "--loop=3", "--pause-at", "1.5", "--pause-for=0"}, o, error), PARSE_OK);
  EXPECT_EQ(o.plays, 3u);
  EXPECT_TRUE(o.pause);
  EXPECT_DOUBLE_EQ(o.pauseAt, 1.5);
  EXPECT_DOUBLE_EQ(o.pauseFor, 0);
  EXPECT_EQ(play({"a.wav", "--help"}, o, error), PARSE_HELP);
  EXPECT_EQ(play({"-h"}, o, error), PARSE_HELP);
  o = PlayOptions{};
  ASSERT_EQ(play({"a.flac", "-", "b.wav"}, o, error), PARSE_OK);
  EXPECT_EQ(o.files, (std::vector<std::string>{"a.flac", "-", "b.wav"}));
}

TEST(PlayOptions, UsageErrorsNameTheirCause) {
  struct Case {
    std::initializer_list<const char *> arguments;
    const char *reason;
  } cases[] = {
      {{}, "no file given"},
      {{"a.wav", "-x"}, "unknown option: -x"},
      {{"a.wav", "--loud"}, "unknown option: --loud"},
      {{"a.wav", "--loop=0"}, "bad value for --loop: 0"},
      {{"a.wav", "--loop=x"}, "bad value for --loop: x"},
      {{"a.wav", "--pause-at"}, "--pause-at needs a value"},
      {{"a.wav", "--pause-at", "-1"}, "bad value for --pause-at: -1"},
      {{"a.wav", "--pause-at", "1e3"}, "bad value for --pause-at: 1e3"},
      {{"a.wav", "--pause-for", "1.2.3"}, "bad value for --pause-for: 1.2.3"},
      {{"a.wav", "--pause-for", "90000"}, "bad value for --pause-for: 90000"},
  };
  for (const Case &c : cases) {
    PlayOptions o;
    std::string error;
    EXPECT_EQ(play(c.arguments, o, error), PARSE_ERROR) << c.reason;
    EXPECT_EQ(error.rfind(c.reason, 0), 0u) << error;
  }
}

TEST(RecordOptions, DefaultsValuesAndRefusals) {
  RecordOptions o;
  std::string error;
  ASSERT_EQ(record({"out.wav"}, o, error), PARSE_OK);
  EXPECT_EQ(o.seconds, 0);
  EXPECT_EQ(o.rate, 44100u);
  EXPECT_EQ(o.channels, 2u);
  EXPECT_EQ(o.bits, 16u);
  o = RecordOptions{};
  ASSERT_EQ(record({"--seconds", "2.5", "--rate=8000", "--channels", "1", "--bits", "8", "out.wav"},
                   o, error),
            PARSE_OK);
  EXPECT_DOUBLE_EQ(o.seconds, 2.5);
  EXPECT_EQ(o.rate, 8000u);
  EXPECT_EQ(o.channels, 1u);
  EXPECT_EQ(o.bits, 8u);
  for (std::initializer_list<const char *> bad :
       {std::initializer_list<const char *>{"out.wav", "--bits", "12"},
        {"out.wav", "--channels", "3"},
        {"out.wav", "--channels", "0"},
        {"out.wav", "--rate", "999"},
        {"out.wav", "--rate", "192001"},
        {"out.wav", "--seconds", "0"},
        {"out.wav", "--seconds"},
        {"--seconds", "1"},
        {"out.wav", "--level"}}) {
    o = RecordOptions{};
    EXPECT_EQ(record(bad, o, error), PARSE_ERROR) << *bad.begin();
    EXPECT_FALSE(error.empty());
  }
}

TEST(VolumeOptions, CommandsLevelsAndInput) {
  VolumeOptions o;
  std::string error;
  ASSERT_EQ(volume({}, o, error), PARSE_OK);
  EXPECT_FALSE(o.set);
  EXPECT_FALSE(o.input);
  o = VolumeOptions{};
  ASSERT_EQ(volume({"--input", "get"}, o, error), PARSE_OK);
  EXPECT_TRUE(o.input);
  o = VolumeOptions{};
  ASSERT_EQ(volume({"set", "50%", "--input"}, o, error), PARSE_OK);
  EXPECT_TRUE(o.set && o.percent && o.input);
  EXPECT_DOUBLE_EQ(o.percentage, 50);
  o = VolumeOptions{};
  ASSERT_EQ(volume({"set", "65535"}, o, error), PARSE_OK);
  EXPECT_FALSE(o.percent);
  EXPECT_EQ(o.level, 65535u);
  for (std::initializer_list<const char *> bad : {std::initializer_list<const char *>{"set"},
                                                  {"set", "65536"},
                                                  {"set", "101%"},
                                                  {"set", "-x"},
                                                  {"+5%", "mute"},
                                                  {"set", "%"},
                                                  {"up"},
                                                  {"get", "get"},
                                                  {"get", "--output"}}) {
    o = VolumeOptions{};
    EXPECT_EQ(volume(bad, o, error), PARSE_ERROR) << *bad.begin();
    EXPECT_FALSE(error.empty());
  }
}

TEST(VolumeOptions, LevelsAndStepsMapIntoTheControlsRange) {
  VolumeOptions o;
  uint32_t value = 0;
  o.percent = true;
  o.percentage = 50;
  ASSERT_TRUE(volumeLevelValue(o, 0, 0xFFFF, 7, value));
  EXPECT_EQ(value, 32768u);
  ASSERT_TRUE(volumeLevelValue(o, 100, 200, 7, value));
  EXPECT_EQ(value, 150u);
  o.percentage = 100;
  ASSERT_TRUE(volumeLevelValue(o, 0, 0xFFFF, 7, value));
  EXPECT_EQ(value, 0xFFFFu);
  o.percent = false;
  o.level = 250;
  EXPECT_FALSE(volumeLevelValue(o, 100, 200, 7, value));
  o.level = 150;
  ASSERT_TRUE(volumeLevelValue(o, 100, 200, 7, value));
  EXPECT_EQ(value, 150u);
  // Steps from the volume now, held to the range; mute is the lowest.
  std::string error;
  o = VolumeOptions{};
  ASSERT_EQ(volume({"+5%"}, o, error), PARSE_OK) << error;
  ASSERT_TRUE(volumeLevelValue(o, 0, 0xFFFF, 32768, value));
  EXPECT_EQ(value, 32768u + 3277u);
  ASSERT_TRUE(volumeLevelValue(o, 0, 0xFFFF, 0xFFF0, value));
  EXPECT_EQ(value, 0xFFFFu);
  o = VolumeOptions{};
  ASSERT_EQ(volume({"set", "-1000", "--input"}, o, error), PARSE_OK) << error;
  EXPECT_TRUE(o.input);
  ASSERT_TRUE(volumeLevelValue(o, 100, 0xFFFF, 600, value));
  EXPECT_EQ(value, 100u);
  o = VolumeOptions{};
  ASSERT_EQ(volume({"mute"}, o, error), PARSE_OK) << error;
  ASSERT_TRUE(volumeLevelValue(o, 100, 200, 150, value));
  EXPECT_EQ(value, 100u);
}

TEST(ToolHelp, EveryOptionAndExitStatusIsDocumented) {
  struct Help {
    const char *text;
    std::vector<const char *> words;
  } helps[] = {
      {PLAY_USAGE,
       {"--loop[=N]", "--pause-at SECONDS", "--pause-for SECONDS", "--help", "--version",
        "WHDR_BEGINLOOP", "SIGINT", "Exit status: 0", "2 for a usage error", "1 when", "3 when",
        "130", "--quiet", "--type raw", "--rate R", "--format F", "S16_LE"}},
      {RECORD_USAGE,
       {"--seconds N", "--rate R", "--channels C", "--bits B", "--help", "--version", "SIGINT",
        "dBFS", "Exit status: 0", "2 for a", "1 when", "3 when", "--type T", "--format F",
        "--quiet", "killed outright"}},
      {VOLUME_USAGE,
       {"get", "set LEVEL", "+STEP", "mute", "--input", "--help", "--version", "50%",
        "Exit status: 0", "2 for a usage error", "3 when"}},
  };
  for (const Help &h : helps) {
    std::string text = h.text;
    for (const char *word : h.words) EXPECT_NE(text.find(word), std::string::npos) << word;
  }
}

TEST(ResultTexts, EveryCodeHasANameAndAMessage) {
  EXPECT_EQ(mmResultMessage(MMSYSERR_NODRIVER),
            "no audio server reachable for this session (MMSYSERR_NODRIVER)");
  const MMRESULT codes[] = {
      MMSYSERR_ERROR,       MMSYSERR_BADDEVICEID, MMSYSERR_NOTENABLED, MMSYSERR_ALLOCATED,
      MMSYSERR_INVALHANDLE, MMSYSERR_NODRIVER,    MMSYSERR_NOMEM,      MMSYSERR_NOTSUPPORTED,
      MMSYSERR_BADERRNUM,   MMSYSERR_INVALFLAG,   MMSYSERR_INVALPARAM, MMSYSERR_HANDLEBUSY,
      WAVERR_BADFORMAT,     WAVERR_STILLPLAYING,  WAVERR_UNPREPARED,   WAVERR_SYNC,
      MIXERR_INVALLINE,     MIXERR_INVALCONTROL,  MIXERR_INVALVALUE};
  std::vector<std::string> seen;
  for (MMRESULT code : codes) {
    const char *name = mmResultName(code);
    ASSERT_NE(name, nullptr) << code;
    std::string message = mmResultMessage(code);
    EXPECT_NE(message.find(std::string("(") + name + ")"), std::string::npos) << message;
    for (const std::string &other : seen) EXPECT_NE(message, other);
    seen.push_back(message);
  }
  EXPECT_EQ(mmResultName(77), nullptr);
  EXPECT_EQ(mmResultMessage(77), "unexpected result code 77");
}

TEST(Console, TimesBarsAndLevels) {
  EXPECT_EQ(consoleTime(0), "0:00");
  EXPECT_EQ(consoleTime(61.9), "1:01");
  EXPECT_EQ(consoleTime(3661), "1:01:01");
  EXPECT_EQ(consoleTime(-5), "0:00");
  EXPECT_EQ(consoleBar(0.5, 10), "[#####-----]");
  EXPECT_EQ(consoleBar(2, 4), "[####]");
  EXPECT_EQ(consoleBar(NAN, 4), "[----]");

  const uint8_t fullScale16[] = {0x00, 0x80, 0x00, 0x00};  // -32768, 0
  EXPECT_DOUBLE_EQ(consolePeakDbfs(fullScale16, sizeof fullScale16, 16), 0);
  const uint8_t half16[] = {0x00, 0x40};  // 16384
  EXPECT_NEAR(consolePeakDbfs(half16, sizeof half16, 16), -6.02, 0.01);
  const uint8_t silence8[] = {128, 128, 128};
  EXPECT_TRUE(std::isinf(consolePeakDbfs(silence8, sizeof silence8, 8)));
  const uint8_t full8[] = {128, 0};
  EXPECT_DOUBLE_EQ(consolePeakDbfs(full8, sizeof full8, 8), 0);
  EXPECT_EQ(consoleMeter(-INFINITY, 4), "[    ] -inf dBFS");
  EXPECT_EQ(consoleMeter(-30, 4), "[==  ] -30.0 dBFS");
  EXPECT_EQ(consoleMeter(3, 4), "[====] 3.0 dBFS");
}

TEST(Console, PositionsCountOnAcrossTheWrap) {
  PositionCounter position;
  position.feed(0xFFFFFFF0u);
  position.feed(0x10u);
  EXPECT_EQ(position.total(), 0x100000010ull);
  WavFormat stereo = wavMakeFormat(8000, 2, 16);
  MMTIME time = {};
  time.wType = TIME_BYTES;
  time.u.cb = 400;
  EXPECT_EQ(toolPositionFrames(time, stereo), 100);
  time.wType = TIME_MS;
  time.u.ms = 500;
  EXPECT_EQ(toolPositionFrames(time, stereo), 4000);
  time.wType = TIME_SMPTE;
  EXPECT_EQ(toolPositionFrames(time, stereo), -1);
  EXPECT_EQ(toolBlockBytes(stereo), 3200u);
}

}  // namespace
