// The settings dialog on its real resource: what the lists show, the row commands on free,
// virtual and physical rows, the apply pass at OK on real drive letters (M: and N: only,
// always unmapped again), its failures, the folder box and the folder browser, and the one
// open dialog at a time.
#include "settings_dialog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "archive_library.h"
#include "dialog_test_helpers.h"
#include "drive_options_dialog.h"
#include "file_handle.h"
#include "resource_ids.h"
#include "test_support.h"

using namespace dialogtest;

namespace {

constexpr uint8_t RowC = 'C' - 'A';
constexpr uint8_t RowM = 'M' - 'A';
constexpr uint8_t RowN = 'N' - 'A';

const char* const AlreadyVirtual = "このドライブは既に仮想ドライブとして設定されています。";
const char* const PhysicalOrUnusable = "このドライブは物理ドライブであるか、使用出来ません。";
const char* const NotInUse = "このドライブは未使用です。";
const char* const CreateFailed = "仮想ドライブを作成中にエラーが発生しました。";
const char* const RemoveFailed = "仮想ドライブを破棄中にエラーが発生しました。";

std::string WriteBackFailed(char letter) {
  return std::string("仮想ドライブ") + letter +
         ":の内容を圧縮ファイルに書き戻せませんでした。\n仮想ドライブは破棄していません。";
}

// A file of the test folder moved aside for a scope.
class FileMovedAside {
 public:
  explicit FileMovedAside(const std::string& path) : path(path), aside(path + ".aside") {
    moved = MoveFileA(path.c_str(), aside.c_str()) != 0;
  }
  ~FileMovedAside() {
    if (moved) MoveFileA(aside.c_str(), path.c_str());
  }
  FileMovedAside(const FileMovedAside&) = delete;
  FileMovedAside& operator=(const FileMovedAside&) = delete;

  std::string path;
  std::string aside;
  bool moved;
};

class SettingsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memcpy(&savedDraft, &settingsDraft, sizeof savedDraft);
    savedRow = SelectedRow;
    application.instanceHandle = GetModuleHandleA(nullptr);
    test::ForceUnmap('M');
    test::ForceUnmap('N');
    ASSERT_FALSE(test::LetterPresent(RowM));
    ASSERT_FALSE(test::LetterPresent(RowN));
    strcpy(driveTable.TempRoot, root.Path().c_str());
    strcpy(driveTable.PendingTempRoot, root.Path().c_str());
    for (uint8_t letter : {RowM, RowN}) {
      driveTable.kinds[letter] = DriveKind::Free;
      memset(&driveTable.slots[letter], 0, sizeof(DriveSlot));
      driveTable.slots[letter].intervalMinutes = 1;
    }
  }
  void TearDown() override {
    test::ForceUnmap('M');
    test::ForceUnmap('N');
    memcpy(&settingsDraft, &savedDraft, sizeof savedDraft);
    SelectedRow = savedRow;
  }

  // A letter the table believes it mapped, without a mapping: enough for every path of
  // the dialog that maps or unmaps nothing.
  static void FakeVirtual(uint8_t letter, SlotFlags flags, const char* path = "",
                          uint16_t interval = 1) {
    driveTable.kinds[letter] = DriveKind::Virtual;
    DriveSlot& slot = driveTable.slots[letter];
    slot.flags = flags;
    slot.intervalMinutes = interval;
    strcpy(slot.archivePath, path);
  }

  static HWND List(HWND dialog) { return GetDlgItem(dialog, IDC_SETTINGS_DRIVE_LIST); }

  // A column's title and width, as "title/width".
  static std::string Column(HWND list, int index) {
    char title[64] = {};
    LVCOLUMNA column = {};
    column.mask = LVCF_TEXT | LVCF_WIDTH;
    column.pszText = title;
    column.cchTextMax = sizeof title;
    if (!SendMessageA(list, LVM_GETCOLUMNA, index, reinterpret_cast<LPARAM>(&column))) return "";
    return std::string(title) + "/" + std::to_string(column.cx);
  }

  // Selects rows and gives one row command.
  static void RowCommand(HWND dialog, int command, std::initializer_list<int> rows) {
    SelectRows(List(dialog), rows);
    Click(dialog, command);
  }

  std::string DriveFolder(char letter) const {
    return root.Path() + "\\Drive\\" + letter;
  }

  test::TempFolder root{"settings"};
  SavedProgramState savedState;
  SettingsDraft savedDraft;
  int32_t savedRow;
};

