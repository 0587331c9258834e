// The secrets family over Linux: getrandom, libsodium's HMAC-SHA256, and
// key files in the runtime directory.
#include "platform/secrets.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/posix/rundir.h"

int lvRandom(void *out, size_t bytes) {
  uint8_t *at = static_cast<uint8_t *>(out);
  while (bytes > 0) {
    ssize_t n = getrandom(at, bytes, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return 0;
    at += n;
    bytes -= size_t(n);
  }
  return 1;
}

int lvHmacSha256(const uint8_t *key, size_t keyBytes, const uint8_t *data, size_t dataBytes,
                 uint8_t out[LV_HMAC_BYTES]) {
  static_assert(crypto_auth_hmacsha256_BYTES == LV_HMAC_BYTES);
  crypto_auth_hmacsha256_state state;
  if (crypto_auth_hmacsha256_init(&state, key, keyBytes) != 0 ||
      crypto_auth_hmacsha256_update(&state, data, dataBytes) != 0 ||
      crypto_auth_hmacsha256_final(&state, out) != 0) {
    return 0;
  }
  sodium_memzero(&state, sizeof state);
  return 1;
}

// O_NOFOLLOW and the checks on the open descriptor: a link, another user's
// file or one that others may read is no key of this user's.
size_t lvUserKeyText(const char *name, char *out, size_t cap) {
  if (cap == 0 || !lvUserKeyNameValid(name)) return 0;
  char relative[64], path[LV_RUNDIR_PATH_MAX];
  std::snprintf(relative, sizeof relative, LV_USER_KEYS_FOLDER "/%s", name);
  if (!lvRuntimePath(relative, path, sizeof path)) return 0;
  int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  struct stat info;
  size_t length = 0;
  if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid() &&
      (info.st_mode & 077) == 0 && size_t(info.st_size) < cap) {
    ssize_t n;
    while ((n = read(fd, out + length, cap - 1 - length)) > 0) length += size_t(n);
    if (n < 0) length = 0;
  }
  close(fd);
  out[length] = 0;
  return length;
}
