#include "tests/server/server_process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "tests/support/spawn.h"

namespace {
constexpr char READY_PREFIX[] = "lumivox-server: listening on ";
}

namespace {
bool named(const std::vector<std::string> &arguments, const char *option) {
  for (const std::string &a : arguments) {
    if (a == option) return true;
  }
  return false;
}

// A test's server keeps off the sound system of the machine it runs on,
// unless the test names one, and off the user's key: it serves every
// driver unless the test gives it a key file.
std::vector<std::string> testDefaults(std::vector<std::string> arguments) {
  if (!named(arguments, "--sound-server")) {
    arguments.insert(arguments.begin(), {"--sound-server", "none"});
  }
  if (!named(arguments, "--key-file") && !named(arguments, "--no-auth")) {
    arguments.insert(arguments.begin(), "--no-auth");
  }
  return arguments;
}
}  // namespace

ServerProcess::ServerProcess(const std::vector<std::string> &arguments)
    : ServerProcess(LUMIVOX_SERVER, READY_PREFIX, testDefaults(arguments)) {}

ServerProcess::ServerProcess(const std::string &program, const std::string &readyPrefix,
                             const std::vector<std::string> &arguments) {
  pid_ = spawnProgram(program, arguments, nullptr, &errors_);
  if (pid_ < 0) return;
  reader_ = std::thread([this] { readLog(); });
  if (!waitForLog(readyPrefix)) return;
  std::string text = log();
  size_t at = text.find(readyPrefix) + readyPrefix.size();
  size_t colon = text.find(':', at), end = text.find('\n', at);
  if (colon == std::string::npos || end == std::string::npos || colon > end) return;
  address_ = text.substr(at, colon - at);
  port_ = uint16_t(std::stoul(text.substr(colon + 1, end - colon - 1)));
  ready_ = true;
}

ServerProcess::~ServerProcess() {
  if (pid_ > 0) stop();
  if (reader_.joinable()) reader_.join();
  if (errors_ >= 0) ::close(errors_);
}

void ServerProcess::readLog() {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(errors_, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    std::lock_guard<std::mutex> hold(mutex_);
    if (n <= 0) {
      ended_ = true;
      grown_.notify_all();
      return;
    }
    log_.append(buffer, size_t(n));
    grown_.notify_all();
  }
}

namespace {
int countIn(const std::string &text, const std::string &what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}
}  // namespace

bool ServerProcess::waitForLog(const std::string &text, int count) {
  std::unique_lock<std::mutex> hold(mutex_);
  return grown_.wait_for(hold, std::chrono::milliseconds(SERVER_WAIT_MS), [&] {
    return countIn(log_, text) >= count || ended_;
  }) && countIn(log_, text) >= count;
}

int ServerProcess::logCount(const std::string &text) {
  std::lock_guard<std::mutex> hold(mutex_);
  return countIn(log_, text);
}

std::string ServerProcess::log() {
  std::lock_guard<std::mutex> hold(mutex_);
  return log_;
}

int ServerProcess::wait() {
  if (pid_ <= 0) return -1;
  int status;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (reader_.joinable()) reader_.join();  // the server's end of the pipe is closed now
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int ServerProcess::stop() {
  if (pid_ > 0) kill(pid_, SIGTERM);
  return wait();
}

ControlClient::ControlClient(const std::string &address, uint16_t port, const std::string &from) {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) return;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  if (!from.empty() && (inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
                        bind(fd_, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)) {
    ::close(fd_);
    fd_ = -1;
    return;
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  int one = 1;
  setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (inet_pton(AF_INET, address.c_str(), &to.sin_addr) != 1 ||
      connect(fd_, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

ControlClient::~ControlClient() { close(); }

void ControlClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

std::string ControlClient::name() const {
  sockaddr_in at{};
  socklen_t length = sizeof at;
  getsockname(fd_, reinterpret_cast<sockaddr *>(&at), &length);
  char text[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, &at.sin_addr, text, sizeof text);
  return std::string(text) + ":" + std::to_string(ntohs(at.sin_port));
}

bool ControlClient::send(const Bytes &bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

bool ControlClient::readExact(uint8_t *into, size_t bytes, int waitMs) {
  size_t done = 0;
  while (done < bytes) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, waitMs) <= 0) return false;
    ssize_t n = read(fd_, into + done, bytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += size_t(n);
  }
  return true;
}

Bytes ControlClient::receive(int waitMs) {
  Bytes message(4);
  if (fd_ < 0 || !readExact(message.data(), 4, waitMs)) return {};
  size_t bytes = size_t(get16(message, 2)) * 4;
  if (bytes < 4) return message;
  message.resize(bytes);
  if (!readExact(message.data() + 4, bytes - 4, waitMs)) return {};
  return message;
}

bool ControlClient::closedByPeer(int waitMs) {
  pollfd p{fd_, POLLIN, 0};
  if (poll(&p, 1, waitMs) <= 0) return false;
  char byte;
  ssize_t n = recv(fd_, &byte, 1, 0);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

bool ControlClient::nothingPending() {
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) == 0;
}

int descriptorCount(pid_t pid) {
  int count = 0;
  std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR *dir = opendir(path.c_str());
  if (!dir) return -1;
  while (dirent *entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return pid == getpid() ? count - 1 : count;  // our own directory descriptor
}

void put16(Bytes &b, size_t at, uint16_t value) {
  b[at] = uint8_t(value);
  b[at + 1] = uint8_t(value >> 8);
}

void put32(Bytes &b, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) b[at + i] = uint8_t(value >> (8 * i));
}

uint16_t get16(const Bytes &b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }

uint32_t get32(const Bytes &b, size_t at) {
  return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
         uint32_t(b[at + 3]) << 24;
}

uint16_t freeUdpPort() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at);
  socklen_t size = sizeof at;
  getsockname(fd, reinterpret_cast<sockaddr *>(&at), &size);
  close(fd);
  return ntohs(at.sin_port);
}
