// lumivox-server's option parsing.
#include "server/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int parse(std::vector<std::string> words, ServerOptions &options, std::string &error) {
  words.insert(words.begin(), "lumivox-server");
  std::vector<char *> argv;
  for (std::string &w : words) argv.push_back(w.data());
  return serverParseOptions(int(argv.size()), argv.data(), options, error);
}

TEST(ServerOptions, DefaultsAreASoundServer) {
  ServerOptions o;
  std::string error;
  ASSERT_EQ(parse({}, o, error), 0);
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
            0)
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
  ASSERT_EQ(parse({"--port", "0"}, o, error), 0);
  EXPECT_EQ(serverControlPort(o), 0) << "the port overrides the display";
}

TEST(ServerOptions, ErrorsNameTheOption) {
  ServerOptions o;
  std::string error;
  EXPECT_EQ(parse({"--help", "--bogus"}, o, error), 1);
  EXPECT_EQ(parse({"--bogus"}, o, error), 2);
  EXPECT_EQ(error, "unknown option: --bogus");
  EXPECT_EQ(parse({"--rate"}, o, error), 2);
  EXPECT_EQ(error, "--rate needs a value");
  EXPECT_EQ(parse({"--udp-port", "65536"}, o, error), 2);
  EXPECT_EQ(error, "bad value for --udp-port: 65536");
  EXPECT_EQ(parse({"--display", "010x"}, o, error), 2);
  EXPECT_EQ(parse({"--refuse-setup=1"}, o, error), 2) << "flags take no value";
}

TEST(ServerOptions, DatagramOptionsAndTheirBounds) {
  ServerOptions o;
  std::string error;
  ASSERT_EQ(parse({"--output", "p.wav", "--output-rate=44100", "--output-channels", "1", "--fast",
                   "--input", "r.wav", "--tone", "1000", "--record-format", "0", "--stats", "s"},
                  o, error),
            0)
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
    EXPECT_EQ(parse(bad, fresh, error), 2) << bad[0];
  }
}

TEST(ServerOptions, RelayOptions) {
  ServerOptions o;
  std::string error;
  ASSERT_EQ(parse({}, o, error), 0);
  EXPECT_EQ(o.advertiseUdpPort, -1) << "replies name the stream's own port";
  EXPECT_TRUE(o.sendViaAddress.empty()) << "recordings go to the driver";
  ASSERT_EQ(parse({"--advertise-udp-port", "40000", "--send-via", "41000"}, o, error), 0) << error;
  EXPECT_EQ(o.advertiseUdpPort, 40000);
  EXPECT_EQ(o.sendViaAddress, "127.0.0.1");
  EXPECT_EQ(o.sendViaPort, 41000);
  ASSERT_EQ(parse({"--send-via=127.0.0.9:7"}, o, error), 0) << error;
  EXPECT_EQ(o.sendViaAddress, "127.0.0.9");
  EXPECT_EQ(o.sendViaPort, 7);
  ASSERT_EQ(parse({"--advertise-udp-port", "0"}, o, error), 0) << "a server that names port 0";
  EXPECT_EQ(o.advertiseUdpPort, 0);
  for (std::vector<std::string> bad : {std::vector<std::string>{"--advertise-udp-port", "-1"},
                                       {"--advertise-udp-port", "65536"},
                                       {"--send-via", "0"},
                                       {"--send-via", "host:9"},
                                       {"--send-via", "127.0.0.1:"}}) {
    ServerOptions fresh;
    EXPECT_EQ(parse(bad, fresh, error), 2) << bad[0] << " " << bad[1];
  }
}

}  // namespace
