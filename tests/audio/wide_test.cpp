// The converter's 128-bit helpers against the compiler's own 128-bit type,
// on edge values and on a long pseudo-random run.
#include "audio/wide.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

#ifdef __SIZEOF_INT128__
using Native = __int128;

Native native(Wide v) { return Native((unsigned __int128)v.high << 64 | v.low); }

TEST(Wide, MatchesTheNativeType) {
  const uint64_t edges[] = {0,
                            1,
                            2,
                            0xFFFFFFFF,
                            0x100000000,
                            0x7FFFFFFFFFFFFFFF,
                            0x8000000000000000,
                            UINT64_MAX,
                            UINT64_MAX - 1,
                            uint64_t(48000) << 32};
  std::vector<uint64_t> values(std::begin(edges), std::end(edges));
  uint64_t state = 88172645463325252u;
  for (int i = 0; i < 2000; i++) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;  // xorshift64
    values.push_back(state >> (state & 63));                          // every magnitude
  }
  for (size_t i = 0; i + 1 < values.size(); i++) {
    uint64_t a = values[i], b = values[i + 1];
    Native product = Native((unsigned __int128)a * b);
    ASSERT_TRUE(native(wideProduct(a, b)) == product) << a << " * " << b;
    Native sum = Native(int64_t(a)) + product, difference = Native(int64_t(a)) - product;
    ASSERT_TRUE(native(wideAdd(wideFromSigned(int64_t(a)), wideProduct(a, b))) == sum);
    ASSERT_TRUE(native(wideSub(wideFromSigned(int64_t(a)), wideProduct(a, b))) == difference);
    ASSERT_EQ(wideNegative(wideSub(wideFromSigned(int64_t(a)), wideProduct(a, b))), difference < 0);
    if (b == 0) continue;
    ASSERT_EQ(wideQuotient(wideProduct(a, b), b), a);
    Native shifted = Native((unsigned __int128)a << 22);
    unsigned __int128 expected = (unsigned __int128)shifted / b;
    ASSERT_EQ(wideQuotient(wideProduct(a, uint64_t(1) << 22), b),
              expected > UINT64_MAX ? UINT64_MAX : uint64_t(expected))
        << a << " << 22 / " << b;
  }
}
#else
TEST(Wide, MatchesTheNativeType) { GTEST_SKIP() << "this compiler has no 128-bit integer type"; }
#endif

}  // namespace
