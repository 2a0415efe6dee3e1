// Helpers of the archive library's tests: the library loaded through the program's loader,
// archives made by the Linux tools (built by make_fixtures.py before the tests run), and
// trees of files compared by name, content and time.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "archive_library.h"
#include "test_support.h"

namespace vessiko_test {

constexpr ArchiveKind ExtractBit = 0x80000000u;
constexpr ArchiveKind PackBit = 0x40000000u;
constexpr ArchiveKind FreshBit = 0x20000000u;

// Kinds as the program derives them: format i is extracted with ExtractBit | 1 << (i + 1)
// and packed with that shifted right by one.
inline ArchiveKind ExtractKind(int format) { return ExtractBit | (1u << (format + 1)); }
inline ArchiveKind PackKind(int format) { return ExtractKind(format) >> 1; }

struct WritableFormat {
  int index;
  const char* extension;
};
// Test names show the extension, not the bytes of the parameter.
inline void PrintTo(const WritableFormat& format, std::ostream* out) { *out << format.extension; }
const WritableFormat WritableFormats[] = {{0, "zip"},    {1, "7z"},      {2, "tar"},
                                          {3, "tar.gz"}, {4, "tar.bz2"}, {5, "tar.xz"}};

// 2020-01-02 03:04:06 UTC, the first time the fixture tree uses.
constexpr int64_t BaseTime = 1577934246;

inline std::string FixturePath(const std::string& name) {
  return test::WinePath(VESSIKO_FIXTURE_DIR) + "\\" + name;
}
inline std::string PackedDir() { return test::WinePath(VESSIKO_PACKED_DIR); }

// The library loaded and released around each test, as the program does at start and exit.
class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(1, LoadDLL()); }
  void TearDown() override { ReleaseDLL(); }
};

int64_t ModifiedTime(const std::string& path);  // Unix seconds, or -1
bool SetModifiedTime(const std::string& path, int64_t unixSeconds);
std::string ReadBytes(const std::string& path);
void MakeFile(const std::string& path, const std::string& bytes, int64_t unixSeconds);

// The sample tree the round trips pack, the same as the tools' fixture tree: nested
// folders, an empty folder, text and binary files, Japanese names, fixed times.
void BuildSampleTree(const std::string& root);

// Expects the same files and folders below both roots, with the same contents; file times
// (and folder times when asked) within the two seconds of a DOS time stamp.
void ExpectSameTree(const std::string& expectedRoot, const std::string& actualRoot,
                    bool compareFolderTimes);

}  // namespace vessiko_test
