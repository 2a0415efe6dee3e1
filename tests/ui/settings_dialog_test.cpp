// The settings dialog on its real resource, run as the tray menu runs it. Real letters: M: and
// N: only, always unmapped again.
#include "settings_dialog.h"

#include <gtest/gtest.h>

#include <cstring>

#include "application.h"
#include "file_handle.h"
#include "resource_ids.h"
#include "test_support.h"

namespace {

constexpr uint8_t M = 'M' - 'A', N = 'N' - 'A';

void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

// Selects one row of the drive list, and only that one, and gives a row command.
void RowCommand(HWND dialog, int row, int command) {
  LVITEMA item = {};
  item.stateMask = LVIS_SELECTED;
  SendMessageA(GetDlgItem(dialog, IDC_SETTINGS_DRIVE_LIST), LVM_SETITEMSTATE, -1, LPARAM(&item));
  item.state = LVIS_SELECTED;
  SendMessageA(GetDlgItem(dialog, IDC_SETTINGS_DRIVE_LIST), LVM_SETITEMSTATE, row, LPARAM(&item));
  Click(dialog, command);
}

class SettingsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application.instanceHandle = GetModuleHandleA(nullptr);
    TearDown();
    strcpy(driveTable.TempRoot, root.Path().c_str());
  }
  void TearDown() override { test::ForceUnmap('M'), test::ForceUnmap('N'); }

  // A letter the table believes it mapped, without a mapping.
  void Virtual(uint8_t letter, SlotFlags flags, const std::string& archive = "") {
    driveTable.kinds[letter] = DriveKind::Virtual;
    driveTable.slots[letter].flags = flags;
    strcpy(driveTable.slots[letter].archivePath, archive.c_str());
  }
  std::string Folder(uint8_t letter) { return root.Path() + "\\Drive\\" + char('A' + letter); }

  // Runs the dialog modally; act runs once on it and ends it.
  int RunDialog(std::function<void(HWND)> act) {
    script.Then(test::Captioned("設定"), std::move(act));
    return settingsDialogRunner.Run(application.instanceHandle, IDD_SETTINGS, nullptr,
                                    SettingsDialogProc, 0);
  }

  test::TempFolder root{"settings"};
  test::ModalScript script;
};

TEST_F(SettingsDialogTest, OkCreatesAndRemovesRealLettersAndPacksTheRemovedDrivesChanges) {
  for (int end : {IDC_SETTINGS_CANCEL, IDC_SETTINGS_OK}) {
    EXPECT_EQ(end == IDC_SETTINGS_OK, RunDialog([&](HWND dialog) {
      RowCommand(dialog, M, IDC_SETTINGS_CREATE);
      RowCommand(dialog, N, IDC_SETTINGS_CREATE);
      Click(dialog, end);
    }));
    ASSERT_EQ(end == IDC_SETTINGS_OK, test::WaitForLetter(M, true, 500) && test::LetterPresent(N));
  }

  test::TempFolder source("source"), unpacked("unpacked");
  std::string archive = root / "m.zip";
  ASSERT_TRUE(test::WriteFileBytes(source / "old.txt", "old") && LoadDLL() &&
              Pac(archive.c_str(), (source.Path() + "\\").c_str(), PackingKind(ExtractionKind(FormatZip))));
  ASSERT_EQ(1, driveTable.BindArchive(M, archive.c_str(), 1));
  driveTable.slots[M].flags |= ReflectToArchive;
  ASSERT_TRUE(test::WriteFileBytes("M:\\new.txt", "new"));
  RunDialog([](HWND dialog) {
    RowCommand(dialog, M, IDC_SETTINGS_REMOVE);
    RowCommand(dialog, N, IDC_SETTINGS_REMOVE);
    Click(dialog, IDC_SETTINGS_OK);
  });
  EXPECT_TRUE(script.boxes.empty());
  EXPECT_TRUE(test::WaitForLetter(M, false, 3000) && test::WaitForLetter(N, false, 3000));
  ASSERT_TRUE(Pac(archive.c_str(), (unpacked.Path() + "\\").c_str(), Check(archive.c_str())));
  EXPECT_EQ((std::vector<std::string>{"new.txt", "old.txt"}), test::ListTree(unpacked.Path()));
}