TEST_F(SettingsDialogTest, OpeningListsEveryLetterWithItsKindArchiveAndState) {
  FakeVirtual(RowM, ReflectToArchive, "C:\\書庫\\m.zip", 12);
  FakeVirtual(RowN, KeepFolderOnExit | TimedUpdate, "", 5);
  strcpy(driveTable.slots['P' - 'A'].archivePath, "C:\\old.zip");  // removed earlier
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  ASSERT_NE(dialog.hwnd, nullptr);
  HWND list = List(dialog.hwnd);

  EXPECT_EQ(Column(list, 0), "No./30");
  EXPECT_EQ(Column(list, 1), "タイプ/100");
  EXPECT_EQ(Column(list, 2), "使用ファイル/200");
  EXPECT_EQ(Column(list, 3), "状態/60");
  EXPECT_EQ(Column(list, 4), "");
  EXPECT_TRUE(SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_FULLROWSELECT);

  ASSERT_EQ(RowCount(list), 26);
  for (int i = 0; i < 26; ++i) {
    const char label[] = {static_cast<char>('A' + i), ':', '\0'};
    EXPECT_EQ(CellText(list, i, 0), label);
    EXPECT_EQ(CellText(list, i, 1), DriveKindNames[static_cast<int>(driveTable.kinds[i])]) << i;
    EXPECT_EQ(CellText(list, i, 2), driveTable.slots[i].archivePath) << i;
    EXPECT_EQ(settingsDraft.kinds[i], driveTable.kinds[i]) << i;
    EXPECT_STREQ(settingsDraft.slots[i].archivePath, driveTable.slots[i].archivePath) << i;
    EXPECT_EQ(settingsDraft.slots[i].flags, driveTable.slots[i].flags) << i;
    EXPECT_EQ(settingsDraft.slots[i].intervalMinutes, driveTable.slots[i].intervalMinutes) << i;
  }
  // The prefix's C: is a hard disk; the letters this program mapped are virtual.
  EXPECT_EQ(CellText(list, RowC, 1), "ハードディスク");
  EXPECT_EQ(CellText(list, RowC, 3), "");
  EXPECT_EQ(CellText(list, RowM, 1), "仮想ドライブ");
  EXPECT_EQ(CellText(list, RowM, 2), "C:\\書庫\\m.zip");
  EXPECT_EQ(CellText(list, RowM, 3), "更新あり");
  EXPECT_EQ(CellText(list, RowN, 3), "更新なし");
  EXPECT_EQ(CellText(list, 'P' - 'A', 1), "未使用");
  EXPECT_EQ(CellText(list, 'P' - 'A', 2), "C:\\old.zip");
  EXPECT_EQ(CellText(list, 'P' - 'A', 3), "");
  EXPECT_EQ(ItemText(dialog.hwnd, IDC_SETTINGS_FOLDER), driveTable.PendingTempRoot);
}

TEST_F(SettingsDialogTest, FormatsListShowsTheLibraryFormatsInBitOrder) {
  ASSERT_TRUE(LoadDLL());
  FormatMask mask = GetDLLType();
  ASSERT_NE(mask, 0u);
  std::vector<std::string> expected;
  for (int i = 0; i < 32; ++i) {
    if ((mask >> i) & 1) expected.push_back(GetDLLStr(i));
  }
  {
    ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
    HWND list = GetDlgItem(dialog.hwnd, IDC_SETTINGS_FORMAT_LIST);
    EXPECT_EQ(Column(list, 0), "対応アーカイブ処理/125");
    std::vector<std::string> shown;
    for (int i = 0; i < RowCount(list); ++i) shown.push_back(CellText(list, i, 0));
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(shown.front(), "ZIP");  // format 0
  }
  // Without the library the mask is 0 and the list stays empty.
  ReleaseDLL();
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  EXPECT_EQ(RowCount(GetDlgItem(dialog.hwnd, IDC_SETTINGS_FORMAT_LIST)), 0);
  EXPECT_EQ(RowCount(List(dialog.hwnd)), 26);
}

TEST_F(SettingsDialogTest, RowCommandsWithoutSelectionDoNothing) {
  FakeVirtual(RowM, ReflectToArchive);
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  SettingsDraft before;
  memcpy(&before, &settingsDraft, sizeof before);
  for (int command : {IDC_SETTINGS_CREATE, IDC_SETTINGS_REMOVE, IDC_SETTINGS_DRIVE_OPTIONS}) {
    SelectedRow = 7;
    RowCommand(dialog.hwnd, command, {});
    Pump(100);
    EXPECT_EQ(SelectedRow, -1) << command;
  }
  EXPECT_TRUE(script.messages.empty());
  EXPECT_EQ(memcmp(&before, &settingsDraft, sizeof before), 0);
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 1), "仮想ドライブ");
  EXPECT_FALSE(dialog.Closed());
}

TEST_F(SettingsDialogTest, CreateMarksAFreeRowVirtualWithItsOptionsReset) {
  strcpy(driveTable.slots[RowM].archivePath, "C:\\old.zip");
  driveTable.slots[RowM].flags = ReflectToArchive | KeepFolderOnExit;
  driveTable.slots[RowM].intervalMinutes = 7;
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowM});

  EXPECT_EQ(SelectedRow, RowM);
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 1), "仮想ドライブ");
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 2), "C:\\old.zip");
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 3), "更新なし");
  EXPECT_EQ(settingsDraft.kinds[RowM], DriveKind::Virtual);
  EXPECT_EQ(settingsDraft.slots[RowM].flags, 0);
  EXPECT_STREQ(settingsDraft.slots[RowM].archivePath, "C:\\old.zip");
  EXPECT_EQ(settingsDraft.slots[RowM].intervalMinutes, 7);
  // Nothing reaches the table before OK.
  EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Free);
  EXPECT_EQ(driveTable.slots[RowM].flags, ReflectToArchive | KeepFolderOnExit);
  EXPECT_TRUE(script.messages.empty());
}

