// Runtime directory lookup and its ownership and mode checks.
#include "platform/posix/rundir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

static const char *nonEmptyEnv(const char *name) {
  const char *value = std::getenv(name);
  return value && value[0] ? value : nullptr;
}

int lvRuntimeDirCandidate(char *out, size_t cap) {
  int n;
  if (const char *dir = nonEmptyEnv("LUMIVOX_RUNTIME_DIR")) {
    n = std::snprintf(out, cap, "%s", dir);
  } else if (const char *xdg = nonEmptyEnv("XDG_RUNTIME_DIR")) {
    n = std::snprintf(out, cap, "%s/lumivox", xdg);
  } else {
    n = std::snprintf(out, cap, "/tmp/lumivox-%u", unsigned(geteuid()));
  }
  return n > 0 && size_t(n) < cap;
}

// lstat, so that a link is refused even when it points at a good directory:
// whoever may replace the link decides where the objects are looked up.
int lvRuntimeDirAcceptable(const char *path) {
  struct stat info;
  if (lstat(path, &info) != 0) return 0;
  return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 07777) == 0700;
}

int lvRuntimeDir(char *out, size_t cap) {
  return lvRuntimeDirCandidate(out, cap) && lvRuntimeDirAcceptable(out);
}

int lvRuntimePath(const char *relative, char *out, size_t cap) {
  char dir[LV_RUNDIR_PATH_MAX];
  if (!lvRuntimeDir(dir, sizeof dir)) return 0;
  int n = std::snprintf(out, cap, "%s/%s", dir, relative);
  return n > 0 && size_t(n) < cap;
}
