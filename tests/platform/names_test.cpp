// The runtime directory rules, named file mappings, DOS device names and
// wsprintfA/wsprintfW of the POSIX runtime, against files a test writes
// itself.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/posix/dosdev.h"
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

std::u16string wformat(const char16_t *fmt, auto... args) {
  char16_t out[1100];
  int n = wsprintfW(out, fmt, args...);
  EXPECT_EQ(size_t(n), std::u16string(out).size());
  return out;
}

TEST(Wsprintf, TheWideFormTakesWideStringsAndCharacters) {
  EXPECT_EQ(wformat(u"Lumivox{%08x:%d}", 0x0A000001u, 9000), u"Lumivox{0a000001:9000}");
  EXPECT_EQ(wformat(u"[%-4s][%3c][%s]", u"\u00e9t\u00e9", char16_t(0x263A), nullptr),
            u"[\u00e9t\u00e9 ][  \u263A][(null)]");
  std::u16string big(1500, u'b');
  EXPECT_EQ(wformat(u"%s", big.c_str()).size(), 1023u);
}

// DOS device names, each case in a session directory of its own.
class DosDevices : public ::testing::Test {
 protected:
  // The target list a query returns, as a string with its terminators.
  std::u16string query(const char16_t *name, DWORD capacity = 64) {
    char16_t target[64];
    DWORD n = QueryDosDeviceW(name, target, capacity);
    return std::u16string(target, n);
  }
  RuntimeDir dir_;
};

TEST_F(DosDevices, ADefinedNameAnswersItsTargetAsAList) {
  EXPECT_EQ(query(u"Lumivox{0a000001:9000}"), u"");
  ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"Lumivox{0a000001:9000}", u"NoAudio"));
  EXPECT_EQ(query(u"Lumivox{0a000001:9000}"), std::u16string(u"NoAudio\0\0", 9));
  EXPECT_EQ(query(u"LUMIVOX{0A000001:9000}"), std::u16string(u"NoAudio\0\0", 9))
      << "names are case-insensitive";
  EXPECT_EQ(query(u"Lumivox{0a000001:9001}"), u"");
  ASSERT_TRUE(DefineDosDeviceW(0, u"Lumivox{0a000001:9000}", u"Other"));
  EXPECT_EQ(query(u"Lumivox{0a000001:9000}"), std::u16string(u"Other\0\0", 7))
      << "the latest definition wins";
  EXPECT_TRUE(fs::is_regular_file(dir_.path() + "/dosdevices/lumivox{0a000001:9000}"));
}

TEST_F(DosDevices, AListThatDoesNotFitIsNotReturned) {
  ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"Name", u"NoAudio"));
  EXPECT_EQ(query(u"Name", 8), u"");
  EXPECT_EQ(query(u"Name", 9).size(), 9u);
}

TEST_F(DosDevices, BadNamesTargetsAndFlagsAreRefused) {
  for (const char16_t *name : {u"", u".", u"..", u"a/b", u"a\\b", u"sp ace", u"\u00e9"}) {
    EXPECT_FALSE(DefineDosDeviceW(0, name, u"T"));
    EXPECT_EQ(query(name), u"");
  }
  std::u16string longName(LV_DOSDEVICE_NAME_MAX + 1, u'n');
  EXPECT_FALSE(DefineDosDeviceW(0, longName.c_str(), u"T"));
  std::u16string longTarget(LV_DOSDEVICE_TARGET_MAX + 1, u't');
  EXPECT_FALSE(DefineDosDeviceW(0, u"Name", longTarget.c_str()));
  EXPECT_FALSE(DefineDosDeviceW(0, u"Name", nullptr));
  EXPECT_FALSE(DefineDosDeviceW(DDD_REMOVE_DEFINITION, u"Name", u"T"));
  EXPECT_EQ(QueryDosDeviceW(nullptr, nullptr, 0), 0u);
  EXPECT_EQ(query(u"Name"), u"");
  // Nothing half-written stays behind.
  for (const auto &entry : fs::directory_iterator(dir_.path())) {
    if (entry.path().filename() == "dosdevices") {
      EXPECT_TRUE(fs::is_empty(entry.path()));
    }
  }
}

TEST_F(DosDevices, ARemovalTakesTheNameOnlyWhenItsTargetMatches) {
  const DWORD exact = DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE | DDD_RAW_TARGET_PATH;
  ASSERT_TRUE(DefineDosDeviceW(DDD_RAW_TARGET_PATH, u"Lumivox{7f000001:9005}", u"NoAudio"));
  EXPECT_FALSE(DefineDosDeviceW(exact, u"Lumivox{7f000001:9005}", u"NoAud"));
  EXPECT_FALSE(DefineDosDeviceW(exact, u"Lumivox{7f000001:9005}", u"Other"));
  EXPECT_FALSE(DefineDosDeviceW(DDD_EXACT_MATCH_ON_REMOVE, u"Lumivox{7f000001:9005}", u"NoAudio"))
      << "a removal flag without the removal defines nothing";
  EXPECT_EQ(query(u"Lumivox{7f000001:9005}"), std::u16string(u"NoAudio\0\0", 9));
  EXPECT_TRUE(DefineDosDeviceW(exact, u"LUMIVOX{7F000001:9005}", u"NoAudio"));
  EXPECT_EQ(query(u"Lumivox{7f000001:9005}"), u"");
  EXPECT_FALSE(DefineDosDeviceW(exact, u"Lumivox{7f000001:9005}", u"NoAudio")) << "gone already";
  // Without the exact match a prefix of the target, or none, is enough.
  ASSERT_TRUE(DefineDosDeviceW(0, u"Name", u"NoAudio"));
  EXPECT_TRUE(DefineDosDeviceW(DDD_REMOVE_DEFINITION, u"Name", u"NoAu"));
  ASSERT_TRUE(DefineDosDeviceW(0, u"Name", u"NoAudio"));
  EXPECT_TRUE(DefineDosDeviceW(DDD_REMOVE_DEFINITION, u"Name", nullptr));
  EXPECT_EQ(query(u"Name"), u"");
}

TEST_F(DosDevices, ForgedOrDamagedEntriesAnswerNothing) {
  ASSERT_TRUE(DefineDosDeviceW(0, u"Good", u"T"));
  std::string folder = dir_.path() + "/dosdevices/";
  std::ofstream(folder + "odd", std::ios::binary) << "abc";  // not whole characters
  std::ofstream(folder + "nul", std::ios::binary).write("a\0\0\0", 4);
  std::ofstream(folder + "huge", std::ios::binary) << std::string(2 * LV_DOSDEVICE_TARGET_MAX + 2, 'x');
  fs::create_directory(folder + "dir");
  fs::create_symlink(folder + "good", folder + "link");
  for (const char16_t *name : {u"odd", u"nul", u"huge", u"dir", u"link"}) {
    EXPECT_EQ(query(name), u"") << std::string(name, name + std::char_traits<char16_t>::length(name));
  }
  EXPECT_EQ(query(u"good").size(), 3u);
}

TEST_F(DosDevices, NamesNeedAUsableSessionDirectory) {
  chmod(dir_.path().c_str(), 0750);
  EXPECT_FALSE(DefineDosDeviceW(0, u"Name", u"T"));
  chmod(dir_.path().c_str(), 0700);
  ASSERT_TRUE(DefineDosDeviceW(0, u"Name", u"T"));
  chmod(dir_.path().c_str(), 0750);
  EXPECT_EQ(query(u"Name"), u"");
  chmod(dir_.path().c_str(), 0700);
}

}  // namespace
