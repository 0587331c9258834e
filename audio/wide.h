// Signed 128-bit arithmetic for the converter's position sums, which can
// pass 64 bits in between: a 32.32 step times a frame count, plus a signed
// 64-bit distance. The 32-bit compilers have no 128-bit integer type, so
// these few operations are written out on two 64-bit halves, the same code
// for every target; tests/audio/wide_test.cpp checks them against the
// compiler's own type where there is one.
#pragma once

#include <cstdint>

// A two's-complement 128-bit integer.
struct Wide {
  uint64_t high;  // bits 64 to 127, the sign in bit 127
  uint64_t low;   // bits 0 to 63
};

inline Wide wideFromSigned(int64_t v) { return {v < 0 ? ~uint64_t(0) : 0, uint64_t(v)}; }

// The full product of two unsigned 64-bit numbers, from 32-bit halves.
inline Wide wideProduct(uint64_t a, uint64_t b) {
  uint64_t a0 = a & 0xFFFFFFFF, a1 = a >> 32, b0 = b & 0xFFFFFFFF, b1 = b >> 32;
  uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
  // The middle column, with the carries out of the low half (at most 2^34).
  uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFF) + (p10 & 0xFFFFFFFF);
  return {p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32), (middle << 32) | (p00 & 0xFFFFFFFF)};
}

inline Wide wideAdd(Wide a, Wide b) {
  uint64_t low = a.low + b.low;
  return {a.high + b.high + (low < a.low ? 1 : 0), low};
}

inline Wide wideSub(Wide a, Wide b) {
  return {a.high - b.high - (a.low < b.low ? 1 : 0), a.low - b.low};
}

inline bool wideNegative(Wide v) { return int64_t(v.high) < 0; }
inline bool wideIsZero(Wide v) { return v.high == 0 && v.low == 0; }

// v / d for v >= 0 and d > 0, rounded down; a quotient of 2^64 or more
// gives UINT64_MAX. Bit by bit, 64 steps: the callers run once per packet
// or per query, not per frame.
inline uint64_t wideQuotient(Wide v, uint64_t d) {
  if (v.high >= d) return UINT64_MAX;
  uint64_t remainder = v.high, quotient = 0;
  for (int bit = 63; bit >= 0; bit--) {
    // remainder < d stays true; its top bit shifted out means the shifted
    // remainder is 2^64 or more, so above d.
    bool carry = remainder >> 63;
    remainder = (remainder << 1) | ((v.low >> bit) & 1);
    quotient <<= 1;
    if (carry || remainder >= d) {
      remainder -= d;
      quotient |= 1;
    }
  }
  return quotient;
}
