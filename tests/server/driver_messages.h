// The driver's control messages written out byte by byte, and a client that
// has done the setup exchange: what the integration tests send to the
// server. Built here field by field, independently of the server's own
// builders, so the tests check the server against the layouts themselves.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "tests/server/server_process.h"

inline Bytes setupRequest() { return {0, 0, 4, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

// What the server answers a setup with when it lists both devices: device
// 1 for playback and 2 for recording, volume controls 3 and 4 of them.
inline Bytes setupAcceptedBoth() {
  return {1, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 2, 0,  // header, 8 unread, D = 2, C = 2
          0, 0, 1,  0, 0, 0, 0, 0,                          // playback, device 1
          1, 0, 2,  0, 0, 0, 0, 0,                          // recording, device 2
          0, 0, 3,  0, 1, 0, 0, 0,                          // kind 0, control 3, device 1
          0, 0, 4,  0, 2, 0, 0, 0};                         // kind 0, control 4, device 2
}

inline Bytes setupRefused() { return {0, 0, 2, 0, 0, 0, 0, 0}; }

struct OpenStream {
  uint8_t direction = 0;  // 0 playback, 1 recording
  uint32_t address = 0x7F000001;
  uint16_t port = 10000;
  uint32_t rate = 44100;
  uint32_t id = 1;
  uint32_t lead = 256;
  uint16_t device = 1;
};

inline Bytes openStreamRequest(const OpenStream &o) {
  Bytes b(36, 0);
  b[0] = 0;
  b[1] = o.direction;
  put16(b, 2, 9);
  put32(b, 4, o.address);
  put16(b, 8, o.port);
  b[10] = 0;  // the driver's adaptive flag
  put32(b, 12, o.rate);
  put32(b, 16, o.id);
  put32(b, 20, o.lead);
  put32(b, 24, 65536);
  put16(b, 28, o.device);
  return b;
}

inline Bytes closeStreamRequest(uint32_t id) {
  Bytes b{1, 0, 2, 0, 0, 0, 0, 0};
  put32(b, 4, id);
  return b;
}

inline Bytes setControlRequest(uint16_t control, uint32_t value) {
  Bytes b{2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  put16(b, 4, control);
  put32(b, 8, value);
  return b;
}

inline Bytes queryControlRequest(uint16_t control) {
  Bytes b{3, 0, 2, 0, 0, 0, 0, 0};
  put16(b, 4, control);
  return b;
}

inline Bytes pauseStreamRequest(uint32_t id, uint32_t position) {
  Bytes b{5, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  put32(b, 4, id);
  put32(b, 8, position);
  return b;
}

// The query-control reply for a sequence number and value.
inline Bytes queryReply(uint32_t sequence, uint32_t value, uint8_t status = 1) {
  Bytes b{1, status, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  put32(b, 4, sequence);
  put32(b, 8, value);
  return b;
}

// Connects and completes the setup; the caller asserts connected.
inline std::unique_ptr<ControlClient> setUpClient(const ServerProcess &server,
                                                  const Bytes &expected = setupAcceptedBoth()) {
  auto client = std::make_unique<ControlClient>(server);
  EXPECT_TRUE(client->connected());
  EXPECT_TRUE(client->send(setupRequest()));
  EXPECT_EQ(client->receive(), expected);
  return client;
}

// The fields of an open-stream reply.
struct StreamReplyFields {
  uint8_t type, status;
  uint16_t length;
  uint32_t sequence;
  uint16_t port;
  uint8_t adaptive;
  uint32_t rate, id, minLead, maxLead;
};

inline StreamReplyFields streamReplyFields(const Bytes &b) {
  if (b.size() < 28) {
    ADD_FAILURE() << "stream reply of " << b.size() << " bytes";
    return {};
  }
  return {b[0],  b[1],         get16(b, 2),  get32(b, 4),  get16(b, 8),
          b[10], get32(b, 12), get32(b, 16), get32(b, 20), get32(b, 24)};
}
