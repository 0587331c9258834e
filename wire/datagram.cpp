// Packet headers and acknowledgements over bytes, and the rules that judge
// them.
#include "wire/datagram.h"

#include <cstdio>

#include "audio/convert.h"
#include "audio/formats.h"
#include "platform/bytes.h"

void packetStoreHeader(uint8_t *bytes, const PacketHeader *header) {
  store32(bytes, header->start);
  store16(bytes + 4, header->wireFrames);
  store16(bytes + 6, header->duration);
  bytes[8] = header->kind;
  bytes[9] = header->stereo;
  bytes[10] = header->rateIndex;
  bytes[11] = 0;
}

void packetLoadHeader(const uint8_t *bytes, PacketHeader *header) {
  header->start = load32(bytes);
  header->wireFrames = load16(bytes + 4);
  header->duration = load16(bytes + 6);
  header->kind = bytes[8];
  header->stereo = bytes[9];
  header->rateIndex = bytes[10];
}

void ackStore(uint8_t *bytes, const StreamAck *ack) {
  store32(bytes, ack->consumed);
  store32(bytes + 4, ack->receivedEnd);
  store32(bytes + 8, ack->lastStart);
  store16(bytes + 12, ack->lastDuration);
  store16(bytes + 14, ack->unsolicited);
}

int ackLoad(const uint8_t *bytes, size_t length, StreamAck *ack) {
  if (length != ACK_BYTES) return 0;
  ack->consumed = load32(bytes);
  ack->receivedEnd = load32(bytes + 4);
  ack->lastStart = load32(bytes + 8);
  ack->lastDuration = load16(bytes + 12);
  ack->unsolicited = load16(bytes + 14);
  return 1;
}

int64_t packetPayloadBytes(const PacketHeader *header) {
  int64_t channels = header->stereo ? 2 : 1;
  switch (header->kind) {
    case WIRE_COMPANDED:
      return int64_t(header->wireFrames) * channels;
    case WIRE_LINEAR16:
      return int64_t(header->wireFrames) * channels * 2;
    case WIRE_GSM:
      if (header->wireFrames % GSM_FRAME_SAMPLES != 0) return -1;
      return int64_t(header->wireFrames / GSM_FRAME_SAMPLES) * GSM_FRAME_BYTES;
    default:
      return -1;
  }
}

PacketFault packetParse(const uint8_t *bytes, size_t length, PacketHeader *header) {
  if (length < PACKET_HEADER_BYTES || length > PACKET_MAX_DATAGRAM) return PACKET_SIZE;
  packetLoadHeader(bytes, header);
  if (header->kind == WIRE_PROBE) return PACKET_OK;
  if (header->kind > WIRE_GSM) return PACKET_KIND;
  if (header->rateIndex >= WIRE_RATE_COUNT) return PACKET_RATE;
  int64_t need = packetPayloadBytes(header);
  if (need < 0) return PACKET_GSM_FRAMES;
  if (need > int64_t(length - PACKET_HEADER_BYTES)) return PACKET_SHORT;
  return PACKET_OK;
}

void packetFaultText(PacketFault fault, const PacketHeader *header, size_t length, char *out,
                     size_t room) {
  switch (fault) {
    case PACKET_OK:
      std::snprintf(out, room, "a packet");
      break;
    case PACKET_SIZE:
      std::snprintf(out, room, "datagram of %zu bytes", length);
      break;
    case PACKET_KIND:
      std::snprintf(out, room, "unknown kind %u", unsigned(header->kind));
      break;
    case PACKET_RATE:
      std::snprintf(out, room, "rate index %u", unsigned(header->rateIndex));
      break;
    case PACKET_GSM_FRAMES:
      std::snprintf(out, room, "GSM packet of %u frames", unsigned(header->wireFrames));
      break;
    case PACKET_SHORT:
      std::snprintf(out, room, "payload shorter than its %u frames", unsigned(header->wireFrames));
      break;
  }
}

int packetCheck(const uint8_t *bytes, size_t length, PacketHeader *header) {
  if (packetParse(bytes, length, header) != PACKET_OK) return 0;
  if (header->kind == WIRE_PROBE) return length == PACKET_MAX_DATAGRAM;
  return header->stereo <= 1 && packetPayloadBytes(header) == int64_t(length - PACKET_HEADER_BYTES);
}

int packetDecodable(const PacketHeader *header, size_t payloadLength) {
  if (header->kind == WIRE_PROBE || header->kind > WIRE_GSM) return 0;
  if (header->rateIndex >= WIRE_RATE_COUNT || header->stereo > 1 || header->wireFrames == 0) {
    return 0;
  }
  int64_t need = packetPayloadBytes(header);
  return need >= 0 && need <= int64_t(payloadLength);
}

uint32_t packetCarriedFrames(const PacketHeader *header, uint32_t timebaseRate) {
  uint64_t wireRate = wireRates[header->rateIndex];
  uint64_t carried = (uint64_t(header->wireFrames) * timebaseRate + wireRate - 1) / wireRate;
  if (wireRate != timebaseRate) carried += 1;
  return carried > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(carried);
}

void routeHeaderBuild(uint8_t *out, uint32_t address, uint16_t port) {
  for (int i = 0; i < 4; ++i) out[i] = uint8_t(address >> (24 - 8 * i));
  out[4] = uint8_t(port >> 8);
  out[5] = uint8_t(port);
}

bool routeHeaderParse(const uint8_t *bytes, size_t length, uint32_t *address, uint16_t *port) {
  if (length < ROUTE_HEADER_BYTES) return false;
  *address =
      uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
  *port = uint16_t(bytes[4] << 8 | bytes[5]);
  return true;
}
