#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "bounded_text.h"
#include "file_handle.h"
#include "profile_file.h"
#include "test_support.h"

namespace {

// Keeps the current directory as it was.
struct CurrentDirectoryGuard {
  char saved[MAX_PATH] = {};
  CurrentDirectoryGuard() { GetCurrentDirectoryA(sizeof saved, saved); }
  ~CurrentDirectoryGuard() { SetCurrentDirectoryA(saved); }
};

// Holds a file open with no sharing, as another program would.
struct ExclusiveOpen {
  HANDLE handle;
  explicit ExclusiveOpen(const std::string& path)
      : handle(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~ExclusiveOpen() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

}  // namespace

TEST(ProfileFile, ReadStringTellsMissingKeysByTheNotFoundText) {
  test::TempFolder dir;
  std::string ini = dir / "s.ini";
  ProfileFile profile;
  char buffer[64];

  strcpy(buffer, "untouched");
  EXPECT_EQ(0, profile.ReadString("S", "K", buffer, sizeof buffer)) << "before SetPath";
  EXPECT_STREQ("untouched", buffer);
  EXPECT_EQ(0u, profile.ReadInt("S", "K"));
  EXPECT_EQ(0, profile.WriteString("S", "K", "v"));

  profile.SetPath(ini.c_str(), GivenPath);
  ASSERT_EQ(1, profile.ready);
  EXPECT_EQ(0, profile.ReadString("S", "K", buffer, sizeof buffer)) << "missing file";
  EXPECT_STREQ("NotFound", buffer);

  ASSERT_TRUE(test::WriteFileBytes(ini, "[S]\r\nexact=NotFound\r\nlower=notfound\r\nempty=\r\n"));
  EXPECT_EQ(0, profile.ReadString("S", "exact", buffer, sizeof buffer));
  EXPECT_EQ(1, profile.ReadString("s", "LOWER", buffer, sizeof buffer)) << "names ignore case";
  EXPECT_STREQ("notfound", buffer);
  EXPECT_EQ(1, profile.ReadString("S", "empty", buffer, sizeof buffer));
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(0, profile.ReadString("S", "missing", buffer, sizeof buffer));
  EXPECT_EQ(0, profile.ReadString("Other", "exact", buffer, sizeof buffer));
}

TEST(ProfileFile, WritesAndReadsTextAndNumbersInPlace) {
  test::TempFolder dir;
  std::string ini = dir / "s.ini";
  ProfileFile profile;
  profile.SetPath(ini.c_str(), GivenPath);
  EXPECT_NE(0, profile.WriteString("D:", "FILEPATH", "C:\\アーカイブ\\a.zip"));
  EXPECT_NE(0, profile.WriteInt("D:", "FLAG", 257));
  EXPECT_NE(0, profile.WriteInt("D:", "UPTIME", -5));
  EXPECT_NE(0, profile.WriteInt("D:", "FLAG", 3));

  char buffer[256];
  EXPECT_EQ(1, profile.ReadString("D:", "FILEPATH", buffer, sizeof buffer));
  EXPECT_STREQ("C:\\アーカイブ\\a.zip", buffer);
  EXPECT_EQ(3u, profile.ReadInt("D:", "FLAG"));
  EXPECT_EQ(0u, profile.ReadInt("D:", "missing"));

  std::string text;
  ASSERT_TRUE(test::ReadFileBytes(ini, &text));
  EXPECT_NE(std::string::npos, text.find("UPTIME=-5"));
  EXPECT_EQ(std::string::npos, text.find("FLAG=257")) << "a value is replaced in place";
}

TEST(ProfileFile, SetPathComposesTheNameWithItsBase) {
  ProfileFile profile;
  profile.SetPath("Tembrook.ini", 7);
  EXPECT_EQ(0, profile.ready) << "an unknown base changes nothing";

  char windows[MAX_PATH];
  GetWindowsDirectoryA(windows, sizeof windows);
  profile.SetPath("Tembrook.ini", WindowsDirectory);
  EXPECT_EQ(1, profile.ready);
  EXPECT_EQ(std::string(windows) + "\\Tembrook.ini", profile.path);

  char system[MAX_PATH];
  GetSystemDirectoryA(system, sizeof system);
  profile.SetPath("x.ini", SystemDirectory);
  EXPECT_EQ(std::string(system) + "\\x.ini", profile.path);

  char module[MAX_PATH];
  GetModuleFileNameA(nullptr, module, sizeof module);
  *strrchr(module, '\\') = '\0';
  profile.SetPath("Tembrook.ini", ExecutableDirectory);
  EXPECT_EQ(std::string(module) + "\\Tembrook.ini", profile.path);

  profile.SetPath("relative\\name.ini", GivenPath);
  EXPECT_STREQ("relative\\name.ini", profile.path);

  // A composed path that would not fit is refused, and the previous file stays chosen.
  std::string longName(250, 'n');
  profile.SetPath(longName.c_str(), ExecutableDirectory);
  EXPECT_STREQ("relative\\name.ini", profile.path);
}

TEST(FileLayer, FileExistsOnlyForFilesThatCanBeOpenedExclusively) {
  test::TempFolder dir;
  std::string file = dir / "a.txt";
  EXPECT_EQ(0, FileExists(file.c_str()));
  ASSERT_TRUE(test::WriteFileBytes(file, "x"));
  EXPECT_EQ(1, FileExists(file.c_str()));
  EXPECT_EQ(0, FileExists(dir.Path().c_str())) << "a folder";
  ExclusiveOpen held(file);
  ASSERT_NE(INVALID_HANDLE_VALUE, held.handle);
  EXPECT_EQ(0, FileExists(file.c_str())) << "held open elsewhere";
  FileHandle handle;
  EXPECT_EQ(0, handle.Open(file.c_str(), GENERIC_READ));
  EXPECT_EQ(nullptr, handle.handle);
}

TEST(FileLayer, OpenChoosesItsDispositionByAccess) {
  test::TempFolder dir;
  std::string file = dir / "a.bin";
  ASSERT_TRUE(test::WriteFileBytes(file, "content"));
  std::string bytes;

  {
    FileHandle both;
    ASSERT_EQ(1, both.Open(file.c_str(), GENERIC_READ | GENERIC_WRITE));
    FileHandle second;
    EXPECT_EQ(0, second.Open(file.c_str(), GENERIC_READ)) << "no sharing while held";
    HANDLE first = both.handle;
    EXPECT_EQ(0, both.Open((dir / "other.bin").c_str(), GENERIC_WRITE)) << "busy wrapper";
    EXPECT_EQ(first, both.handle);
  }
  ASSERT_TRUE(test::ReadFileBytes(file, &bytes));
  EXPECT_EQ("content", bytes) << "read and write access does not empty the file";

  {
    FileHandle writer;
    ASSERT_EQ(1, writer.Open(file.c_str(), GENERIC_WRITE));
    EXPECT_EQ(1, writer.Close());
    EXPECT_EQ(0, writer.Close()) << "nothing held any more";
  }
  ASSERT_TRUE(test::ReadFileBytes(file, &bytes));
  EXPECT_EQ("", bytes) << "write access empties an existing file";

  FileHandle created;
  EXPECT_EQ(1, created.Open((dir / "new\\deeper\\c.bin").c_str(), GENERIC_WRITE));
  created.Close();
  EXPECT_TRUE(test::PathExists(dir / "new\\deeper\\c.bin"));

  FileHandle reader;
  EXPECT_EQ(0, reader.Open((dir / "sub\\x.bin").c_str(), GENERIC_READ));
  EXPECT_TRUE(test::IsDirectory(dir / "sub")) << "parent folders are made for every access";
  EXPECT_EQ(0, reader.Open(file.c_str(), GENERIC_EXECUTE));
  EXPECT_EQ(nullptr, reader.handle);
}

TEST(FileLayer, CreateDirectoryPathRefusesRootRelativeAndTrailingNames) {
  test::TempFolder dir;
  CurrentDirectoryGuard guard;
  ASSERT_TRUE(SetCurrentDirectoryA(dir.Path().c_str()));

  EXPECT_EQ(0, CreateDirectoryPath(""));
  EXPECT_EQ(0, CreateDirectoryPath("trail\\dir\\"));
  EXPECT_EQ(0, CreateDirectoryPath("\\lead\\dir"));
  EXPECT_FALSE(test::PathExists(dir / "trail"));

  std::string nested = dir / "a\\b\\c";
  EXPECT_EQ(1, CreateDirectoryPath(nested.c_str()));
  EXPECT_TRUE(test::IsDirectory(nested));
  EXPECT_EQ(1, CreateDirectoryPath(nested.c_str())) << "existing folders are fine";

  EXPECT_EQ(1, CreateDirectoryPath("rel\\sub"));
  EXPECT_TRUE(test::IsDirectory(dir / "rel\\sub"));

  std::string doubled = dir / "x\\\\y";
  EXPECT_EQ(1, CreateDirectoryPath(doubled.c_str()));
  EXPECT_TRUE(test::IsDirectory(dir / "x\\y"));

  std::string tooLong(300, 'z');
  EXPECT_EQ(0, CreateDirectoryPath(tooLong.c_str()));
}

TEST(FileLayer, ExecutableDirectoryInAFolderAndInADriveRoot) {
  test::TempFolder dir;
  std::string probe = test::BinDir() + "\\exe_dir_probe.exe";
  ASSERT_TRUE(CreateDirectoryA((dir / "dir").c_str(), nullptr));
  ASSERT_TRUE(CopyFileA(probe.c_str(), (dir / "probe.exe").c_str(), FALSE));
  ASSERT_TRUE(CopyFileA(probe.c_str(), (dir / "dir\\probe.exe").c_str(), FALSE));
  test::MappedLetter q('Q', dir.Path());
  ASSERT_TRUE(q.Ok());

  struct Case {
    const char* exe;
    const char* current;
    const char* settings;
  } cases[] = {
      {"Q:\\probe.exe", "Q:\\", "Q:\\Tembrook.ini"},
      {"Q:\\dir\\probe.exe", "Q:\\dir", "Q:\\dir\\Tembrook.ini"},
  };
  for (const Case& c : cases) {
    std::string report = dir / "report.txt";
    DeleteFileA(report.c_str());
    ASSERT_EQ(0, test::RunProcess(std::string(c.exe) + " \"" + report + "\"")) << c.exe;
    std::string text;
    ASSERT_TRUE(test::ReadFileBytes(report, &text));
    EXPECT_EQ(std::string(c.current) + "\n" + c.settings + "\n", text) << c.exe;
  }
}

TEST(BoundedText, RefusesWhatDoesNotFitInsteadOfCuttingIt) {
  char buffer[8];
  EXPECT_EQ(1, FormatBounded(buffer, sizeof buffer, "%s\\%c", "abcde", 'F'));
  EXPECT_STREQ("abcde\\F", buffer);
  EXPECT_EQ(0, FormatBounded(buffer, sizeof buffer, "%s\\%c", "abcdef", 'G'));
  EXPECT_STREQ("", buffer);
  EXPECT_EQ(1, CopyBounded(buffer, sizeof buffer, "1234567"));
  EXPECT_EQ(0, CopyBounded(buffer, sizeof buffer, "12345678"));
  EXPECT_STREQ("", buffer);
}
