#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>

#include "drive_table.h"
#include "test_support.h"

namespace {

constexpr uint8_t Index(char letter) { return static_cast<uint8_t>(letter - 'A'); }

// Runs the test in a folder of its own, as the program runs in its executable's folder:
// the batch files are resolved there. Stand-in batch files log each start.
class DriveTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GetCurrentDirectoryA(sizeof savedDirectory_, savedDirectory_);
    savedWait_ = letterWaitLimitMs;
    ASSERT_TRUE(SetCurrentDirectoryA(work_.Path().c_str()));
  }
  void TearDown() override {
    letterWaitLimitMs = savedWait_;
    SetCurrentDirectoryA(savedDirectory_);
  }

  // Batch files that only append their arguments to a log.
  void UseLoggingBatchFiles() {
    ASSERT_TRUE(test::WriteFileBytes(work_ / "CDRV.BAT", "@echo CDRV %1 %2>>\"%~dp0log.txt\"\r\n"));
    ASSERT_TRUE(test::WriteFileBytes(work_ / "DDRV.BAT", "@echo DDRV %1>>\"%~dp0log.txt\"\r\n"));
  }
  // The shipped batch files and the helper they call.
  void UseRealBatchFiles() {
    for (const char* name : {"CDRV.BAT", "DDRV.BAT", "mapdrive.exe"}) {
      ASSERT_TRUE(CopyFileA((test::BinDir() + "\\" + name).c_str(), (work_ / name).c_str(), FALSE));
    }
  }
  // The log, after giving a started batch file time to write it.
  std::string Log(DWORD waitMs = 1500) {
    std::string text;
    DWORD start = GetTickCount();
    while (!test::ReadFileBytes(work_ / "log.txt", &text) && GetTickCount() - start < waitMs) {
      Sleep(20);
    }
    return text;
  }

  test::TempFolder work_{"drives"};
  test::TempFolder root_{"root"};
  char savedDirectory_[MAX_PATH] = {};
  DWORD savedWait_ = 0;
};

}  // namespace

TEST_F(DriveTableTest, ClassifiesPresentLettersAndKeepsVirtualOnes) {
  DriveTable table;
  EXPECT_EQ(DriveKind::Fixed, table.kinds[Index('C')]);
  EXPECT_EQ(DriveKind::Free, table.kinds[Index('M')]);
  EXPECT_STREQ("仮想ドライブ", DriveKindNames[static_cast<int>(DriveKind::Virtual)]);
  EXPECT_STREQ("未使用", DriveKindNames[static_cast<int>(DriveKind::Free)]);

  // A virtual letter whose mapping has gone from the system stays virtual.
  table.kinds[Index('N')] = DriveKind::Virtual;
  table.RefreshDriveKinds();
  EXPECT_EQ(DriveKind::Virtual, table.kinds[Index('N')]);
  table.kinds[Index('N')] = DriveKind::Free;

  // A letter mapped behind the table's back shows up at the next refresh.
  {
    test::MappedLetter m('M', root_.Path());
    ASSERT_TRUE(m.Ok());
    EXPECT_EQ(DriveKind::Free, table.kinds[Index('M')]);
    table.RefreshDriveKinds();
    EXPECT_NE(DriveKind::Free, table.kinds[Index('M')]);
    EXPECT_NE(DriveKind::Virtual, table.kinds[Index('M')]);
  }
  table.RefreshDriveKinds();
  EXPECT_EQ(DriveKind::Free, table.kinds[Index('M')]);
}

