#include "settings_dialog.h"

#include <objbase.h>
#include <shlobj.h>

#include <cstring>

#include "application.h"
#include "format_text.h"
#include "list_view_control.h"
#include "messages.h"
#include "resource_ids.h"

SettingsDraft settingsDraft;
int32_t SelectedRow = -1;
HWND openSettingsDialog = nullptr;

namespace {

enum DriveListColumn { LetterColumn = 0, KindColumn = 1, ArchiveColumn = 2, StateColumn = 3 };

// The formats list is built on the dialog's first use and kept until the process ends.
ListViewControl& FormatList() {
  static ListViewControl list;
  return list;
}

const char* KindName(DriveKind kind) { return DriveKindNames[static_cast<int>(kind) & 7]; }

const char* StateText(SlotFlags flags) {
  // Changes wait in the drive folder: a write-back failed, or the program ended without one.
  if (flags & WriteBackPending) return UpdatePendingText;
  return (flags & ReflectToArchive) ? UpdateOnText : UpdateOffText;
}

void FillFormatList(HWND dialog) {
  ListViewControl& list = FormatList();
  list.Attach(GetDlgItem(dialog, IDC_SETTINGS_FORMAT_LIST), nullptr);
  list.InsertColumn(0, FormatListHeading, 125);
  WritableFormats formats;
  ListWritableFormats(&formats);
  for (int i = 0; i < formats.count; ++i) list.SetItemText(0, 0, formats.names[i], AppendRow);
}

void FillDriveList(HWND dialog) {
  driveList.Attach(GetDlgItem(dialog, IDC_SETTINGS_DRIVE_LIST), nullptr);
  driveList.DeleteAllItems();
  driveList.SetFullRowSelect(1);
  driveList.InsertColumn(LetterColumn, DriveListHeadings[LetterColumn], 30);
  driveList.InsertColumn(KindColumn, DriveListHeadings[KindColumn], 100);
  driveList.InsertColumn(ArchiveColumn, DriveListHeadings[ArchiveColumn], 200);
  driveList.InsertColumn(StateColumn, DriveListHeadings[StateColumn], 60);

  for (int i = 0; i < LetterCount; ++i) {
    DriveKind kind = driveTable.kinds[i];
    const DriveSlot& slot = driveTable.slots[i];
    int row = driveList.SetItemText(0, LetterColumn, FormatText("%c:", 'A' + i), AppendRow);
    driveList.SetItemText(row, KindColumn, KindName(kind), SetCell);
    driveList.SetItemText(row, ArchiveColumn, slot.archivePath, SetCell);
    if (kind == DriveKind::Virtual) {
      driveList.SetItemText(row, StateColumn, StateText(slot.flags), SetCell);
    }

    DriveSlot& draft = settingsDraft.slots[i];
    memcpy(draft.archivePath, slot.archivePath, sizeof draft.archivePath);
    draft.archivePath[PathSize - 1] = '\0';
    draft.flags = slot.flags;
    draft.intervalMinutes = slot.intervalMinutes;
    settingsDraft.kinds[i] = kind;
  }
}

int OnInitDialog(HWND dialog) {
  if (openSettingsDialog != nullptr && IsWindow(openSettingsDialog)) {
    // Only one settings dialog: refilling the draft would throw away the open one's edits.
    SetForegroundWindow(GetLastActivePopup(openSettingsDialog));
    EndDialog(dialog, 0);
    return 0;
  }
  openSettingsDialog = dialog;
  FillFormatList(dialog);
  driveTable.RefreshDriveKinds();
  FillDriveList(dialog);
  SetDlgItemTextA(dialog, IDC_SETTINGS_FOLDER, driveTable.PendingTempRoot);
  return 1;
}

void MarkVirtual(HWND dialog, int row) {
  DriveKind kind = settingsDraft.kinds[row];
  if (kind == DriveKind::Virtual) {
    ShowMessage(dialog, AlreadyVirtualText);
    return;
  }
  if (kind != DriveKind::Free) {
    ShowMessage(dialog, NotUsableText);
    return;
  }
  driveList.SetItemText(row, KindColumn, KindName(DriveKind::Virtual), SetCell);
  driveList.SetItemText(row, StateColumn, UpdateOffText, SetCell);
  settingsDraft.kinds[row] = DriveKind::Virtual;
  settingsDraft.slots[row].flags = 0;
}

// 1 when the draft row is a virtual drive; otherwise tells the user why the row cannot be
// removed or edited.
int RowIsVirtual(HWND dialog, int row) {
  DriveKind kind = settingsDraft.kinds[row];
  if (kind == DriveKind::Free) {
    ShowMessage(dialog, NotInUseText);
    return 0;
  }
  if (kind != DriveKind::Virtual) {
    ShowMessage(dialog, NotUsableText);
    return 0;
  }
  return 1;
}

void MarkFree(HWND dialog, int row) {
  if (!RowIsVirtual(dialog, row)) return;
  driveList.SetItemText(row, KindColumn, KindName(DriveKind::Free), SetCell);
  driveList.SetItemText(row, ArchiveColumn, "", SetCell);
  driveList.SetItemText(row, StateColumn, "", SetCell);
  settingsDraft.kinds[row] = DriveKind::Free;
  settingsDraft.slots[row].archivePath[0] = '\0';
  settingsDraft.slots[row].flags = 0;
}

void EditOptions(HWND dialog, int row) {
  if (!RowIsVirtual(dialog, row)) return;
  driveOptionsDialogRunner.Run(application.instanceHandle, IDD_DRIVE_OPTIONS, dialog,
                               DriveOptionsDialogProc, 0);
  driveList.SetItemText(row, StateColumn, StateText(settingsDraft.slots[row].flags), SetCell);
}

void OnRowCommand(HWND dialog, int command) {
  SelectedRow = driveList.GetNextItem(LVNI_SELECTED);
  if (SelectedRow < 0 || SelectedRow >= LetterCount) return;
  switch (command) {
    case IDC_SETTINGS_CREATE: MarkVirtual(dialog, SelectedRow); break;
    case IDC_SETTINGS_REMOVE: MarkFree(dialog, SelectedRow); break;
    case IDC_SETTINGS_DRIVE_OPTIONS: EditOptions(dialog, SelectedRow); break;
  }
}

// Applies the draft to the table, letter by letter; 0 when a letter failed and the pass
// stopped there (the message has been shown).
int ApplyDraft(HWND dialog) {
  for (uint8_t i = 0; i < LetterCount; ++i) {
    DriveKind draftKind = settingsDraft.kinds[i];
    DriveKind tableKind = driveTable.kinds[i];
    const DriveSlot& draft = settingsDraft.slots[i];

    if (draftKind == DriveKind::Virtual && tableKind == DriveKind::Free) {
      if (!driveTable.CreateVirtualDrive(i, driveTable.TempRoot)) {
        ShowMessage(dialog, CreateFailedText);
        return 0;
      }
    } else if (draftKind == DriveKind::Free && tableKind == DriveKind::Virtual) {
      // A folder holding changes that could not be written back keeps its letter: it is
      // the only copy of them.
      if (!driveTable.SecureChanges(i)) {
        ShowKeptChanges(dialog, i, KeptChanges::RemovalRefused, driveTable.reports[i]);
        return 0;
      }
      if (!driveTable.RemoveVirtualDrive(i)) {
        ShowMessage(dialog, RemoveFailedText);
        return 0;
      }
    }

    driveTable.ApplyOptions(i, draft.flags, draft.intervalMinutes);
  }
  return 1;
}

void OnOk(HWND dialog) {
  ApplyDraft(dialog);
  // The folder box is taken whether or not the pass ran to its end. A text cut at 255
  // characters is too long for a root and is refused like any other unusable one.
  char folder[256];
  if (GetDlgItemTextA(dialog, IDC_SETTINGS_FOLDER, folder, sizeof folder) == 0) folder[0] = '\0';
  driveTable.SetPendingTempRoot(folder);
  EndDialog(dialog, 1);
}

void OnBrowse(HWND dialog) {
  char path[PathSize];
  if (ChooseFolder(path)) SetDlgItemTextA(dialog, IDC_SETTINGS_FOLDER, path);
}

}  // namespace

