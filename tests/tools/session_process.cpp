#include "tests/tools/session_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "tests/support/spawn.h"

RuntimeDir::RuntimeDir() {
  char pattern[] = "/tmp/lvtest-XXXXXX";
  const char *made = mkdtemp(pattern);  // mode 0700
  path_ = made ? made : "";
  setenv("LUMIVOX_RUNTIME_DIR", path_.c_str(), 1);
}

RuntimeDir::~RuntimeDir() {
  unsetenv("LUMIVOX_RUNTIME_DIR");
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

SessionProcess::SessionProcess(const std::vector<std::string> &arguments) {
  pid_ = spawnProgram(LUMIVOX_SESSION, arguments, &output_, nullptr);
  if (pid_ < 0) return;
  // Reads up to the first newline, each read bounded by READY_WAIT_MS.
  char c;
  for (;;) {
    pollfd p{output_, POLLIN, 0};
    if (poll(&p, 1, READY_WAIT_MS) <= 0 || read(output_, &c, 1) != 1) break;
    if (c == '\n') break;
    line_ += c;
  }
  ready_ = line_.rfind("lumivox-session: ready ", 0) == 0;
}

SessionProcess::~SessionProcess() {
  if (pid_ > 0) stop();
  if (output_ >= 0) close(output_);
}

int SessionProcess::wait() {
  if (pid_ <= 0) return -1;
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int SessionProcess::stop() {
  if (pid_ > 0) kill(pid_, SIGTERM);
  return wait();
}

int openDescriptorCount() {
  int count = 0;
  DIR *dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory's own descriptor
}
