// The secrets family over Windows: BCrypt's random source and HMAC, and the
// user's own registry hive, which only the user (and the system) can read.
#include "platform/secrets.h"

#include <windows.h>

// After windows.h, whose types it uses.
#include <bcrypt.h>

int lvRandom(void *out, size_t bytes) {
  return BCryptGenRandom(nullptr, static_cast<PUCHAR>(out), ULONG(bytes),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

// The provider is opened per call: the calls are rare (one per connection)
// and a handle kept for the life of the process would outlive the driver's
// unload.
int lvHmacSha256(const uint8_t *key, size_t keyBytes, const uint8_t *data, size_t dataBytes,
                 uint8_t out[LV_HMAC_BYTES]) {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  if (BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr,
                                  BCRYPT_ALG_HANDLE_HMAC_FLAG) != 0) {
    return 0;
  }
  BCRYPT_HASH_HANDLE hash = nullptr;
  int ok = BCryptCreateHash(algorithm, &hash, nullptr, 0, const_cast<PUCHAR>(key), ULONG(keyBytes),
                            0) == 0;
  ok = ok && BCryptHashData(hash, const_cast<PUCHAR>(data), ULONG(dataBytes), 0) == 0;
  ok = ok && BCryptFinishHash(hash, out, ULONG(LV_HMAC_BYTES), 0) == 0;
  if (hash) BCryptDestroyHash(hash);
  BCryptCloseAlgorithmProvider(algorithm, 0);
  return ok;
}

size_t lvUserKeyText(const char *name, char *out, size_t cap) {
  if (cap == 0 || !lvUserKeyNameValid(name)) return 0;
  DWORD bytes = DWORD(cap);
  if (RegGetValueA(HKEY_CURRENT_USER, LV_USER_KEYS_REGISTRY, name, RRF_RT_REG_SZ, nullptr, out,
                   &bytes) != ERROR_SUCCESS) {
    out[0] = 0;
    return 0;
  }
  out[cap - 1] = 0;
  size_t length = 0;
  while (out[length]) ++length;
  return length;
}
