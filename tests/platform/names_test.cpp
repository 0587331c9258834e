// The runtime directory rules, named file mappings and wsprintfA of the
// POSIX runtime, against files a test writes itself.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/posix/names.h"
#include "platform/posix/rundir.h"
#include "platform/posix/sync.h"
#include "tests/tools/session_process.h"

namespace fs = std::filesystem;

namespace {

// Saves and restores the variables the runtime directory depends on.
class RuntimeDirRules : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *name : {"LUMIVOX_RUNTIME_DIR", "XDG_RUNTIME_DIR"}) {
      const char *value = std::getenv(name);
      saved_.push_back({name, value ? value : "", value != nullptr});
    }
  }
  void TearDown() override {
    for (const auto &s : saved_) {
      if (s.set) {
        setenv(s.name, s.value.c_str(), 1);
      } else {
        unsetenv(s.name);
      }
    }
  }
  std::string runtimeDir() {
    char path[LV_RUNDIR_PATH_MAX];
    return lvRuntimeDir(path, sizeof path) ? path : "";
  }
  struct Saved {
    const char *name;
    std::string value;
    bool set;
  };
  std::vector<Saved> saved_;
};

TEST_F(RuntimeDirRules, VariablesAreTakenInOrderAndEmptyCountsAsUnset) {
  RuntimeDir own;
  RuntimeDir xdg;
  fs::create_directory(xdg.path() + "/lumivox");
  chmod((xdg.path() + "/lumivox").c_str(), 0700);
  setenv("XDG_RUNTIME_DIR", xdg.path().c_str(), 1);
  setenv("LUMIVOX_RUNTIME_DIR", own.path().c_str(), 1);
  EXPECT_EQ(runtimeDir(), own.path());
  setenv("LUMIVOX_RUNTIME_DIR", "", 1);
  EXPECT_EQ(runtimeDir(), xdg.path() + "/lumivox");
  unsetenv("LUMIVOX_RUNTIME_DIR");
  setenv("XDG_RUNTIME_DIR", "", 1);
  char candidate[LV_RUNDIR_PATH_MAX];
  ASSERT_TRUE(lvRuntimeDirCandidate(candidate, sizeof candidate));
  EXPECT_EQ(std::string(candidate), "/tmp/lumivox-" + std::to_string(geteuid()));
}

TEST_F(RuntimeDirRules, OnlyAPrivateDirectoryOfTheUserIsAccepted) {
  RuntimeDir dir;
  EXPECT_EQ(runtimeDir(), dir.path());
  for (mode_t mode : {0755, 0770, 0701, 01700}) {
    chmod(dir.path().c_str(), mode);
    EXPECT_EQ(runtimeDir(), "") << std::oct << mode;
  }
  chmod(dir.path().c_str(), 0700);
  std::string link = dir.path() + "-link";
  ASSERT_EQ(symlink(dir.path().c_str(), link.c_str()), 0);
  setenv("LUMIVOX_RUNTIME_DIR", link.c_str(), 1);
  EXPECT_EQ(runtimeDir(), "") << "a link is refused even to a good directory";
  unlink(link.c_str());
  std::string file = dir.path() + "/file";
  std::ofstream(file) << "x";
  setenv("LUMIVOX_RUNTIME_DIR", file.c_str(), 1);
  EXPECT_EQ(runtimeDir(), "");
  setenv("LUMIVOX_RUNTIME_DIR", (dir.path() + "/missing").c_str(), 1);
  EXPECT_EQ(runtimeDir(), "");
}

class Mappings : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directory(dir_.path() + "/mappings"); }
  void publish(const std::string &name, const std::string &bytes) {
    std::ofstream(dir_.path() + "/mappings/" + name, std::ios::binary) << bytes;
  }
  RuntimeDir dir_;
};

