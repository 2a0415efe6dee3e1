// The drive options dialog on its real resource: what it shows for a draft row, how the
// radio pair, the boxes and the interval follow the clicks, and what OK and Cancel leave
// in the draft.
#include "drive_options_dialog.h"

#include <gtest/gtest.h>

#include <cstring>

#include "dialog_test_helpers.h"
#include "resource_ids.h"
#include "settings_dialog.h"

using namespace dialogtest;

namespace {

constexpr int RowM = 'M' - 'A';

class DriveOptionsDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memcpy(&savedDraft, &settingsDraft, sizeof savedDraft);
    savedRow = SelectedRow;
    savedWorkingFlags = WorkingFlags;
    application.instanceHandle = GetModuleHandleA(nullptr);
    SelectedRow = RowM;
    settingsDraft.kinds[RowM] = DriveKind::Virtual;
  }
  void TearDown() override {
    memcpy(&settingsDraft, &savedDraft, sizeof savedDraft);
    SelectedRow = savedRow;
    WorkingFlags = savedWorkingFlags;
  }

  DriveSlot& Row() { return settingsDraft.slots[RowM]; }
  void SetRow(SlotFlags flags, uint16_t interval, const char* path = "") {
    Row().flags = flags;
    Row().intervalMinutes = interval;
    strcpy(Row().archivePath, path);
  }

  static HWND Spin(HWND dialog) { return GetDlgItem(dialog, IDC_OPTIONS_INTERVAL_SPIN); }
  static int SpinPosition(HWND dialog) {
    return static_cast<short>(LOWORD(SendMessageA(Spin(dialog), UDM_GETPOS, 0, 0)));
  }
  // One turn of the up-down control as the arrow keys give it.
  static void Turn(HWND dialog, int key, int times) {
    for (int i = 0; i < times; ++i) SendMessageA(Spin(dialog), WM_KEYDOWN, key, 0);
  }

  SettingsDraft savedDraft;
  int32_t savedRow;
  SlotFlags savedWorkingFlags;
  SavedProgramState savedState;
};

const int ReflectingBoxes[] = {IDC_OPTIONS_TIMED_UPDATE, IDC_OPTIONS_UPDATE_ON_CHANGE,
                               IDC_OPTIONS_DELETE_BEFORE_REPACK};

TEST_F(DriveOptionsDialogTest, OpensReflectingRowWithItsOptionsShown) {
  SetRow(ReflectToArchive | TimedUpdate | DeleteBeforeRepack | KeepFolderOnExit, 15,
         "C:\\書庫\\data.zip");
  ModelessDialog dialog(IDD_DRIVE_OPTIONS, DriveOptionsDialogProc);
  ASSERT_NE(dialog.hwnd, nullptr);

  EXPECT_TRUE(Checked(dialog.hwnd, IDC_OPTIONS_REFLECT));
  EXPECT_FALSE(Checked(dialog.hwnd, IDC_OPTIONS_NO_REFLECT));
  EXPECT_TRUE(Checked(dialog.hwnd, IDC_OPTIONS_TIMED_UPDATE));
  EXPECT_FALSE(Checked(dialog.hwnd, IDC_OPTIONS_UPDATE_ON_CHANGE));
  EXPECT_TRUE(Checked(dialog.hwnd, IDC_OPTIONS_DELETE_BEFORE_REPACK));
  for (int id : ReflectingBoxes) EXPECT_TRUE(Enabled(dialog.hwnd, id)) << id;
  EXPECT_TRUE(Checked(dialog.hwnd, IDC_OPTIONS_KEEP_FOLDER));

  EXPECT_EQ(ItemText(dialog.hwnd, IDC_OPTIONS_INTERVAL_TEXT), "15");
  EXPECT_EQ(SpinPosition(dialog.hwnd), 15);
  LRESULT range = SendMessageA(Spin(dialog.hwnd), UDM_GETRANGE, 0, 0);
  EXPECT_EQ(LOWORD(range), 100);  // maximum
  EXPECT_EQ(HIWORD(range), 1);    // minimum
  EXPECT_EQ(ItemText(dialog.hwnd, IDC_OPTIONS_ARCHIVE_PATH), "C:\\書庫\\data.zip");
  EXPECT_EQ(ItemText(dialog.hwnd, IDC_OPTIONS_GROUP), "M:の情報");
  EXPECT_EQ(WorkingFlags, Row().flags);
}

