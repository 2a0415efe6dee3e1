// The settings dialog on its real resource, run as the tray menu runs it; its messages are
// taken through the program's sink. Real letters: M: and N: only, always unmapped again.
#include "settings_dialog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

#include "application.h"
#include "file_handle.h"
#include "resource_ids.h"
#include "test_support.h"

namespace {

constexpr uint8_t C = 'C' - 'A', M = 'M' - 'A', N = 'N' - 'A';

void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

// Selects one row of the drive list (none for -1) and gives a row command.
void RowCommand(HWND dialog, int row, int command) {
  LVITEMA item = {};
  item.stateMask = LVIS_SELECTED;
  SendMessageA(GetDlgItem(dialog, IDC_SETTINGS_DRIVE_LIST), LVM_SETITEMSTATE, -1, LPARAM(&item));
  item.state = LVIS_SELECTED;
  SendMessageA(GetDlgItem(dialog, IDC_SETTINGS_DRIVE_LIST), LVM_SETITEMSTATE, row, LPARAM(&item));
  Click(dialog, command);
}

std::string Cell(HWND dialog, int row, int column) {
  char text[256] = "";
  LVITEMA item = {};
  item.iSubItem = column, item.pszText = text, item.cchTextMax = sizeof text;
  SendMessageA(GetDlgItem(dialog, IDC_SETTINGS_DRIVE_LIST), LVM_GETITEMTEXTA, row, LPARAM(&item));
  return text;
}

class SettingsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application.instanceHandle = GetModuleHandleA(nullptr);
    TearDown();
    strcpy(driveTable.TempRoot, root.Path().c_str());
    strcpy(driveTable.PendingTempRoot, root.Path().c_str());
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
    script.Then("設定", std::move(act));
    return settingsDialogRunner.Run(application.instanceHandle, IDD_SETTINGS, nullptr,
                                    SettingsDialogProc, 0);
  }

  test::TempFolder root{"settings"};
  test::ModalScript script;
  test::MessageLog log;
};

TEST_F(SettingsDialogTest, ListsTheDrivesAndRowCommandsRefuseRowsOfTheWrongKind) {
  Virtual(M, ReflectToArchive, "C:\\書庫\\m.zip");
  const char* usable = "このドライブは物理ドライブであるか、使用出来ません。";
  const struct {
    uint8_t row;
    int command;
    const char* message;
  } cases[] = {
      {M, IDC_SETTINGS_CREATE, "このドライブは既に仮想ドライブとして設定されています。"},
      {C, IDC_SETTINGS_CREATE, usable},
      {N, IDC_SETTINGS_REMOVE, "このドライブは未使用です。"},
      {C, IDC_SETTINGS_REMOVE, usable},
      {N, IDC_SETTINGS_DRIVE_OPTIONS, "このドライブは未使用です。"},
      {C, IDC_SETTINGS_DRIVE_OPTIONS, usable},
  };
  RunDialog([&](HWND dialog) {
    EXPECT_EQ("ハードディスク|仮想ドライブ|C:\\書庫\\m.zip|更新あり|未使用",
              Cell(dialog, C, 1) + "|" + Cell(dialog, M, 1) + "|" + Cell(dialog, M, 2) + "|" +
                  Cell(dialog, M, 3) + "|" + Cell(dialog, N, 1));
    for (const auto& c : cases) {
      SettingsDraft before;
      memcpy(&before, &settingsDraft, sizeof before);
      log.texts.clear();
      RowCommand(dialog, c.row, c.command);
      ASSERT_EQ(1u, log.texts.size()) << c.command << " on " << int(c.row);
      EXPECT_EQ(c.message, log.texts[0].text);
      EXPECT_EQ(dialog, log.texts[0].owner);
      EXPECT_EQ(0, memcmp(&before, &settingsDraft, sizeof before));
    }
    Click(dialog, IDC_SETTINGS_OK);
  });
  EXPECT_EQ(DriveKind::Virtual, driveTable.kinds[M]);
}

TEST_F(SettingsDialogTest, OkCreatesAndRemovesRealLettersAndPacksTheRemovedDrivesChanges) {
  auto create = [](HWND dialog) {
    RowCommand(dialog, M, IDC_SETTINGS_CREATE);
    RowCommand(dialog, N, IDC_SETTINGS_CREATE);
  };
  EXPECT_EQ(0, RunDialog([&](HWND dialog) { create(dialog), Click(dialog, IDC_SETTINGS_CANCEL); }));
  EXPECT_FALSE(test::WaitForLetter(M, true, 500));
  EXPECT_EQ(1, RunDialog([&](HWND dialog) { create(dialog), Click(dialog, IDC_SETTINGS_OK); }));
  ASSERT_TRUE(test::LetterPresent(M) && test::LetterPresent(N));

  test::TempFolder source("source");
  std::string archive = root / "m.zip";
  ASSERT_TRUE(test::WriteFileBytes(source / "old.txt", "old") && LoadDLL() &&
              Pac(archive.c_str(), (source.Path() + "\\").c_str(), 0x40000001));
  ASSERT_EQ(1, driveTable.BindArchive(M, archive.c_str(), 1));
  driveTable.slots[M].flags |= ReflectToArchive;
  ASSERT_TRUE(test::WriteFileBytes("M:\\new.txt", "new"));
  RunDialog([](HWND dialog) {
    RowCommand(dialog, M, IDC_SETTINGS_REMOVE);
    RowCommand(dialog, N, IDC_SETTINGS_REMOVE);
    Click(dialog, IDC_SETTINGS_OK);
  });
  EXPECT_TRUE(log.texts.empty());
  EXPECT_TRUE(test::WaitForLetter(M, false, 3000) && test::WaitForLetter(N, false, 3000));
  test::TempFolder unpacked("unpacked");
  ASSERT_TRUE(Pac(archive.c_str(), (unpacked.Path() + "\\").c_str(), Check(archive.c_str())));
  EXPECT_EQ((std::vector<std::string>{"new.txt", "old.txt"}), test::ListTree(unpacked.Path()));
}

