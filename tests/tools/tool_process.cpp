#include "tests/tools/tool_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "tests/support/spawn.h"

namespace {

long nowMs() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return long(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

}  // namespace

ToolProcess::ToolProcess(const std::string &program, const std::vector<std::string> &arguments) {
  pid_ = spawnProgram(program, arguments, &outFd_, &errFd_);
}

ToolProcess::~ToolProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    finish();
  }
  if (outFd_ >= 0) close(outFd_);
  if (errFd_ >= 0) close(errFd_);
}

bool ToolProcess::readSome(int timeoutMs) {
  pollfd p[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (outFd_ < 0 && errFd_ < 0) return false;
  if (poll(p, 2, timeoutMs) <= 0) return false;
  int *fds[2] = {&outFd_, &errFd_};
  std::string *texts[2] = {&out_, &err_};
  for (int i = 0; i < 2; ++i) {
    if (*fds[i] < 0 || !(p[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    char buffer[4096];
    ssize_t n = read(*fds[i], buffer, sizeof buffer);
    if (n > 0) {
      texts[i]->append(buffer, size_t(n));
    } else if (n == 0 || errno != EINTR) {
      close(*fds[i]);
      *fds[i] = -1;
    }
  }
  return true;
}

bool ToolProcess::waitForLine(const std::string &prefix) {
  long deadline = nowMs() + WAIT_MS;
  for (;;) {
    size_t end;
    while ((end = err_.find('\n', scanned_)) != std::string::npos) {
      bool match = err_.compare(scanned_, prefix.size(), prefix) == 0;
      scanned_ = end + 1;
      if (match) return true;
    }
    long left = deadline - nowMs();
    if (left <= 0 || !readSome(int(left))) return false;
  }
}

void ToolProcess::interrupt() { signal(SIGINT); }

void ToolProcess::signal(int number) {
  if (pid_ > 0) kill(pid_, number);
}

int ToolProcess::finish() {
  if (pid_ <= 0) return -1;
  long deadline = nowMs() + WAIT_MS;
  while (outFd_ >= 0 || errFd_ >= 0) {
    long left = deadline - nowMs();
    if (left <= 0 || !readSome(int(left))) break;
  }
  // The exit is waited for through a process descriptor, so that the wait
  // keeps the deadline.
  int process = int(syscall(SYS_pidfd_open, pid_, 0));
  if (process >= 0) {
    long left = deadline - nowMs();
    pollfd p{process, POLLIN, 0};
    if (left > 0) poll(&p, 1, int(left));
    close(process);
  }
  int status = 0;
  bool exited = waitpid(pid_, &status, WNOHANG) == pid_;
  if (!exited) {
    kill(pid_, SIGKILL);
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  pid_ = -1;
  return exited && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int runTool(const std::string &program, const std::vector<std::string> &arguments, std::string *out,
            std::string *err) {
  ToolProcess tool(program, arguments);
  int status = tool.finish();
  if (out) *out = tool.out();
  if (err) *err = tool.err();
  return status;
}
