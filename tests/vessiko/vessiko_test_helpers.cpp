#include "vessiko_test_helpers.h"

#include <algorithm>
#include <cstdlib>

namespace vessiko_test {

namespace {

constexpr int64_t EpochTicks = 116444736000000000LL;  // 1970-01-01 as a FILETIME
constexpr int64_t TicksPerSecond = 10000000LL;

std::string BinaryContent() {
  std::string bytes;
  for (int round = 0; round < 64; ++round) {
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
  }
  // Incompressible tail, so that compressed sizes differ from stored ones.
  uint32_t state = 12345;
  for (int i = 0; i < 100000; ++i) {
    state = state * 1103515245u + 12345u;
    bytes += static_cast<char>(state >> 24);
  }
  return bytes;
}

}  // namespace

int64_t ModifiedTime(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return -1;
  ULARGE_INTEGER ticks;
  ticks.LowPart = data.ftLastWriteTime.dwLowDateTime;
  ticks.HighPart = data.ftLastWriteTime.dwHighDateTime;
  return (static_cast<int64_t>(ticks.QuadPart) - EpochTicks) / TicksPerSecond;
}

bool SetModifiedTime(const std::string& path, int64_t unixSeconds) {
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<ULONGLONG>(unixSeconds * TicksPerSecond + EpochTicks);
  FILETIME time = {ticks.LowPart, ticks.HighPart};
  HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  BOOL ok = SetFileTime(h, nullptr, nullptr, &time);
  CloseHandle(h);
  return ok != 0;
}

std::string ReadBytes(const std::string& path) {
  std::string bytes;
  EXPECT_TRUE(test::ReadFileBytes(path, &bytes)) << path;
  return bytes;
}

void MakeFile(const std::string& path, const std::string& bytes, int64_t unixSeconds) {
  ASSERT_TRUE(test::WriteFileBytes(path, bytes)) << path;
  ASSERT_TRUE(SetModifiedTime(path, unixSeconds)) << path;
}

void BuildSampleTree(const std::string& root) {
  const char* folders[] = {"", "\\empty folder", "\\nested", "\\nested\\deeper",
                           "\\nested\\deeper\\deepest", "\\日本語フォルダ"};
  for (const char* folder : folders) {
    ASSERT_TRUE(CreateDirectoryA((root + folder).c_str(), nullptr)) << root + folder;
  }
  struct {
    const char* name;
    std::string bytes;
  } files[] = {
      {"readme.txt", "Tembrook archive test\r\nsecond line\r\n"},
      {"binary.bin", BinaryContent()},
      {"nested\\zero.dat", ""},
      {"nested\\deeper\\deepest\\leaf.txt", "leaf\n"},
      {"日本語フォルダ\\テスト.txt", "日本語の本文\r\n"},
      // "ソ" and "表" end in byte 0x5C in CP932, the byte of a backslash.
      {"日本語フォルダ\\ソフト表示.txt", "dame-moji\n"},
  };
  int64_t stamp = BaseTime;
  for (const auto& file : files) {
    MakeFile(root + "\\" + file.name, file.bytes, stamp);
    stamp += 2;
  }
  // Folders last, deepest first: writing into a folder changes its time.
  for (int i = static_cast<int>(sizeof folders / sizeof folders[0]) - 1; i > 0; --i) {
    ASSERT_TRUE(SetModifiedTime(root + folders[i], BaseTime + 1000 + 2 * i));
  }
}

void ExpectSameTree(const std::string& expectedRoot, const std::string& actualRoot,
                    bool compareFolderTimes) {
  std::vector<std::string> expected = test::ListTree(expectedRoot);
  std::vector<std::string> actual = test::ListTree(actualRoot);
  ASSERT_EQ(expected, actual) << "trees differ: " << expectedRoot << " and " << actualRoot;
  for (const std::string& name : expected) {
    std::string want = expectedRoot + "\\" + name;
    std::string got = actualRoot + "\\" + name;
    bool folder = name.back() == '\\';
    if (!folder) {
      EXPECT_TRUE(ReadBytes(want) == ReadBytes(got)) << "content differs: " << name;
    }
    if (!folder || compareFolderTimes) {
      int64_t wantTime = ModifiedTime(want);
      int64_t gotTime = ModifiedTime(got);
      EXPECT_LE(std::llabs(wantTime - gotTime), 2) << "time differs: " << name;
    }
  }
}

}  // namespace vessiko_test
