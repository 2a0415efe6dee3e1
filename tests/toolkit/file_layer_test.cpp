// The file layer and the bounded texts.
#include <gtest/gtest.h>

#include "bounded_text.h"
#include "file_handle.h"
#include "format_text.h"
#include "test_support.h"

TEST(FileLayer, CanOpenExclusivelyOnlyAFileNoOtherProgramHolds) {
  test::TempFolder dir;
  std::string file = dir / "a.txt";
  EXPECT_EQ(0, CanOpenExclusively(file.c_str()));
  ASSERT_TRUE(test::WriteFileBytes(file, "x"));
  EXPECT_EQ(1, CanOpenExclusively(file.c_str()));
  EXPECT_EQ(0, CanOpenExclusively(dir.Path().c_str())) << "a folder";
  // Held open by another program, which lets others read it.
  HANDLE held = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  EXPECT_EQ(0, CanOpenExclusively(file.c_str()));
  CloseHandle(held);
}

TEST(FileLayer, OnlyWriteAccessEmptiesAnExistingFile) {
  test::TempFolder dir;
  std::string file = dir / "new\\deeper\\a.bin", bytes;
  for (auto [access, left] : {std::pair(GENERIC_READ | GENERIC_WRITE, "content"),
                              std::pair(DWORD(GENERIC_READ), "content"),
                              std::pair(DWORD(GENERIC_WRITE), "")}) {
    FileHandle handle;
    ASSERT_EQ(1, handle.Open(file.c_str(), GENERIC_WRITE)) << "folders made on the way";
    handle.Close();
    ASSERT_TRUE(test::WriteFileBytes(file, "content"));
    EXPECT_EQ(1, handle.Open(file.c_str(), access));
    EXPECT_EQ(1, handle.Close());
    EXPECT_TRUE(test::ReadFileBytes(file, &bytes) && bytes == left) << access;
  }
}

TEST(FileLayer, CreateDirectoryPathRefusesEmptyRootRelativeAndTrailingNames) {
  test::TempFolder dir;
  for (const char* refused : {"", "\\lead\\dir", "trail\\dir\\"}) {
    EXPECT_EQ(0, CreateDirectoryPath(refused)) << refused;
  }
  EXPECT_EQ(1, CreateDirectoryPath((dir / "a\\b").c_str()));
  EXPECT_TRUE(test::IsDirectory(dir / "a\\b"));
}

// In a drive's root the folder keeps its backslash ("Q:" alone would name Q:'s current
// directory); the second byte of 表 is a backslash's in the code page.
TEST(FileLayer, ExecutableFolderInADriveRootAndWithDoubleByteNames) {
  test::TempFolder dir;
  std::string probe = test::BinDir() + "\\exe_dir_probe.exe", report = dir / "report.txt";
  ASSERT_TRUE(CreateDirectoryA((dir / "表示").c_str(), nullptr));
  ASSERT_TRUE(CopyFileA(probe.c_str(), (dir / "probe.exe").c_str(), FALSE));
  ASSERT_TRUE(CopyFileA(probe.c_str(), (dir / "表示\\表.exe").c_str(), FALSE));
  test::MappedLetter q('Q', dir.Path());
  ASSERT_TRUE(q.Ok());
  for (auto [exe, expected] : {std::pair("Q:\\probe.exe", "Q:\\\nQ:\\Tembrook.ini\n"),
                               std::pair("Q:\\表示\\表.exe", "Q:\\表示\nQ:\\表示\\Tembrook.ini\n")}) {
    std::string text;
    ASSERT_EQ(0, test::RunProcess(std::string(exe) + " \"" + report + "\"")) << exe;
    EXPECT_TRUE(test::ReadFileBytes(report, &text) && text == expected) << text;
  }
}

TEST(BoundedText, RefusesWhatDoesNotFitInsteadOfCuttingIt) {
  char buffer[8];
  EXPECT_EQ(1, FormatBounded(buffer, sizeof buffer, "%s\\%c", "abcde", 'F'));
  EXPECT_EQ(0, FormatBounded(buffer, sizeof buffer, "%s\\%c", "abcdef", 'G'));
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(0, CopyBounded(buffer, sizeof buffer, "12345678"));
}

TEST(FormatText, CutAtTheBufferEndNeverSplitsADoubleByteCharacter) {
  std::string wide;
  for (int i = 0; i < 600; ++i) wide += "あ";
  // 511 characters fit; the 512th would need byte 1023, the terminator's place.
  EXPECT_EQ(wide.substr(0, 1022), FormatText("%s", wide.c_str()));
  EXPECT_EQ("a" + wide.substr(0, 1022), FormatText("a%s", wide.c_str()));
}
