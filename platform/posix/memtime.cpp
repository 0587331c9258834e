// LocalAlloc/LocalFree over malloc, and the millisecond tick over the
// monotonic clock with a test-controlled frozen mode.
#include "platform/posix/memtime.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "platform/posix/faults.h"

namespace {

std::atomic<long> liveBlocks{0};       // LocalAlloc blocks not yet freed
std::atomic<bool> tickFrozen{false};
std::atomic<DWORD> tickFrozenValue{0};  // milliseconds, wrapping

}  // namespace

HLOCAL LocalAlloc(UINT flags, SIZE_T bytes) {
  if ((flags & ~LMEM_ZEROINIT) != LMEM_FIXED) return nullptr;
  if (lvFaultHit(LV_FAULT_LOCAL_ALLOC)) return nullptr;
  // A zero-byte fixed block is still a distinct, freeable block.
  void *block = (flags & LMEM_ZEROINIT) ? std::calloc(1, bytes ? bytes : 1)
                                        : std::malloc(bytes ? bytes : 1);
  if (block) liveBlocks.fetch_add(1);
  return block;
}

HLOCAL LocalFree(HLOCAL block) {
  if (block) {
    std::free(block);
    liveBlocks.fetch_sub(1);
  }
  return nullptr;
}

DWORD GetTickCount(void) {
  if (tickFrozen.load()) return tickFrozenValue.load();
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  uint64_t ms = uint64_t(now.tv_sec) * 1000u + uint64_t(now.tv_nsec) / 1000000u;
  return DWORD(ms);  // wraps every 49.7 days, as on Windows
}

void lvTickFreeze(DWORD value) {
  tickFrozenValue.store(value);
  tickFrozen.store(true);
}

void lvTickAdvance(DWORD milliseconds) { tickFrozenValue.fetch_add(milliseconds); }

void lvTickThaw(void) { tickFrozen.store(false); }

long lvLocalAllocLive(void) { return liveBlocks.load(); }