TEST_F(DriveOptionsDialogTest, HandEditedBitsWithoutReflectStayHiddenAndAreStored) {
  const SlotFlags flags = TimedUpdate | UpdateOnChange | DeleteBeforeRepack | 0x0040 |
                          WriteBackPending | TimerRunning | 0x8000;
  SetRow(flags, 30);
  ModelessDialog dialog(IDD_DRIVE_OPTIONS, DriveOptionsDialogProc);

  EXPECT_TRUE(Checked(dialog.hwnd, IDC_OPTIONS_NO_REFLECT));
  EXPECT_FALSE(Checked(dialog.hwnd, IDC_OPTIONS_REFLECT));
  for (int id : ReflectingBoxes) {
    EXPECT_FALSE(Checked(dialog.hwnd, id)) << id;
    EXPECT_FALSE(Enabled(dialog.hwnd, id)) << id;
  }
  EXPECT_FALSE(Checked(dialog.hwnd, IDC_OPTIONS_KEEP_FOLDER));
  EXPECT_TRUE(Enabled(dialog.hwnd, IDC_OPTIONS_KEEP_FOLDER));
  EXPECT_TRUE(IsWindowEnabled(Spin(dialog.hwnd)));

  Click(dialog.hwnd, IDC_OPTIONS_OK);
  EXPECT_TRUE(dialog.Closed());
  EXPECT_EQ(Row().flags, flags);
  EXPECT_EQ(Row().intervalMinutes, 30);
}

TEST_F(DriveOptionsDialogTest, NoReflectClearsTheLowByteOnlyAndReflectComesBackEmpty) {
  const SlotFlags flags = ReflectToArchive | TimedUpdate | UpdateOnChange | DeleteBeforeRepack |
                          0x0080 | KeepFolderOnExit | WriteBackPending | TimerRunning | 0x4000;
  SetRow(flags, 42);
  ModelessDialog dialog(IDD_DRIVE_OPTIONS, DriveOptionsDialogProc);

  Click(dialog.hwnd, IDC_OPTIONS_NO_REFLECT);
  EXPECT_TRUE(Checked(dialog.hwnd, IDC_OPTIONS_NO_REFLECT));
  EXPECT_FALSE(Checked(dialog.hwnd, IDC_OPTIONS_REFLECT));
  EXPECT_EQ(WorkingFlags, flags & 0xFF00);
  for (int id : ReflectingBoxes) {
    EXPECT_FALSE(Checked(dialog.hwnd, id)) << id;
    EXPECT_FALSE(Enabled(dialog.hwnd, id)) << id;
  }

  Click(dialog.hwnd, IDC_OPTIONS_REFLECT);
  EXPECT_TRUE(Checked(dialog.hwnd, IDC_OPTIONS_REFLECT));
  EXPECT_EQ(WorkingFlags, (flags & 0xFF00) | ReflectToArchive);
  for (int id : ReflectingBoxes) {
    EXPECT_FALSE(Checked(dialog.hwnd, id)) << id;
    EXPECT_TRUE(Enabled(dialog.hwnd, id)) << id;
  }
  EXPECT_TRUE(Checked(dialog.hwnd, IDC_OPTIONS_KEEP_FOLDER));

  Click(dialog.hwnd, IDC_OPTIONS_OK);
  EXPECT_EQ(Row().flags, (flags & 0xFF00) | ReflectToArchive);
  EXPECT_EQ(Row().flags & WriteBackPending, WriteBackPending);
  EXPECT_EQ(Row().intervalMinutes, 42);
}

TEST_F(DriveOptionsDialogTest, ClickingTheChosenRadioRepeatsItsEffect) {
  SetRow(ReflectToArchive | KeepFolderOnExit, 5);
  ModelessDialog dialog(IDD_DRIVE_OPTIONS, DriveOptionsDialogProc);
  // A bit set behind the dialog's back: a repeated "do not reflect" clears it again.
  Click(dialog.hwnd, IDC_OPTIONS_NO_REFLECT);
  WorkingFlags |= UpdateOnChange;
  Click(dialog.hwnd, IDC_OPTIONS_NO_REFLECT);
  EXPECT_EQ(WorkingFlags, KeepFolderOnExit);

  Click(dialog.hwnd, IDC_OPTIONS_REFLECT);
  Click(dialog.hwnd, IDC_OPTIONS_REFLECT);
  EXPECT_EQ(WorkingFlags, KeepFolderOnExit | ReflectToArchive);
}

