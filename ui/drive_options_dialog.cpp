#include "drive_options_dialog.h"

#include <commctrl.h>

#include "application.h"
#include "format_text.h"
#include "messages.h"
#include "resource_ids.h"
#include "settings_dialog.h"

SlotFlags WorkingFlags = 0;

namespace {

constexpr int MinimumInterval = 1;
constexpr int MaximumInterval = 100;

// The boxes that only make sense while changes are reflected in the archive.
const int ReflectingBoxes[] = {IDC_OPTIONS_TIMED_UPDATE, IDC_OPTIONS_UPDATE_ON_CHANGE,
                               IDC_OPTIONS_DELETE_BEFORE_REPACK};

void SetCheck(HWND dialog, int id, bool checked) {
  SendMessageA(GetDlgItem(dialog, id), BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

bool IsChecked(HWND dialog, int id) {
  return SendMessageA(GetDlgItem(dialog, id), BM_GETCHECK, 0, 0) != 0;
}

void EnableReflectingBoxes(HWND dialog, bool enable) {
  for (int id : ReflectingBoxes) EnableWindow(GetDlgItem(dialog, id), enable ? TRUE : FALSE);
}

// The bit a box stands for follows the box's check mark, which an automatic box has
// already changed when its click reaches the dialog.
void FollowBox(HWND dialog, int id, SlotFlags bit) {
  if (IsChecked(dialog, id)) {
    WorkingFlags = static_cast<SlotFlags>(WorkingFlags | bit);
  } else {
    WorkingFlags = static_cast<SlotFlags>(WorkingFlags & ~bit);
  }
}

int OnInitDialog(HWND dialog) {
  int row = SelectedRow;
  if (row < 0 || row >= LetterCount) {
    // No drive to edit: never reach outside the draft.
    EndDialog(dialog, 0);
    return 0;
  }
  const DriveSlot& draft = settingsDraft.slots[row];

  // A hand-edited interval outside the range is shown clamped, and OK stores what is shown.
  int interval = draft.intervalMinutes;
  if (interval < MinimumInterval) interval = MinimumInterval;
  if (interval > MaximumInterval) interval = MaximumInterval;
  UpDownControl& upDown = IntervalUpDown();
  upDown.Attach(GetDlgItem(dialog, IDC_OPTIONS_INTERVAL_SPIN));
  upDown.SetRange(MaximumInterval, MinimumInterval, interval);

  WorkingFlags = draft.flags;

  SetDlgItemTextA(dialog, IDC_OPTIONS_INTERVAL_TEXT, upDown.PositionText());
  SetDlgItemTextA(dialog, IDC_OPTIONS_ARCHIVE_PATH, draft.archivePath);
  SetDlgItemTextA(dialog, IDC_OPTIONS_GROUP, FormatText(DriveGroupCaption, 'A' + row));

  if (WorkingFlags & ReflectToArchive) {
    SetCheck(dialog, IDC_OPTIONS_REFLECT, true);
    SetCheck(dialog, IDC_OPTIONS_TIMED_UPDATE, (WorkingFlags & TimedUpdate) != 0);
    SetCheck(dialog, IDC_OPTIONS_UPDATE_ON_CHANGE, (WorkingFlags & UpdateOnChange) != 0);
    SetCheck(dialog, IDC_OPTIONS_DELETE_BEFORE_REPACK, (WorkingFlags & DeleteBeforeRepack) != 0);
  } else {
    // Bits set here without ReflectToArchive stay in WorkingFlags: only a click on
    // "do not reflect" clears them.
    SetCheck(dialog, IDC_OPTIONS_NO_REFLECT, true);
    EnableReflectingBoxes(dialog, false);
  }
  if (WorkingFlags & KeepFolderOnExit) SetCheck(dialog, IDC_OPTIONS_KEEP_FOLDER, true);
  return 1;
}

void OnNoReflect(HWND dialog) {
  // Keeping the folder and the marks are not the radio pair's business.
  WorkingFlags = static_cast<SlotFlags>(WorkingFlags & ~WriteBackOptions);
  for (int id : ReflectingBoxes) SetCheck(dialog, id, false);
  EnableReflectingBoxes(dialog, false);
}

void OnReflect(HWND dialog) {
  WorkingFlags = static_cast<SlotFlags>(WorkingFlags | ReflectToArchive);
  EnableReflectingBoxes(dialog, true);
}

void OnOk(HWND dialog) {
  int row = SelectedRow;
  if (row >= 0 && row < LetterCount) {
    DriveSlot& draft = settingsDraft.slots[row];
    draft.flags = WorkingFlags;
    HWND upDown = GetDlgItem(dialog, IDC_OPTIONS_INTERVAL_SPIN);
    draft.intervalMinutes = LOWORD(SendMessageA(upDown, UDM_GETPOS, 0, 0));
  }
  EndDialog(dialog, 1);
}

}  // namespace

UpDownControl& IntervalUpDown() {
  static UpDownControl upDown;
  return upDown;
}

INT_PTR CALLBACK DriveOptionsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog(dialog);
    case WM_COMMAND:
      // Only the control id counts; the standard cancel command (2) is ignored.
      switch (LOWORD(wParam)) {
        case IDC_OPTIONS_NO_REFLECT: OnNoReflect(dialog); break;
        case IDC_OPTIONS_REFLECT: OnReflect(dialog); break;
        case IDC_OPTIONS_TIMED_UPDATE: FollowBox(dialog, LOWORD(wParam), TimedUpdate); break;
        case IDC_OPTIONS_UPDATE_ON_CHANGE: FollowBox(dialog, LOWORD(wParam), UpdateOnChange); break;
        case IDC_OPTIONS_DELETE_BEFORE_REPACK:
          FollowBox(dialog, LOWORD(wParam), DeleteBeforeRepack);
          break;
        case IDC_OPTIONS_KEEP_FOLDER: FollowBox(dialog, LOWORD(wParam), KeepFolderOnExit); break;
        case IDC_OPTIONS_OK: OnOk(dialog); break;
        case IDC_OPTIONS_CANCEL: EndDialog(dialog, 0); break;
      }
      return 0;
    case WM_VSCROLL:
      if (reinterpret_cast<HWND>(lParam) == IntervalUpDown().hwnd) {
        SetDlgItemTextA(dialog, IDC_OPTIONS_INTERVAL_TEXT, IntervalUpDown().PositionText());
      }
      return 0;
  }
  return 0;
}
