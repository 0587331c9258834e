// The stream endpoints against real instances and rings: sample layouts in
// both directions, what a paused or closing source supplies, and how the
// sink hands the ring to the input headers. drvLock is held by each case,
// as the I/O thread holds it.
#include "devices/endpoint.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "audio/formats.h"
#include "devices/operations.h"
#include "driver/entry.h"
#include "driver/instance.h"
#include "driver/wavein.h"
#include "driver/waveout.h"
#include "net/loop.h"
#include "tests/support/fake_winmm.h"

namespace {

constexpr DWORD_PTR CALLBACK_VALUE = 0x1234;

class EndpointTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fakeWinmmReset();
    drvInitLock();
    EnterCriticalSection(&drvLock);
    instance_.queueTail = &instance_.queueHead;
    instance_.callback = CALLBACK_VALUE;
    instance_.streams = &stream_;
    state_.instance = &instance_;
    state_.stream = &stream_;
    stream_.state = &state_;
  }

  void TearDown() override {
    workDequeue(&state_.pump);
    playSourceDestroy(source_);
    recordSinkDestroy(sink_);
    EXPECT_EQ(loopWork, nullptr);
    LeaveCriticalSection(&drvLock);
    fakeWinmmReset();
  }

  void useFormat(WORD channels, DWORD rate, WORD bits, DWORD direction) {
    instance_.direction = direction;
    instance_.events = direction == WAVE_OUTPUT ? &waveOutputEvents : &waveInputEvents;
    instance_.format = {WAVE_FORMAT_PCM, channels, rate, rate * channels * bits / 8,
                        WORD(channels * bits / 8)};
    instance_.sample = bits == 8 ? PCM_U8 : PCM_S16;
    if (direction == WAVE_OUTPUT) {
      workInit(&state_.pump, playPump, &state_, PUMP_PRIORITY);
      state_.source = source_ = playSourceCreate(&state_);
      ASSERT_NE(source_, nullptr);
    } else {
      workInit(&state_.pump, recordPump, &state_, PUMP_PRIORITY);
      state_.sink = sink_ = recordSinkCreate(&state_);
      ASSERT_NE(sink_, nullptr);
    }
  }

  // Queues a header over bytes, as the front end does; the first one
  // becomes the stream's current header.
  WAVEHDR *queue(std::vector<BYTE> &bytes) {
    headers_.push_back(new WAVEHDR{});
    WAVEHDR *h = headers_.back();
    h->lpData = reinterpret_cast<LPSTR>(bytes.data());
    h->dwBufferLength = DWORD(bytes.size());
    h->dwFlags = WHDR_PREPARED | WHDR_INQUEUE;
    hdrQueueAppend(&instance_, h);
    if (!stream_.current) {
      stream_.current = h;
      stream_.offset = 0;
    }
    return h;
  }

  // The headers the application got back, in order.
  std::vector<DWORD_PTR> returned() const {
    std::vector<DWORD_PTR> out;
    for (const DriverCallbackCall &c : fakeDriverCallbackCalls()) out.push_back(c.param1);
    return out;
  }

  int16_t ringAt(SampleRing *ring, uint32_t frame, uint32_t channel = 0) {
    uint32_t span;
    return ringSpan(ring, frame, &span)[channel];
  }

  void TearDownHeaders() {
    for (WAVEHDR *h : headers_) delete h;
  }
  ~EndpointTest() override { TearDownHeaders(); }

  WaveInstance instance_{};
  WaveStream stream_{};
  WaveStreamState state_{};
  PlaySource *source_ = nullptr;
  RecordSink *sink_ = nullptr;
  std::vector<WAVEHDR *> headers_;
};

TEST_F(EndpointTest, RingsFollowTheInstanceFormat) {
  useFormat(2, 22050, 16, WAVE_OUTPUT);
  EXPECT_EQ(source_->ring->channels, 2u);
  EXPECT_EQ(source_->ring->rate, 22050u);
  EXPECT_EQ(source_->ring->frames, RING_FRAMES);
  EXPECT_EQ(source_->state, &state_);
  EXPECT_EQ(source_->events, &playSourceEvents);
  playSourceDestroy(source_);
  state_.source = source_ = nullptr;

  useFormat(1, 8000, 8, WAVE_INPUT);
  EXPECT_EQ(sink_->ring->channels, 1u);
  EXPECT_EQ(sink_->events, &recordSinkEvents);
}