TEST_F(SettingsDialogTest, RemoveMarksAVirtualRowFreeAndForgetsItsArchive) {
  FakeVirtual(RowM, ReflectToArchive | KeepFolderOnExit, "C:\\m.zip", 9);
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  RowCommand(dialog.hwnd, IDC_SETTINGS_REMOVE, {RowM});

  EXPECT_EQ(SelectedRow, RowM);
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 1), "未使用");
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 2), "");
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 3), "");
  EXPECT_EQ(settingsDraft.kinds[RowM], DriveKind::Free);
  EXPECT_STREQ(settingsDraft.slots[RowM].archivePath, "");
  EXPECT_EQ(settingsDraft.slots[RowM].flags, 0);
  EXPECT_EQ(settingsDraft.slots[RowM].intervalMinutes, 9);
  EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Virtual);
  EXPECT_STREQ(driveTable.slots[RowM].archivePath, "C:\\m.zip");
  EXPECT_TRUE(script.messages.empty());
}

TEST_F(SettingsDialogTest, RowCommandsRefuseRowsOfTheWrongKindWithTheirMessage) {
  FakeVirtual(RowM, ReflectToArchive, "C:\\m.zip");
  const uint8_t RowO = 'O' - 'A';
  const struct {
    int command;
    uint8_t row;
    const char* message;
  } cases[] = {
      {IDC_SETTINGS_CREATE, RowM, AlreadyVirtual},
      {IDC_SETTINGS_CREATE, RowC, PhysicalOrUnusable},
      {IDC_SETTINGS_CREATE, RowO, PhysicalOrUnusable},
      {IDC_SETTINGS_REMOVE, RowN, NotInUse},
      {IDC_SETTINGS_REMOVE, RowC, PhysicalOrUnusable},
      {IDC_SETTINGS_REMOVE, RowO, PhysicalOrUnusable},
      {IDC_SETTINGS_DRIVE_OPTIONS, RowN, NotInUse},
      {IDC_SETTINGS_DRIVE_OPTIONS, RowC, PhysicalOrUnusable},
      {IDC_SETTINGS_DRIVE_OPTIONS, RowO, PhysicalOrUnusable},
  };
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  // A row the draft holds as unclassified, as a letter of no known type would be.
  settingsDraft.kinds[RowO] = DriveKind::Unclassified;
  for (const auto& c : cases) {
    SettingsDraft before;
    memcpy(&before, &settingsDraft, sizeof before);
    std::string kindCell = CellText(List(dialog.hwnd), c.row, 1);
    WindowScript script;
    script.Then("仮想ドライブの設定", [](HWND options) { Click(options, IDC_OPTIONS_CANCEL); });
    RowCommand(dialog.hwnd, c.command, {c.row});
    EXPECT_EQ(SelectedRow, c.row);
    ASSERT_EQ(script.messages.size(), 1u) << c.command << " on row " << int(c.row);
    EXPECT_EQ(script.messages[0], c.message) << c.command << " on row " << int(c.row);
    EXPECT_EQ(script.PendingActions(), 1u) << "the options dialog ran";
    EXPECT_EQ(memcmp(&before, &settingsDraft, sizeof before), 0);
    EXPECT_EQ(CellText(List(dialog.hwnd), c.row, 1), kindCell);
  }
}

TEST_F(SettingsDialogTest, SeveralSelectedRowsActOnTheTopmost) {
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowN, RowM});
  EXPECT_EQ(SelectedRow, RowM);
  EXPECT_EQ(settingsDraft.kinds[RowM], DriveKind::Virtual);
  EXPECT_EQ(settingsDraft.kinds[RowN], DriveKind::Free);
  EXPECT_EQ(CellText(List(dialog.hwnd), RowN, 1), "未使用");
  // The topmost selected row is physical: refused, even though a free row is selected too.
  RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowN, RowC});
  EXPECT_EQ(SelectedRow, RowC);
  EXPECT_EQ(settingsDraft.kinds[RowN], DriveKind::Free);
  ASSERT_EQ(script.messages.size(), 1u);
  EXPECT_EQ(script.messages[0], PhysicalOrUnusable);
}

TEST_F(SettingsDialogTest, OptionsCommandEditsTheSelectedDraftRowAndRedrawsItsState) {
  FakeVirtual(RowM, 0, "C:\\m.zip", 4);
  FakeVirtual(RowN, 0);
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  std::string caption;
  std::string path;
  {
    WindowScript script;
    script.Then("仮想ドライブの設定", [&](HWND options) {
      caption = ItemText(options, IDC_OPTIONS_GROUP);
      path = ItemText(options, IDC_OPTIONS_ARCHIVE_PATH);
      Click(options, IDC_OPTIONS_REFLECT);
      Click(options, IDC_OPTIONS_TIMED_UPDATE);
      SendMessageA(GetDlgItem(options, IDC_OPTIONS_INTERVAL_SPIN), WM_KEYDOWN, VK_UP, 0);
      Click(options, IDC_OPTIONS_OK);
    });
    RowCommand(dialog.hwnd, IDC_SETTINGS_DRIVE_OPTIONS, {RowM});
    EXPECT_EQ(script.PendingActions(), 0u);
    EXPECT_TRUE(script.messages.empty());
  }
  EXPECT_EQ(caption, "M:の情報");
  EXPECT_EQ(path, "C:\\m.zip");
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 3), "更新あり");
  EXPECT_EQ(settingsDraft.slots[RowM].flags, ReflectToArchive | TimedUpdate);
  EXPECT_EQ(settingsDraft.slots[RowM].intervalMinutes, 5);
  EXPECT_EQ(settingsDraft.slots[RowN].flags, 0);
  EXPECT_EQ(driveTable.slots[RowM].flags, 0);
  {
    // Cancelled: the state column is drawn again from the unchanged draft.
    WindowScript script;
    script.Then("仮想ドライブの設定", [](HWND options) {
      Click(options, IDC_OPTIONS_NO_REFLECT);
      Click(options, IDC_OPTIONS_CANCEL);
    });
    RowCommand(dialog.hwnd, IDC_SETTINGS_DRIVE_OPTIONS, {RowM});
    EXPECT_EQ(script.PendingActions(), 0u);
  }
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 3), "更新あり");
  EXPECT_EQ(settingsDraft.slots[RowM].flags, ReflectToArchive | TimedUpdate);
}

