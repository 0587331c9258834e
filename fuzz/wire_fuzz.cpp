// What the network carries, through the wire layer's parsers that the
// driver and the server share: a control connection's byte stream cut into
// messages by frameNext, each message through every parser of
// wire/messages.h (the server's requests and the driver's replies), and the
// whole input as one datagram through the packet and acknowledgement
// parsers of wire/datagram.h. Nothing here holds state between inputs, so
// it runs fast enough for long campaigns.
//
// The input's first byte sets the size of the reads (1 to 64 bytes) in which
// the stream arrives; the rest is the stream. Checked:
// - framing: a message is COMPLETE with its length field's bytes, 8 to 512
//   and within what was received, or the stream is rejected (TOO_SHORT,
//   TOO_LONG) or waits (NEED_MORE) for bytes it lacks; every prefix of a
//   complete message waits; the messages a connection's receive buffer
//   hands out, read after read, are those of the whole stream at once;
// - every parser accepts exactly the messages long enough (and, for the
//   setup request, of its type) and reads only within the message: each is
//   parsed from a copy of its exact size, so the sanitizers see any byte
//   beyond it;
// - the replies built from what was parsed (stream reply, query reply,
//   setup answers) are framed messages of their fixed lengths carrying the
//   fields given, and a span one byte short is refused;
// - the driver's reads of replies: a stream reply from 24 bytes on, its
//   maximum lead only from 28; a query reply from 12; a setup acceptance's
//   lists only when they lie within the message;
// - a datagram: packetParse accepts only 12 to 1412 bytes of a known kind
//   and rate whose payload holds its frames, and its header rebuilds to the
//   same bytes; packetCheck accepts a subset of that, and what it accepts
//   with audio is decodable; ackLoad accepts exactly 16 bytes and rebuilds
//   them; a route header read from the first 6 bytes rebuilds to them.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "audio/convert.h"
#include "audio/formats.h"
#include "platform/bytes.h"
#include "wire/auth.h"
#include "wire/datagram.h"
#include "wire/messages.h"

