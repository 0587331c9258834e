// The programs that the end-to-end benchmarks run beside the driver
// (lumivox-session, lumivox-server): started with a ready line awaited,
// and stopped. Linux only, as those benchmarks are.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

extern char **environ;

struct BenchChild {
  pid_t pid = -1;
  int output = -1;  // read end of the pipe on its standard output or error
};

// Starts program with its standard output (fd 1) or error (fd 2) on a pipe
// and reads until `ready` has come. A program that does not start, or says
// nothing for waitMs, ends the benchmark `who` with a message.
inline BenchChild benchSpawnUntil(const char *who, const std::string &program,
                                  std::vector<std::string> args, int fd, const std::string &ready,
                                  int waitMs) {
  BenchChild c;
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return c;
  args.insert(args.begin(), program);
  std::vector<char *> argv;
  for (std::string &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[1], fd);
  if (posix_spawn(&c.pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
    c.pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  c.output = ends[0];
  std::string text;
  char ch;
  while (text.find(ready) == std::string::npos) {
    pollfd p{c.output, POLLIN, 0};
    if (c.pid <= 0 || poll(&p, 1, waitMs) <= 0 || read(c.output, &ch, 1) != 1) {
      std::fprintf(stderr, "%s: %s did not start\n", who, program.c_str());
      std::exit(1);
    }
    text += ch;
  }
  return c;
}

// Ends the program (SIGTERM) and waits for it.
inline void benchStop(BenchChild &c) {
  if (c.pid > 0) kill(c.pid, SIGTERM), waitpid(c.pid, nullptr, 0);
  if (c.output >= 0) close(c.output);
  c = BenchChild{};
}