TEST_F(SettingsDialogTest, CreateThenRemoveBeforeOkMapsNothing) {
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowM});
  RowCommand(dialog.hwnd, IDC_SETTINGS_REMOVE, {RowM});
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 1), "未使用");
  Click(dialog.hwnd, IDC_SETTINGS_OK);
  EXPECT_TRUE(dialog.Closed());
  EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Free);
  EXPECT_FALSE(test::WaitForLetter(RowM, true, 500));
  EXPECT_TRUE(script.messages.empty());
}

TEST_F(SettingsDialogTest, OkCreatesAndRemovesRealLetters) {
  WindowScript script;
  {
    ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
    RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowM});
    RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowN});
    Click(dialog.hwnd, IDC_SETTINGS_OK);
    EXPECT_TRUE(dialog.Closed());
  }
  ASSERT_TRUE(script.messages.empty()) << script.messages[0];
  ASSERT_EQ(driveTable.kinds[RowM], DriveKind::Virtual);
  ASSERT_EQ(driveTable.kinds[RowN], DriveKind::Virtual);
  EXPECT_TRUE(test::LetterPresent(RowM));
  EXPECT_TRUE(test::LetterPresent(RowN));
  EXPECT_TRUE(test::IsDirectory(DriveFolder('M')));
  EXPECT_EQ(driveTable.slots[RowM].flags, 0);

  // What is left on the drive stays in its folder when the drive is removed.
  ASSERT_TRUE(test::WriteFileBytes("M:\\left.txt", "left behind"));
  strcpy(driveTable.slots[RowM].archivePath, "C:\\m.zip");
  {
    ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
    EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 1), "仮想ドライブ");
    EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 3), "更新なし");
    RowCommand(dialog.hwnd, IDC_SETTINGS_REMOVE, {RowM});
    Click(dialog.hwnd, IDC_SETTINGS_OK);
  }
  EXPECT_TRUE(script.messages.empty());
  EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Free);
  EXPECT_EQ(driveTable.kinds[RowN], DriveKind::Virtual);
  EXPECT_TRUE(test::WaitForLetter(RowM, false, 3000));
  EXPECT_TRUE(test::PathExists(DriveFolder('M') + "\\left.txt"));
  EXPECT_STREQ(driveTable.slots[RowM].archivePath, "C:\\m.zip");

  // The next opening shows the former archive; creating the drive again shows its files.
  {
    ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
    EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 1), "未使用");
    EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 2), "C:\\m.zip");
    RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowM});
    RowCommand(dialog.hwnd, IDC_SETTINGS_REMOVE, {RowN});
    Click(dialog.hwnd, IDC_SETTINGS_OK);
  }
  EXPECT_TRUE(script.messages.empty());
  ASSERT_EQ(driveTable.kinds[RowM], DriveKind::Virtual);
  std::string text;
  EXPECT_TRUE(test::ReadFileBytes("M:\\left.txt", &text));
  EXPECT_EQ(text, "left behind");
  EXPECT_EQ(driveTable.kinds[RowN], DriveKind::Free);
  EXPECT_TRUE(test::WaitForLetter(RowN, false, 3000));
}

TEST_F(SettingsDialogTest, RemoveThenCreateKeepsTheDriveButResetsItsOptions) {
  const SlotFlags marks = TimerRunning | WriteBackPending;
  FakeVirtual(RowM, ReflectToArchive | TimedUpdate | KeepFolderOnExit | marks, "C:\\m.zip", 8);
  driveTable.StartUpdateTimer(RowM);
  ASSERT_NE(driveTable.slots[RowM].timerId, 0u);
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  RowCommand(dialog.hwnd, IDC_SETTINGS_REMOVE, {RowM});
  RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowM});
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 1), "仮想ドライブ");
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 2), "");
  EXPECT_EQ(CellText(List(dialog.hwnd), RowM, 3), "更新なし");
  Click(dialog.hwnd, IDC_SETTINGS_OK);

  EXPECT_TRUE(script.messages.empty());
  EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Virtual);
  // The run-time marks stay as the table has them; the timer is stopped.
  EXPECT_EQ(driveTable.slots[RowM].flags, marks);
  EXPECT_EQ(driveTable.slots[RowM].timerId, 0u);
  EXPECT_EQ(driveTable.slots[RowM].intervalMinutes, 8);
  EXPECT_STREQ(driveTable.slots[RowM].archivePath, "C:\\m.zip");
}

