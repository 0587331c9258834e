// Parsers and builders of the control messages. Offsets are the ones the
// driver's handlers use; bytes the driver does not read are written as 0.
#include "wire/messages.h"

#include <algorithm>

#include "platform/bytes.h"
#include "wire/auth.h"

namespace {

// Zeroes the message and writes its header; the length is in 4-byte words.
void headerStore(std::span<uint8_t> out, size_t bytes, uint8_t type, uint8_t byte1) {
  std::fill_n(out.begin(), bytes, uint8_t(0));
  out[0] = type;
  out[1] = byte1;
  leStore16(out, 2, uint16_t(bytes / 4));
}

}  // namespace

Frame frameNext(std::span<const uint8_t> received) {
  if (received.size() < MESSAGE_HEADER_BYTES) return {FrameStatus::NEED_MORE, 0};
  size_t bytes = messageLength(received.data());
  if (bytes < MESSAGE_MIN_BYTES) return {FrameStatus::TOO_SHORT, bytes};
  if (bytes > MESSAGE_MAX_BYTES) return {FrameStatus::TOO_LONG, bytes};
  if (received.size() < bytes) return {FrameStatus::NEED_MORE, bytes};
  return {FrameStatus::COMPLETE, bytes};
}

bool setupRequestParse(std::span<const uint8_t> message, uint16_t &version, uint8_t &offer) {
  if (message.size() < SETUP_REQUEST_BYTES || message[0] != TYPE_SETUP_REQUEST) return false;
  version = leLoad16(message, 4);
  offer = message[1];
  return true;
}

size_t setupRefusedBuild(std::span<uint8_t> out, uint8_t reason) {
  if (out.size() < SETUP_REFUSED_BYTES) return 0;
  headerStore(out, SETUP_REFUSED_BYTES, TYPE_SETUP_REFUSED, reason);
  return SETUP_REFUSED_BYTES;
}

size_t setupAcceptedBuild(std::span<uint8_t> out, std::span<const DeviceEntry> devices,
                          std::span<const ControlEntry> controls, const uint8_t *challenge) {
  size_t bytes = 16 + SETUP_ENTRY_BYTES * (devices.size() + controls.size());
  if (bytes > MESSAGE_MAX_BYTES || out.size() < bytes) return 0;
  headerStore(out, bytes, TYPE_SETUP_ACCEPTED, challenge ? SETUP_CHALLENGES : 0);
  if (challenge) std::copy_n(challenge, CHALLENGE_NONCE_BYTES, out.begin() + 4);
  leStore16(out, 12, uint16_t(devices.size()));
  leStore16(out, 14, uint16_t(controls.size()));
  size_t at = 16;
  for (const DeviceEntry &d : devices) {
    out[at] = d.direction;
    leStore16(out, at + 2, d.id);
    at += SETUP_ENTRY_BYTES;
  }
  for (const ControlEntry &c : controls) {
    out[at] = c.kind;
    leStore16(out, at + 2, c.id);
    leStore16(out, at + 4, c.deviceId);
    at += SETUP_ENTRY_BYTES;
  }
  return bytes;
}

bool openStreamParse(std::span<const uint8_t> message, OpenStreamRequest &request) {
  if (message.size() < OPEN_STREAM_BYTES) return false;
  request.direction = message[1];
  request.address = leLoad32(message, 4);
  request.port = leLoad16(message, 8);
  request.adaptive = message[10];
  request.rate = leLoad32(message, 12);
  request.id = leLoad32(message, 16);
  request.lead = leLoad32(message, 20);
  request.leadMax = leLoad32(message, 24);
  request.deviceId = leLoad16(message, 28);
  return true;
}

size_t streamReplyBuild(std::span<uint8_t> out, const StreamReply &reply) {
  if (out.size() < STREAM_REPLY_BYTES) return 0;
  headerStore(out, STREAM_REPLY_BYTES, TYPE_STREAM_REPLY, reply.status);
  leStore32(out, 4, reply.sequence);
  leStore16(out, 8, reply.port);
  out[10] = reply.adaptive;
  leStore32(out, 12, reply.rate);
  leStore32(out, 16, reply.id);
  leStore32(out, 20, reply.minLead);
  leStore32(out, 24, reply.maxLead);
  return STREAM_REPLY_BYTES;
}

bool closeStreamParse(std::span<const uint8_t> message, uint32_t &id) {
  if (message.size() < CLOSE_STREAM_BYTES) return false;
  id = leLoad32(message, 4);
  return true;
}

bool pauseStreamParse(std::span<const uint8_t> message, PauseStreamRequest &request) {
  if (message.size() < PAUSE_STREAM_BYTES) return false;
  request.id = leLoad32(message, 4);
  request.position = leLoad32(message, 8);
  return true;
}

bool setControlParse(std::span<const uint8_t> message, SetControlRequest &request) {
  if (message.size() < SET_CONTROL_BYTES) return false;
  request.controlId = leLoad16(message, 4);
  request.value = leLoad32(message, 8);
  return true;
}

