// The cases that wait out one of the driver's 10 s limits against a server
// that accepts the connection and never answers a request: the start of
// recording and the volume read. The limits are real waits on events,
// which the test tick does not move, so each case takes its 10 s.
#include "tests/e2e/e2e_support.h"
#include "tests/e2e/mixer_support.h"

namespace {

class Silent : public EndToEnd {};

// The start gives up after its wait and leaves the stream stopped: the
// position stays 0, nothing is recorded, and the header comes back empty
// by the reset.
TEST_F(Silent, ARecordStartWithoutAReplyReturnsAndTheStreamStaysStopped) {
  startSession(651);
  startServer({"--withhold-replies"});
  WAVEFORMATEX format = pcmFormat(1, 8000, 16);
  EventLog log;
  HWAVEIN handle = nullptr;
  ASSERT_EQ(waveInOpen(&handle, WAVE_MAPPER, &format, reinterpret_cast<DWORD_PTR>(waveCallback),
                       reinterpret_cast<DWORD_PTR>(&log), CALLBACK_FUNCTION),
            MMSYSERR_NOERROR);
  std::vector<uint8_t> buffer(1600);
  WAVEHDR header = {};
  header.lpData = reinterpret_cast<LPSTR>(buffer.data());
  header.dwBufferLength = DWORD(buffer.size());
  ASSERT_EQ(waveInPrepareHeader(handle, &header, sizeof header), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInAddBuffer(handle, &header, sizeof header), MMSYSERR_NOERROR);
  ASSERT_EQ(waveInStart(handle), MMSYSERR_NOERROR);
  EXPECT_TRUE(server_->waitForLog("withholding the reply"));
  MMTIME time = {};
  time.wType = TIME_SAMPLES;
  ASSERT_EQ(waveInGetPosition(handle, &time, sizeof time), MMSYSERR_NOERROR);
  EXPECT_EQ(time.u.sample, 0u) << "a stopped stream reads position 0";
  EXPECT_EQ(waveInStop(handle), MMSYSERR_NOERROR);
  EXPECT_EQ(log.count(WIM_DATA), 0u);
  EXPECT_EQ(waveInReset(handle), MMSYSERR_NOERROR);
  ASSERT_EQ(log.count(WIM_DATA), 1u);
  EXPECT_EQ(header.dwBytesRecorded, 0u);
  ASSERT_EQ(waveInClose(handle), MMSYSERR_NOERROR);
  EXPECT_EQ(log.events().back().message, UINT(WIM_CLOSE));
}

// The read waits out its 10 s and answers "no value".
TEST_F(Silent, AVolumeReadWithoutAReplyAnswers0x8000) {
  startSession(652);
  startServer({"--withhold-replies"});
  EXPECT_EQ(readVolume(MIXER_CONTROL_OUTPUT), 0x8000u);
  EXPECT_TRUE(server_->waitForLog("withholding the reply"));
}

}  // namespace
