// One of the tools run as a child process of a test, with its standard
// output and error captured, every wait bounded.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class ToolProcess {
 public:
  static constexpr int WAIT_MS = 30000;  // bound of every wait; never reached when the tool works

  // Starts program with the arguments, in the test's environment.
  ToolProcess(const std::string &program, const std::vector<std::string> &arguments);
  ~ToolProcess();
  ToolProcess(const ToolProcess &) = delete;
  ToolProcess &operator=(const ToolProcess &) = delete;

  bool started() const { return pid_ > 0; }
  // Reads standard error, where the tools show their status, until a
  // whole line starting with prefix has arrived (true), or the output ends
  // or WAIT_MS pass (false).
  bool waitForLine(const std::string &prefix);
  // Sends SIGINT.
  void interrupt();
  // Sends another signal (SIGTERM, SIGHUP).
  void signal(int number);
  // Reads both outputs to their end and waits for the exit (at most
  // WAIT_MS, then the tool is killed). Returns the exit status, or -1 when
  // the tool did not exit by itself.
  int finish();

  const std::string &out() const { return out_; }
  const std::string &err() const { return err_; }

 private:
  // One poll over the open outputs, at most timeoutMs; false when both
  // have ended or nothing came in time.
  bool readSome(int timeoutMs);

  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;  // read ends; -1 once at their end
  size_t scanned_ = 0;           // bytes of err_ already looked at by waitForLine
  std::string out_, err_;
};

// Runs the tool to its end; returns its exit status and fills the outputs.
int runTool(const std::string &program, const std::vector<std::string> &arguments,
            std::string *out = nullptr, std::string *err = nullptr);
