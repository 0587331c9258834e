// lumivox-session as a command: its help, its refusals, and that it removes
// exactly what it made when it is stopped.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/tools/session_process.h"

namespace fs = std::filesystem;

namespace {

// The whole of a command's standard output.
std::string outputOf(const std::string &command) {
  std::string text;
  FILE *pipe = popen(command.c_str(), "r");
  if (!pipe) return text;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) text.append(buffer, n);
  pclose(pipe);
  return text;
}

int exitOf(const std::string &arguments) {
  int status =
      std::system((std::string(LUMIVOX_SESSION) + " " + arguments + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(SessionTool, HelpDocumentsEveryOption) {
  std::string help = outputOf(std::string(LUMIVOX_SESSION) + " --help");
  for (const char *option :
       {"--runtime-dir", "--session ", "--session-status", "--record ", "--address", "--display",
        "--override ", "--override-display", "--invalid", "--record-bytes", "--hookup ",
        "--hookup-address", "--hookup-reply", "-h, --help"}) {
    EXPECT_NE(help.find(std::string("  ") + option), std::string::npos) << option;
  }
  for (const char *mode : {"address", "zero", "short", "empty", "silent", "hangup"}) {
    EXPECT_NE(help.find(mode), std::string::npos) << mode;
  }
}

TEST(SessionTool, UsageErrorsExitWithTwo) {
  EXPECT_EQ(exitOf("--help"), 0);
  EXPECT_EQ(exitOf(""), 2) << "nothing to serve";
  EXPECT_EQ(exitOf("--bogus"), 2);
  EXPECT_EQ(exitOf("--record"), 2) << "missing value";
  EXPECT_EQ(exitOf("--record 1 --address 10.1.2"), 2);
  EXPECT_EQ(exitOf("--record 1 --address 10.1.2.256"), 2);
  EXPECT_EQ(exitOf("--hookup-reply loud"), 2);
  EXPECT_EQ(exitOf("--record 1 --record-bytes 4097"), 2);
}

TEST(SessionTool, StopRemovesWhatItMadeAndKeepsTheDirectoryItFound) {
  RuntimeDir dir;
  SessionProcess session({"--session", "1", "--record", "1", "--hookup"});
  ASSERT_TRUE(session.ready());
  EXPECT_EQ(session.line(), "lumivox-session: ready " + dir.path());
  EXPECT_TRUE(fs::is_regular_file(dir.path() + "/mappings/XDisplayAddress-1"));
  EXPECT_TRUE(fs::is_socket(dir.path() + "/devices/KVTKernelAccess"));
  EXPECT_TRUE(fs::is_socket(dir.path() + "/devices/Hookup/CSSQueryIP"));
  EXPECT_EQ(session.stop(), 0);
  EXPECT_TRUE(fs::is_directory(dir.path()));
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

// A new session starts clean, as a new logon does: a server marked
// unreachable by the processes of an earlier one is tried again.
TEST(SessionTool, StartRemovesTheDeviceNamesOfAnEarlierSession) {
  RuntimeDir dir;
  fs::create_directory(dir.path() + "/dosdevices");
  std::ofstream(dir.path() + "/dosdevices/lumivox{7f000001:9000}") << "N\0o\0";
  SessionProcess session({"--session", "1", "--record", "1"});
  ASSERT_TRUE(session.ready());
  EXPECT_TRUE(fs::is_empty(dir.path() + "/dosdevices"));
  EXPECT_EQ(session.stop(), 0);
}

TEST(SessionTool, MakesAMissingDirectoryPrivateAndRemovesIt) {
  RuntimeDir parent;
  std::string dir = parent.path() + "/made";
  SessionProcess session({"--runtime-dir", dir, "--record", "1"});
  ASSERT_TRUE(session.ready());
  struct stat info;
  ASSERT_EQ(stat(dir.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0700u);
  EXPECT_EQ(session.stop(), 0);
  EXPECT_FALSE(fs::exists(dir));
}

TEST(SessionTool, RefusesADirectoryOthersMayEnter) {
  RuntimeDir dir;
  chmod(dir.path().c_str(), 0755);
  SessionProcess session({"--record", "1"});
  EXPECT_FALSE(session.ready());
  EXPECT_EQ(session.wait(), 1);
  EXPECT_TRUE(fs::is_empty(dir.path()));
}

TEST(SessionTool, SecondServerOfTheSameDeviceIsRefused) {
  RuntimeDir dir;
  SessionProcess first({"--session", "1"});
  ASSERT_TRUE(first.ready());
  SessionProcess second({"--session", "2"});
  EXPECT_FALSE(second.ready());
  EXPECT_EQ(second.wait(), 1);
  EXPECT_TRUE(fs::is_socket(dir.path() + "/devices/KVTKernelAccess")) << "the first one's stays";
  EXPECT_EQ(first.stop(), 0);
}

}  // namespace
