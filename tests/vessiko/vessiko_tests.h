// The library through the program's loader, and tests/data/vessiko: real tools' archives.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "archives.h"

using namespace test;

// The packing kind of a format, as the engine derives it from the extraction kind.
constexpr ArchiveKind PackKind(int format) { return PackingKind(ExtractionKind(format)); }

inline std::string Fixture(const std::string& name) { return DataDir() + "\\vessiko\\" + name; }
inline std::string Slash(const std::string& folder) { return folder + "\\"; }

inline int64_t ModifiedTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  uint64_t ticks = (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) |
                   data.ftLastWriteTime.dwLowDateTime;
  return static_cast<int64_t>(ticks / 10000000 - 11644473600ull);
}
// The same files and folders, contents, and times within the 2 s of a DOS time.
inline void ExpectSameTree(const std::string& expected, const std::string& actual) {
  ASSERT_EQ(ListTree(expected), ListTree(actual)) << actual;
  EXPECT_TRUE(ReadTree(expected) == ReadTree(actual)) << actual;
  for (const std::string& name : ListTree(expected)) {
    EXPECT_NEAR(ModifiedTime(expected + "\\" + name), ModifiedTime(actual + "\\" + name), 2)
        << actual << "\\" << name;
  }
}

// A file opened without sharing, as an editor may hold its document; none for an empty path.
struct Held {
  HANDLE h;
  explicit Held(const std::string& path)
      : h(path.empty() ? INVALID_HANDLE_VALUE
                       : CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                                     nullptr)) {}
  ~Held() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

class LibraryTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(1, LoadDLL()); }
  static std::string ExtractInto(const std::string& archive, const std::string& folder) {
    EXPECT_EQ(1, Pac(archive.c_str(), Slash(folder).c_str(), Check(archive.c_str()))) << archive;
    return folder;
  }
  // The tree every tool archive holds (6 files, 5 folders), from the GNU tar (exact times).
  static std::string SampleTree(const std::string& folder) {
    EXPECT_EQ(11u, ListTree(ExtractInto(Fixture("gnutar.tar"), folder)).size());
    EXPECT_EQ("日本語の本文\r\n", FileText(folder + "\\日本語フォルダ\\テスト.txt"));
    EXPECT_EQ(1577934246 + 2 * 5, ModifiedTime(folder + "\\日本語フォルダ\\ソフト表示.txt"));
    return folder;
  }
  TempFolder temp_{"lib"};
};
