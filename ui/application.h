// The program's global objects and the entry points of its windows and dialogs.
//
// The objects are defined together, in this order, in application_globals.cpp (tests define
// their own set): C++ orders construction only within one translation unit, and the
// shut-down relies on the order — the DriveTable is built first and torn down last, so its
// SaveAndShutdown runs after the tray icon and the main window are gone.
#pragma once

#include <windows.h>

#include <cstdint>

#include "cursor_point.h"
#include "dialog_runner.h"
#include "drive_table.h"
#include "frame_window.h"
#include "icon_strip.h"
#include "list_view_control.h"
#include "tray_icon.h"

// The tray icon's callback message.
UINT const WM_TRAYNOTIFY = WM_APP + 100;

struct Application {
  HINSTANCE instanceHandle;
  LPSTR commandLine;  // recorded, never interpreted
  int showCommand;    // recorded, not used

  Application();  // makes the executable's folder the current directory
};

extern DriveTable driveTable;
extern Application application;
extern CursorPoint cursorPoint;
extern TrayIcon trayIcon;
extern FrameWindow MainWindow;
extern IconStrip iconStrip;
extern DialogRunner settingsDialogRunner;      // dialog 101
extern DialogRunner driveOptionsDialogRunner;  // dialog 108
extern DialogRunner dropBarRunner;             // dialog 107
extern ListViewControl driveList;              // the settings dialog's drive list

int InitApplication();
// The hidden main window and the tray icon (start-up's middle part): 0 when the window could
// not be made.
int CreateMainWindow();
// The program's message loop: one message a pass, asleep while the queue is empty. Returns
// the quit message's code.
int RunMessageLoop();
LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DropBarProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK DriveOptionsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
