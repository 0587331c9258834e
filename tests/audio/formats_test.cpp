// Wire formats, rings, stream slots, and the creation, pause and close of
// the play senders and capture receivers.
#include "audio/formats.h"

#include <gtest/gtest.h>

#include "stream/endpoint.h"
#include "stream/stream.h"
#include "tests/support/loop_support.h"

#ifndef _WIN32
#include "platform/posix/faults.h"
#endif

namespace {

TEST(WireFormats, RowsAreConsistentAndEndWithZeros) {
  for (int i = 0; i < WIRE_FORMAT_COUNT; i++) {
    const WireFormat &row = wireFormats[i];
    SCOPED_TRACE(i);
    ASSERT_LT(row.rateIndex, WIRE_RATE_COUNT);
    EXPECT_EQ(row.rate, wireRates[row.rateIndex]);
    EXPECT_EQ(row.rttLimit, 2800000u / row.bytesPerSecond);
    if (i > 0) {
      EXPECT_GE(row.bytesPerSecond, wireFormats[i - 1].bytesPerSecond);
    }
    uint32_t channels = row.stereo ? 2 : 1;
    switch (row.kind) {
      case WIRE_GSM:
        EXPECT_EQ(i, 0);
        EXPECT_EQ(row.samplesPerUnit, 160u);
        break;
      case WIRE_COMPANDED:
        EXPECT_EQ(row.bytesPerSecond, row.rate * channels);
        EXPECT_FALSE(row.stereo);
        EXPECT_LE(row.rate, 32000u);
        break;
      case WIRE_LINEAR16:
        EXPECT_EQ(row.bytesPerSecond, row.rate * channels * 2);
        EXPECT_NE(row.rate, 8000u);
        break;
      default:
        ADD_FAILURE() << "kind " << int(row.kind);
    }
  }
  const WireFormat &end = wireFormats[WIRE_FORMAT_COUNT];
  EXPECT_EQ(end.kind, 0);
  EXPECT_EQ(end.bytesPerSecond, 0u);
  EXPECT_EQ(wireFormats[16].rate, 44100u);
  EXPECT_EQ(wireFormats[16].stereo, 1u);
  EXPECT_EQ(wireFormats[12].rate, 44100u);
  EXPECT_EQ(wireFormats[12].stereo, 0u);
}

TEST(WireFormats, EligibilityFollowsRingAndServer) {
  SampleRing *mono = ringCreate(1024, 48000, 0);
  SampleRing *slow = ringCreate(1024, 22050, 1);
  ASSERT_TRUE(mono && slow);
  for (int i = 0; i < WIRE_FORMAT_COUNT; i++) {
    const WireFormat *row = &wireFormats[i];
    SCOPED_TRACE(i);
    bool stereoRow = i == 8 || i == 10 || i == 13 || i == 15 || i == 16 || i == 17;
    EXPECT_EQ(formatEligible(row, mono, 48000) != 0, !stereoRow);
    EXPECT_EQ(formatEligible(row, slow, 48000) != 0, row->rate <= 22050);
    EXPECT_EQ(formatEligible(row, slow, 8000) != 0, row->rate == 8000);
  }
  EXPECT_TRUE(formatPassesRtt(&wireFormats[12], 30));
  EXPECT_FALSE(formatPassesRtt(&wireFormats[12], 31));
  LocalFree(mono);
  LocalFree(slow);
}

TEST(SampleRings, LayoutSpanClearAndRepeat) {
  SampleRing *ring = ringCreate(8, 44100, 1);
  ASSERT_NE(ring, nullptr);
  EXPECT_EQ(ring->channels, 2u);
  uint32_t span;
  int16_t *at = ringSpan(ring, 8 * 3 + 5, &span);  // wraps: slot 5
  EXPECT_EQ(at, ringSamples(ring) + 10);
  EXPECT_EQ(span, 3u);
  for (int i = 0; i < 16; i++) ringSamples(ring)[i] = int16_t(100 + i);
  ringClear(ring, 5, 3);
  for (int i = 10; i < 16; i++) EXPECT_EQ(ringSamples(ring)[i], 0);
  EXPECT_EQ(ringSamples(ring)[9], 109);

  // At position 0 the frame before is the last one of the ring (slot 7);
  // the repetition overwrites and wraps.
  ringSamples(ring)[14] = 7;
  ringSamples(ring)[15] = -7;
  ringSamples(ring)[0] = 1000;
  ringRepeat(ring, 0, 3);
  for (int f = 0; f < 3; f++) {
    EXPECT_EQ(ringSamples(ring)[2 * f], 7);
    EXPECT_EQ(ringSamples(ring)[2 * f + 1], -7);
  }
  ringRepeat(ring, 7, 2);  // slots 7 and 0 from slot 6 (cleared: silence)
  EXPECT_EQ(ringSamples(ring)[14], 0);
  EXPECT_EQ(ringSamples(ring)[0], 0);
  EXPECT_EQ(ringSamples(ring)[2], 7);
  LocalFree(ring);
  EXPECT_EQ(ringCreate(0, 8000, 0), nullptr);
}

int lastActivity = 0;  // 100 + the last activity flag either endpoint was given
void recordActivity(PlaySource *, int flag) { lastActivity = 100 + flag; }
void recordSinkActivity(RecordSink *, int flag) { lastActivity = 100 + flag; }
const PlaySourceEvents sourceEvents = {nullptr, recordActivity, nullptr, nullptr};
const RecordSinkEvents sinkEvents = {nullptr, recordSinkActivity};

class StreamSetup : public LoopTest {
 protected:
  void SetUp() override {
    LoopTest::SetUp();
    source.ring = ringCreate(RING_FRAMES, 44100, 1);
    source.events = &sourceEvents;
    sink.ring = ringCreate(RING_FRAMES, 44100, 0);
    sink.events = &sinkEvents;
  }
  void TearDown() override {
    LocalFree(source.ring);
    LocalFree(sink.ring);
    LoopTest::TearDown();
  }
  PlaySource source = {};
  RecordSink sink = {};
};

TEST_F(StreamSetup, SlotsCountIdsAndTakeTheNextFreePort) {
  StreamSlot *first = slotCreate();
  StreamSlot *second = slotCreate();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->id, 1u);
  EXPECT_EQ(second->id, 2u);
  EXPECT_EQ(first->kind, SLOT_BARE);
  EXPECT_FALSE(slotHasStream(first));
  // Other processes may hold ports from 10000 up, so only the order is
  // certain: the second slot takes a later port while the first holds its.
  EXPECT_GE(first->localPort, SLOT_PORT_BASE);
  EXPECT_GT(second->localPort, first->localPort);
  sockaddr_in bound;
  socklen_t length = sizeof bound;
  ASSERT_EQ(getsockname(first->socket, reinterpret_cast<sockaddr *>(&bound), &length), 0);
  EXPECT_EQ(ntohs(bound.sin_port), first->localPort);
  // Non-blocking: a read of an empty socket returns at once.
  char byte;
  EXPECT_EQ(recv(first->socket, &byte, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  slotClose(first);
  slotClose(second);
}

TEST_F(StreamSetup, PlaySenderCreationClampsAndRegisters) {
  StreamSlot *slot = slotCreate();
  ASSERT_NE(slot, nullptr);
  slotBindPlay(slot, &source, 0x7F000001, 9001, 100, 100000, 0, 0);
  PlaySender *sender = slot->sender;
  ASSERT_NE(sender, nullptr);
  EXPECT_EQ(slot->kind, SLOT_PLAY);
  EXPECT_EQ(sender->leadMin, 256u);
  EXPECT_EQ(sender->leadMax, 65536u);
  EXPECT_EQ(sender->rateLimit, 8000u);  // a server rate of 0
  EXPECT_EQ(ntohl(sender->server.sin_addr.s_addr), 0x7F000001u);
  EXPECT_EQ(ntohs(sender->server.sin_port), 9001);
  EXPECT_EQ(sender->timeout, 5000u);
  EXPECT_EQ(sender->format, &wireFormats[0]);
  EXPECT_EQ(sender->resampler.inRate, 44100u);
  EXPECT_EQ(sender->resampler.outRate, 8000u);
  EXPECT_EQ(sender->resampler.channels, 2u);
  EXPECT_EQ(source.senders, sender);
  EXPECT_EQ(loopReaders, &sender->watcher);
  EXPECT_EQ(sender->watcher.priority, 40u);
  EXPECT_EQ(sender->watcher.socket, slot->socket);
  EXPECT_EQ(loopWork, &sender->work);
  EXPECT_EQ(sender->work.priority, 30u);
  EXPECT_EQ(sender->timer.priority, 20u);

  // Unpausing resets both acknowledged positions to the sent one and asks
  // for a send; pausing again changes nothing else.
  workDequeue(&sender->work);
  sender->sent = 5000;
  sender->ackedEnd = 7000;
  sender->ackedPlayed = 1000;
  playSenderSetPaused(sender, 0);  // unchanged: nothing happens
  EXPECT_EQ(loopWork, nullptr);
  playSenderSetPaused(sender, 1);
  EXPECT_EQ(sender->ackedEnd, 7000u);
  playSenderSetPaused(sender, 0);
  EXPECT_EQ(sender->ackedEnd, 5000u);
  EXPECT_EQ(sender->ackedPlayed, 5000u);
  EXPECT_EQ(loopWork, &sender->work);

  // A started sender that closes as the last one tells the source.
  sender->started = 1;
  source.startedCount = 1;
  slotClose(slot);
  EXPECT_EQ(source.startedCount, 0u);
  EXPECT_EQ(lastActivity, 100);
  EXPECT_EQ(source.senders, nullptr);
}

TEST_F(StreamSetup, SenderWindowSizesPacketsByRoundTrip) {
  SampleRing *mono = ringCreate(RING_FRAMES, 44100, 0);
  SampleRing *stereo = source.ring;
  source.ring = mono;
  StreamSlot *slot = slotCreate();
  ASSERT_NE(slot, nullptr);
  slotBindPlay(slot, &source, 0x7F000001, 9001, 256, 2000, 0, 48000);
  PlaySender *sender = slot->sender;
  senderSwitch(sender, &wireFormats[12], 31);
  EXPECT_EQ(sender->packetFrames, 692u);
  EXPECT_EQ(sender->leadTarget, 2000u);  // 4 x 692, limited by leadMax
  senderSwitch(sender, &wireFormats[12], 1);
  EXPECT_EQ(sender->packetFrames, 100u);  // 200 coded bytes at least
  EXPECT_EQ(sender->leadTarget, 400u);
  slotClose(slot);
  source.ring = stereo;
  LocalFree(mono);
}

TEST_F(StreamSetup, SenderAndReceiverListsKeepNewestFirst) {
  StreamSlot *a = slotCreate(), *b = slotCreate(), *c = slotCreate(), *d = slotCreate();
  ASSERT_TRUE(a && b && c && d);
  slotBindPlay(a, &source, 0x7F000001, 9001, 0, 0, 0, 48000);
  slotBindPlay(b, &source, 0x7F000001, 9001, 0, 0, 0, 48000);
  slotBindCapture(c, &sink, 0x7F000001, 8000);
  slotBindCapture(d, &sink, 0x7F000001, 8000);
  EXPECT_EQ(source.senders, b->sender);
  EXPECT_EQ(source.senders->next, a->sender);
  CaptureReceiver *receiver = d->receiver;
  EXPECT_EQ(sink.receivers, receiver);
  EXPECT_EQ(receiver->next, c->receiver);
  EXPECT_EQ(receiver->timebaseRate, 8000u);
  EXPECT_EQ(ntohl(receiver->serverAddress.s_addr), 0x7F000001u);
  EXPECT_EQ(receiver->watcher.priority, 30u);
  EXPECT_EQ(receiver->synced, 0u);

  // A synchronised receiver that closes last ends the sink's activity once
  // nothing is left to read.
  receiver->synced = 1;
  receiver->writePos = 500;
  sinkReceiverStarted(&sink);
  EXPECT_EQ(sink.active, 1u);
  sink.readPos = 500;
  slotClose(a);
  slotClose(d);
  EXPECT_EQ(sink.activeCount, 0u);
  EXPECT_EQ(sink.endPos, 500u);
  EXPECT_EQ(sink.active, 0u);
  EXPECT_EQ(lastActivity, 100);
  EXPECT_EQ(sink.receivers, c->receiver);
  EXPECT_EQ(source.senders, b->sender);
  slotClose(b);
  slotClose(c);
  EXPECT_EQ(source.senders, nullptr);
  EXPECT_EQ(sink.receivers, nullptr);
}

TEST_F(StreamSetup, FailedAllocationsLeaveNothingOpen) {
#ifdef _WIN32
  GTEST_SKIP() << "allocation failures are injected through the POSIX runtime's seam";
#else
  long live = lvLocalAllocLive();
  lvFaultArm(LV_FAULT_LOCAL_ALLOC, 0, 1);
  EXPECT_EQ(slotCreate(), nullptr);
  lvFaultReset();
  EXPECT_EQ(lvLocalAllocLive(), live);

  // A stream that cannot be made leaves the slot bound with no stream; its
  // close frees the slot and its socket.
  StreamSlot *slot = slotCreate();
  ASSERT_NE(slot, nullptr);
  lvFaultArm(LV_FAULT_LOCAL_ALLOC, 0, 1);
  slotBindPlay(slot, &source, 0x7F000001, 9001, 0, 0, 0, 0);
  lvFaultReset();
  EXPECT_EQ(slot->kind, SLOT_PLAY);
  EXPECT_FALSE(slotHasStream(slot));
  EXPECT_EQ(source.senders, nullptr);
  SOCKET s = slot->socket;
  slotClose(slot);
  EXPECT_EQ(closesocket(s), SOCKET_ERROR);  // already closed
  EXPECT_EQ(lvLocalAllocLive(), live);
#endif
}

}  // namespace
