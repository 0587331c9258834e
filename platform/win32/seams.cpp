// The tick seam over GetTickCount. Nothing in the product freezes it, so
// there lvTickCount is GetTickCount behind one atomic load.
#include "platform/win32/seams.h"

#include <atomic>

namespace {

std::atomic<bool> tickFrozen{false};
std::atomic<DWORD> tickFrozenValue{0};  // milliseconds, wrapping

}  // namespace

DWORD lvTickCount(void) {
  if (tickFrozen.load()) return tickFrozenValue.load();
  return GetTickCount();
}

void lvTickFreeze(DWORD value) {
  tickFrozenValue.store(value);
  tickFrozen.store(true);
}

void lvTickAdvance(DWORD milliseconds) { tickFrozenValue.fetch_add(milliseconds); }

void lvTickThaw(void) { tickFrozen.store(false); }
