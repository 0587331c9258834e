#include "server/datagram.h"

#include "audio/convert.h"
#include "audio/formats.h"
#include "platform/bytes.h"

size_t packetPayloadNeeded(const PacketHeader &h) {
  switch (h.kind) {
    case WIRE_COMPANDED:
      return size_t(h.wireFrames) * (h.stereo ? 2 : 1);
    case WIRE_LINEAR16:
      return size_t(h.wireFrames) * (h.stereo ? 4 : 2);
    case WIRE_GSM:
      return size_t(h.wireFrames / GSM_FRAME_SAMPLES) * GSM_FRAME_BYTES;
    default:
      return 0;
  }
}

bool packetParse(std::span<const uint8_t> d, PacketHeader &h, std::string &why) {
  if (d.size() < PACKET_HEADER_BYTES || d.size() > PACKET_MAX_BYTES) {
    why = "datagram of " + std::to_string(d.size()) + " bytes";
    return false;
  }
  h.start = leLoad32(d, 0);
  h.wireFrames = leLoad16(d, 4);
  h.duration = leLoad16(d, 6);
  h.kind = d[8];
  h.stereo = d[9];
  h.rateIndex = d[10];
  if (h.kind == WIRE_PROBE) return true;
  if (h.kind > WIRE_GSM) {
    why = "unknown kind " + std::to_string(h.kind);
    return false;
  }
  if (h.rateIndex >= WIRE_RATE_COUNT) {
    why = "rate index " + std::to_string(h.rateIndex);
    return false;
  }
  if (h.kind == WIRE_GSM && h.wireFrames % GSM_FRAME_SAMPLES != 0) {
    why = "GSM packet of " + std::to_string(h.wireFrames) + " frames";
    return false;
  }
  if (packetPayloadNeeded(h) > d.size() - PACKET_HEADER_BYTES) {
    why = "payload shorter than its " + std::to_string(h.wireFrames) + " frames";
    return false;
  }
  return true;
}

void packetHeaderBuild(std::span<uint8_t> out, const PacketHeader &h) {
  leStore32(out, 0, h.start);
  leStore16(out, 4, h.wireFrames);
  leStore16(out, 6, h.duration);
  out[8] = h.kind;
  out[9] = h.stereo;
  out[10] = h.rateIndex;
  out[11] = 0;
}

bool ackParse(std::span<const uint8_t> d, StreamAckFields &a) {
  if (d.size() != ACK_BYTES) return false;
  a.consumed = leLoad32(d, 0);
  a.receivedEnd = leLoad32(d, 4);
  a.lastStart = leLoad32(d, 8);
  a.lastDuration = leLoad16(d, 12);
  a.unsolicited = leLoad16(d, 14);
  return true;
}

void ackBuild(std::span<uint8_t> out, const StreamAckFields &a) {
  leStore32(out, 0, a.consumed);
  leStore32(out, 4, a.receivedEnd);
  leStore32(out, 8, a.lastStart);
  leStore16(out, 12, a.lastDuration);
  leStore16(out, 14, a.unsolicited);
}

void routeHeaderBuild(std::span<uint8_t> out, uint32_t address, uint16_t port) {
  for (int i = 0; i < 4; ++i) out[i] = uint8_t(address >> (24 - 8 * i));
  out[4] = uint8_t(port >> 8);
  out[5] = uint8_t(port);
}
