// Audio packets and acknowledgements as they travel over UDP.
//
// A packet is a 12-byte header and at most 1400 bytes of coded audio; an
// acknowledgement is exactly 16 bytes. All fields are little-endian and go
// through the helpers of platform/bytes.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

constexpr size_t PACKET_HEADER_BYTES = 12;
constexpr size_t PACKET_MAX_BYTES = 1412;  // the header and 1400 payload bytes
constexpr size_t ACK_BYTES = 16;

struct PacketHeader {
  uint32_t start;       // timebase frames: the packet's first sample
  uint16_t wireFrames;  // frames coded in the payload, at the wire rate
  uint16_t duration;    // timebase frames covered
  uint8_t kind;         // WIRE_* of audio/formats.h; WIRE_PROBE carries no audio
  uint8_t stereo;       // 1: two interleaved channels
  uint8_t rateIndex;    // into wireRates
};

struct StreamAckFields {
  uint32_t consumed;      // timebase frames played out or handed on
  uint32_t receivedEnd;   // timebase frames: highest start + duration seen
  uint32_t lastStart;     // start of the packet answered
  uint16_t lastDuration;  // duration of that packet
  uint16_t unsolicited;   // 0 answers a packet; 1 only reports progress
};

// Reads and checks a whole datagram: its size, kind, rate index, and that
// the payload holds what wireFrames needs. False with the reason in why.
bool packetParse(std::span<const uint8_t> datagram, PacketHeader &header, std::string &why);
// The payload bytes that wireFrames of this header need.
size_t packetPayloadNeeded(const PacketHeader &header);
void packetHeaderBuild(std::span<uint8_t> out, const PacketHeader &header);

// What a routed relay (lumivox-relay --routed) reads before each datagram:
// the destination's IPv4 address and UDP port, both in network byte order.
constexpr size_t ROUTE_HEADER_BYTES = 6;
// address and port are in host order.
void routeHeaderBuild(std::span<uint8_t> out, uint32_t address, uint16_t port);

bool ackParse(std::span<const uint8_t> datagram, StreamAckFields &ack);
void ackBuild(std::span<uint8_t> out, const StreamAckFields &ack);
