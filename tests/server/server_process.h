// lumivox-server run as a child process of a test, and a raw control
// connection to it that speaks the framing byte for byte.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Bound of every wait for the server: a ready line, a log line, a message,
// a close. Never reached when the server works.
constexpr int SERVER_WAIT_MS = 10000;

// Starts lumivox-server with the arguments and waits for its ready line on
// standard error. Unless the arguments name them, --sound-server none and
// --no-auth come first: a test's server neither plays on the machine's
// sound system nor wants a key, unless the test gives it --key-file. Everything it logs is collected by a reader thread, so
// the server never blocks on a full pipe and tests can wait for a line.
class ServerProcess {
 public:
  explicit ServerProcess(const std::vector<std::string> &arguments);
  // Another program of ours that prints a ready line "<readyPrefix>ADDRESS:PORT..."
  // (lumivox-relay, say).
  ServerProcess(const std::string &program, const std::string &readyPrefix,
                const std::vector<std::string> &arguments);
  ~ServerProcess();
  ServerProcess(const ServerProcess &) = delete;
  ServerProcess &operator=(const ServerProcess &) = delete;

  bool ready() const { return ready_; }
  // From the ready line "lumivox-server: listening on ADDRESS:PORT".
  const std::string &address() const { return address_; }
  uint16_t port() const { return port_; }
  pid_t pid() const { return pid_; }
  // Waits until the log holds `text` at least `count` times.
  bool waitForLog(const std::string &text, int count = 1);
  // How often `text` occurs in the log so far.
  int logCount(const std::string &text);
  std::string log();
  // SIGTERM (unless it has ended), then the exit status, or -1 when it did
  // not exit normally.
  int stop();
  // Waits for it to end by itself; the exit status as stop gives it.
  int wait();

 private:
  void readLog();

  pid_t pid_ = -1;
  int errors_ = -1;  // read end of its standard error
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable grown_;  // the log grew or ended
  std::string log_;                // guarded by mutex_
  bool ended_ = false;             // guarded by mutex_: standard error closed
  bool ready_ = false;
  std::string address_;
  uint16_t port_ = 0;
};

// A UDP port that was free a moment ago on 127.0.0.1: for a server's
// stream socket (--udp-port) or a relay in front of it.
uint16_t freeUdpPort();

// A blocking TCP connection to the server; every read is bounded by poll.
class ControlClient {
 public:
  // `from`, when given, is the local address to connect from (another
  // loopback address plays another client).
  ControlClient(const std::string &address, uint16_t port, const std::string &from = "");
  explicit ControlClient(const ServerProcess &server, const std::string &from = "")
      : ControlClient(server.address(), server.port(), from) {}
  ~ControlClient();
  ControlClient(const ControlClient &) = delete;
  ControlClient &operator=(const ControlClient &) = delete;

  bool connected() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  // "address:port" of this end, as the server's log names the peer.
  std::string name() const;
  bool send(const Bytes &bytes);
  // One framed message (header first, then as many bytes as its length
  // field says); empty when none came within waitMs or the peer closed.
  Bytes receive(int waitMs = SERVER_WAIT_MS);
  // True when the server closed the connection without sending anything
  // more first.
  bool closedByPeer(int waitMs = SERVER_WAIT_MS);
  // True when there is nothing to read at this moment.
  bool nothingPending();
  void close();

 private:
  bool readExact(uint8_t *into, size_t bytes, int waitMs);
  int fd_ = -1;
};

// Descriptors open in a process (-1 when /proc cannot be read).
int descriptorCount(pid_t pid);

// Little-endian field writers for building messages in tests.
void put16(Bytes &b, size_t at, uint16_t value);
void put32(Bytes &b, size_t at, uint32_t value);
uint16_t get16(const Bytes &b, size_t at);
uint32_t get32(const Bytes &b, size_t at);
