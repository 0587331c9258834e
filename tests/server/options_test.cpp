// lumivox-server's option parsing.
#include "server/options.h"
#include "server/sound.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

ParseOutcome parse(std::vector<std::string> words, ServerOptions &options, std::string &error) {
  words.insert(words.begin(), "lumivox-server");
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  return serverParseOptions(int(argv.size()), argv.data(), options, error);
}

TEST(ServerOptions, DefaultsAreASoundServer) {
  ServerOptions o;
  std::string error;
  ASSERT_EQ(parse({}, o, error), PARSE_OK);
  EXPECT_EQ(o.listen, "127.0.0.1");
  EXPECT_EQ(serverControlPort(o), 9000);
  EXPECT_EQ(o.streamStatus, 1);
  EXPECT_EQ(o.rate, 48000u);
  EXPECT_EQ(o.minLead, 0u);
  EXPECT_EQ(serverMinLead(o, 44100), 882u) << "20 ms";
  EXPECT_EQ(serverMinLead(o, 8000), 256u) << "the floor";
  EXPECT_EQ(o.maxLead, 65536u);
  EXPECT_TRUE(o.outputDevice && o.inputDevice);
  EXPECT_FALSE(o.refuseSetup || o.withholdSetup || o.withholdReplies);
  EXPECT_EQ(o.closeAfter, -1);
}

TEST(ServerOptions, ValuesInBothFormsAndFlags) {
  ServerOptions o;
  std::string error;
  ASSERT_EQ(parse({"--display=7", "--listen", "0.0.0.0", "--rate", "22050", "--min-lead=100",
                   "--max-lead", "100000", "--close-after", "0", "--no-input-device",
                   "--refuse-setup", "--withhold-replies", "--delay-setup", "5000"},
                  o, error),
            PARSE_OK)
      << error;
  EXPECT_EQ(serverControlPort(o), 9007);
  EXPECT_EQ(o.listen, "0.0.0.0");
  EXPECT_EQ(o.rate, 22050u);
  EXPECT_EQ(o.minLead, 100u) << "sent as given; the driver bounds it";
  EXPECT_EQ(o.maxLead, 100000u);
  EXPECT_EQ(o.closeAfter, 0);
  EXPECT_FALSE(o.inputDevice);
  EXPECT_TRUE(o.outputDevice);
  EXPECT_TRUE(o.refuseSetup && o.withholdReplies);
  EXPECT_EQ(o.setupDelayMs, 5000u);
  ASSERT_EQ(parse({"--port", "0"}, o, error), PARSE_OK);
  EXPECT_EQ(serverControlPort(o), 0) << "the port overrides the display";
}

TEST(ServerOptions, ErrorsNameTheOption) {
  ServerOptions o;
  std::string error;
  EXPECT_EQ(parse({"--help", "--bogus"}, o, error), PARSE_HELP);
  EXPECT_EQ(parse({"--bogus"}, o, error), PARSE_ERROR);
  EXPECT_EQ(error, "unknown option: --bogus");
  EXPECT_EQ(parse({"--rate"}, o, error), PARSE_ERROR);
  EXPECT_EQ(error, "--rate needs a value");
  EXPECT_EQ(parse({"--udp-port", "65536"}, o, error), PARSE_ERROR);
  EXPECT_EQ(error, "bad value for --udp-port: 65536");
  EXPECT_EQ(parse({"--display", "010x"}, o, error), PARSE_ERROR);
  EXPECT_EQ(parse({"--refuse-setup=1"}, o, error), PARSE_ERROR) << "flags take no value";
}

TEST(ServerOptions, DatagramOptionsAndTheirBounds) {
  ServerOptions o;
  std::string error;
  ASSERT_EQ(parse({"--output", "p.wav", "--output-rate=44100", "--output-channels", "1", "--fast",
                   "--input", "r.wav", "--tone", "1000", "--record-format", "0", "--stats", "s"},
                  o, error),
            PARSE_OK)
      << error;
  EXPECT_EQ(o.output, "p.wav");
  EXPECT_EQ(o.outputRate, 44100u);
  EXPECT_EQ(o.outputChannels, 1u);
  EXPECT_TRUE(o.fast);
  EXPECT_EQ(o.input, "r.wav");
  EXPECT_EQ(o.toneHz, 1000u);
  EXPECT_EQ(o.recordFormat, 0u);
  EXPECT_EQ(o.stats, "s");
  for (std::vector<std::string> bad : {std::vector<std::string>{"--output-rate", "999"},
                                       {"--output-rate", "192001"},
                                       {"--output-channels", "0"},
                                       {"--output-channels", "3"},
                                       {"--record-format", "18"},
                                       {"--output", ""},
                                       {"--stats"}}) {
    ServerOptions fresh;
    EXPECT_EQ(parse(bad, fresh, error), PARSE_ERROR) << bad[0];
  }
}