namespace {

// A connection's receive buffer holds this much (ControlSession's).
constexpr size_t RECEIVE_BYTES = 8 * MESSAGE_MAX_BYTES;
constexpr size_t MAX_READ = 64;

void check(bool condition, const char *what) {
  if (condition) return;
  std::fprintf(stderr, "wire_fuzz: %s\n", what);
  std::abort();
}

using Bytes = std::vector<uint8_t>;

void checkStreamReply(const OpenStreamRequest &r, uint32_t sequence) {
  StreamReply reply{sequence, r.direction, r.port, r.adaptive, r.rate, r.id, r.lead, r.leadMax};
  uint8_t out[STREAM_REPLY_BYTES];
  check(streamReplyBuild(std::span(out, STREAM_REPLY_BYTES - 1), reply) == 0,
        "a stream reply built into a short span");
  check(streamReplyBuild(out, reply) == STREAM_REPLY_BYTES, "stream reply length");
  Frame f = frameNext(out);
  check(f.status == FrameStatus::COMPLETE && f.bytes == STREAM_REPLY_BYTES, "stream reply frame");
  check(out[0] == TYPE_STREAM_REPLY && out[1] == reply.status, "stream reply header");
  check(load32(out + 4) == sequence && load16(out + 8) == r.port && out[10] == r.adaptive &&
            load32(out + 12) == r.rate && load32(out + 16) == r.id && load32(out + 20) == r.lead &&
            load32(out + 24) == r.leadMax,
        "stream reply fields");
}

void checkQueryReply(uint32_t sequence, uint8_t status, uint32_t value) {
  uint8_t out[QUERY_REPLY_BYTES];
  check(queryReplyBuild(std::span(out, QUERY_REPLY_BYTES - 1), sequence, status, value) == 0,
        "a query reply built into a short span");
  check(queryReplyBuild(out, sequence, status, value) == QUERY_REPLY_BYTES, "query reply length");
  Frame f = frameNext(out);
  check(f.status == FrameStatus::COMPLETE && f.bytes == QUERY_REPLY_BYTES, "query reply frame");
  check(out[0] == TYPE_QUERY_REPLY && out[1] == status && load32(out + 4) == sequence &&
            load32(out + 8) == value,
        "query reply fields");
}

// Setup answers listing as many devices and controls as the message's
// bytes 4 and 5 say (up to 255 each): refused beyond 512 bytes.
void checkSetupAnswers(const Bytes &m) {
  uint8_t refused[SETUP_REFUSED_BYTES];
  check(setupRefusedBuild(refused) == SETUP_REFUSED_BYTES, "setup refused length");
  check(frameNext(refused).status == FrameStatus::COMPLETE && refused[0] == TYPE_SETUP_REFUSED,
        "setup refused frame");
  size_t devices = m.size() > 4 ? m[4] : 0, controls = m.size() > 5 ? m[5] : 0;
  std::vector<DeviceEntry> d(devices);
  std::vector<ControlEntry> c(controls);
  for (size_t i = 0; i < devices; ++i) d[i] = {uint8_t(i & 1), uint16_t(i + 1)};
  for (size_t i = 0; i < controls; ++i) c[i] = {0, uint16_t(i + 100), uint16_t(i + 1)};
  uint8_t out[MESSAGE_MAX_BYTES];
  size_t bytes = setupAcceptedBuild(out, d, c);
  size_t wanted = 16 + SETUP_ENTRY_BYTES * (devices + controls);
  if (wanted > MESSAGE_MAX_BYTES) {
    check(bytes == 0, "a setup answer beyond 512 bytes built");
    return;
  }
  check(bytes == wanted, "setup answer length");
  Frame f = frameNext(std::span(out, bytes));
  check(f.status == FrameStatus::COMPLETE && f.bytes == bytes, "setup answer frame");
  check(load16(out + 12) == devices && load16(out + 14) == controls, "setup answer counts");
  for (size_t i = 0; i < devices; ++i) {
    check(load16(out + 16 + 8 * i + 2) == d[i].id, "setup answer device");
  }
  if (wanted > 16) {
    check(setupAcceptedBuild(std::span(out, wanted - 1), d, c) == 0,
          "a setup answer built into a short span");
  }
}

// One framed message through every request parser, from a copy of its
// exact size.
void parseMessage(const Bytes &m, uint32_t sequence) {
  std::span<const uint8_t> s(m);
  uint16_t version = 0;
  uint8_t offer = 0;
  bool setup = setupRequestParse(s, version, offer);
  check(setup == (m.size() >= SETUP_REQUEST_BYTES && m[0] == TYPE_SETUP_REQUEST),
        "setup request accepted by its length and type");
  if (setup) check(version == load16(m.data() + 4) && offer == m[1], "setup version and offer");

  // No arbitrary message proves a key.
  static const uint8_t key[KEY_BYTES] = {1, 2, 3};
  static const uint8_t challenge[CHALLENGE_NONCE_BYTES] = {4, 5, 6};
  check(!keyProofValid(s, key, challenge, AddressPair{0x7f000001, 1, 0x7f000001, 2}),
        "an arbitrary key proof is refused");

  OpenStreamRequest open{};
  bool opened = openStreamParse(s, open);
  check(opened == (m.size() >= OPEN_STREAM_BYTES), "open-stream accepted by its length");
  if (opened) {
    check(open.direction == m[1] && open.address == load32(m.data() + 4) &&
              open.port == load16(m.data() + 8) && open.deviceId == load16(m.data() + 28),
          "open-stream fields");
    checkStreamReply(open, sequence);
  }

  uint32_t id = 0;
  check(closeStreamParse(s, id) == (m.size() >= CLOSE_STREAM_BYTES), "close-stream length");
  PauseStreamRequest pause{};
  bool paused = pauseStreamParse(s, pause);
  check(paused == (m.size() >= PAUSE_STREAM_BYTES), "pause-stream length");
  if (paused) check(pause.id == id, "pause and close read the id alike");
  SetControlRequest set{};
  bool setParsed = setControlParse(s, set);
  check(setParsed == (m.size() >= SET_CONTROL_BYTES), "set-control length");
  uint16_t control = 0;
  check(queryControlParse(s, control) == (m.size() >= QUERY_CONTROL_BYTES), "query length");
  if (setParsed) check(set.controlId == control, "set and query read the id alike");
  checkQueryReply(sequence, m[1], setParsed ? set.value : id);
  StreamReply reply{};
  bool replied = streamReplyParse(s, reply);
  check(replied == (m.size() >= STREAM_REPLY_MIN_BYTES), "stream reply read from 24 bytes");
  if (replied) {
    check(reply.status == m[1] && reply.port == load16(m.data() + 8) &&
              reply.maxLead == (m.size() >= STREAM_REPLY_BYTES ? load32(m.data() + 24)
                                                               : STREAM_REPLY_DEFAULT_MAX_LEAD),
          "stream reply fields as the driver reads them");
  }
  uint32_t value = 0;
  check(queryReplyParse(s, value) == (m.size() >= QUERY_REPLY_MIN_BYTES), "query reply length");
  uint16_t devices = 0, controls = 0;
  if (setupAcceptedCounts(s, devices, controls)) {
    check(SETUP_LIST_OFFSET + SETUP_ENTRY_BYTES * (size_t(devices) + controls) <= m.size(),
          "setup lists within the message");
  }
  // Once per input: the answer is as long as the listing, not the message.
  if (sequence == 1) checkSetupAnswers(m);
}

// Where a message lies in the stream: its offset and its length.
struct Span {
  size_t at, bytes;
  bool operator==(const Span &) const = default;
};

// The messages of the stream as frameNext cuts it when it is all there.
// `rejected` tells whether it ended in a framing error.
std::vector<Span> frameAll(std::span<const uint8_t> stream, bool &rejected) {
  std::vector<Span> messages;
  rejected = false;
  size_t at = 0;
  while (true) {
    std::span<const uint8_t> rest = stream.subspan(at);
    Frame f = frameNext(rest);
    if (rest.size() < MESSAGE_HEADER_BYTES) {
      check(f.status == FrameStatus::NEED_MORE, "a header short of 4 bytes waits");
      break;
    }
    size_t declared = size_t(load16(rest.data() + 2)) * 4;
    check(f.bytes == declared, "the frame's length is its length field's");
    if (f.status == FrameStatus::TOO_SHORT || f.status == FrameStatus::TOO_LONG) {
      check(f.status == FrameStatus::TOO_SHORT ? declared < MESSAGE_MIN_BYTES
                                               : declared > MESSAGE_MAX_BYTES,
            "rejected for its length");
      rejected = true;
      break;
    }
    check(declared >= MESSAGE_MIN_BYTES && declared <= MESSAGE_MAX_BYTES, "accepted length");
    if (f.status == FrameStatus::NEED_MORE) {
      check(declared > rest.size(), "waits only for bytes it lacks");
      break;
    }
    check(f.status == FrameStatus::COMPLETE && declared <= rest.size(), "complete within");
    for (size_t prefix : {MESSAGE_HEADER_BYTES, declared - 1}) {
      check(frameNext(rest.first(prefix)).status == FrameStatus::NEED_MORE,
            "a prefix of a message waits");
    }
    messages.push_back({at, declared});
    at += declared;
  }
  return messages;
}

// The same stream arriving in reads of `chunk` bytes into a receive buffer
// that keeps the incomplete rest at its front, as a connection reads it.
std::vector<Span> frameByReads(std::span<const uint8_t> stream, size_t chunk, bool &rejected) {
  std::vector<Span> messages;
  uint8_t buffer[RECEIVE_BYTES];
  size_t fill = 0, received = 0, consumed = 0;
  rejected = false;
  while (received < stream.size() && !rejected) {
    size_t take = std::min({chunk, stream.size() - received, RECEIVE_BYTES - fill});
    check(take > 0, "the receive buffer always has room for a read");
    std::memcpy(buffer + fill, stream.data() + received, take);
    fill += take;
    received += take;
    size_t start = 0;
    while (true) {
      Frame f = frameNext(std::span(buffer + start, fill - start));
      if (f.status == FrameStatus::NEED_MORE) break;
      if (f.status != FrameStatus::COMPLETE) {
        rejected = true;
        break;
      }
      check(std::memcmp(buffer + start, stream.data() + consumed, f.bytes) == 0,
            "a message is the stream's bytes");
      messages.push_back({consumed, f.bytes});
      consumed += f.bytes;
      start += f.bytes;
    }
    std::memmove(buffer, buffer + start, fill - start);
    fill -= start;
    check(fill < MESSAGE_MAX_BYTES || rejected, "less than one message is kept");
  }
  return messages;
}

void parseDatagram(const Bytes &d) {
  PacketHeader h{};
  PacketFault fault = packetParse(d.data(), d.size(), &h);
  if (fault == PACKET_OK) {
    check(d.size() >= PACKET_HEADER_BYTES && d.size() <= PACKET_MAX_DATAGRAM, "packet size");
    if (h.kind != WIRE_PROBE) {
      check(h.kind <= WIRE_GSM && h.rateIndex < WIRE_RATE_COUNT, "packet kind and rate");
      check(packetPayloadBytes(&h) <= int64_t(d.size() - PACKET_HEADER_BYTES),
            "payload holds the frames");
      check(h.kind != WIRE_GSM || h.wireFrames % GSM_FRAME_SAMPLES == 0, "whole GSM frames");
    }
    uint8_t header[PACKET_HEADER_BYTES];
    packetStoreHeader(header, &h);
    check(std::memcmp(header, d.data(), PACKET_HEADER_BYTES - 1) == 0 && header[11] == 0,
          "a packet header rebuilds to its bytes");
    PacketHeader strict{};
    if (packetCheck(d.data(), d.size(), &strict) && strict.kind != WIRE_PROBE &&
        strict.wireFrames > 0) {
      check(packetDecodable(&strict, d.size() - PACKET_HEADER_BYTES), "checked audio decodes");
    }
  } else {
    check(!packetCheck(d.data(), d.size(), &h), "the strict check accepts less");
    char why[64];
    packetFaultText(fault, &h, d.size(), why, sizeof why);
    check(why[0] != 0, "a refused packet says why");
  }
  StreamAck ack{};
  bool acked = ackLoad(d.data(), d.size(), &ack);
  check(acked == (d.size() == ACK_BYTES), "acknowledgements are 16 bytes");
  if (acked) {
    uint8_t out[ACK_BYTES];
    ackStore(out, &ack);
    check(std::memcmp(out, d.data(), ACK_BYTES) == 0, "an acknowledgement rebuilds");
  }
  if (d.size() >= ROUTE_HEADER_BYTES) {
    uint32_t address = uint32_t(d[0]) << 24 | uint32_t(d[1]) << 16 | uint32_t(d[2]) << 8 | d[3];
    uint16_t port = uint16_t(d[4] << 8 | d[5]);
    uint8_t route[ROUTE_HEADER_BYTES];
    routeHeaderBuild(route, address, port);
    check(std::memcmp(route, d.data(), ROUTE_HEADER_BYTES) == 0, "a route header rebuilds");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  size_t chunk = data[0] % MAX_READ + 1;
  std::span<const uint8_t> stream(data + 1, size - 1);
  bool rejected = false, rejectedByReads = false;
  std::vector<Span> messages = frameAll(stream, rejected);
  check(frameByReads(stream, chunk, rejectedByReads) == messages && rejected == rejectedByReads,
        "the messages do not depend on how the bytes arrive");
  uint32_t sequence = 0;
  for (const Span &m : messages) {
    parseMessage(Bytes(stream.begin() + m.at, stream.begin() + m.at + m.bytes), ++sequence);
  }
  parseDatagram(Bytes(stream.begin(), stream.end()));
  return 0;
}
