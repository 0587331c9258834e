// Secrets, for both builds: random bytes, HMAC-SHA256, and the per-user
// store of the keys that prove this user to the audio servers of its
// terminals. On Windows they come from the system (BCrypt; the user's own
// registry hive), on POSIX from getrandom, libsodium and the session's
// runtime directory. Nothing here is hand-written cryptography.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t LV_HMAC_BYTES = 32;  // HMAC-SHA256

// Fills out with bytes bytes from the system's random source. Returns 1, or
// 0 when the source fails (out is then not to be used).
int lvRandom(void *out, size_t bytes);

// out = HMAC-SHA256(key, data). Returns 1, or 0 when the primitive is not
// available.
int lvHmacSha256(const uint8_t *key, size_t keyBytes, const uint8_t *data, size_t dataBytes,
                 uint8_t out[LV_HMAC_BYTES]);

// The key text stored for `name` (an address "a.b.c.d" or "a.b.c.d:port";
// only digits, dots and one colon are looked up) for this user, copied to
// out with a terminator. Returns its length, or 0 when there is none, it
// does not fit cap, or the store is not this user's alone.
//   Windows: the REG_SZ value `name` of HKEY_CURRENT_USER\Software\Lumivox\Keys.
//   POSIX:   the file keys/<name> of the session's runtime directory, a
//            regular file of this user that nobody else may read.
size_t lvUserKeyText(const char *name, char *out, size_t cap);

// The registry key of the Windows store, relative to HKEY_CURRENT_USER,
// and the folder of the POSIX store inside the runtime directory.
#define LV_USER_KEYS_REGISTRY "Software\\Lumivox\\Keys"
#define LV_USER_KEYS_FOLDER "keys"

// Whether name is one the store may hold: 1 to 21 characters of digits,
// dots and at most one colon, so that it can never name another path or
// registry key.
inline int lvUserKeyNameValid(const char *name) {
  size_t n = 0;
  int colons = 0;
  for (; name[n]; ++n) {
    char c = name[n];
    if (c == ':') {
      ++colons;
    } else if ((c < '0' || c > '9') && c != '.') {
      return 0;
    }
    if (n >= 21) return 0;
  }
  return n > 0 && colons <= 1;
}
