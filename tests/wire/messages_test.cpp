// The control messages' parsers and builders, both ends, and the byte
// helpers under them.
#include "wire/messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "platform/bytes.h"
#include "wire/auth.h"

namespace {

using Bytes = std::vector<uint8_t>;

TEST(ByteHelpers, FieldsAreLittleEndianAtAnyOffset) {
  Bytes b(7, 0xAA);
  leStore32(b, 1, 0x01020304);
  leStore16(b, 5, 0xBEEF);
  EXPECT_EQ(b, (Bytes{0xAA, 0x04, 0x03, 0x02, 0x01, 0xEF, 0xBE}));
  EXPECT_EQ(leLoad32(b, 1), 0x01020304u);
  EXPECT_EQ(leLoad16(b, 5), 0xBEEF);
  EXPECT_EQ(leLoad32(Bytes{0xFF, 0xFF, 0xFF, 0xFF}, 0), 0xFFFFFFFFu) << "no sign extension";
}

TEST(Framing, NeedsTheWholeMessageAtEverySplitPoint) {
  Bytes two = {3, 0, 2, 0, 9, 0, 0, 0, 2, 0, 4, 0, 3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0};
  for (size_t cut = 0; cut < 8; ++cut) {
    EXPECT_EQ(frameNext(std::span(two).first(cut)).status, FrameStatus::NEED_MORE) << cut;
  }
  Frame first = frameNext(two);
  EXPECT_EQ(first.status, FrameStatus::COMPLETE);
  EXPECT_EQ(first.bytes, 8u);
  std::span<const uint8_t> rest = std::span(two).subspan(8);
  for (size_t cut = 0; cut < 16; ++cut) {
    EXPECT_EQ(frameNext(rest.first(cut)).status, FrameStatus::NEED_MORE) << cut;
  }
  EXPECT_EQ(frameNext(rest).bytes, 16u);
}

TEST(Framing, LengthsOutsideEightTo512BytesAreErrors) {
  Bytes header = {0, 0, 0, 0};
  EXPECT_EQ(frameNext(header).status, FrameStatus::TOO_SHORT);
  header[2] = 1;
  EXPECT_EQ(frameNext(header).status, FrameStatus::TOO_SHORT);
  header[2] = 129;
  EXPECT_EQ(frameNext(header).status, FrameStatus::TOO_LONG);
  header[2] = 0;
  header[3] = 1;  // 256 words: the high byte counts
  EXPECT_EQ(frameNext(header).status, FrameStatus::TOO_LONG);
  Bytes largest(512, 0);
  largest[2] = 128;
  EXPECT_EQ(frameNext(std::span(largest).first(511)).status, FrameStatus::NEED_MORE);
  EXPECT_EQ(frameNext(largest).status, FrameStatus::COMPLETE);
}

TEST(SetupMessages, RequestAndRefusal) {
  uint16_t version = 0;
  uint8_t offer = 9;
  Bytes request = {0, 0, 4, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_TRUE(setupRequestParse(request, version, offer));
  EXPECT_EQ(version, 1);
  EXPECT_EQ(offer, 0);
  EXPECT_FALSE(setupRequestParse(std::span(request).first(12), version, offer));
  request[0] = 1;
  EXPECT_FALSE(setupRequestParse(request, version, offer));
  Bytes out(8, 0xCC);
  EXPECT_EQ(setupRefusedBuild(out), 8u);
  EXPECT_EQ(out, (Bytes{0, 0, 2, 0, 0, 0, 0, 0}));
}

TEST(StreamMessages, OpenStreamRequestFields) {
  Bytes m = {0,    1,    9, 0, 0x05, 0x00, 0x00, 0x7F, 0x10, 0x27, 0,    0xEE,
             0x44, 0xAC, 0, 0, 7,    0,    0,    0,    0x00, 0x08, 0,    0,
             0,    0,    1, 0, 2,    0,    0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  OpenStreamRequest r;
  ASSERT_TRUE(openStreamParse(m, r));
  EXPECT_EQ(r.direction, 1);
  EXPECT_EQ(r.address, 0x7F000005u);
  EXPECT_EQ(r.port, 10000);
  EXPECT_EQ(r.adaptive, 0);
  EXPECT_EQ(r.rate, 44100u);
  EXPECT_EQ(r.id, 7u);
  EXPECT_EQ(r.lead, 2048u);
  EXPECT_EQ(r.leadMax, 65536u);
  EXPECT_EQ(r.deviceId, 2);
  EXPECT_FALSE(openStreamParse(std::span(m).first(32), r));
}

TEST(StreamMessages, ReplyIs28BytesWithMaxLeadAt24) {
  Bytes out(28, 0xCC);
  StreamReply reply{.sequence = 0x01020304,
                    .status = 1,
                    .port = 0xABCD,
                    .adaptive = 1,
                    .rate = 48000,
                    .id = 9,
                    .minLead = 256,
                    .maxLead = 65536};
  ASSERT_EQ(streamReplyBuild(out, reply), 28u);
  EXPECT_EQ(out, (Bytes{0, 1, 7, 0, 4, 3, 2, 1, 0xCD, 0xAB, 1, 0, 0x80, 0xBB, 0, 0,  //
                        9, 0, 0, 0, 0, 1, 0, 0, 0,    0,    1, 0}));
  Bytes small(27);
  EXPECT_EQ(streamReplyBuild(small, reply), 0u);
}

TEST(StreamMessages, CloseAndPauseFields) {
  uint32_t id = 0;
  EXPECT_TRUE(closeStreamParse(Bytes{1, 0, 2, 0, 4, 3, 2, 1}, id));
  EXPECT_EQ(id, 0x01020304u);
  PauseStreamRequest pause;
  Bytes m = {5, 0, 4, 0, 7, 0, 0, 0, 0xC0, 0x12, 0, 0, 0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_TRUE(pauseStreamParse(m, pause));
  EXPECT_EQ(pause.id, 7u);
  EXPECT_EQ(pause.position, 4800u);
  EXPECT_FALSE(pauseStreamParse(std::span(m).first(12), pause));
}

TEST(ControlMessages, SetQueryAndReply) {
  SetControlRequest set;
  Bytes m = {2, 0, 4, 0, 3, 0, 0xEE, 0xEE, 0x34, 0x12, 0x34, 0x12, 0xEE, 0xEE, 0xEE, 0xEE};
  ASSERT_TRUE(setControlParse(m, set));
  EXPECT_EQ(set.controlId, 3);
  EXPECT_EQ(set.value, 0x12341234u);
  EXPECT_FALSE(setControlParse(std::span(m).first(8), set));
  uint16_t control = 0;
  EXPECT_TRUE(queryControlParse(Bytes{3, 0, 2, 0, 4, 0, 0xEE, 0xEE}, control));
  EXPECT_EQ(control, 4);
  Bytes out(16, 0xCC);
  ASSERT_EQ(queryReplyBuild(out, 6, 1, 0xFFFF0001), 16u);
  EXPECT_EQ(out, (Bytes{1, 1, 4, 0, 6, 0, 0, 0, 1, 0, 0xFF, 0xFF, 0, 0, 0, 0}));
}

// The driver's side (what lumivox-load sends and reads) against the
// server's parsers and builders and the driver's layouts.
TEST(DriverSide, RequestsAndRepliesMatchTheServersSide) {
  Bytes setup(16, 0xCC);
  ASSERT_EQ(setupRequestBuild(setup), 16u);
  EXPECT_EQ(setup, (Bytes{0, 0, 4, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  OpenStreamRequest request{.direction = 1,
                            .address = 0x7F000005,
                            .port = 10000,
                            .adaptive = 0,
                            .rate = 44100,
                            .id = 7,
                            .lead = 2048,
                            .leadMax = 65536,
                            .deviceId = 2};
  Bytes open(36, 0xEE);
  ASSERT_EQ(openStreamBuild(open, request), 36u);
  EXPECT_EQ(open,
            (Bytes{0, 1, 9,    0,    5, 0, 0, 0x7F, 0x10, 0x27, 0, 0, 0x44, 0xAC, 0, 0, 7, 0,
                   0, 0, 0x00, 0x08, 0, 0, 0, 0,    1,    0,    2, 0, 0,    0,    0, 0, 0, 0}));
  Bytes close(8);
  ASSERT_EQ(closeStreamBuild(close, 0x01020304), 8u);
  uint32_t id = 0;
  EXPECT_TRUE(closeStreamParse(close, id));
  EXPECT_EQ(id, 0x01020304u);
  StreamReply sent{.sequence = 3,
                   .status = 1,
                   .port = 40000,
                   .adaptive = 1,
                   .rate = 48000,
                   .id = 7,
                   .minLead = 882,
                   .maxLead = 65536};
  Bytes reply(28);
  ASSERT_EQ(streamReplyBuild(reply, sent), 28u);
  StreamReply read{};
  ASSERT_TRUE(streamReplyParse(reply, read));
  EXPECT_EQ(read.port, 40000);
  EXPECT_EQ(read.minLead, 882u);
  EXPECT_EQ(read.maxLead, 65536u);
  // A reply without the maximum lead is read as the ring's size; one
  // without the lead bounds is refused.
  store32(reply.data() + 24, 4096);
  ASSERT_TRUE(streamReplyParse(reply, read));
  EXPECT_EQ(read.maxLead, 4096u);
  ASSERT_TRUE(streamReplyParse(std::span(reply).first(24), read));
  EXPECT_EQ(read.maxLead, STREAM_REPLY_DEFAULT_MAX_LEAD);
  EXPECT_FALSE(streamReplyParse(std::span(reply).first(23), read));
  // The recording device is listed second; counts past the end are refused.
  DeviceEntry devices[] = {{DIRECTION_PLAYBACK, 1}, {DIRECTION_RECORDING, 2}};
  Bytes accepted(64);
  accepted.resize(setupAcceptedBuild(accepted, devices, {}));
  uint16_t device = 0;
  ASSERT_TRUE(setupAcceptedFindDevice(accepted, DIRECTION_RECORDING, device));
  EXPECT_EQ(device, 2);
  accepted[12] = 3;
  EXPECT_FALSE(setupAcceptedFindDevice(accepted, DIRECTION_RECORDING, device));
}

}  // namespace

// The key exchange end to end over the builders and parsers: an offer, a
// challenge only a driver that offered reads, a proof that holds for its
// own key, challenge and address pair and for no other.
TEST(KeyProof, HoldsOnlyForItsKeyChallengeAndConnection) {
  Bytes request(16);
  uint16_t version;
  uint8_t offer;
  setupRequestParse(std::span(request.data(), setupRequestBuild(request, true)), version, offer);
  EXPECT_EQ(offer, SETUP_OFFERS_KEY);

  const uint8_t nonce[CHALLENGE_NONCE_BYTES] = {1, 2, 3, 4, 5, 6, 7, 8};
  Bytes accepted(16), plain(16);
  setupAcceptedBuild(accepted, {}, {}, nonce);
  setupAcceptedBuild(plain, {}, {});
  uint8_t challenge[CHALLENGE_NONCE_BYTES];
  EXPECT_FALSE(setupAcceptedChallenge(plain, challenge)) << "no challenge without one";
  ASSERT_TRUE(setupAcceptedChallenge(accepted, challenge));
  EXPECT_EQ(Bytes(challenge, challenge + 8), Bytes(nonce, nonce + 8));
  EXPECT_EQ(load16(accepted.data() + 12), 0) << "the lists stay where every driver reads them";

  uint8_t key[KEY_BYTES];
  char text[KEY_TEXT_CHARS + 1];
  for (size_t i = 0; i < KEY_BYTES; ++i) key[i] = uint8_t(i * 7 + 1);
  keyTextFormat(key, text);
  uint8_t back[KEY_BYTES];
  ASSERT_TRUE(keyTextParse(std::string(" ") + text + "\n", back));
  EXPECT_EQ(Bytes(back, back + KEY_BYTES), Bytes(key, key + KEY_BYTES));
  EXPECT_FALSE(keyTextParse(std::string(text).substr(1), back)) << "63 digits";
  EXPECT_FALSE(keyTextParse(std::string(text, 63) + "g", back));

  const uint8_t driverNonce[PROOF_NONCE_BYTES] = {9};
  AddressPair pair{0x7f000001, 40000, 0x7f000001, 9004};
  Bytes proof(KEY_PROOF_BYTES);
  ASSERT_EQ(keyProofBuild(proof, key, challenge, driverNonce, pair), KEY_PROOF_BYTES);
  EXPECT_EQ(proof[0], TYPE_KEY_PROOF);
  EXPECT_EQ(load16(proof.data() + 2) * 4u, KEY_PROOF_BYTES);
  EXPECT_TRUE(keyProofValid(proof, key, challenge, pair));

  uint8_t otherKey[KEY_BYTES];
  std::copy_n(key, KEY_BYTES, otherKey);
  otherKey[31] ^= 1;
  uint8_t otherChallenge[CHALLENGE_NONCE_BYTES] = {1, 2, 3, 4, 5, 6, 7, 9};
  AddressPair relayed = pair;
  relayed.driverPort += 1;
  EXPECT_FALSE(keyProofValid(proof, otherKey, challenge, pair)) << "another key";
  EXPECT_FALSE(keyProofValid(proof, key, otherChallenge, pair)) << "a replay on a new connection";
  EXPECT_FALSE(keyProofValid(proof, key, challenge, relayed)) << "another connection";
  EXPECT_FALSE(keyProofValid(std::span(proof).first(48), key, challenge, pair)) << "cut short";
  proof[4] ^= 1;
  EXPECT_FALSE(keyProofValid(proof, key, challenge, pair)) << "the driver's nonce altered";
}
