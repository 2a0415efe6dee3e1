#include "dialog_runner.h"

int DialogRunner::Run(HINSTANCE instance, WORD templateId, HWND parent, DLGPROC procedure,
                      int modeless) {
  if (!modeless) {
    return static_cast<int>(
        DialogBoxParamA(instance, MAKEINTRESOURCEA(templateId), parent, procedure, 0));
  }
  hwnd = CreateDialogParamA(instance, MAKEINTRESOURCEA(templateId), parent, procedure, 0);
  if (hwnd != nullptr) ShowWindow(hwnd, SW_SHOW);
  return 0;
}
