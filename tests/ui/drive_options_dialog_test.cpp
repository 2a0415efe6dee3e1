// The drive options dialog on its real resource, run on a draft row as the settings dialog
// runs it.
#include "drive_options_dialog.h"

#include <gtest/gtest.h>

#include "application.h"
#include "resource_ids.h"
#include "settings_dialog.h"
#include "test_support.h"

namespace {

constexpr int M = 'M' - 'A', Up = 0;  // Up: one turn of the interval's arrows

// Runs the dialog on draft row M: and clicks the controls, the last one ending it.
int RunDialog(SlotFlags flags, uint16_t interval, const std::vector<int>& clicks) {
  test::ModalScript script;
  script.Then(test::Captioned("仮想ドライブの設定"), [&](HWND dialog) {
    for (int id : clicks) {
      HWND control = GetDlgItem(dialog, id == Up ? IDC_OPTIONS_INTERVAL_SPIN : id);
      SendMessageA(control, id == Up ? WM_KEYDOWN : BM_CLICK, id == Up ? VK_UP : 0, 0);
    }
  });
  SelectedRow = M;
  settingsDraft.slots[M].flags = flags;
  settingsDraft.slots[M].intervalMinutes = interval;
  return driveOptionsDialogRunner.Run(GetModuleHandleA(nullptr), IDD_DRIVE_OPTIONS, nullptr,
                                      DriveOptionsDialogProc, 0);
}

// The low byte holds the write-back options; the high byte (keeping the folder, the run-time
// marks) and bits the dialog does not show are carried through untouched. An interval out of
// the range is shown clamped, and OK stores what is shown.
TEST(DriveOptionsDialogTest, ClicksChangeTheirOwnBitsAndOkStoresEveryBitAndTheInterval) {
  const SlotFlags marks = KeepFolderOnExit | WriteBackPending | TimerRunning | 0x4000;
  const int Ok = IDC_OPTIONS_OK;
  const struct {
    SlotFlags open;
    uint16_t interval;
    std::vector<int> clicks;
    SlotFlags stored;
    uint16_t storedInterval;
  } cases[] = {
      {ReflectToArchive | TimedUpdate | 0x0080 | marks, 5, {IDC_OPTIONS_NO_REFLECT, Ok}, marks, 5},
      {TimedUpdate | 0x0040 | marks, 0, {Up, Ok}, TimedUpdate | 0x0040 | marks, 2},
      {0, 250, {IDC_OPTIONS_REFLECT, IDC_OPTIONS_TIMED_UPDATE, IDC_OPTIONS_DELETE_BEFORE_REPACK,
                IDC_OPTIONS_KEEP_FOLDER, Up, Ok},
       ReflectToArchive | TimedUpdate | DeleteBeforeRepack | KeepFolderOnExit, 100},
      {ReflectToArchive | TimedUpdate | KeepFolderOnExit, 42,
       {IDC_OPTIONS_TIMED_UPDATE, IDC_OPTIONS_UPDATE_ON_CHANGE, IDC_OPTIONS_KEEP_FOLDER, Up, Ok},
       ReflectToArchive | UpdateOnChange, 43},
      {ReflectToArchive, 9, {IDC_OPTIONS_NO_REFLECT, Up, IDC_OPTIONS_CANCEL}, ReflectToArchive, 9},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.clicks.back() == Ok, RunDialog(c.open, c.interval, c.clicks));
    EXPECT_EQ(c.stored, settingsDraft.slots[M].flags) << c.open;
    EXPECT_EQ(c.storedInterval, settingsDraft.slots[M].intervalMinutes) << c.open;
  }
}

}  // namespace