TEST_F(Mappings, ViewShowsTheFileAndOutlivesItsHandle) {
  publish("Record-1", std::string("\x03\x02\x01\x0A", 4) + std::string(96, 'z'));
  int descriptors = openDescriptorCount();
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, "Record-1");
  ASSERT_NE(mapping, nullptr);
  const unsigned char *view =
      static_cast<const unsigned char *>(MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0));
  EXPECT_TRUE(CloseHandle(mapping));
  EXPECT_EQ(openDescriptorCount(), descriptors) << "closing the handle closes its file";
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(view[0], 0x03);
  EXPECT_EQ(view[3], 0x0A);
  MEMORY_BASIC_INFORMATION info;
  ASSERT_EQ(VirtualQuery(view + 10, &info, sizeof info), sizeof info);
  EXPECT_EQ(info.AllocationBase, view);
  EXPECT_EQ(info.RegionSize, 90u) << "from the address asked about to the object's end";
  EXPECT_EQ(lvMappingViewsLive(), 1);
  EXPECT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view)) << "nothing is unmapped twice";
  EXPECT_EQ(VirtualQuery(view, &info, sizeof info), 0u);
  EXPECT_EQ(lvMappingViewsLive(), 0);
}

TEST_F(Mappings, WhatCannotBeOpenedOrMappedIsRefused) {
  publish("Empty", "");
  publish("Record", "abcd");
  int descriptors = openDescriptorCount();
  for (const char *name : {"Missing", "", ".", "..", "../mappings/Record", "Local\\Record",
                           "Global\\Record"}) {
    EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, name), nullptr) << name;
  }
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, nullptr), nullptr);
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_WRITE, FALSE, "Record"), nullptr) << "read-only objects";
  HANDLE empty = OpenFileMappingA(FILE_MAP_READ, FALSE, "Empty");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(MapViewOfFile(empty, FILE_MAP_READ, 0, 0, 0), nullptr);
  CloseHandle(empty);
  HANDLE record = OpenFileMappingA(FILE_MAP_READ, FALSE, "Record");
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(MapViewOfFile(record, FILE_MAP_READ, 0, 0, 5), nullptr) << "longer than the object";
  EXPECT_EQ(MapViewOfFile(record, FILE_MAP_READ, 0, 4096, 0), nullptr);
  CloseHandle(record);
  EXPECT_EQ(MapViewOfFile(record, FILE_MAP_READ, 0, 0, 0), nullptr) << "closed handle";
  EXPECT_EQ(openDescriptorCount(), descriptors);
  EXPECT_EQ(lvMappingViewsLive(), 0);
}

TEST_F(Mappings, RefusedRuntimeDirectoryHidesEveryMapping) {
  publish("Record", "abcd");
  chmod(dir_.path().c_str(), 0750);
  EXPECT_EQ(OpenFileMappingA(FILE_MAP_READ, FALSE, "Record"), nullptr);
  chmod(dir_.path().c_str(), 0700);
  HANDLE record = OpenFileMappingA(FILE_MAP_READ, FALSE, "Record");
  EXPECT_NE(record, nullptr);
  CloseHandle(record);
}

std::string format(const char *fmt, auto... args) {
  char out[1100];
  int n = wsprintfA(out, fmt, args...);
  EXPECT_EQ(size_t(n), std::strlen(out));
  return out;
}

TEST(Wsprintf, FormatsTheDriversNames) {
  EXPECT_EQ(format("XDisplayAddress-%d", INT_MIN), "XDisplayAddress--2147483648");
  EXPECT_EQ(format("XDisplayAddress-%d", -1), "XDisplayAddress--1");
  EXPECT_EQ(format("Lumivox{%08x:%d}", 0xABCu, 7), "Lumivox{00000abc:7}");
  EXPECT_EQ(format("%ld|%lu|%lX", LONG(-5), ULONG(4000000000u), ULONG(0xBEEF)),
            "-5|4000000000|BEEF") << "l reads 32 bits, as on Windows";
  EXPECT_EQ(format("[%-4s][%3c][%i%%]", "ab", 'x', 9), "[ab  ][  x][9%]");
  EXPECT_EQ(format("%q"), "%q") << "an unknown conversion stands as written";
}

TEST(Wsprintf, OutputStopsAt1024BytesWithTheTerminator) {
  std::string big(1500, 'a');
  EXPECT_EQ(format("%s", big.c_str()).size(), 1023u);
  EXPECT_EQ(format("%600d%600d", 1, 2).size(), 1023u) << "widths are bounded too";
}

}  // namespace
