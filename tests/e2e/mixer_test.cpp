// The mixer's volume against lumivox-server: a level set is read back, the
// server sees it in both halves of its value, a read takes the value's
// high half, and an unreachable server reads 0.
#include <cstdio>

#include "tests/e2e/e2e_support.h"
#include "tests/e2e/mixer_support.h"
#include "tests/server/driver_messages.h"

namespace {

class Mixer : public EndToEnd {};

// Controls 3 and 4 are the server's playback and recording volumes.
TEST_F(Mixer, ALevelSetIsReadBackAndTheServerSeesItInBothHalves) {
  startSession(641);
  startServer({});
  EXPECT_EQ(setVolume(MIXER_CONTROL_OUTPUT, 0x1234), MMSYSERR_NOERROR);
  ASSERT_TRUE(server_->waitForLog("control 3 set to 0x12341234"));
  EXPECT_EQ(readVolume(MIXER_CONTROL_OUTPUT), 0x1234u);
  EXPECT_EQ(setVolume(MIXER_CONTROL_INPUT, 0xBEEF), MMSYSERR_NOERROR);
  ASSERT_TRUE(server_->waitForLog("control 4 set to 0xbeefbeef"));
  EXPECT_EQ(readVolume(MIXER_CONTROL_INPUT), 0xBEEFu);
  EXPECT_EQ(readVolume(MIXER_CONTROL_OUTPUT), 0x1234u) << "the controls are apart";
  EXPECT_EQ(setVolume(MIXER_CONTROL_OUTPUT, 0), MMSYSERR_NOERROR);
  ASSERT_TRUE(server_->waitForLog("control 3 set to 0x00000000"));
  EXPECT_EQ(readVolume(MIXER_CONTROL_OUTPUT), 0u);
  EXPECT_EQ(setVolume(MIXER_CONTROL_OUTPUT, 0xFFFF), MMSYSERR_NOERROR);
  ASSERT_TRUE(server_->waitForLog("control 3 set to 0xffffffff"));
  EXPECT_EQ(readVolume(MIXER_CONTROL_OUTPUT), 0xFFFFu);
}

// Another client of the server sets values whose halves differ; the
// server keeps control values across connections, so the driver's next
// read answers them.
TEST_F(Mixer, AReadTakesTheHighHalfWhateverTheLowHalfHolds) {
  startSession(642);
  startServer({"--no-auth"});  // the other client speaks raw, without the key
  struct Case {
    uint32_t value;
    DWORD level;
  };
  const Case cases[] = {
      {0xABCD0042, 0xABCD}, {0x00FFFFFF, 0x00FF}, {0xFFFF0000, 0xFFFF}, {0x0001FFFE, 0x0001}};
  for (const Case &c : cases) {
    auto client = setUpClient(*server_);
    ASSERT_TRUE(client->connected());
    ASSERT_TRUE(client->send(setControlRequest(3, c.value)));
    char expected[64];
    std::snprintf(expected, sizeof expected, "control 3 set to 0x%08x", c.value);
    ASSERT_TRUE(server_->waitForLog(expected));
    EXPECT_EQ(readVolume(MIXER_CONTROL_OUTPUT), c.level) << std::hex << c.value;
  }
}

// Nothing listens on the session's port: the connection is refused, reads
// answer 0 and writes send nothing, now and after the failure is
// remembered.
TEST_F(Mixer, AnUnreachableServerReadsZero) {
  startSession(643);
  EXPECT_EQ(readVolume(MIXER_CONTROL_OUTPUT), 0u);
  EXPECT_EQ(setVolume(MIXER_CONTROL_OUTPUT, 0x4000), MMSYSERR_NOERROR);
  EXPECT_EQ(readVolume(MIXER_CONTROL_INPUT), 0u);
  EXPECT_EQ(readVolume(MIXER_CONTROL_OUTPUT), 0u);
}

}  // namespace
