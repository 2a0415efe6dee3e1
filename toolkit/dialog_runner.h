// Runs a dialog from a resource template, modal or modeless.
#pragma once

#include <windows.h>

class DialogRunner {
 public:
  HWND hwnd = nullptr;  // the last modeless dialog started; it destroys itself

  // Modal (modeless 0): runs the dialog and returns the value it ended with (-1 when it
  // could not be created). Modeless: creates and shows it, keeps its window in hwnd and
  // returns 0. parameter reaches the procedure with WM_INITDIALOG.
  int Run(HINSTANCE instance, WORD templateId, HWND parent, DLGPROC procedure, int modeless,
          LPARAM parameter = 0);
};