int ChooseFolder(char (&path)[PathSize]) {
  // The folder browser wants COM on the calling thread; balanced when this call started it.
  struct ComScope {
    HRESULT started = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ~ComScope() {
      if (SUCCEEDED(started)) CoUninitialize();
    }
  } com;
  IMalloc* allocator = nullptr;
  if (FAILED(SHGetMalloc(&allocator)) || allocator == nullptr) return 0;

  BROWSEINFOA info;
  memset(&info, 0, sizeof info);
  info.hwndOwner = MainWindow.hwnd;
  info.lpszTitle = ChooseRootTitle;
  info.ulFlags = BIF_RETURNONLYFSDIRS;
  LPITEMIDLIST items = SHBrowseForFolderA(&info);
  if (items == nullptr) {
    allocator->Release();
    return 0;
  }
  int result = SHGetPathFromIDListA(items, path) ? 1 : 0;
  allocator->Free(items);
  allocator->Release();
  return result;
}

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog(dialog);
    case WM_COMMAND:
      // Only the control id counts; the standard cancel command (2) from Esc and the
      // close box is ignored, so only OK and Cancel close the dialog.
      switch (LOWORD(wParam)) {
        case IDC_SETTINGS_CREATE:
        case IDC_SETTINGS_REMOVE:
        case IDC_SETTINGS_DRIVE_OPTIONS: OnRowCommand(dialog, LOWORD(wParam)); break;
        case IDC_SETTINGS_CANCEL: EndDialog(dialog, 0); break;
        case IDC_SETTINGS_OK: OnOk(dialog); break;
        case IDC_SETTINGS_BROWSE: OnBrowse(dialog); break;
      }
      return 0;
    case WM_DESTROY:
      if (openSettingsDialog == dialog) openSettingsDialog = nullptr;
      return 0;
  }
  return 0;
}