TEST_F(SettingsDialogTest, OkStoresTheOptionsAndRestartsTimers) {
  FakeVirtual(RowM, ReflectToArchive | TimedUpdate | WriteBackPending, "C:\\m.zip", 3);
  FakeVirtual(RowN, ReflectToArchive | TimedUpdate, "C:\\n.zip", 2);
  driveTable.StartUpdateTimer(RowM);
  driveTable.StartUpdateTimer(RowN);
  uint32_t timerM = driveTable.slots[RowM].timerId;
  ASSERT_NE(timerM, 0u);
  ASSERT_NE(driveTable.slots[RowN].timerId, 0u);
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  script.Then("仮想ドライブの設定", [](HWND options) {
    Click(options, IDC_OPTIONS_KEEP_FOLDER);
    for (int i = 0; i < 4; ++i) {
      SendMessageA(GetDlgItem(options, IDC_OPTIONS_INTERVAL_SPIN), WM_KEYDOWN, VK_UP, 0);
    }
    Click(options, IDC_OPTIONS_OK);
  });
  RowCommand(dialog.hwnd, IDC_SETTINGS_DRIVE_OPTIONS, {RowM});
  script.Then("仮想ドライブの設定", [](HWND options) {
    Click(options, IDC_OPTIONS_TIMED_UPDATE);
    Click(options, IDC_OPTIONS_OK);
  });
  RowCommand(dialog.hwnd, IDC_SETTINGS_DRIVE_OPTIONS, {RowN});
  ASSERT_EQ(script.PendingActions(), 0u);
  // A timed write-back that fails while the dialog is open sets the mark in the table.
  driveTable.slots[RowN].flags |= WriteBackPending;
  Click(dialog.hwnd, IDC_SETTINGS_OK);

  EXPECT_TRUE(script.messages.empty());
  // M:'s timer starts again with its new interval, a full interval from now.
  const DriveSlot& m = driveTable.slots[RowM];
  EXPECT_EQ(m.flags, ReflectToArchive | TimedUpdate | KeepFolderOnExit | WriteBackPending |
                         TimerRunning);
  EXPECT_EQ(m.intervalMinutes, 7);
  EXPECT_NE(m.timerId, 0u);
  EXPECT_NE(m.timerId, timerM);
  const DriveSlot& n = driveTable.slots[RowN];
  EXPECT_EQ(n.flags, ReflectToArchive | TimerRunning | WriteBackPending);
  EXPECT_EQ(n.timerId, 0u);
}

TEST_F(SettingsDialogTest, FailingCreateStopsThePassWithItsMessage) {
  test::TempFolder elsewhere("busy");
  test::TempFolder newRoot("newroot");
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowM});
  RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowN});
  const uint8_t RowB = 'B' - 'A';
  const uint8_t RowZ = 'Z' - 'A';
  uint16_t zInterval = driveTable.slots[RowZ].intervalMinutes;
  settingsDraft.slots[RowB].intervalMinutes = 42;
  settingsDraft.slots[RowZ].intervalMinutes = static_cast<uint16_t>(zInterval + 1);
  SetDlgItemTextA(dialog.hwnd, IDC_SETTINGS_FOLDER, newRoot.Path().c_str());
  // M: arrives after the dialog opened: its stale kind still says free.
  test::MappedLetter busy('M', elsewhere.Path());
  ASSERT_TRUE(busy.Ok());
  Click(dialog.hwnd, IDC_SETTINGS_OK);

  ASSERT_EQ(script.messages.size(), 1u);
  EXPECT_EQ(script.messages[0], CreateFailed);
  EXPECT_TRUE(dialog.Closed());
  EXPECT_EQ(driveTable.slots[RowB].intervalMinutes, 42);  // before the failure
  EXPECT_EQ(driveTable.slots[RowZ].intervalMinutes, zInterval);  // after it
  EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Free);
  EXPECT_EQ(driveTable.kinds[RowN], DriveKind::Free);
  EXPECT_FALSE(test::LetterPresent(RowN));
  EXPECT_STREQ(driveTable.PendingTempRoot, newRoot.Path().c_str());
}

TEST_F(SettingsDialogTest, FailingRemoveStopsThePassWithItsMessage) {
  FakeVirtual(RowM, KeepFolderOnExit, "C:\\m.zip", 6);
  FakeVirtual(RowN, 0, "", 2);
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  RowCommand(dialog.hwnd, IDC_SETTINGS_REMOVE, {RowM});
  settingsDraft.slots[RowN].intervalMinutes = 9;
  {
    // Without its batch file the letter cannot be unmapped.
    FileMovedAside batch(test::BinDir() + "\\DDRV.BAT");
    ASSERT_TRUE(batch.moved);
    Click(dialog.hwnd, IDC_SETTINGS_OK);
  }
  ASSERT_EQ(script.messages.size(), 1u);
  EXPECT_EQ(script.messages[0], RemoveFailed);
  EXPECT_TRUE(dialog.Closed());
  EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Virtual);
  EXPECT_EQ(driveTable.slots[RowM].flags, KeepFolderOnExit);
  EXPECT_STREQ(driveTable.slots[RowM].archivePath, "C:\\m.zip");
  EXPECT_EQ(driveTable.slots[RowN].intervalMinutes, 2);
}

