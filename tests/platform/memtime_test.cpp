// LocalAlloc and LocalFree, their accounting and failure injection, and the
// millisecond tick with its frozen mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/posix/faults.h"
#include "platform/posix/memtime.h"

namespace {

// Both seams are process-wide, so every test disarms and thaws on the way
// out, whether it passed or not.
class MemTime : public ::testing::Test {
 protected:
  void TearDown() override {
    lvFaultReset();
    lvTickThaw();
  }
};

// Flags of the Windows heap that the runtime does not implement (0x0F00 is
// the discardable mask).
constexpr UINT LMEM_MOVEABLE = 0x0002;
constexpr UINT LMEM_NOCOMPACT = 0x0010;

TEST_F(MemTime, ZeroInitBlocksAreZeroEvenWhenMemoryIsReused) {
  const long live = lvLocalAllocLive();
  // A few sizes in turn, so that most blocks come back from the allocator's
  // free lists still holding the pattern written into them last time.
  const SIZE_T sizes[] = {1, 24, 100, 1000, 5000};
  for (int round = 0; round < 200; ++round) {
    SIZE_T bytes = sizes[round % std::size(sizes)];
    auto *block = static_cast<unsigned char *>(LocalAlloc(round % 2 ? LPTR : LMEM_ZEROINIT, bytes));
    ASSERT_NE(block, nullptr);
    ASSERT_EQ(std::count(block, block + bytes, 0), long(bytes)) << "round " << round;
    std::memset(block, 0xA5, bytes);
    ASSERT_EQ(LocalFree(block), nullptr);
  }
  EXPECT_EQ(lvLocalAllocLive(), live);
}

// Refused flags hold nothing, freeing null changes nothing, and zero-byte
// blocks are still distinct blocks that must be freed.
TEST_F(MemTime, LiveCountFollowsEveryBlockAndNothingElse) {
  const long live = lvLocalAllocLive();
  for (UINT flags : {LMEM_MOVEABLE, LMEM_MOVEABLE | LMEM_ZEROINIT, LMEM_NOCOMPACT, 0x0F00u}) {
    EXPECT_EQ(LocalAlloc(flags, 16), nullptr) << flags;
  }
  EXPECT_EQ(LocalFree(nullptr), nullptr);
  EXPECT_EQ(lvLocalAllocLive(), live);
  HLOCAL a = LocalAlloc(LMEM_FIXED, 0), b = LocalAlloc(LMEM_FIXED, 0);
  ASSERT_TRUE(a && b);
  EXPECT_NE(a, b);
  EXPECT_EQ(lvLocalAllocLive(), live + 2);
  EXPECT_EQ(LocalFree(b), nullptr);
  EXPECT_EQ(lvLocalAllocLive(), live + 1);
  EXPECT_EQ(LocalFree(a), nullptr);
  EXPECT_EQ(lvLocalAllocLive(), live);
}

TEST_F(MemTime, InjectedFaultFailsExactlyTheChosenCalls) {
  const long live = lvLocalAllocLive();
  lvFaultArm(LV_FAULT_LOCAL_ALLOC, 2, 3);
  std::vector<HLOCAL> blocks;
  std::vector<bool> failed;
  for (int call = 0; call < 8; ++call) {
    blocks.push_back(LocalAlloc(LPTR, 32));
    failed.push_back(blocks.back() == nullptr);
  }
  EXPECT_EQ(failed, (std::vector<bool>{false, false, true, true, true, false, false, false}));
  EXPECT_EQ(lvLocalAllocLive(), live + 5) << "failed calls hold nothing";
  for (HLOCAL block : blocks) LocalFree(block);

  lvFaultArm(LV_FAULT_LOCAL_ALLOC, 0, 100);
  lvFaultReset();
  HLOCAL after = LocalAlloc(LPTR, 32);
  EXPECT_NE(after, nullptr) << "reset disarms a pending fault";
  LocalFree(after);
  EXPECT_EQ(lvLocalAllocLive(), live);
}

TEST_F(MemTime, FrozenTickMovesOnlyWhenAdvancedAndWraps) {
  lvTickFreeze(1000);
  EXPECT_EQ(GetTickCount(), 1000u);
  EXPECT_EQ(GetTickCount(), 1000u);
  lvTickAdvance(250);
  EXPECT_EQ(GetTickCount(), 1250u);
  lvTickAdvance(0);
  EXPECT_EQ(GetTickCount(), 1250u);

  lvTickFreeze(0xFFFFFFF0u);
  EXPECT_EQ(GetTickCount(), 0xFFFFFFF0u);
  lvTickAdvance(0x20);
  EXPECT_EQ(GetTickCount(), 0x10u);
  // Elapsed time taken as callers take it, by unsigned difference, survives the wrap.
  EXPECT_EQ(DWORD(GetTickCount() - 0xFFFFFFF0u), 0x20u);
}

TEST_F(MemTime, ThawedTickNeverGoesBackwards) {
  lvTickFreeze(0xFFFFFFF0u);
  lvTickAdvance(0x20);
  lvTickThaw();
  // Compared by unsigned difference, so that a real wrap between two readings
  // still counts as going forwards.
  DWORD previous = GetTickCount();
  for (int reading = 0; reading < 1000; ++reading) {
    DWORD now = GetTickCount();
    ASSERT_LT(DWORD(now - previous), 0x80000000u) << previous << " then " << now;
    previous = now;
  }
}

}  // namespace
