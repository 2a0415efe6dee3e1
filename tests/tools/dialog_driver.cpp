// dialog_driver: works the settings dialog and the drive options dialog of a running
// Tembrook from outside its process, as a user's clicks would, for the end-to-end test and
// the screenshots. Every message it sends carries plain numbers, so nothing needs memory
// in the other process.
//
//   dialog_driver open-settings LETTER   the tray's Settings command; selects LETTER's row
//   dialog_driver settings-click ID      clicks a button of the settings dialog and waits for
//                                        what follows (1005: the options dialog; 1006 and
//                                        1007: the dialog gone)
//   dialog_driver options-click ID...    clicks buttons of the drive options dialog in order
//                                        (1019 and 1020 wait for the dialog to go)
//   dialog_driver options-turn N         turns the interval N steps up (down when negative)
//   dialog_driver options-state          prints the options dialog's state, one key=value a
//                                        line (texts in UTF-8)
//   dialog_driver exit                   the tray's Exit command
//
// An optional last argument "--status FILE" writes the exit code into FILE as well (the
// screenshots run the driver inside a desktop window, where exit codes are lost).
// Exit code 0 on success, 1 when a window did not appear or go as expected, 2 on bad usage.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "resource_ids.h"

namespace {

const char* const MainClass = "Orvalian       0";
const DWORD WaitMs = 30000;

HWND MainWindow() { return FindWindowA(MainClass, "Tembrook"); }
HWND SettingsDialog() { return FindWindowA("#32770", "設定"); }
HWND OptionsDialog() { return FindWindowA("#32770", "仮想ドライブの設定"); }

// Waits until the finder's window is shown (want true) or gone (want false).
HWND WaitFor(HWND (*find)(), bool want) {
  DWORD start = GetTickCount();
  for (;;) {
    HWND window = find();
    bool shown = window != nullptr && IsWindowVisible(window);
    if (shown == want) return want ? window : reinterpret_cast<HWND>(1);
    if (GetTickCount() - start > WaitMs) return nullptr;
    Sleep(20);
  }
}

// Sent, not posted, so that it has been handled when the call returns: the other thread
// handles sent messages before anything waiting in its queue.
LRESULT Send(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  DWORD_PTR result = 0;
  SendMessageTimeoutA(window, message, wParam, lParam, SMTO_NORMAL, WaitMs, &result);
  return static_cast<LRESULT>(result);
}

// A click that opens a modal loop or ends the dialog is posted; the caller waits for the
// window that follows.
void PostClick(HWND dialog, int id) { PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }
void SendClick(HWND dialog, int id) { Send(GetDlgItem(dialog, id), BM_CLICK, 0, 0); }

std::string Utf8(HWND window) {
  wchar_t wide[1024] = L"";
  GetWindowTextW(window, wide, 1024);
  char text[4096] = "";
  WideCharToMultiByte(CP_UTF8, 0, wide, -1, text, sizeof text, nullptr, nullptr);
  return text;
}

int OpenSettings(char letter) {
  HWND main = MainWindow();
  for (DWORD start = GetTickCount(); main == nullptr && GetTickCount() - start < WaitMs;) {
    Sleep(20);
    main = MainWindow();
  }
  if (main == nullptr) {
    fprintf(stderr, "no main window\n");
    return 1;
  }
  PostMessageA(main, WM_COMMAND, IDM_SETTINGS, 0);
  HWND dialog = WaitFor(SettingsDialog, true);
  if (dialog == nullptr) {
    fprintf(stderr, "the settings dialog did not open\n");
    return 1;
  }
  int row = letter - 'A';
  if (row < 0 || row >= 26) return 2;
  // The list's own keys move the selection: Home takes the first row, each Down the next.
  HWND list = GetDlgItem(dialog, IDC_SETTINGS_DRIVE_LIST);
  Send(list, WM_KEYDOWN, VK_HOME, 0);
  for (int i = 0; i < row; ++i) Send(list, WM_KEYDOWN, VK_DOWN, 0);
  LRESULT selected = Send(list, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_SELECTED);
  if (selected != row) {
    fprintf(stderr, "row %ld selected, wanted %d\n", static_cast<long>(selected), row);
    return 1;
  }
  return 0;
}

int SettingsClick(int id) {
  HWND dialog = SettingsDialog();
  if (dialog == nullptr) {
    fprintf(stderr, "no settings dialog\n");
    return 1;
  }
  if (id == IDC_SETTINGS_DRIVE_OPTIONS) {
    PostClick(dialog, id);
    return WaitFor(OptionsDialog, true) != nullptr ? 0 : 1;
  }
  if (id == IDC_SETTINGS_OK || id == IDC_SETTINGS_CANCEL) {
    PostClick(dialog, id);
    if (WaitFor(SettingsDialog, false) == nullptr) return 1;
    // Hidden is not yet gone: the program is back in its own loop once it answers.
    HWND main = MainWindow();
    if (main != nullptr) Send(main, WM_NULL, 0, 0);
    return 0;
  }
  SendClick(dialog, id);
  return 0;
}

int OptionsClick(int id) {
  HWND dialog = OptionsDialog();
  if (dialog == nullptr) {
    fprintf(stderr, "no options dialog\n");
    return 1;
  }
  if (id == IDC_OPTIONS_OK || id == IDC_OPTIONS_CANCEL) {
    PostClick(dialog, id);
    return WaitFor(OptionsDialog, false) != nullptr ? 0 : 1;
  }
  SendClick(dialog, id);
  return 0;
}

int OptionsTurn(int steps) {
  HWND dialog = OptionsDialog();
  if (dialog == nullptr) return 1;
  // The up-down control takes the arrow keys itself.
  HWND upDown = GetDlgItem(dialog, IDC_OPTIONS_INTERVAL_SPIN);
  for (int i = 0; i < abs(steps); ++i) Send(upDown, WM_KEYDOWN, steps > 0 ? VK_UP : VK_DOWN, 0);
  return 0;
}

int OptionsState() {
  HWND dialog = OptionsDialog();
  if (dialog == nullptr) return 1;
  const struct {
    const char* name;
    int id;
  } boxes[] = {{"noreflect", IDC_OPTIONS_NO_REFLECT},
               {"reflect", IDC_OPTIONS_REFLECT},
               {"timed", IDC_OPTIONS_TIMED_UPDATE},
               {"onchange", IDC_OPTIONS_UPDATE_ON_CHANGE},
               {"repack", IDC_OPTIONS_DELETE_BEFORE_REPACK},
               {"keep", IDC_OPTIONS_KEEP_FOLDER}};
  for (const auto& box : boxes) {
    HWND button = GetDlgItem(dialog, box.id);
    printf("%s=%d%s\n", box.name, static_cast<int>(Send(button, BM_GETCHECK, 0, 0)),
           IsWindowEnabled(button) ? "" : " disabled");
  }
  printf("interval=%s\n", Utf8(GetDlgItem(dialog, IDC_OPTIONS_INTERVAL_TEXT)).c_str());
  printf("path=%s\n", Utf8(GetDlgItem(dialog, IDC_OPTIONS_ARCHIVE_PATH)).c_str());
  printf("group=%s\n", Utf8(GetDlgItem(dialog, IDC_OPTIONS_GROUP)).c_str());
  return 0;
}

int Exit() {
  HWND main = MainWindow();
  if (main == nullptr) return 1;
  PostMessageA(main, WM_COMMAND, IDM_EXIT, 0);
  return 0;
}

int Run(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string command = argv[1];
  if (command == "open-settings" && argc == 3) return OpenSettings(argv[2][0]);
  if (command == "settings-click" && argc == 3) return SettingsClick(atoi(argv[2]));
  if (command == "options-click" && argc >= 3) {
    for (int i = 2; i < argc; ++i) {
      int result = OptionsClick(atoi(argv[i]));
      if (result != 0) return result;
    }
    return 0;
  }
  if (command == "options-turn" && argc == 3) return OptionsTurn(atoi(argv[2]));
  if (command == "options-state" && argc == 2) return OptionsState();
  if (command == "exit" && argc == 2) return Exit();
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const char* status = nullptr;
  if (argc >= 3 && strcmp(argv[argc - 2], "--status") == 0) {
    status = argv[argc - 1];
    argc -= 2;
  }
  int result = Run(argc, argv);
  fflush(stdout);
  if (status != nullptr) {
    FILE* f = fopen(status, "wb");
    if (f != nullptr) {
      fprintf(f, "%d\n", result);
      fclose(f);
    }
  }
  return result;
}
