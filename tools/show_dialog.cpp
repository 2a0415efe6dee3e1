// Puts one of the program's windows on the screen for a person to look at: the settings
// dialog, the drive options dialog, the password dialog (with sample content and no
// behaviour), or the drop bar with all 26 drive pictures beside a small window showing the
// program icon.
//   show_dialog dialog ID READY_FILE
//   show_dialog dropbar DRIVE_BMP READY_FILE
// READY_FILE is written once the window has been painted; the program ends by itself a
// few seconds later.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_handle.h"
#include "format_text.h"
#include "frame_window.h"
#include "icon_strip.h"
#include "list_view_control.h"
#include "resource_ids.h"
#include "up_down_control.h"

namespace {

const UINT_PTR ReadyTimer = 1;
const UINT_PTR CloseTimer = 2;
const UINT ReadyDelayMs = 1500;
const UINT LifetimeMs = 6000;

const char* readyFile = "";
IconStrip strip;
ListViewControl driveList;
ListViewControl formatList;
UpDownControl interval;

void WriteReadyFile() {
  FILE* f = fopen(readyFile, "wb");
  if (f != nullptr) fclose(f);
}

void FillSettings(HWND dialog) {
  driveList.Attach(GetDlgItem(dialog, IDC_SETTINGS_DRIVE_LIST), nullptr);
  driveList.SetFullRowSelect(1);
  driveList.InsertColumn(0, "No.", 30);
  driveList.InsertColumn(1, "タイプ", 100);
  driveList.InsertColumn(2, "使用ファイル", 200);
  driveList.InsertColumn(3, "状態", 60);
  const char* kinds[] = {"未使用", "未使用", "固定ドライブ", "仮想ドライブ", "未使用", "仮想ドライブ"};
  for (int i = 0; i < 6; ++i) {
    int row = driveList.SetItemText(i, 0, FormatText("%c:", 'A' + i), AppendRow);
    driveList.SetItemText(row, 1, kinds[i], SetCell);
    if (i == 3) driveList.SetItemText(row, 2, "C:\\アーカイブ\\写真.zip", SetCell);
    if (i == 3 || i == 5) driveList.SetItemText(row, 3, i == 3 ? "更新あり" : "更新なし", SetCell);
  }
  formatList.Attach(GetDlgItem(dialog, IDC_SETTINGS_FORMAT_LIST), nullptr);
  formatList.InsertColumn(0, "対応アーカイブ処理", 125);
  const char* formats[] = {"ZIP", "7-Zip", "TAR", "TAR+GZIP"};
  for (const char* format : formats) formatList.SetItemText(0, 0, format, AppendRow);
  SetDlgItemTextA(dialog, IDC_SETTINGS_FOLDER, "C:\\テンポラリ");
}

void FillDriveOptions(HWND dialog) {
  interval.Attach(GetDlgItem(dialog, IDC_OPTIONS_INTERVAL_SPIN));
  interval.SetRange(100, 1, 10);
  SetDlgItemTextA(dialog, IDC_OPTIONS_INTERVAL_TEXT, interval.PositionText());
  SetDlgItemTextA(dialog, IDC_OPTIONS_ARCHIVE_PATH, "C:\\アーカイブ\\写真.zip");
  SetDlgItemTextA(dialog, IDC_OPTIONS_GROUP, FormatText("%c:の情報", 'D'));
  CheckDlgButton(dialog, IDC_OPTIONS_REFLECT, BST_CHECKED);
  CheckDlgButton(dialog, IDC_OPTIONS_TIMED_UPDATE, BST_CHECKED);
  CheckDlgButton(dialog, IDC_OPTIONS_KEEP_FOLDER, BST_CHECKED);
}

// Asked again after a wrong password, with one typed: every line filled.
void FillPassword(HWND dialog) {
  SetDlgItemTextA(dialog, IDC_PASSWORD_PROMPT,
                  FormatText("仮想ドライブ%c:に開く圧縮ファイルのパスワードを入力してください。", 'D'));
  SetDlgItemTextA(dialog, IDC_PASSWORD_ARCHIVE, "C:\\メール\\見積書.zip");
  SetDlgItemTextA(dialog, IDC_PASSWORD_EDIT, "tembrook");
  SetDlgItemTextA(dialog, IDC_PASSWORD_WRONG, "パスワードが違います。もう一度入力してください。");
}

// The drop bar as the program shows it, with every letter listed.
void PlaceDropBar(HWND bar) {
  RECT work;
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
  SetWindowPos(bar, HWND_TOPMOST, work.right - 32 * 26, work.bottom - 32, 32 * 26, 32, 0);
}

void PaintDropBar(HWND bar) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(bar, &paint);
  for (int k = 0; k < 26; ++k) BitBlt(dc, 32 * k, 0, 32, 32, strip.memoryDc, 32 * k, 0, SRCCOPY);
  EndPaint(bar, &paint);
}

INT_PTR CALLBACK ShowProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG:
      switch (lParam) {
        case IDD_SETTINGS: FillSettings(dialog); break;
        case IDD_DRIVE_OPTIONS: FillDriveOptions(dialog); break;
        case IDD_PASSWORD: FillPassword(dialog); break;
        case IDD_DROP_BAR: PlaceDropBar(dialog); break;
      }
      SetTimer(dialog, ReadyTimer, ReadyDelayMs, nullptr);
      SetTimer(dialog, CloseTimer, LifetimeMs, nullptr);
      return TRUE;
    case WM_PAINT:
      if (strip.memoryDc == nullptr) return FALSE;
      PaintDropBar(dialog);
      return TRUE;
    case WM_TIMER:
      if (wParam == ReadyTimer) {
        KillTimer(dialog, ReadyTimer);
        WriteReadyFile();
      } else {
        EndDialog(dialog, 0);
      }
      return TRUE;
  }
  return FALSE;
}

LRESULT CALLBACK IconWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_PAINT) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(hwnd, &paint);
    DrawIcon(dc, 16, 16, LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_TEMBROOK)));
    EndPaint(hwnd, &paint);
    return 0;
  }
  return DefWindowProcA(hwnd, message, wParam, lParam);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    fprintf(stderr, "usage: show_dialog dialog ID READY_FILE | dropbar DRIVE_BMP READY_FILE\n");
    return 2;
  }
  HINSTANCE instance = GetModuleHandleA(nullptr);
  readyFile = argv[3];
  if (strcmp(argv[1], "dialog") == 0) {
    int id = atoi(argv[2]);
    return DialogBoxParamA(instance, MAKEINTRESOURCEA(id), nullptr, ShowProc, id) < 0 ? 1 : 0;
  }
  if (strcmp(argv[1], "dropbar") != 0) return 2;

  FileHandle file;
  if (!file.Open(argv[2], GENERIC_READ) || !strip.Load(file.handle)) {
    fprintf(stderr, "show_dialog: cannot load %s\n", argv[2]);
    return 1;
  }
  FrameWindow iconWindow;
  iconWindow.ApplyPreset(1, 0);
  iconWindow.Place(40, 40, 64, 64, 0);
  iconWindow.Caption("Tembrook", 0);
  if (!iconWindow.Create(IconWindowProc, nullptr, instance)) return 1;
  INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_DROP_BAR), nullptr, ShowProc,
                                   IDD_DROP_BAR);
  DestroyWindow(iconWindow.hwnd);
  return result < 0 ? 1 : 0;
}
