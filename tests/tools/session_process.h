// lumivox-session run as a child process of a test, and a private runtime
// directory per test case.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A fresh directory (mode 0700) named in LUMIVOX_RUNTIME_DIR for as long as
// it lives; removed with everything in it afterwards.
class RuntimeDir {
 public:
  RuntimeDir();
  ~RuntimeDir();
  RuntimeDir(const RuntimeDir &) = delete;
  RuntimeDir &operator=(const RuntimeDir &) = delete;
  const std::string &path() const { return path_; }

 private:
  std::string path_;
};

// Starts lumivox-session with the arguments and waits for its ready line
// (at most READY_WAIT_MS). The destructor stops it if it still runs.
class SessionProcess {
 public:
  static constexpr int READY_WAIT_MS = 10000;  // never reached when the tool works

  explicit SessionProcess(const std::vector<std::string> &arguments);
  ~SessionProcess();
  SessionProcess(const SessionProcess &) = delete;
  SessionProcess &operator=(const SessionProcess &) = delete;

  bool ready() const { return ready_; }
  // The first line it printed ("" if none).
  const std::string &line() const { return line_; }
  // Sends SIGTERM (unless it has ended already) and returns the exit
  // status, or -1 when it did not exit normally.
  int stop();
  // Waits for it to end by itself; returns the exit status as stop does.
  int wait();

 private:
  pid_t pid_ = -1;
  int output_ = -1;  // read end of its standard output
  bool ready_ = false;
  std::string line_;
};

// Descriptors open in this process now.
int openDescriptorCount();