// The archive is gone (moved or deleted): a drive folder holding changes keeps its letter
// with the message; an empty one has nothing to lose and is removed.
TEST_F(SettingsDialogTest, FailedWriteBackBeforeRemovalKeepsOnlyADriveWithChanges) {
  ASSERT_TRUE(LoadDLL());
  const ArchiveKind Zip = 0x80000002;
  std::string missing = root / "missing.zip";
  const struct {
    SlotFlags flags;
    ArchiveKind kind;
    bool changes;
  } cases[] = {
      {ReflectToArchive, Zip, true},
      {WriteBackPending, Zip, true},
      {ReflectToArchive, 0, true},  // not recognised at start-up: no proof it cannot be packed
      {ReflectToArchive, Zip, false},
      {ReflectToArchive | WriteBackPending, Zip, false},
  };
  for (const auto& c : cases) {
    FakeVirtual(RowM, c.flags, missing.c_str(), 6);
    driveTable.slots[RowM].archiveKind = c.kind;
    test::RemoveTree(DriveFolder('M'));
    CreateDirectoryPath(DriveFolder('M').c_str());
    if (c.changes) {
      ASSERT_TRUE(test::WriteFileBytes(DriveFolder('M') + "\\a.txt", "changed"));
    }
    FakeVirtual(RowN, 0, "", 2);
    WindowScript script;
    ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
    RowCommand(dialog.hwnd, IDC_SETTINGS_REMOVE, {RowM});
    settingsDraft.slots[RowN].intervalMinutes = 9;
    Click(dialog.hwnd, IDC_SETTINGS_OK);
    EXPECT_TRUE(dialog.Closed());

    if (!c.changes) {
      EXPECT_TRUE(script.messages.empty()) << c.flags;
      EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Free) << c.flags;
      EXPECT_EQ(driveTable.slots[RowN].intervalMinutes, 9);
      continue;
    }
    ASSERT_EQ(script.messages.size(), 1u) << c.flags;
    EXPECT_EQ(script.messages[0], WriteBackFailed('M'));
    EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Virtual);
    EXPECT_EQ(driveTable.slots[RowM].flags, c.flags | WriteBackPending);
    EXPECT_STREQ(driveTable.slots[RowM].archivePath, missing.c_str());
    EXPECT_EQ(driveTable.slots[RowN].intervalMinutes, 2);
  }
}

TEST_F(SettingsDialogTest, DriveWithoutArchiveOrWithReadOnlyFormatIsRemovedSilently) {
  ASSERT_TRUE(LoadDLL());
  std::string archive = root / "old.lzh";
  ASSERT_TRUE(test::WriteFileBytes(archive, "not really packable"));
  // Read-only formats use indices 16 and up: never in the mask.
  const ArchiveKind ReadOnly = 0x80000000u | (1u << 17);
  const struct {
    const char* path;
    ArchiveKind kind;
  } cases[] = {{"", 0}, {archive.c_str(), ReadOnly}};
  for (const auto& c : cases) {
    FakeVirtual(RowM, ReflectToArchive | WriteBackPending, c.path);
    driveTable.slots[RowM].archiveKind = c.kind;
    WindowScript script;
    ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
    RowCommand(dialog.hwnd, IDC_SETTINGS_REMOVE, {RowM});
    Click(dialog.hwnd, IDC_SETTINGS_OK);
    EXPECT_TRUE(script.messages.empty()) << c.path;
    EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Free) << c.path;
  }
}

TEST_F(SettingsDialogTest, WriteBackBeforeRemovalPacksTheDriveIntoItsArchive) {
  ASSERT_TRUE(LoadDLL());
  test::TempFolder source("src");
  ASSERT_TRUE(test::WriteFileBytes(source / "old.txt", "old"));
  std::string archive = root / "drive.zip";
  // Packing kind of format 0 (ZIP).
  ASSERT_TRUE(Pac(archive.c_str(), (source.Path() + "\\").c_str(), 0x40000001));
  ArchiveKind kind = Check(archive.c_str());
  ASSERT_NE(kind, 0u);

  WindowScript script;
  {
    ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
    RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowM});
    Click(dialog.hwnd, IDC_SETTINGS_OK);
  }
  ASSERT_EQ(driveTable.kinds[RowM], DriveKind::Virtual);
  ASSERT_TRUE(driveTable.BindArchive(RowM, archive.c_str(), 1));
  driveTable.slots[RowM].flags |= ReflectToArchive;
  ASSERT_TRUE(test::WriteFileBytes(DriveFolder('M') + "\\new.txt", "new"));
  {
    ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
    RowCommand(dialog.hwnd, IDC_SETTINGS_REMOVE, {RowM});
    Click(dialog.hwnd, IDC_SETTINGS_OK);
  }
  EXPECT_TRUE(script.messages.empty());
  EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Free);
  EXPECT_TRUE(test::WaitForLetter(RowM, false, 3000));

  test::TempFolder unpacked("unpacked");
  ASSERT_TRUE(Pac(archive.c_str(), (unpacked.Path() + "\\").c_str(), kind));
  EXPECT_EQ(test::ListTree(unpacked.Path()), (std::vector<std::string>{"new.txt", "old.txt"}));
}

TEST_F(SettingsDialogTest, CancelKeepsTheTableAsItWas) {
  FakeVirtual(RowM, ReflectToArchive | TimedUpdate, "C:\\m.zip", 4);
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  DriveKind kinds[LetterCount];
  DriveSlot slots[LetterCount];
  memcpy(kinds, driveTable.kinds, sizeof kinds);
  memcpy(slots, driveTable.slots, sizeof slots);
  char pending[PathSize];
  strcpy(pending, driveTable.PendingTempRoot);

  script.Then("仮想ドライブの設定", [](HWND options) {
    Click(options, IDC_OPTIONS_NO_REFLECT);
    Click(options, IDC_OPTIONS_KEEP_FOLDER);
    Click(options, IDC_OPTIONS_OK);
  });
  RowCommand(dialog.hwnd, IDC_SETTINGS_DRIVE_OPTIONS, {RowM});
  ASSERT_EQ(script.PendingActions(), 0u);
  RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowN});
  SetDlgItemTextA(dialog.hwnd, IDC_SETTINGS_FOLDER, "C:\\");
  Click(dialog.hwnd, IDC_SETTINGS_CANCEL);

  EXPECT_TRUE(dialog.Closed());
  EXPECT_TRUE(script.messages.empty());
  EXPECT_EQ(memcmp(kinds, driveTable.kinds, sizeof kinds), 0);
  EXPECT_EQ(memcmp(slots, driveTable.slots, sizeof slots), 0);
  EXPECT_STREQ(driveTable.PendingTempRoot, pending);
  EXPECT_FALSE(test::WaitForLetter(RowN, true, 500));
}

