// Drive letters and the batch files (the other engine tests map and unmap real letters).
#include "engine_fixture.h"

namespace {

constexpr uint8_t C = 'C' - 'A';
class DriveLetterTest : public EngineTest {};

// Batch files that only log their starts, each to a file of its own: they may run at once.
TEST_F(DriveLetterTest, RefusalsStartNoBatchFileAndALetterThatNeverAppearsIsUndone) {
  TempFolder work("drives");
  ASSERT_TRUE(SetCurrentDirectoryA(work.Path().c_str()));
  ASSERT_TRUE(WriteFileBytes(work / "CDRV.BAT", "@echo CDRV %1 %2>\"%~dp0cdrv.txt\"\r\n"));
  ASSERT_TRUE(WriteFileBytes(work / "DDRV.BAT", "@echo DDRV %1>\"%~dp0ddrv.txt\"\r\n"));
  auto log = [&] { return FileText(work / "cdrv.txt") + FileText(work / "ddrv.txt"); };
  DriveTable table;
  EXPECT_EQ(DriveKind::Fixed, table.kinds[C]);
  table.kinds[R] = DriveKind::Virtual;
  table.RefreshDriveKinds();
  EXPECT_EQ(DriveKind::Virtual, table.kinds[R]);
  table.kinds[R] = DriveKind::Free;

  const std::string tooLong = "C:\\" + std::string(244, 'r');  // one past the longest root
  const char* root = root_.Path().c_str();
  const struct { uint8_t letter; const char* root; } creates[] = {
      {26, root}, {255, root}, {C, root}, {S, ""}, {S, "relative\\root"},
      {S, "\\\\server\\share"}, {S, tooLong.c_str()}};
  for (const auto& create : creates) {
    EXPECT_EQ(0, table.CreateVirtualDrive(create.letter, create.root)) << create.root;
  }
  // The kind recorded at the last refresh may be stale: the letter is asked again.
  table.kinds[C] = DriveKind::Free;
  EXPECT_EQ(0, table.CreateVirtualDrive(C, root));
  for (uint8_t letter : {S, uint8_t{26}}) EXPECT_EQ(0, table.RemoveVirtualDrive(letter));
  Sleep(300);
  EXPECT_EQ("<missing><missing>", log());

  // CDRV.BAT maps nothing: given up after the wait, and a mapping arriving late is undone.
  DWORD limit = letterWaitLimitMs;
  letterWaitLimitMs = 300;
  EXPECT_EQ(0, table.CreateVirtualDrive(S, root));
  letterWaitLimitMs = limit;
  for (DWORD start = GetTickCount(); GetTickCount() - start < 3000; Sleep(20)) {
    if (log().find("CDRV") != std::string::npos && log().find("DDRV") != std::string::npos) break;
  }
  EXPECT_NE(std::string::npos, log().find("CDRV S: \"" + Folder(S) + "\"")) << log();
  EXPECT_NE(std::string::npos, log().find("DDRV S:")) << log();
}

}  // namespace