TEST_F(EndpointTest, EightBitOutputWidensAndTheUsedHeaderComesBack) {
  useFormat(1, 8000, 8, WAVE_OUTPUT);
  std::vector<BYTE> data = {0x00, 0x80, 0xFF};
  WAVEHDR *h = queue(data);
  EXPECT_EQ(sourceFill(source_, 0, 8), 1);
  EXPECT_EQ(source_->produced, 3u);
  EXPECT_EQ(ringAt(source_->ring, 0), -32768);
  EXPECT_EQ(ringAt(source_->ring, 1), 128);
  EXPECT_EQ(ringAt(source_->ring, 2), 32767);
  EXPECT_EQ(returned(), std::vector<DWORD_PTR>{reinterpret_cast<DWORD_PTR>(h)});
  EXPECT_TRUE(h->dwFlags & WHDR_DONE);
  EXPECT_FALSE(h->dwFlags & WHDR_INQUEUE);
  EXPECT_EQ(stream_.current, nullptr);
  // Nothing more to give: the fill makes nothing.
  EXPECT_EQ(sourceFill(source_, 0, 8), 0);
}

TEST_F(EndpointTest, StereoOutputCopiesFramesAcrossHeadersAndTheRingEnd) {
  useFormat(2, 44100, 16, WAVE_OUTPUT);
  std::vector<BYTE> first(12), second(8);  // 3 and 2 frames of 4 bytes
  for (size_t i = 0; i < first.size(); i++) first[i] = BYTE(i + 1);
  for (size_t i = 0; i < second.size(); i++) second[i] = BYTE(0x40 + i);
  WAVEHDR *a = queue(first);
  WAVEHDR *b = queue(second);
  // Two frames before the ring's end: the copy goes on at its start.
  source_->produced = RING_FRAMES - 2;
  EXPECT_EQ(sourceFill(source_, RING_FRAMES - 2, 5), 1);
  EXPECT_EQ(source_->produced, RING_FRAMES + 3);
  std::vector<BYTE> all(first);
  all.insert(all.end(), second.begin(), second.end());
  std::vector<BYTE> got(20);
  uint32_t span;
  std::memcpy(got.data(), ringSpan(source_->ring, RING_FRAMES - 2, &span), 8);
  EXPECT_EQ(span, 2u);
  std::memcpy(got.data() + 8, ringSpan(source_->ring, RING_FRAMES, &span), 12);
  EXPECT_EQ(got, all);
  EXPECT_EQ(returned(), (std::vector<DWORD_PTR>{reinterpret_cast<DWORD_PTR>(a),
                                                reinterpret_cast<DWORD_PTR>(b)}));
}

TEST_F(EndpointTest, APartialFillKeepsTheHeaderAndItsOffset) {
  useFormat(1, 8000, 16, WAVE_OUTPUT);
  std::vector<BYTE> data(20);  // 10 frames
  queue(data);
  EXPECT_EQ(sourceFill(source_, 0, 4), 1);
  EXPECT_EQ(stream_.offset, 4u);
  EXPECT_TRUE(returned().empty());
  // A fill that asks for nothing beyond what is there makes nothing.
  EXPECT_EQ(sourceFill(source_, 0, 4), 0);
  EXPECT_EQ(sourceFill(source_, 4, 6), 1);
  EXPECT_EQ(returned().size(), 1u);
}

TEST_F(EndpointTest, PausedSuppliesNothingAndClosingSuppliesSilence) {
  useFormat(1, 8000, 16, WAVE_OUTPUT);
  std::vector<BYTE> data(8, 0x11);
  queue(data);
  instance_.paused = 1;
  int16_t buffer[8];
  DWORD bytes = sizeof buffer;
  EXPECT_EQ(sourceSupply(source_, buffer, &bytes), 0);
  EXPECT_EQ(bytes, sizeof buffer);
  EXPECT_EQ(sourceFill(source_, 0, 4), 0);
  EXPECT_EQ(stream_.offset, 0u);
  // Paused while closing still supplies nothing.
  instance_.closing = 1;
  EXPECT_EQ(sourceFill(source_, 0, 4), 0);
  instance_.paused = 0;
  EXPECT_EQ(sourceFill(source_, 0, 4), 1);  // the header's 4 frames
  EXPECT_EQ(ringAt(source_->ring, 3), 0x1111);
  // No header left, closing: every request gets silence.
  for (int i = 0; i < 3; i++) {
    std::memset(buffer, 0x55, sizeof buffer);
    bytes = sizeof buffer;
    EXPECT_EQ(sourceSupply(source_, buffer, &bytes), 1);
    EXPECT_EQ(bytes, sizeof buffer);
    for (int16_t s : buffer) EXPECT_EQ(s, 0);
  }
  EXPECT_EQ(sourceFill(source_, 4, 100), 1);
  EXPECT_EQ(source_->produced, 104u);
}

