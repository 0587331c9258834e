// The secrets family on both builds: HMAC-SHA256 against published vectors,
// the random source, and the per-user key store with the checks that keep
// it the user's own.
#include "platform/secrets.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"

#ifndef _WIN32
#include <sys/stat.h>

#include "platform/posix/rundir.h"
#include "tests/tools/session_process.h"
#endif

namespace {

std::string hex(const uint8_t *bytes, size_t n) {
  std::string text;
  char two[3];
  for (size_t i = 0; i < n; ++i) std::snprintf(two, sizeof two, "%02x", bytes[i]), text += two;
  return text;
}

// RFC 4231 test cases 2 (a key shorter than the digest) and 6 (a key longer
// than the hash's block, which is hashed first).
TEST(Secrets, HmacSha256MatchesThePublishedVectors) {
  uint8_t mac[LV_HMAC_BYTES];
  const char data2[] = "what do ya want for nothing?";
  ASSERT_TRUE(lvHmacSha256(reinterpret_cast<const uint8_t *>("Jefe"), 4,
                           reinterpret_cast<const uint8_t *>(data2), sizeof data2 - 1, mac));
  EXPECT_EQ(hex(mac, sizeof mac),
            "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
  uint8_t key6[131];
  std::fill_n(key6, sizeof key6, uint8_t(0xaa));
  const char data6[] = "Test Using Larger Than Block-Size Key - Hash Key First";
  ASSERT_TRUE(lvHmacSha256(key6, sizeof key6, reinterpret_cast<const uint8_t *>(data6),
                           sizeof data6 - 1, mac));
  EXPECT_EQ(hex(mac, sizeof mac),
            "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");

  uint8_t a[32] = {}, b[32] = {}, zero[32] = {};
  ASSERT_TRUE(lvRandom(a, sizeof a) && lvRandom(b, sizeof b));
  EXPECT_NE(hex(a, 32), hex(b, 32));
  EXPECT_NE(hex(a, 32), hex(zero, 32));
}

// A key stored for a name is found under that name only; names that could
// reach another path or registry key are never looked up.
TEST(Secrets, TheUserKeyStoreAnswersOnlyItsOwnNames) {
  const char text[] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";
  const char name[] = "10.0.0.5:9004";
#ifdef _WIN32
  ASSERT_EQ(
      RegSetKeyValueA(HKEY_CURRENT_USER, LV_USER_KEYS_REGISTRY, name, REG_SZ, text, sizeof text),
      ERROR_SUCCESS);
#else
  RuntimeDir dir;
  std::string folder = dir.path() + "/" LV_USER_KEYS_FOLDER, path = folder + "/" + name;
  ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
  FILE *file = std::fopen(path.c_str(), "w");
  ASSERT_TRUE(file);
  std::fputs(text, file);
  std::fclose(file);
  chmod(path.c_str(), 0644);
  char refused[128];
  EXPECT_EQ(lvUserKeyText(name, refused, sizeof refused), 0u) << "others may read it";
  chmod(path.c_str(), 0600);
#endif
  char out[128];
  EXPECT_EQ(lvUserKeyText(name, out, sizeof out), sizeof text - 1);
  EXPECT_STREQ(out, text);
  EXPECT_EQ(lvUserKeyText(name, out, 32), 0u) << "does not fit";
  EXPECT_EQ(lvUserKeyText("10.0.0.5", out, sizeof out), 0u) << "another name";
  for (const char *bad :
       {"", "../keys/10.0.0.5:9004", "10.0.0.5:9004:1", "a", "1234567890123456789012"}) {
    EXPECT_FALSE(lvUserKeyNameValid(bad)) << bad;
    EXPECT_EQ(lvUserKeyText(bad, out, sizeof out), 0u) << bad;
  }
#ifdef _WIN32
  RegDeleteKeyValueA(HKEY_CURRENT_USER, LV_USER_KEYS_REGISTRY, name);
#endif
}

}  // namespace
