// The program's global objects for the test executable, in the program's order. The table's
// teardown leaves the settings file alone here: the tests never run its start-up.
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