bool queryControlParse(std::span<const uint8_t> message, uint16_t &controlId) {
  if (message.size() < QUERY_CONTROL_BYTES) return false;
  controlId = leLoad16(message, 4);
  return true;
}

size_t queryReplyBuild(std::span<uint8_t> out, uint32_t sequence, uint8_t status, uint32_t value) {
  if (out.size() < QUERY_REPLY_BYTES) return 0;
  headerStore(out, QUERY_REPLY_BYTES, TYPE_QUERY_REPLY, status);
  leStore32(out, 4, sequence);
  leStore32(out, 8, value);
  return QUERY_REPLY_BYTES;
}

size_t setupRequestBuild(std::span<uint8_t> out, bool offerKey) {
  if (out.size() < SETUP_REQUEST_BYTES) return 0;
  headerStore(out, SETUP_REQUEST_BYTES, TYPE_SETUP_REQUEST, offerKey ? SETUP_OFFERS_KEY : 0);
  leStore16(out, 4, SETUP_VERSION);
  return SETUP_REQUEST_BYTES;
}

bool setupAcceptedCounts(std::span<const uint8_t> message, uint16_t &devices, uint16_t &controls) {
  if (message.size() < SETUP_LIST_OFFSET) return false;
  devices = leLoad16(message, 12);
  controls = leLoad16(message, 14);
  return SETUP_LIST_OFFSET + SETUP_ENTRY_BYTES * (size_t(devices) + controls) <= message.size();
}

bool setupAcceptedFindDevice(std::span<const uint8_t> message, uint8_t direction,
                             uint16_t &deviceId) {
  uint16_t devices, controls;
  if (!setupAcceptedCounts(message, devices, controls) || message[0] != TYPE_SETUP_ACCEPTED) {
    return false;
  }
  for (size_t i = 0; i < devices; ++i) {
    size_t at = SETUP_LIST_OFFSET + SETUP_ENTRY_BYTES * i;
    if (message[at] != direction) continue;
    deviceId = leLoad16(message, at + 2);
    return true;
  }
  return false;
}

size_t openStreamBuild(std::span<uint8_t> out, const OpenStreamRequest &request) {
  if (out.size() < OPEN_STREAM_BYTES) return 0;
  headerStore(out, OPEN_STREAM_BYTES, TYPE_OPEN_STREAM, request.direction);
  leStore32(out, 4, request.address);
  leStore16(out, 8, request.port);
  out[10] = request.adaptive;
  leStore32(out, 12, request.rate);
  leStore32(out, 16, request.id);
  leStore32(out, 20, request.lead);
  leStore32(out, 24, request.leadMax);
  leStore16(out, 28, request.deviceId);
  return OPEN_STREAM_BYTES;
}

bool streamReplyParse(std::span<const uint8_t> message, StreamReply &reply) {
  if (message.size() < STREAM_REPLY_MIN_BYTES) return false;
  reply.status = message[1];
  reply.sequence = leLoad32(message, 4);
  reply.port = leLoad16(message, 8);
  reply.adaptive = message[10];
  reply.rate = leLoad32(message, 12);
  reply.id = leLoad32(message, 16);
  reply.minLead = leLoad32(message, 20);
  reply.maxLead =
      message.size() >= STREAM_REPLY_BYTES ? leLoad32(message, 24) : STREAM_REPLY_DEFAULT_MAX_LEAD;
  return true;
}

size_t closeStreamBuild(std::span<uint8_t> out, uint32_t id) {
  if (out.size() < CLOSE_STREAM_BYTES) return 0;
  headerStore(out, CLOSE_STREAM_BYTES, TYPE_CLOSE_STREAM, 0);
  leStore32(out, 4, id);
  return CLOSE_STREAM_BYTES;
}

size_t setControlBuild(std::span<uint8_t> out, const SetControlRequest &request) {
  if (out.size() < SET_CONTROL_BYTES) return 0;
  headerStore(out, SET_CONTROL_BYTES, TYPE_SET_CONTROL, 0);
  leStore16(out, 4, request.controlId);
  leStore32(out, 8, request.value);
  return SET_CONTROL_BYTES;
}

size_t queryControlBuild(std::span<uint8_t> out, uint16_t controlId) {
  if (out.size() < QUERY_CONTROL_BYTES) return 0;
  headerStore(out, QUERY_CONTROL_BYTES, TYPE_QUERY_CONTROL, 0);
  leStore16(out, 4, controlId);
  return QUERY_CONTROL_BYTES;
}

size_t pauseStreamBuild(std::span<uint8_t> out, const PauseStreamRequest &request) {
  if (out.size() < PAUSE_STREAM_BYTES) return 0;
  headerStore(out, PAUSE_STREAM_BYTES, TYPE_PAUSE_STREAM, 0);
  leStore32(out, 4, request.id);
  leStore32(out, 8, request.position);
  return PAUSE_STREAM_BYTES;
}

bool queryReplyParse(std::span<const uint8_t> message, uint32_t &value) {
  if (message.size() < QUERY_REPLY_MIN_BYTES) return false;
  value = leLoad32(message, 8);
  return true;
}
