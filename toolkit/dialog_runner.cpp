#include "dialog_runner.h"

int DialogRunner::Run(HINSTANCE instance, WORD templateId, HWND parent, DLGPROC procedure,
                      int modeless, LPARAM parameter) {
  if (!modeless) {
    return static_cast<int>(
        DialogBoxParamA(instance, MAKEINTRESOURCEA(templateId), parent, procedure, parameter));
  }
  hwnd = CreateDialogParamA(instance, MAKEINTRESOURCEA(templateId), parent, procedure, parameter);
  if (hwnd != nullptr) ShowWindow(hwnd, SW_SHOW);
  return 0;
}