TEST_F(EndpointTest, EmptyHeadersArePassedAndAnEndlessEmptyLoopDoesNotHoldTheThread) {
  useFormat(1, 8000, 16, WAVE_OUTPUT);
  std::vector<BYTE> empty, data(4, 0x22);
  WAVEHDR *e = queue(empty);
  WAVEHDR *d = queue(data);
  EXPECT_EQ(sourceFill(source_, 0, 2), 1);
  EXPECT_EQ(returned(), (std::vector<DWORD_PTR>{reinterpret_cast<DWORD_PTR>(e),
                                                reinterpret_cast<DWORD_PTR>(d)}));
  // An empty header that loops without end: each fill gives up after a
  // bounded number of passes and makes nothing.
  std::vector<BYTE> none;
  WAVEHDR *loop = queue(none);
  loop->dwFlags |= WHDR_BEGINLOOP | WHDR_ENDLOOP;
  loop->dwLoops = 0xFFFFFFFF;
  stream_.current = loop;
  EXPECT_EQ(sourceFill(source_, 2, 10), 0);
  EXPECT_EQ(stream_.current, loop);
  hdrQueueRemove(&instance_, loop);
  stream_.current = nullptr;
  stream_.loopStart = nullptr;
}

TEST_F(EndpointTest, EightBitInputNarrowsAndAFullHeaderComesBackAtOnce) {
  useFormat(1, 8000, 8, WAVE_INPUT);
  std::vector<BYTE> data(3, 0x33);
  WAVEHDR *h = queue(data);
  const int16_t samples[] = {-32768, 0, 32767};
  EXPECT_EQ(sinkDeliver(sink_, samples, sizeof samples), 0);
  EXPECT_EQ(data, (std::vector<BYTE>{0x00, 0x80, 0xFF}));
  EXPECT_EQ(h->dwBytesRecorded, 3u);
  EXPECT_EQ(returned(), std::vector<DWORD_PTR>{reinterpret_cast<DWORD_PTR>(h)});
  EXPECT_EQ(state_.position, 3u);
}

TEST_F(EndpointTest, InputHeadersTakeWholeFramesAndTheRestIsDropped) {
  useFormat(2, 44100, 16, WAVE_INPUT);
  std::vector<BYTE> odd(10, 0);  // room for 2 whole frames of 4 bytes
  WAVEHDR *h = queue(odd);
  // Five frames in the ring; the reader is at 0.
  uint32_t span;
  int16_t *ring = ringSpan(sink_->ring, 0, &span);
  for (int i = 0; i < 10; i++) ring[i] = int16_t(100 + i);
  EXPECT_EQ(sinkDrain(sink_, 5), 1);
  EXPECT_EQ(h->dwBytesRecorded, 8u);
  EXPECT_EQ(returned(), std::vector<DWORD_PTR>{reinterpret_cast<DWORD_PTR>(h)});
  int16_t first[4];
  std::memcpy(first, odd.data(), sizeof first);
  EXPECT_EQ(first[0], 100);
  EXPECT_EQ(first[3], 103);
  // The frames that found no header are gone and their ring cleared.
  EXPECT_EQ(sink_->readPos, 5u);
  EXPECT_EQ(ringAt(sink_->ring, 4, 1), 0);
  EXPECT_EQ(state_.position, 2u);
  EXPECT_EQ(sinkDrain(sink_, 0), 0);
}

TEST_F(EndpointTest, ThePartlyFilledInputHeaderKeepsItsOffset) {
  useFormat(1, 8000, 16, WAVE_INPUT);
  std::vector<BYTE> data(8, 0);
  WAVEHDR *h = queue(data);
  const int16_t samples[] = {7, 8};
  sinkDeliver(sink_, samples, sizeof samples);
  EXPECT_EQ(stream_.offset, 2u);
  EXPECT_EQ(h->dwBytesRecorded, 4u);
  EXPECT_TRUE(returned().empty());
  sinkDeliver(sink_, samples, sizeof samples);
  EXPECT_EQ(returned().size(), 1u);
  EXPECT_EQ(h->dwBytesRecorded, 8u);
}

TEST_F(EndpointTest, TheSinkIsActiveFromTheFirstReceiverUntilItsEndWasRead) {
  useFormat(1, 8000, 16, WAVE_INPUT);
  state_.paused = 0;
  sink_->events->dataReady(sink_);
  EXPECT_TRUE(state_.pump.queued);
  sinkReceiverStarted(sink_);
  EXPECT_EQ(sink_->active, 1u);
  sinkReceiverStopped(sink_, 3);  // three frames still to read
  EXPECT_EQ(sink_->active, 1u);
  EXPECT_TRUE(state_.pump.queued);
  std::vector<BYTE> data(16, 0);
  queue(data);
  EXPECT_EQ(sinkDrain(sink_, 3), 1);
  EXPECT_EQ(sink_->active, 0u);
  EXPECT_FALSE(state_.pump.queued);  // inactive: the pump is off
  // A stopped state queues no pump.
  state_.paused = 1;
  sink_->events->dataReady(sink_);
  EXPECT_FALSE(state_.pump.queued);
  hdrQueueRemove(&instance_, stream_.current);
  stream_.current = nullptr;
}

}  // namespace