TEST_F(SettingsDialogTest, EscAndCloseBoxDoNotCloseIt) {
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  RowCommand(dialog.hwnd, IDC_SETTINGS_CREATE, {RowM});
  Command(dialog.hwnd, IDCANCEL);
  SendMessageA(dialog.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
  Pump(100);
  EXPECT_FALSE(dialog.Closed());
  EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Free);
  EXPECT_EQ(settingsDraft.kinds[RowM], DriveKind::Virtual);
  EXPECT_TRUE(script.messages.empty());
}

TEST_F(SettingsDialogTest, FolderBoxTakesOnlyAnExistingUsableFolder) {
  test::TempFolder chosen("chosen");
  std::string missing = chosen / "missing";
  // Cut to its first 255 characters this text still names the chosen folder, followed by
  // backslashes; such a root is too long to build drive folders under.
  std::string overLong = chosen.Path() + std::string(300 - chosen.Path().size(), '\\');
  const struct {
    std::string text;
    std::string pending;
  } cases[] = {
      {chosen.Path(), chosen.Path()},
      {missing, root.Path()},
      {chosen.Path(), chosen.Path()},
      {overLong, root.Path()},
      {"", root.Path()},
  };
  WindowScript script;
  for (const auto& c : cases) {
    ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
    // The box shows the root chosen so far in this run.
    EXPECT_EQ(ItemText(dialog.hwnd, IDC_SETTINGS_FOLDER), driveTable.PendingTempRoot);
    SetDlgItemTextA(dialog.hwnd, IDC_SETTINGS_FOLDER, c.text.c_str());
    Click(dialog.hwnd, IDC_SETTINGS_OK);
    EXPECT_EQ(std::string(driveTable.PendingTempRoot), c.pending) << c.text;
    EXPECT_STREQ(driveTable.TempRoot, root.Path().c_str());
  }
  EXPECT_TRUE(script.messages.empty());
}

TEST_F(SettingsDialogTest, ChosenRootReplacesAnUnusableOneAtTheExit) {
  test::TempFolder chosen("chosen");
  driveTable.TempRoot[0] = '\0';  // the executable lies in a network folder
  driveTable.PendingTempRoot[0] = '\0';
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  SetDlgItemTextA(dialog.hwnd, IDC_SETTINGS_FOLDER, chosen.Path().c_str());
  Click(dialog.hwnd, IDC_SETTINGS_OK);
  EXPECT_EQ(std::string(driveTable.PendingTempRoot), chosen.Path());
  EXPECT_EQ(1, driveTable.MoveTempRoot());
  EXPECT_TRUE(script.messages.empty());
}

struct WindowMatch {
  std::function<bool(HWND)> matches;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM data) {
  WindowMatch* match = reinterpret_cast<WindowMatch*>(data);
  if (IsWindowVisible(window) && match->matches(window)) {
    match->found = window;
    return FALSE;
  }
  return TRUE;
}

// This thread's first visible top-level window that matches.
HWND FindWindowWhere(std::function<bool(HWND)> matches) {
  WindowMatch match = {std::move(matches), nullptr};
  EnumThreadWindows(GetCurrentThreadId(), MatchWindow, reinterpret_cast<LPARAM>(&match));
  return match.found;
}

// The shell's folder browser: the dialog that shows our title.
HWND FindFolderBrowser() {
  return FindWindowWhere([](HWND window) {
    return StaticTexts(window).find("テンポラリフォルダの選択") != std::string::npos;
  });
}

TEST_F(SettingsDialogTest, BrowseFillsTheBoxOnlyWhenAFolderIsChosen) {
  // The browser is owned by the main window, not by the settings dialog.
  HWND mainWindow = CreateWindowExA(0, "STATIC", "main", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                    nullptr, nullptr);
  ASSERT_NE(mainWindow, nullptr);
  HWND savedMain = MainWindow.hwnd;
  MainWindow.hwnd = mainWindow;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  SetDlgItemTextA(dialog.hwnd, IDC_SETTINGS_FOLDER, "C:\\before");
  HWND owner = nullptr;
  {
    WindowScript script;
    script.ThenFound(FindFolderBrowser, [&](HWND browser) {
      owner = GetWindow(browser, GW_OWNER);
      SendMessageA(browser, WM_COMMAND, IDCANCEL, 0);
    });
    Click(dialog.hwnd, IDC_SETTINGS_BROWSE);
    EXPECT_EQ(script.PendingActions(), 0u);
  }
  EXPECT_EQ(owner, mainWindow);
  EXPECT_EQ(ItemText(dialog.hwnd, IDC_SETTINGS_FOLDER), "C:\\before");
  {
    WindowScript script;
    script.ThenFound(FindFolderBrowser,
                     [](HWND browser) { SendMessageA(browser, WM_COMMAND, IDOK, 0); });
    Click(dialog.hwnd, IDC_SETTINGS_BROWSE);
    EXPECT_EQ(script.PendingActions(), 0u);
  }
  std::string chosen = ItemText(dialog.hwnd, IDC_SETTINGS_FOLDER);
  EXPECT_NE(chosen, "C:\\before");
  EXPECT_TRUE(test::IsDirectory(chosen)) << chosen;
  MainWindow.hwnd = savedMain;
  DestroyWindow(mainWindow);
}

