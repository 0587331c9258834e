// DOS device names as files under dosdevices/ in the runtime directory.
#include "platform/posix/dosdev.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

#include "platform/posix/rundir.h"

namespace {

// Makes the relative path "dosdevices/<folded name>" in out, or returns
// false for a name that is empty, too long, "." or "..", or holds anything
// but printable ASCII other than the two slashes.
bool devicePath(LPCWSTR name, char *out, size_t cap) {
  if (!name || !name[0]) return false;
  char folded[LV_DOSDEVICE_NAME_MAX + 1];
  size_t n = 0;
  for (; name[n]; ++n) {
    WCHAR c = name[n];
    if (n >= LV_DOSDEVICE_NAME_MAX || c <= u' ' || c >= 0x7F || c == u'/' || c == u'\\') {
      return false;
    }
    folded[n] = char(c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c);
  }
  folded[n] = 0;
  if ((n == 1 && folded[0] == '.') || (n == 2 && folded[0] == '.' && folded[1] == '.')) {
    return false;
  }
  char relative[LV_DOSDEVICE_NAME_MAX + 16];
  std::snprintf(relative, sizeof relative, "dosdevices/%s", folded);
  return lvRuntimePath(relative, out, cap);
}

// Writes all of bytes to fd; false on any failure.
bool writeAll(int fd, const void *bytes, size_t length) {
  const char *at = static_cast<const char *>(bytes);
  while (length > 0) {
    ssize_t n = write(fd, at, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    at += n;
    length -= size_t(n);
  }
  return true;
}

std::atomic<unsigned> temporaryCount{0};  // makes each temporary name unique

}  // namespace

// Removes a name whose target matches targetPath (see the header).
static BOOL removeDefinition(DWORD flags, LPCWSTR deviceName, LPCWSTR targetPath) {
  char path[LV_RUNDIR_PATH_MAX];
  WCHAR target[LV_DOSDEVICE_TARGET_MAX + 2];
  if (!devicePath(deviceName, path, sizeof path)) return FALSE;
  if (QueryDosDeviceW(deviceName, target, LV_DOSDEVICE_TARGET_MAX + 2) == 0) return FALSE;
  if (targetPath && targetPath[0]) {
    size_t i = 0;
    for (; targetPath[i]; ++i) {
      if (target[i] != targetPath[i]) return FALSE;  // the stored target ends with a 0
    }
    if ((flags & DDD_EXACT_MATCH_ON_REMOVE) && target[i] != 0) return FALSE;
  }
  return unlink(path) == 0 ? TRUE : FALSE;
}

BOOL DefineDosDeviceW(DWORD flags, LPCWSTR deviceName, LPCWSTR targetPath) {
  const DWORD removal = DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE;
  if (flags & ~(DDD_RAW_TARGET_PATH | DDD_NO_BROADCAST_SYSTEM | removal)) return FALSE;
  if (flags & DDD_REMOVE_DEFINITION) return removeDefinition(flags, deviceName, targetPath);
  if (flags & DDD_EXACT_MATCH_ON_REMOVE) return FALSE;  // a flag of removals only
  if (!targetPath) return FALSE;
  size_t chars = 0;
  while (targetPath[chars]) {
    if (++chars > LV_DOSDEVICE_TARGET_MAX) return FALSE;
  }
  char path[LV_RUNDIR_PATH_MAX];
  char folder[LV_RUNDIR_PATH_MAX];
  if (!devicePath(deviceName, path, sizeof path)) return FALSE;
  if (!lvRuntimePath("dosdevices", folder, sizeof folder)) return FALSE;
  if (mkdir(folder, 0700) != 0 && errno != EEXIST) return FALSE;
  char temporary[LV_RUNDIR_PATH_MAX];
  int n = std::snprintf(temporary, sizeof temporary, "%s/.new-%d-%u", folder, int(getpid()),
                        temporaryCount.fetch_add(1));
  if (n <= 0 || size_t(n) >= sizeof temporary) return FALSE;
  int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return FALSE;
  bool written = writeAll(fd, targetPath, chars * sizeof(WCHAR));
  if (close(fd) != 0) written = false;
  if (!written || rename(temporary, path) != 0) {
    unlink(temporary);
    return FALSE;
  }
  return TRUE;
}

DWORD QueryDosDeviceW(LPCWSTR deviceName, LPWSTR targetPath, DWORD maxChars) {
  char path[LV_RUNDIR_PATH_MAX];
  if (!targetPath || !devicePath(deviceName, path, sizeof path)) return 0;
  int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return 0;
  // One unit more than a target may hold, so that an oversized file is
  // recognised instead of being cut.
  WCHAR target[LV_DOSDEVICE_TARGET_MAX + 1];
  size_t bytes = 0;
  struct stat info;
  bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  while (regular && bytes < sizeof target) {
    ssize_t n = read(fd, reinterpret_cast<char *>(target) + bytes, sizeof target - bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes += size_t(n);
  }
  close(fd);
  size_t chars = bytes / sizeof(WCHAR);
  if (!regular || bytes % sizeof(WCHAR) != 0 || chars > LV_DOSDEVICE_TARGET_MAX) return 0;
  // A target may not hold a terminator of its own: the list would end there.
  for (size_t i = 0; i < chars; ++i) {
    if (target[i] == 0) return 0;
  }
  if (size_t(maxChars) < chars + 2) return 0;
  for (size_t i = 0; i < chars; ++i) targetPath[i] = target[i];
  targetPath[chars] = 0;
  targetPath[chars + 1] = 0;
  return DWORD(chars + 2);
}
