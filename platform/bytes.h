// Little-endian loads and stores, for the control messages, the audio
// datagrams and the files that carry such fields: the driver, the server
// and the tools all read and write them through these, and nothing is read
// by laying a record over a buffer. Each helper reads or writes exactly its
// width; callers check the length first. Only the standard library is
// needed, so every part of the tree can include this.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline uint16_t load16(const uint8_t *p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t load32(const uint8_t *p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline void store16(uint8_t *p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void store32(uint8_t *p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(v >> 16);
  p[3] = uint8_t(v >> 24);
}

// The same at offset `at` of a span, as the server's message code holds its
// buffers.
inline uint16_t leLoad16(std::span<const uint8_t> bytes, size_t at) {
  return load16(bytes.subspan(at, 2).data());
}
inline uint32_t leLoad32(std::span<const uint8_t> bytes, size_t at) {
  return load32(bytes.subspan(at, 4).data());
}
inline void leStore16(std::span<uint8_t> bytes, size_t at, uint16_t value) {
  store16(bytes.subspan(at, 2).data(), value);
}
inline void leStore32(std::span<uint8_t> bytes, size_t at, uint32_t value) {
  store32(bytes.subspan(at, 4).data(), value);
}
