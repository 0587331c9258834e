// The audio datagrams as they cross the network, for the driver and the
// server alike: the packet header, the acknowledgement, what makes either
// well formed, and how their 32-bit positions compare.
//
// A packet is a 12-byte header and at most 1400 bytes of coded audio; the
// probe is a packet of kind 0 that carries none. An acknowledgement is
// exactly 16 bytes. Every field is little-endian. Nothing here does I/O or
// keeps state: each side reads a datagram into its own buffer and asks.
//
// Positions are frame counters of the sender's timebase that wrap after
// 2^32 frames. Two positions are compared by their signed difference, so
// that a stream may run through the wrap: the helpers at the end of this
// file, which both ends' stream code uses for the positions of the wire.
#pragma once

#include <cstddef>
#include <cstdint>

#include "audio/formats.h"

constexpr uint32_t PACKET_HEADER_BYTES = 12;
constexpr uint32_t PACKET_PAYLOAD_MAX = WIRE_PAYLOAD_MAX;
constexpr uint32_t PACKET_MAX_DATAGRAM = PACKET_HEADER_BYTES + PACKET_PAYLOAD_MAX;  // 1412
constexpr uint32_t ACK_BYTES = 16;

struct PacketHeader {
  uint32_t start;       // timebase frames of the sender: the packet's first frame
  uint16_t wireFrames;  // frames coded in the payload, at the wire rate
  uint16_t duration;    // timebase frames the packet covers
  uint8_t kind;         // WIRE_* of audio/formats.h; WIRE_PROBE carries no audio
  uint8_t stereo;       // 1: two interleaved channels
  uint8_t rateIndex;    // index into wireRates
};

struct StreamAck {
  uint32_t consumed;      // timebase frames played out or handed on
  uint32_t receivedEnd;   // timebase frames: highest start + duration seen
  uint32_t lastStart;     // start of the packet answered
  uint16_t lastDuration;  // duration of that packet
  uint16_t unsolicited;   // 0: answers a packet; 1: reports progress only
};

// Writes the 12 header bytes (the pad byte as 0) / reads them; bytes holds
// at least 12.
void packetStoreHeader(uint8_t *bytes, const PacketHeader *header);
void packetLoadHeader(const uint8_t *bytes, PacketHeader *header);
// Writes the 16 bytes / reads them; ackLoad returns 0 unless length is 16.
void ackStore(uint8_t *bytes, const StreamAck *ack);
int ackLoad(const uint8_t *bytes, size_t length, StreamAck *ack);

// Why a datagram is no packet, as packetParse finds it.
enum PacketFault {
  PACKET_OK = 0,
  PACKET_SIZE,        // fewer than 12 or more than 1412 bytes
  PACKET_KIND,        // a kind above WIRE_GSM
  PACKET_RATE,        // a rate index beyond wireRates
  PACKET_GSM_FRAMES,  // GSM frames that are no whole number of coding units
  PACKET_SHORT,       // a payload shorter than its frames need
};

// The payload bytes that a header's wireFrames need in its coding, or -1
// when they cannot be coded so (GSM carries whole units only) or the kind
// carries no audio.
int64_t packetPayloadBytes(const PacketHeader *header);
// Reads a received datagram's header and judges it as a receiver that
// plays what it can: 12 to 1412 bytes; a probe of any such size; or audio
// of a known kind at a listed rate whose payload holds at least what its
// frames need (more is not read). Fills *header whenever length allows.
PacketFault packetParse(const uint8_t *bytes, size_t length, PacketHeader *header);
// The fault in words, with the numbers that show it ("rate index 9"), for
// logs; out always ends in a NUL.
void packetFaultText(PacketFault fault, const PacketHeader *header, size_t length, char *out,
                     size_t room);
// The stricter form a sender's own packets keep: a probe of exactly 1412
// bytes; audio of kind 1 to 3, mono or stereo, whose payload is exactly
// what its wire frames need. Fills *header when it is.
int packetCheck(const uint8_t *bytes, size_t length, PacketHeader *header);
// Whether a packet's audio can be placed: data of kind 1 to 3 at a listed
// rate, mono or stereo, with at least one frame and at least the payload
// bytes its wire frames need.
int packetDecodable(const PacketHeader *header, size_t payloadLength);
// The most timebase frames a packet's audio can stand for at timebaseRate
// Hz: its wire frames rounded up, and one more when the rates differ, as a
// converter may round a packet's duration up by a frame.
uint32_t packetCarriedFrames(const PacketHeader *header, uint32_t timebaseRate);

// What a routed relay (lumivox-relay --routed) reads before each datagram:
// the destination's IPv4 address and UDP port, both in network byte order.
constexpr uint32_t ROUTE_HEADER_BYTES = 6;
// address and port are in host order; out holds at least 6 bytes.
void routeHeaderBuild(uint8_t *out, uint32_t address, uint16_t port);
// Reads them back; false when the datagram is shorter than the header.
bool routeHeaderParse(const uint8_t *bytes, size_t length, uint32_t *address, uint16_t *port);

// Position arithmetic.

// a - b as a signed distance: positive when a lies after b.
inline int32_t positionDiff(uint32_t a, uint32_t b) { return int32_t(a - b); }
inline bool positionAfter(uint32_t a, uint32_t b) { return positionDiff(a, b) > 0; }
// The later of two positions.
inline uint32_t positionLater(uint32_t a, uint32_t b) { return positionAfter(a, b) ? a : b; }
// value, or limit when value lies after it.
inline uint32_t positionAtMost(uint32_t value, uint32_t limit) {
  return positionAfter(value, limit) ? limit : value;
}
// Whether position lies in [start, start + length].
inline bool positionWithin(uint32_t position, uint32_t start, uint32_t length) {
  return position - start <= length;
}

// The plausible part of an acknowledgement: no position it reports can lie
// beyond what was sent. A peer whose playout clock runs on through an
// underrun reports a played position past the end of the audio; it has
// played all of it.
inline void ackClampToSent(StreamAck *ack, uint32_t sent) {
  ack->receivedEnd = positionAtMost(ack->receivedEnd, sent);
  ack->consumed = positionAtMost(ack->consumed, sent);
}
