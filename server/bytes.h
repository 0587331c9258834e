// Little-endian loads and stores over byte spans.
//
// Control messages and audio datagrams are little-endian whatever the host's
// order, and nothing is read by laying a struct over a buffer: every field
// goes through these. Callers check the span's size first; each helper reads
// or writes exactly its width at `at`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

inline uint16_t leLoad16(std::span<const uint8_t> bytes, size_t at) {
  return uint16_t(bytes[at] | bytes[at + 1] << 8);
}

inline uint32_t leLoad32(std::span<const uint8_t> bytes, size_t at) {
  return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 |
         uint32_t(bytes[at + 3]) << 24;
}

inline void leStore16(std::span<uint8_t> bytes, size_t at, uint16_t value) {
  bytes[at] = uint8_t(value);
  bytes[at + 1] = uint8_t(value >> 8);
}

inline void leStore32(std::span<uint8_t> bytes, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) bytes[at + i] = uint8_t(value >> (8 * i));
}