// The archive of M: is gone: its changes have nowhere to go but its folder, which keeps its
// letter. The pass stops there (N: keeps its interval); the folder box is taken all the same.
TEST_F(SettingsDialogTest, FailedWriteBackBeforeRemovalKeepsTheDriveAndStopsThePass) {
  test::TempFolder chosen("chosen");
  Virtual(M, ReflectToArchive, root / "missing.zip");
  driveTable.slots[M].archiveKind = ExtractionKind(FormatZip);
  driveTable.slots[N].intervalMinutes = 2;
  CreateDirectoryPath(Folder(M).c_str());
  ASSERT_TRUE(test::WriteFileBytes(Folder(M) + "\\a.txt", "changed"));
  EXPECT_EQ(1, RunDialog([&](HWND dialog) {
    RowCommand(dialog, M, IDC_SETTINGS_REMOVE);
    settingsDraft.slots[N].intervalMinutes = 9;
    SetDlgItemTextA(dialog, IDC_SETTINGS_FOLDER, chosen.Path().c_str());
    Click(dialog, IDC_SETTINGS_OK);
  }));
  ASSERT_EQ(1u, script.boxes.size());
  EXPECT_EQ("仮想ドライブM:の内容を圧縮ファイルに書き戻せませんでした。\n仮想ドライブは破棄していません。",
            script.boxes[0].text);
  EXPECT_EQ(DriveKind::Virtual, driveTable.kinds[M]);
  EXPECT_EQ(ReflectToArchive | WriteBackPending, driveTable.slots[M].flags);
  EXPECT_EQ(2, driveTable.slots[N].intervalMinutes);
  EXPECT_EQ(chosen.Path(), driveTable.PendingTempRoot);
  EXPECT_EQ(std::vector<std::string>{"a.txt"}, test::ListTree(Folder(M)));
}

// The pending mark and the timer's mark are the table's: a write-back that succeeds or fails
// while the dialog is open is not undone by the draft taken at the opening.
TEST_F(SettingsDialogTest, OkStoresTheDraftsOptionsButKeepsTheTablesMarks) {
  Virtual(M, ReflectToArchive | TimedUpdate | WriteBackPending);
  Virtual(N, ReflectToArchive | TimedUpdate);
  driveTable.StartUpdateTimer(M);
  RunDialog([](HWND dialog) {
    driveTable.slots[M].flags &= ~WriteBackPending;
    driveTable.slots[N].flags |= WriteBackPending;
    settingsDraft.slots[M].flags = (settingsDraft.slots[M].flags & ~TimedUpdate) | KeepFolderOnExit;
    settingsDraft.slots[M].intervalMinutes = 7;
    Click(dialog, IDC_SETTINGS_OK);
  });
  EXPECT_EQ(ReflectToArchive | KeepFolderOnExit | TimerRunning, driveTable.slots[M].flags);
  EXPECT_EQ(7, driveTable.slots[M].intervalMinutes);
  EXPECT_EQ(0u, driveTable.slots[M].timerId);
  EXPECT_EQ(ReflectToArchive | TimedUpdate | WriteBackPending | TimerRunning,
            driveTable.slots[N].flags);
  EXPECT_NE(0u, driveTable.slots[N].timerId);
}

TEST_F(SettingsDialogTest, SecondOpeningBringsTheOpenOneToTheFrontInsteadOfRefillingIt) {
  RunDialog([&](HWND dialog) {
    // Closes a second dialog, should one show.
    script.Then([dialog](HWND w) { return w != dialog && test::TextOf(w) == "設定"; },
                [](HWND second) { Click(second, IDC_SETTINGS_CANCEL); });
    RowCommand(dialog, M, IDC_SETTINGS_CREATE);
    EXPECT_EQ(0, settingsDialogRunner.Run(application.instanceHandle, IDD_SETTINGS, nullptr,
                                          SettingsDialogProc, 0));
    EXPECT_EQ(dialog, GetForegroundWindow());
    EXPECT_EQ(DriveKind::Virtual, settingsDraft.kinds[M]);
    Click(dialog, IDC_SETTINGS_CANCEL);
  });
  EXPECT_EQ(1u, script.steps.size());
  EXPECT_EQ(nullptr, openSettingsDialog);
}

}  // namespace
