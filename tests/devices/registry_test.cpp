// The name registry: the name's format, marks seen by the marking process
// and by every other process of the session, and nothing seen across
// sessions.
#include "devices/registry.h"

#include <gtest/gtest.h>

#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>

#include "tests/tools/session_process.h"
#endif

namespace {

std::string narrow(const WCHAR *text) {
  std::string out;
  for (; *text; ++text) out.push_back(char(*text));
  return out;
}

std::string nameOf(DWORD address, DWORD port) {
  WCHAR name[REGISTRY_NAME_CHARS];
  int n = registryName(name, address, port);
  EXPECT_EQ(n, int(narrow(name).size()));
  return narrow(name);
}

TEST(RegistryName, AddressInLowerCaseHexAndPortInDecimal) {
  EXPECT_EQ(nameOf(0x0A000001, 9000), "Lumivox{0a000001:9000}");
  EXPECT_EQ(nameOf(0xC0A8010A, 9000), "Lumivox{c0a8010a:9000}");
  EXPECT_EQ(nameOf(0xFFFFFFFF, 65535), "Lumivox{ffffffff:65535}");
  EXPECT_EQ(nameOf(0, 9001), "Lumivox{00000000:9001}");
}

#ifndef _WIN32

class Registry : public ::testing::Test {
 protected:
  RuntimeDir dir_;
};

TEST_F(Registry, AMarkIsSeenForItsDestinationOnly) {
  EXPECT_EQ(serverMarkedUnreachable(0x0A000001, 9000), 0);
  markServerUnreachable(0x0A000001, 9000);
  EXPECT_EQ(serverMarkedUnreachable(0x0A000001, 9000), 1);
  EXPECT_EQ(serverMarkedUnreachable(0x0A000001, 9001), 0);
  EXPECT_EQ(serverMarkedUnreachable(0x0A000002, 9000), 0);
  markServerUnreachable(0x0A000001, 9000);  // marking twice is harmless
  EXPECT_EQ(serverMarkedUnreachable(0x0A000001, 9000), 1);
}

// Another process of the same session marks; this one sees it, and a
// process of another session (another runtime directory) does not.
TEST_F(Registry, AMarkMadeByAnotherProcessOfTheSessionIsSeen) {
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    markServerUnreachable(0xC0A8010A, 9002);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(serverMarkedUnreachable(0xC0A8010A, 9002), 1);
  RuntimeDir otherSession;
  EXPECT_EQ(serverMarkedUnreachable(0xC0A8010A, 9002), 0);
}

TEST_F(Registry, WithoutAUsableSessionDirectoryNothingIsMarked) {
  chmod(dir_.path().c_str(), 0755);  // others could forge marks: refused
  markServerUnreachable(0x0A000001, 9000);
  EXPECT_EQ(serverMarkedUnreachable(0x0A000001, 9000), 0);
  chmod(dir_.path().c_str(), 0700);
  EXPECT_EQ(serverMarkedUnreachable(0x0A000001, 9000), 0);
}

#else  // _WIN32

// The system's own DOS device names. The mark is made for a destination no
// other run uses and removed afterwards, since the names outlive the test.
TEST(Registry, AMarkIsSeenThroughTheSystemsDeviceNames) {
  DWORD address = 0x7F000000u | (GetCurrentProcessId() & 0xFFFFu);
  DWORD port = 65000;
  ASSERT_EQ(serverMarkedUnreachable(address, port), 0);
  markServerUnreachable(address, port);
  int marked = serverMarkedUnreachable(address, port);
  WCHAR name[REGISTRY_NAME_CHARS];
  registryName(name, address, port);
  DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_RAW_TARGET_PATH | DDD_EXACT_MATCH_ON_REMOVE, name,
                   L"NoAudio");
  if (!marked) {
    GTEST_SKIP() << "this system does not answer QueryDosDeviceW for a name it defined "
                    "(Wine answers only short names)";
  }
  EXPECT_EQ(serverMarkedUnreachable(address, port), 0);
  EXPECT_EQ(serverMarkedUnreachable(address, port + 1), 0);
}

#endif  // _WIN32

}  // namespace
