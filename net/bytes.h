// Little-endian loads and stores over byte buffers, for the control
// messages and the audio datagrams: fields are never read by overlaying a
// record on a buffer.
#pragma once

#include "platform/platform.h"

inline WORD load16(const BYTE *p) { return WORD(p[0] | p[1] << 8); }
inline DWORD load32(const BYTE *p) {
  return DWORD(p[0]) | DWORD(p[1]) << 8 | DWORD(p[2]) << 16 | DWORD(p[3]) << 24;
}
inline void store16(BYTE *p, WORD v) {
  p[0] = BYTE(v);
  p[1] = BYTE(v >> 8);
}
inline void store32(BYTE *p, DWORD v) {
  p[0] = BYTE(v);
  p[1] = BYTE(v >> 8);
  p[2] = BYTE(v >> 16);
  p[3] = BYTE(v >> 24);
}
