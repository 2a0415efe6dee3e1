// The application shell: start-up, the hidden main window with the tray icon and its menu,
// and the program's one message loop.
#include "application.h"

#include <shellapi.h>

#include "busy_tip.h"
#include "file_handle.h"
#include "messages.h"
#include "password_dialog.h"
#include "resource_ids.h"

namespace {

const char* const VersionText = "Ver. 0.91";
// Held until the process ends, so a second start finds the first however it ends.
const char* const InstanceMutexName = "Tembrook.ResidentInstance";

// Registered at start-up; the shell broadcasts it when the task bar has been re-created
// (Explorer restarted), and every tray icon must then be added again.
UINT taskbarCreatedMessage = 0;

// Set while the drop bar's modal loop runs: the tray icon stays live meanwhile, and a second
// bar would act on the same letters.
int dropBarOpen = 0;

HICON ProgramIcon() {
  return LoadIconA(application.instanceHandle, MAKEINTRESOURCEA(IDI_TEMBROOK));
}

void OpenSettings() {
  settingsDialogRunner.Run(application.instanceHandle, IDD_SETTINGS, MainWindow.hwnd,
                           SettingsDialogProc, 0);
}

void OpenHelp() {
  // ShellExecuteA may put up an error box of its own for a missing file; a missing help page
  // shows nothing.
  DWORD attributes = GetFileAttributesA("Help.htm");
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
  ShellExecuteA(nullptr, "open", "Help.htm", nullptr, nullptr, SW_SHOW);
}

void ShowVersion() {
  ShellAboutA(MainWindow.hwnd, ApplicationName, VersionText, ProgramIcon());
}

void OpenDropBar() {
  if (dropBarOpen) return;
  dropBarOpen = 1;
  dropBarRunner.Run(application.instanceHandle, IDD_DROP_BAR, MainWindow.hwnd, DropBarProc, 0);
  dropBarOpen = 0;
}

void OpenTrayMenu() {
  POINT cursor = {};
  GetCursorPos(&cursor);
  // The menu closes on a click outside it only while our window is the foreground window.
  SetForegroundWindow(MainWindow.hwnd);
  HMENU menu = LoadMenuA(application.instanceHandle, MAKEINTRESOURCEA(IDM_TRAY));
  if (menu == nullptr) return;
  TrackPopupMenu(GetSubMenu(menu, 0), TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0,
                 MainWindow.hwnd, nullptr);
  // Without a message after the menu, the next right click may open it only to close it at
  // once (the foreground switch is not complete until the queue moves on).
  PostMessageA(MainWindow.hwnd, WM_NULL, 0, 0);
  DestroyMenu(menu);
}

void OnCommand(WORD command) {
  switch (command) {
    case IDM_SETTINGS: OpenSettings(); break;
    case IDM_EXIT: DestroyWindow(MainWindow.hwnd); break;
    case IDM_HELP: OpenHelp(); break;
    case IDM_VERSION: ShowVersion(); break;
    default: break;
  }
}

void OnTrayNotify(LPARAM mouseMessage) {
  switch (mouseMessage) {
    case WM_LBUTTONDOWN: OpenDropBar(); break;
    case WM_RBUTTONDOWN: OpenTrayMenu(); break;
    default: break;
  }
}

}  // namespace

Application::Application() : instanceHandle(nullptr), commandLine(nullptr), showCommand(0) {
  EnterExecutableDirectory();
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam));
      return 0;
    case WM_TRAYNOTIFY:
      OnTrayNotify(lParam);
      return 0;
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // The session may end the process as soon as this returns: write back, save and unmap
      // now, with no message box to hold up the log-off. The teardown then finds it done.
      if (wParam) driveTable.SaveAndShutdown(0);
      return 0;
    default:
      if (taskbarCreatedMessage != 0 && message == taskbarCreatedMessage) {
        trayIcon.Readd();
        return 0;
      }
      return DefWindowProcA(window, message, wParam, lParam);
  }
}

int CreateMainWindow() {
  taskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");
  MainWindow.ApplyPreset(0, 0);
  MainWindow.Place(-50, -50, 0, 0, 1);
  HMENU menu = LoadMenuA(application.instanceHandle, MAKEINTRESOURCEA(IDM_TRAY));
  MainWindow.AttachMenu(menu);
  if (!MainWindow.Create(MainWindowProc, nullptr, application.instanceHandle)) {
    MainWindow.AttachMenu(nullptr);
    if (menu != nullptr) DestroyMenu(menu);
    return 0;
  }
  MainWindow.Caption(ApplicationName, 0);
  // A refused add is tried again when the task bar announces itself.
  trayIcon.Show(MainWindow.hwnd, WM_TRAYNOTIFY, ProgramIcon(), ApplicationName,
                NIF_MESSAGE | NIF_ICON | NIF_TIP);
  return 1;
}

int InitApplication() {
  if (!driveTable.RestoreState()) return 0;
  if (!CreateMainWindow()) {
    // Without the window nothing could reach the program: say so and end.
    ShowMessage(nullptr, CannotStartText);
    return 0;
  }
  FileHandle file;
  if (!file.Open("Drive.bmp", GENERIC_READ)) {
    ShowMessage(MainWindow.hwnd, DriveImageMissingText);
    return 0;
  }
  if (!iconStrip.Load(file.handle)) {
    ShowMessage(MainWindow.hwnd, DriveImageUnreadableText);
    return 0;
  }
  file.Close();
  return 1;
}

int RunMessageLoop() {
  MSG message;
  for (;;) {
    if (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) return static_cast<int>(message.wParam);
      TranslateMessage(&message);
      DispatchMessageA(&message);
    } else {
      // Sleep until something arrives; input that came in while the last message was being
      // handled counts as new, so nothing already queued is slept over.
      MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
  }
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int showCommand) {
  application.instanceHandle = instance;
  application.commandLine = commandLine;
  application.showCommand = showCommand;

  // Two copies would map the same letters and write the same settings file: the second
  // ends before it touches either. The handle is left open until the process ends.
  HANDLE instanceMutex = CreateMutexA(nullptr, FALSE, InstanceMutexName);
  DWORD mutexError = GetLastError();
  if (instanceMutex == nullptr || mutexError == ERROR_ALREADY_EXISTS) {
    if (instanceMutex != nullptr || mutexError == ERROR_ACCESS_DENIED) {
      ShowMessage(nullptr, AlreadyRunningText);
    } else {
      ShowMessage(nullptr, CannotStartText);
    }
    return 0;
  }

  // The exit's boxes have no owner (the windows are gone by then); a failed timed
  // write-back shows a balloon from the tray icon.
  noticeIcon = &trayIcon;
  driveTable.noticeSink = ShowEngineNotice;
  driveTable.workSink = ShowLibraryWork;
  driveTable.passwordSink = AskArchivePassword;
  if (!InitApplication()) return 0;
  return RunMessageLoop();
}
