// The program's global objects, in the one order the shut-down relies on: constructed top
// to bottom before WinMain runs, torn down bottom to top after it returns. The DriveTable
// comes first so that its teardown, SaveAndShutdown, runs last, after the tray icon has gone
// and the main window's class has been unregistered (its message boxes have no owner).
// Only this file may hold objects with constructors or destructors at namespace scope.
#include "application.h"

DriveTable driveTable;
Application application;
CursorPoint cursorPoint;
TrayIcon trayIcon;
FrameWindow MainWindow;
IconStrip iconStrip;
DialogRunner settingsDialogRunner;
DialogRunner driveOptionsDialogRunner;
DialogRunner dropBarRunner;
ListViewControl driveList;
