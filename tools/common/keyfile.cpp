// Key files: made with O_EXCL and mode 0600, read only after fstat shows
// they are this user's alone.
#include "tools/common/keyfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/secrets.h"

namespace {

// Bytes read from a key file at most: the key, a newline, some slack for
// white space an editor left.
constexpr size_t KEY_FILE_MAX_BYTES = 256;

std::string systemError(const std::string &what, const std::string &path) {
  return what + " " + path + ": " + std::strerror(errno);
}

std::string folderOf(const std::string &path) {
  size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Makes the folder (and its parents) with mode 0700 where missing.
bool makeFolders(const std::string &folder) {
  if (folder.empty() || folder == "/" || folder == ".") return true;
  struct stat info;
  if (stat(folder.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
  if (!makeFolders(folderOf(folder))) return false;
  return mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

// Writes a new key to a file made here with mode 0600; O_EXCL, so that
// nothing already there (a link planted by someone else among them) is
// followed or replaced.
bool writeNew(const std::string &path, uint8_t key[KEY_BYTES], std::string &error) {
  if (!lvRandom(key, KEY_BYTES)) {
    error = "the system's random source failed";
    return false;
  }
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = systemError("cannot create", path);
    return false;
  }
  char text[KEY_TEXT_CHARS + 2];
  keyTextFormat(key, text);
  text[KEY_TEXT_CHARS] = '\n';
  bool written = write(fd, text, sizeof text - 1) == ssize_t(sizeof text - 1) && fsync(fd) == 0;
  if (!written) error = systemError("cannot write", path);
  close(fd);
  if (!written) unlink(path.c_str());
  return written;
}

}  // namespace

std::string keyFileDefault() {
  const char *config = std::getenv("XDG_CONFIG_HOME");
  if (config && config[0] == '/') return std::string(config) + "/lumivox/server.key";
  const char *home = std::getenv("HOME");
  if (home && home[0]) return std::string(home) + "/.config/lumivox/server.key";
  return "";
}

KeyFileResult keyFileLoad(const std::string &path, bool create, uint8_t key[KEY_BYTES],
                          std::string &error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0 && errno == ENOENT && create) {
    if (!makeFolders(folderOf(path))) {
      error = systemError("cannot make the folder of", path);
      return KeyFileResult::FAILED;
    }
    return writeNew(path, key, error) ? KeyFileResult::CREATED : KeyFileResult::FAILED;
  }
  if (fd < 0) {
    error = systemError("cannot open", path);
    return KeyFileResult::FAILED;
  }
  struct stat info;
  char text[KEY_FILE_MAX_BYTES];
  ssize_t n = -1;
  if (fstat(fd, &info) != 0) {
    error = systemError("cannot examine", path);
  } else if (!S_ISREG(info.st_mode)) {
    error = path + " is not a regular file";
  } else if (info.st_uid != geteuid()) {
    error = path + " belongs to another user";
  } else if (info.st_mode & 077) {
    error = path + " may be read or written by others (chmod 600 " + path + ")";
  } else if ((n = read(fd, text, sizeof text)) < 0) {
    error = systemError("cannot read", path);
  } else if (!keyTextParse(std::string_view(text, size_t(n)), key)) {
    error = path + " does not hold a key (64 hex digits)";
    n = -1;
  }
  close(fd);
  return error.empty() && n >= 0 ? KeyFileResult::READ : KeyFileResult::FAILED;
}

bool keyFileRenew(const std::string &path, uint8_t key[KEY_BYTES], std::string &error) {
  if (!makeFolders(folderOf(path))) {
    error = systemError("cannot make the folder of", path);
    return false;
  }
  std::string next = path + ".new";
  unlink(next.c_str());
  if (!writeNew(next, key, error)) return false;
  if (rename(next.c_str(), path.c_str()) != 0) {
    error = systemError("cannot replace", path);
    unlink(next.c_str());
    return false;
  }
  return true;
}