TEST(ServerOptions, RelayOptions) {
  ServerOptions o;
  std::string error;
  ASSERT_EQ(parse({}, o, error), PARSE_OK);
  EXPECT_EQ(o.advertiseUdpPort, -1) << "replies name the stream's own port";
  EXPECT_TRUE(o.sendViaAddress.empty()) << "recordings go to the driver";
  ASSERT_EQ(parse({"--advertise-udp-port", "40000", "--send-via", "41000"}, o, error), PARSE_OK)
      << error;
  EXPECT_EQ(o.advertiseUdpPort, 40000);
  EXPECT_EQ(o.sendViaAddress, "127.0.0.1");
  EXPECT_EQ(o.sendViaPort, 41000);
  ASSERT_EQ(parse({"--send-via=127.0.0.9:7"}, o, error), PARSE_OK) << error;
  EXPECT_EQ(o.sendViaAddress, "127.0.0.9");
  EXPECT_EQ(o.sendViaPort, 7);
  ASSERT_EQ(parse({"--advertise-udp-port", "0"}, o, error), PARSE_OK)
      << "a server that names port 0";
  EXPECT_EQ(o.advertiseUdpPort, 0);
  for (std::vector<std::string> bad : {std::vector<std::string>{"--advertise-udp-port", "-1"},
                                       {"--advertise-udp-port", "65536"},
                                       {"--send-via", "0"},
                                       {"--send-via", "host:9"},
                                       {"--send-via", "127.0.0.1:"}}) {
    ServerOptions fresh;
    EXPECT_EQ(parse(bad, fresh, error), PARSE_ERROR) << bad[0] << " " << bad[1];
  }
}

TEST(ServerOptions, NetworkLimitsAndTheirBounds) {
  ServerOptions o;
  std::string error;
  ASSERT_EQ(parse({}, o, error), PARSE_OK);
  EXPECT_TRUE(o.allow.empty());
  EXPECT_TRUE(serverAllows(o, 0x08080808)) << "without --allow every address may connect";
  EXPECT_EQ(o.maxConnectionsPerClient, 64u);
  EXPECT_EQ(o.maxStreamsPerClient, 64u);
  EXPECT_EQ(o.maxStreams, 256u);
  EXPECT_EQ(o.maxMemoryMiB, 256u);
  EXPECT_EQ(o.setupTimeoutS, 10u);
  EXPECT_EQ(o.idleTimeoutS, 300u);
  EXPECT_EQ(o.udpPort, 0);
  EXPECT_EQ(o.udpPortLast, 65535);
  ASSERT_EQ(parse({"--allow", "192.168.1.0/24", "--allow=10.0.0.5", "--udp-ports", "30000-30009",
                   "--setup-timeout", "0", "--idle-timeout=86400", "--max-streams-per-client", "1",
                   "--max-connections-per-client", "65536"},
                  o, error),
            PARSE_OK)
      << error;
  EXPECT_TRUE(serverAllows(o, 0xC0A801FE));   // 192.168.1.254
  EXPECT_FALSE(serverAllows(o, 0xC0A80201));  // 192.168.2.1
  EXPECT_TRUE(serverAllows(o, 0x0A000005));
  EXPECT_FALSE(serverAllows(o, 0x0A000006));
  EXPECT_EQ(o.udpPort, 30000);
  EXPECT_EQ(o.udpPortLast, 30009);
  EXPECT_EQ(o.setupTimeoutS, 0u);
  EXPECT_EQ(o.idleTimeoutS, 86400u);
  EXPECT_EQ(o.maxStreamsPerClient, 1u);
  EXPECT_EQ(o.maxConnectionsPerClient, 65536u);
  ASSERT_EQ(parse({"--allow", "0.0.0.0/0", "--udp-port", "40000"}, o, error), PARSE_OK) << error;
  EXPECT_TRUE(serverAllows(o, 0x01020304));
  EXPECT_EQ(o.udpPortLast, 65535) << "--udp-port counts up to the end";
  for (std::vector<std::string> bad : {std::vector<std::string>{"--allow", "192.168.1.5/24"},
                                       {"--allow", "10.0.0.0/33"},
                                       {"--allow", "10.0.0/8"},
                                       {"--allow", "10.0.0.0/"},
                                       {"--udp-ports", "0-10"},
                                       {"--udp-ports", "20-10"},
                                       {"--udp-ports", "10"},
                                       {"--udp-ports", "10-65536"},
                                       {"--setup-timeout", "86401"},
                                       {"--idle-timeout", "-1"},
                                       {"--max-streams-per-client", "0"},
                                       {"--max-streams", "0"},
                                       {"--max-memory", "15"},
                                       {"--max-connections-per-client", "65537"}}) {
    ServerOptions fresh;
    EXPECT_EQ(parse(bad, fresh, error), PARSE_ERROR) << bad[0] << " " << bad[1];
  }
  parse({"--udp-ports", "20-10"}, o, error);
  EXPECT_EQ(error,
            "bad value for --udp-ports: 20-10 (FIRST-LAST, 1 to 65535, FIRST not above LAST)");
}

}  // namespace

// The sound system's buffering after underruns for lack of time: by half,
// 5 ms at least, in whole milliseconds, up to its ceiling; a configured
// value above the ceiling is its own; and a new stream's minimum lead
// covers what the buffering has become.
TEST(ServerOptions, TheBufferingRisesToItsCeilingAndTheLeadCoversIt) {
  soundBufferingStart(10000);
  std::vector<uint32_t> steps;
  for (int i = 0; i < 6; i++) {
    soundBufferingUnderrun(1, "in a test");
    steps.push_back(soundBufferingUs() / 1000);
  }
  EXPECT_EQ(steps, (std::vector<uint32_t>{15, 22, 33, 40, 40, 40}));
  ServerOptions o;
  EXPECT_EQ(serverMinLead(o, 44100, soundBufferingUs() / 1000), 2205u) << "40 ms and a step";
  soundBufferingQuiet();  // not quiet for long yet
  EXPECT_EQ(soundBufferingUs(), 40000u);
  soundBufferingStart(200000);
  soundBufferingUnderrun(1, "in a test");
  EXPECT_EQ(soundBufferingUs(), 200000u);
  soundBufferingStart(10000);
}
