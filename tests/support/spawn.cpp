#include "tests/support/spawn.h"

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

extern char **environ;

pid_t spawnProgram(const std::string &program, const std::vector<std::string> &arguments,
                   int *output, int *errors) {
  int *reads[2] = {output, errors};
  int writes[2] = {-1, -1};
  bool made = true;
  for (int i = 0; i < 2; i++) {
    if (!reads[i]) continue;
    int ends[2];
    *reads[i] = -1;
    if (made && pipe2(ends, O_CLOEXEC) == 0) {
      *reads[i] = ends[0];
      writes[i] = ends[1];
    } else {
      made = false;
    }
  }
  std::vector<std::string> all{program};
  all.insert(all.end(), arguments.begin(), arguments.end());
  std::vector<char *> argv;
  for (std::string &a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (made) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int i = 0; i < 2; i++) {
      if (writes[i] >= 0) posix_spawn_file_actions_adddup2(&actions, writes[i], i + 1);
    }
    if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  for (int i = 0; i < 2; i++) {
    if (writes[i] >= 0) close(writes[i]);
    if (pid < 0 && reads[i] && *reads[i] >= 0) {
      close(*reads[i]);
      *reads[i] = -1;
    }
  }
  return pid;
}