TEST_F(DriveOptionsDialogTest, EachBoxTogglesItsOwnBit) {
  struct Box {
    int id;
    SlotFlags bit;
  } const boxes[] = {{IDC_OPTIONS_TIMED_UPDATE, TimedUpdate},
                     {IDC_OPTIONS_UPDATE_ON_CHANGE, UpdateOnChange},
                     {IDC_OPTIONS_DELETE_BEFORE_REPACK, DeleteBeforeRepack},
                     {IDC_OPTIONS_KEEP_FOLDER, KeepFolderOnExit}};
  const SlotFlags start = ReflectToArchive | TimerRunning;
  SetRow(start, 10);
  ModelessDialog dialog(IDD_DRIVE_OPTIONS, DriveOptionsDialogProc);

  for (const Box& box : boxes) {
    Click(dialog.hwnd, box.id);
    EXPECT_TRUE(Checked(dialog.hwnd, box.id)) << box.id;
    EXPECT_EQ(WorkingFlags, start | box.bit) << box.id;
    Click(dialog.hwnd, box.id);
    EXPECT_FALSE(Checked(dialog.hwnd, box.id)) << box.id;
    EXPECT_EQ(WorkingFlags, start) << box.id;
  }
  Click(dialog.hwnd, IDC_OPTIONS_TIMED_UPDATE);
  Click(dialog.hwnd, IDC_OPTIONS_DELETE_BEFORE_REPACK);
  Click(dialog.hwnd, IDC_OPTIONS_OK);
  EXPECT_EQ(Row().flags, start | TimedUpdate | DeleteBeforeRepack);
}

TEST_F(DriveOptionsDialogTest, KeepFolderAndIntervalChangeWhileNotReflecting) {
  SetRow(0, 7);
  ModelessDialog dialog(IDD_DRIVE_OPTIONS, DriveOptionsDialogProc);
  Click(dialog.hwnd, IDC_OPTIONS_KEEP_FOLDER);
  Turn(dialog.hwnd, VK_UP, 3);
  // The number follows every turn at once; the draft only at OK.
  EXPECT_EQ(ItemText(dialog.hwnd, IDC_OPTIONS_INTERVAL_TEXT), "10");
  EXPECT_EQ(Row().intervalMinutes, 7);
  Click(dialog.hwnd, IDC_OPTIONS_OK);
  EXPECT_EQ(Row().flags, KeepFolderOnExit);
  EXPECT_EQ(Row().intervalMinutes, 10);
}

TEST_F(DriveOptionsDialogTest, IntervalStopsAtBothEndsWithoutWrapping) {
  SetRow(ReflectToArchive | TimedUpdate, 98);
  {
    ModelessDialog dialog(IDD_DRIVE_OPTIONS, DriveOptionsDialogProc);
    Turn(dialog.hwnd, VK_UP, 5);
    EXPECT_EQ(ItemText(dialog.hwnd, IDC_OPTIONS_INTERVAL_TEXT), "100");
    Click(dialog.hwnd, IDC_OPTIONS_OK);
    EXPECT_EQ(Row().intervalMinutes, 100);
  }
  Row().intervalMinutes = 3;
  {
    ModelessDialog dialog(IDD_DRIVE_OPTIONS, DriveOptionsDialogProc);
    Turn(dialog.hwnd, VK_DOWN, 5);
    EXPECT_EQ(ItemText(dialog.hwnd, IDC_OPTIONS_INTERVAL_TEXT), "1");
    Click(dialog.hwnd, IDC_OPTIONS_OK);
    EXPECT_EQ(Row().intervalMinutes, 1);
  }
}

TEST_F(DriveOptionsDialogTest, OutOfRangeIntervalIsShownClampedAndOkStoresIt) {
  struct Case {
    uint16_t stored;
    const char* shown;
    uint16_t afterOk;
  } const cases[] = {{0, "1", 1}, {101, "100", 100}, {250, "100", 100}, {65535, "100", 100},
                     {100, "100", 100}, {1, "1", 1}};
  for (const Case& c : cases) {
    SetRow(ReflectToArchive, c.stored);
    ModelessDialog dialog(IDD_DRIVE_OPTIONS, DriveOptionsDialogProc);
    EXPECT_EQ(ItemText(dialog.hwnd, IDC_OPTIONS_INTERVAL_TEXT), c.shown) << c.stored;
    Click(dialog.hwnd, IDC_OPTIONS_OK);
    EXPECT_EQ(Row().intervalMinutes, c.afterOk) << c.stored;
  }
}

