// Starts a program of the project as a child process of a test, in the
// test's environment, with its standard output and error optionally on
// pipes the test reads.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Spawns program with the arguments. For each of output and errors that is
// not null, the child's standard output or error goes to a pipe whose read
// end (close-on-exec) is stored there, -1 when it could not be made.
// Returns the child's pid, or -1 with every pipe closed when it could not
// be started.
pid_t spawnProgram(const std::string &program, const std::vector<std::string> &arguments,
                   int *output, int *errors);