TEST_F(DriveTableTest, CreateAndRemoveMapTheDriveFolderThroughTheBatchFiles) {
  UseRealBatchFiles();
  DriveTable table;
  uint8_t m = Index('M');
  ASSERT_EQ(1, table.CreateVirtualDrive(m, root_.Path().c_str()));
  EXPECT_EQ(DriveKind::Virtual, table.kinds[m]);
  EXPECT_TRUE(test::LetterPresent(m));
  std::string folder = root_ / "Drive\\M";
  EXPECT_TRUE(test::IsDirectory(folder));

  // The letter shows the drive folder.
  ASSERT_TRUE(test::WriteFileBytes("M:\\seen.txt", "through the letter"));
  std::string bytes;
  EXPECT_TRUE(test::ReadFileBytes(folder + "\\seen.txt", &bytes));
  EXPECT_EQ("through the letter", bytes);

  EXPECT_EQ(0, table.CreateVirtualDrive(m, root_.Path().c_str())) << "already virtual";
  ASSERT_EQ(1, table.RemoveVirtualDrive(m));
  EXPECT_EQ(DriveKind::Free, table.kinds[m]);
  EXPECT_TRUE(test::WaitForLetter(m, false, 3000));
  EXPECT_TRUE(test::PathExists(folder + "\\seen.txt")) << "removing a letter keeps its folder";
}

TEST_F(DriveTableTest, RefusesWithoutStartingABatchFile) {
  UseLoggingBatchFiles();
  DriveTable table;
  for (uint8_t bad : {uint8_t{26}, uint8_t{200}, uint8_t{255}}) {
    EXPECT_EQ(0, table.CreateVirtualDrive(bad, root_.Path().c_str()));
    EXPECT_EQ(0, table.RemoveVirtualDrive(bad));
  }
  EXPECT_EQ(0, table.RemoveVirtualDrive(Index('N'))) << "not virtual";
  EXPECT_EQ(0, table.CreateVirtualDrive(Index('C'), root_.Path().c_str())) << "a fixed disk";

  // Roots that cannot make a usable drive folder path.
  std::string tooLong = "C:\\" + std::string(244, 'r');
  for (const char* root : {"", "relative\\root", "\\\\server\\share", tooLong.c_str()}) {
    EXPECT_EQ(0, table.CreateVirtualDrive(Index('N'), root)) << root;
    EXPECT_EQ(DriveKind::Free, table.kinds[Index('N')]);
  }

  // A letter that became present since the last refresh.
  {
    test::MappedLetter o('O', root_.Path());
    ASSERT_TRUE(o.Ok());
    EXPECT_EQ(DriveKind::Free, table.kinds[Index('O')]);
    EXPECT_EQ(0, table.CreateVirtualDrive(Index('O'), root_.Path().c_str()));
    EXPECT_EQ(DriveKind::Free, table.kinds[Index('O')]);
  }
  EXPECT_EQ("", Log(300));
}

TEST_F(DriveTableTest, ALetterThatNeverAppearsIsGivenUpAndUndone) {
  UseLoggingBatchFiles();  // CDRV.BAT maps nothing
  letterWaitLimitMs = 400;
  DriveTable table;
  uint8_t n = Index('N');
  DWORD start = GetTickCount();
  EXPECT_EQ(0, table.CreateVirtualDrive(n, root_.Path().c_str()));
  EXPECT_GE(GetTickCount() - start, 400u);
  EXPECT_EQ(DriveKind::Free, table.kinds[n]);
  std::string log = Log();
  EXPECT_NE(std::string::npos, log.find("CDRV N: \"" + root_.Path() + "\\Drive\\N\"")) << log;
  DWORD waited = GetTickCount();
  while (Log().find("DDRV N:") == std::string::npos && GetTickCount() - waited < 3000) Sleep(20);
  EXPECT_NE(std::string::npos, Log().find("DDRV N:")) << "a late mapping is undone";
}

TEST_F(DriveTableTest, TeardownUnmapsWhatThisProcessMapped) {
  UseRealBatchFiles();
  {
    DriveTable table;
    strcpy(table.TempRoot, root_.Path().c_str());
    ASSERT_EQ(1, table.CreateVirtualDrive(Index('P'), root_.Path().c_str()));
    ASSERT_TRUE(test::LetterPresent(Index('P')));
  }
  EXPECT_TRUE(test::WaitForLetter(Index('P'), false, 3000));
  test::ForceUnmap('P');
}