TEST_F(DriveOptionsDialogTest, CancelKeepsTheDraftAsItWas) {
  SetRow(ReflectToArchive | TimedUpdate, 20, "C:\\a.zip");
  DriveSlot before = Row();
  ModelessDialog dialog(IDD_DRIVE_OPTIONS, DriveOptionsDialogProc);
  Click(dialog.hwnd, IDC_OPTIONS_NO_REFLECT);
  Click(dialog.hwnd, IDC_OPTIONS_KEEP_FOLDER);
  Turn(dialog.hwnd, VK_UP, 4);
  EXPECT_EQ(ItemText(dialog.hwnd, IDC_OPTIONS_INTERVAL_TEXT), "24");
  Click(dialog.hwnd, IDC_OPTIONS_CANCEL);
  EXPECT_TRUE(dialog.Closed());
  EXPECT_EQ(memcmp(&Row(), &before, sizeof before), 0);
}

TEST_F(DriveOptionsDialogTest, EscAndCloseBoxDoNotCloseIt) {
  SetRow(ReflectToArchive, 20);
  ModelessDialog dialog(IDD_DRIVE_OPTIONS, DriveOptionsDialogProc);
  Click(dialog.hwnd, IDC_OPTIONS_KEEP_FOLDER);
  Command(dialog.hwnd, IDCANCEL);
  SendMessageA(dialog.hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
  EXPECT_FALSE(dialog.Closed());
  EXPECT_EQ(Row().flags, ReflectToArchive);
  Click(dialog.hwnd, IDC_OPTIONS_OK);
  EXPECT_EQ(Row().flags, ReflectToArchive | KeepFolderOnExit);
}

TEST_F(DriveOptionsDialogTest, NoRowToEditEndsItUnshownWithoutTouchingTheDraft) {
  for (int32_t row : {-1, 26, 1000}) {
    SelectedRow = row;
    SettingsDraft before;
    memcpy(&before, &settingsDraft, sizeof before);
    WindowScript script;
    script.Then("仮想ドライブの設定", [](HWND dialog) { Click(dialog, IDC_OPTIONS_OK); });
    EXPECT_EQ(driveOptionsDialogRunner.Run(application.instanceHandle, IDD_DRIVE_OPTIONS, nullptr,
                                           DriveOptionsDialogProc, 0),
              0)
        << row;
    EXPECT_EQ(script.PendingActions(), 1u) << "the dialog was shown for row " << row;
    EXPECT_EQ(memcmp(&before, &settingsDraft, sizeof before), 0) << row;
  }
}

TEST_F(DriveOptionsDialogTest, ModalRunEndsWithOneAfterOkAndZeroAfterCancel) {
  SetRow(0, 9);
  {
    WindowScript script;
    script.Then("仮想ドライブの設定", [](HWND dialog) {
      Click(dialog, IDC_OPTIONS_REFLECT);
      Click(dialog, IDC_OPTIONS_TIMED_UPDATE);
      Click(dialog, IDC_OPTIONS_OK);
    });
    EXPECT_EQ(driveOptionsDialogRunner.Run(application.instanceHandle, IDD_DRIVE_OPTIONS, nullptr,
                                           DriveOptionsDialogProc, 0),
              1);
    EXPECT_EQ(script.PendingActions(), 0u);
  }
  EXPECT_EQ(Row().flags, ReflectToArchive | TimedUpdate);
  {
    WindowScript script;
    script.Then("仮想ドライブの設定", [](HWND dialog) {
      Click(dialog, IDC_OPTIONS_NO_REFLECT);
      Click(dialog, IDC_OPTIONS_CANCEL);
    });
    EXPECT_EQ(driveOptionsDialogRunner.Run(application.instanceHandle, IDD_DRIVE_OPTIONS, nullptr,
                                           DriveOptionsDialogProc, 0),
              0);
  }
  EXPECT_EQ(Row().flags, ReflectToArchive | TimedUpdate);
}

}  // namespace
