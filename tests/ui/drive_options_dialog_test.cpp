// The drive options dialog on its real resource, run on a draft row as the settings dialog
// runs it.
#include "drive_options_dialog.h"

#include <gtest/gtest.h>

#include "application.h"
#include "resource_ids.h"
#include "settings_dialog.h"
#include "test_support.h"

namespace {

constexpr int M = 'M' - 'A';

void Click(HWND dialog, int id) { SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

// Runs the dialog on draft row M: holding the flags and interval; act runs once on it and
// ends it.
int RunDialog(SlotFlags flags, uint16_t interval, std::function<void(HWND)> act) {
  test::ModalScript script;
  script.Then("仮想ドライブの設定", std::move(act));
  SelectedRow = M;
  settingsDraft.slots[M].flags = flags;
  settingsDraft.slots[M].intervalMinutes = interval;
  return driveOptionsDialogRunner.Run(GetModuleHandleA(nullptr), IDD_DRIVE_OPTIONS, nullptr,
                                      DriveOptionsDialogProc, 0);
}

// The low byte holds the write-back options; the high byte (keeping the folder, the run-time
// marks) and bits the dialog does not show are carried through untouched.
TEST(DriveOptionsDialogTest, ClicksChangeTheirOwnBitsAndOkStoresEveryBit) {
  const SlotFlags marks = KeepFolderOnExit | WriteBackPending | TimerRunning | 0x4000;
  const struct {
    SlotFlags open;
    std::vector<int> clicks;
    SlotFlags stored;
  } cases[] = {
      {ReflectToArchive | TimedUpdate | 0x0080 | marks, {IDC_OPTIONS_NO_REFLECT}, marks},
      {TimedUpdate | 0x0040 | WriteBackPending, {}, TimedUpdate | 0x0040 | WriteBackPending},
      {0,
       {IDC_OPTIONS_REFLECT, IDC_OPTIONS_TIMED_UPDATE, IDC_OPTIONS_DELETE_BEFORE_REPACK,
        IDC_OPTIONS_KEEP_FOLDER},
       ReflectToArchive | TimedUpdate | DeleteBeforeRepack | KeepFolderOnExit},
      {ReflectToArchive | TimedUpdate | KeepFolderOnExit,
       {IDC_OPTIONS_TIMED_UPDATE, IDC_OPTIONS_UPDATE_ON_CHANGE, IDC_OPTIONS_KEEP_FOLDER},
       ReflectToArchive | UpdateOnChange},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(1, RunDialog(c.open, 5, [&](HWND dialog) {
      for (int id : c.clicks) Click(dialog, id);
      Click(dialog, IDC_OPTIONS_OK);
    }));
    EXPECT_EQ(c.stored, settingsDraft.slots[M].flags) << c.open;
  }
  EXPECT_EQ(0, RunDialog(ReflectToArchive, 5, [](HWND dialog) {
    Click(dialog, IDC_OPTIONS_NO_REFLECT);
    Click(dialog, IDC_OPTIONS_CANCEL);
  }));
  EXPECT_EQ(ReflectToArchive, settingsDraft.slots[M].flags);
}

TEST(DriveOptionsDialogTest, IntervalOutOfRangeIsShownClampedAndOkStoresIt) {
  for (auto [stored, shown] : {std::pair(0, "2"), std::pair(250, "100"), std::pair(42, "43")}) {
    std::string text;
    RunDialog(ReflectToArchive, stored, [&](HWND dialog) {
      SendMessageA(GetDlgItem(dialog, IDC_OPTIONS_INTERVAL_SPIN), WM_KEYDOWN, VK_UP, 0);
      text = test::TextOf(GetDlgItem(dialog, IDC_OPTIONS_INTERVAL_TEXT));
      Click(dialog, IDC_OPTIONS_OK);
    });
    EXPECT_EQ(shown, text);
    EXPECT_EQ(std::stoi(shown), settingsDraft.slots[M].intervalMinutes);
  }
}

}  // namespace