TEST_F(SettingsDialogTest, SecondOpeningBringsTheOpenOneToTheFront) {
  {
    ModelessDialog first(IDD_SETTINGS, SettingsDialogProc);
    RowCommand(first.hwnd, IDC_SETTINGS_CREATE, {RowM});
    EXPECT_EQ(openSettingsDialog, first.hwnd);
    // Any second settings dialog that shows is closed at once and counted.
    int secondShown = 0;
    WindowScript script;
    HWND firstWindow = first.hwnd;
    script.ThenFound(
        [firstWindow]() {
          return FindWindowWhere([firstWindow](HWND window) {
            char caption[64];
            GetWindowTextA(window, caption, sizeof caption);
            return window != firstWindow && strcmp(caption, "設定") == 0;
          });
        },
        [&](HWND second) {
          ++secondShown;
          Click(second, IDC_SETTINGS_CANCEL);
        });
    // Another window has the front when the tray asks for the dialog again.
    HWND other = CreateWindowExA(0, "STATIC", "other", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10,
                                 nullptr, nullptr, nullptr, nullptr);
    SetForegroundWindow(other);
    Pump(100);
    EXPECT_EQ(settingsDialogRunner.Run(application.instanceHandle, IDD_SETTINGS, nullptr,
                                       SettingsDialogProc, 0),
              0);
    Pump(200);
    EXPECT_EQ(secondShown, 0);
    EXPECT_EQ(GetForegroundWindow(), first.hwnd);
    EXPECT_EQ(openSettingsDialog, first.hwnd);
    // The open dialog's draft was not refilled under it.
    EXPECT_EQ(settingsDraft.kinds[RowM], DriveKind::Virtual);
    EXPECT_EQ(CellText(List(first.hwnd), RowM, 1), "仮想ドライブ");
    DestroyWindow(other);
  }
  EXPECT_EQ(openSettingsDialog, nullptr);

  // With none open, an opening runs as usual.
  WindowScript script;
  script.Then("設定", [](HWND dialog) { Click(dialog, IDC_SETTINGS_CANCEL); });
  EXPECT_EQ(settingsDialogRunner.Run(application.instanceHandle, IDD_SETTINGS, nullptr,
                                     SettingsDialogProc, 0),
            0);
  EXPECT_EQ(script.PendingActions(), 0u);
  EXPECT_EQ(settingsDraft.kinds[RowM], DriveKind::Free);
}

TEST_F(SettingsDialogTest, SecondOpeningBringsAnOpenOptionsDialogToTheFront) {
  FakeVirtual(RowM, 0);
  WindowScript script;
  ModelessDialog dialog(IDD_SETTINGS, SettingsDialogProc);
  HWND front = nullptr;
  HWND options = nullptr;
  script.Then("仮想ドライブの設定", [&](HWND window) {
    options = window;
    settingsDialogRunner.Run(application.instanceHandle, IDD_SETTINGS, nullptr,
                             SettingsDialogProc, 0);
    front = GetForegroundWindow();
    Click(window, IDC_OPTIONS_CANCEL);
  });
  RowCommand(dialog.hwnd, IDC_SETTINGS_DRIVE_OPTIONS, {RowM});
  ASSERT_EQ(script.PendingActions(), 0u);
  EXPECT_NE(options, nullptr);
  EXPECT_EQ(front, options);
}

TEST_F(SettingsDialogTest, ModalRunEndsWithOneAfterOkAlsoWhenThePassStopped) {
  std::string missing = root / "missing.zip";
  FakeVirtual(RowM, ReflectToArchive, missing.c_str());
  driveTable.slots[RowM].archiveKind = 0x80000002;
  CreateDirectoryPath(DriveFolder('M').c_str());
  ASSERT_TRUE(test::WriteFileBytes(DriveFolder('M') + "\\a.txt", "changed"));
  WindowScript script;
  script.Then("設定", [](HWND dialog) { RowCommand(dialog, IDC_SETTINGS_REMOVE, {RowM}); });
  script.Then("設定", [](HWND dialog) { Click(dialog, IDC_SETTINGS_OK); });
  EXPECT_EQ(settingsDialogRunner.Run(application.instanceHandle, IDD_SETTINGS, nullptr,
                                     SettingsDialogProc, 0),
            1);
  ASSERT_EQ(script.messages.size(), 1u);
  EXPECT_EQ(script.messages[0], WriteBackFailed('M'));
  EXPECT_EQ(driveTable.kinds[RowM], DriveKind::Virtual);

  script.Then("設定", [](HWND dialog) { Click(dialog, IDC_SETTINGS_CANCEL); });
  EXPECT_EQ(settingsDialogRunner.Run(application.instanceHandle, IDD_SETTINGS, nullptr,
                                     SettingsDialogProc, 0),
            0);
  EXPECT_EQ(openSettingsDialog, nullptr);
}

}  // namespace