// A failing letter stops the pass with its message; the folder box is taken all the same.
TEST_F(SettingsDialogTest, ApplyPassStopsAtTheLetterThatFails) {
  enum Failure { Create, Remove, WriteBack };
  const struct {
    Failure failure;
    const char* message;
  } cases[] = {
      {Create, "仮想ドライブを作成中にエラーが発生しました。"},
      {Remove, "仮想ドライブを破棄中にエラーが発生しました。"},
      {WriteBack, "仮想ドライブM:の内容を圧縮ファイルに書き戻せませんでした。\n"
                  "仮想ドライブは破棄していません。"},
  };
  std::string batch = test::BinDir() + "\\DDRV.BAT", changed;
  for (const auto& c : cases) {
    test::TempFolder elsewhere("elsewhere"), chosen("chosen");
    // The archive is gone: the drive's changes have nowhere to go but its folder.
    if (c.failure != Create) Virtual(M, c.failure == WriteBack, root / "missing.zip");
    driveTable.slots[M].archiveKind = 0x80000002;
    CreateDirectoryPath(Folder(M).c_str());
    ASSERT_TRUE(test::WriteFileBytes(Folder(M) + "\\a.txt", "changed"));
    if (c.failure == Remove) MoveFileA(batch.c_str(), (batch + ".aside").c_str());
    driveTable.slots[N].intervalMinutes = 2;
    log.texts.clear();
    EXPECT_EQ(1, RunDialog([&](HWND dialog) {
      RowCommand(dialog, M, c.failure == Create ? IDC_SETTINGS_CREATE : IDC_SETTINGS_REMOVE);
      settingsDraft.slots[N].intervalMinutes = 9;
      SetDlgItemTextA(dialog, IDC_SETTINGS_FOLDER, chosen.Path().c_str());
      // M: arrives after the dialog opened: its stale kind still says free.
      std::optional<test::MappedLetter> busy;
      if (c.failure == Create) busy.emplace('M', elsewhere.Path());
      Click(dialog, IDC_SETTINGS_OK);
    }));
    if (c.failure == Remove) MoveFileA((batch + ".aside").c_str(), batch.c_str());
    ASSERT_EQ(1u, log.texts.size());
    EXPECT_EQ(c.message, log.texts[0].text);
    EXPECT_EQ(c.failure == Create ? DriveKind::Free : DriveKind::Virtual, driveTable.kinds[M]);
    EXPECT_EQ(2, driveTable.slots[N].intervalMinutes);
    EXPECT_EQ(chosen.Path(), driveTable.PendingTempRoot);
    EXPECT_TRUE(test::ReadFileBytes(Folder(M) + "\\a.txt", &changed) && changed == "changed");
  }
}

// The pending mark and the timer's mark are the table's: a write-back that succeeds or fails
// while the dialog is open is not undone by the draft taken when it opened.
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
  driveTable.StopUpdateTimer(N);
}

TEST_F(SettingsDialogTest, SecondOpeningBringsTheOpenOneToTheFrontInsteadOfRefillingIt) {
  HWND other = CreateWindowA("STATIC", "", WS_POPUP | WS_VISIBLE, 0, 0, 9, 9, 0, 0, 0, 0);
  HWND first = nullptr;
  script.Then("設定", [&](HWND dialog) {
    first = dialog;
    RowCommand(dialog, M, IDC_SETTINGS_CREATE);
    SetForegroundWindow(other);
    EXPECT_EQ(0, settingsDialogRunner.Run(application.instanceHandle, IDD_SETTINGS, nullptr,
                                          SettingsDialogProc, 0));
    EXPECT_EQ(dialog, GetForegroundWindow());
    EXPECT_EQ(DriveKind::Virtual, settingsDraft.kinds[M]);
    Click(dialog, IDC_SETTINGS_CANCEL);
  });
  // Closes a second dialog, should one show.
  script.Then([&](HWND w) { return w != first && test::TextOf(w) == "設定"; },
              [](HWND second) { Click(second, IDC_SETTINGS_CANCEL); });
  settingsDialogRunner.Run(application.instanceHandle, IDD_SETTINGS, nullptr, SettingsDialogProc, 0);
  EXPECT_EQ(1u, script.Pending());
  EXPECT_EQ(nullptr, openSettingsDialog);
  DestroyWindow(other);
}

}  // namespace
