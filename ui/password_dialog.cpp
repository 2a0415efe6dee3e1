#include "password_dialog.h"

#include "application.h"
#include "format_text.h"
#include "messages.h"
#include "resource_ids.h"

HWND passwordOwner = nullptr;

namespace {

// What the open dialog asks for and where the answer goes.
struct PasswordRequest {
  uint8_t letter;
  const char* archive;
  int wrong;
  char* buffer;
  size_t size;
};

INT_PTR OnInitDialog(HWND dialog, const PasswordRequest& request) {
  SetDlgItemTextA(dialog, IDC_PASSWORD_PROMPT,
                  FormatText(PasswordPromptText, 'A' + request.letter));
  SetDlgItemTextA(dialog, IDC_PASSWORD_ARCHIVE, request.archive);
  SetDlgItemTextA(dialog, IDC_PASSWORD_WRONG, request.wrong ? WrongPasswordText : "");
  SendDlgItemMessageA(dialog, IDC_PASSWORD_EDIT, EM_LIMITTEXT, request.size - 1, 0);
  SetFocus(GetDlgItem(dialog, IDC_PASSWORD_EDIT));
  // The focus is set here: the system must not move it.
  return FALSE;
}

// The typed text goes to the request's buffer; the edit box is emptied before it closes.
void OnOk(HWND dialog, const PasswordRequest& request) {
  GetDlgItemTextA(dialog, IDC_PASSWORD_EDIT, request.buffer, static_cast<int>(request.size));
  SetDlgItemTextA(dialog, IDC_PASSWORD_EDIT, "");
  EndDialog(dialog, 1);
}

}  // namespace

int AskArchivePassword(uint8_t letter, const char* archive, int wrong, char* buffer,
                       size_t size) {
  if (buffer == nullptr || size < 2) return 0;
  PasswordRequest request = {letter, archive, wrong, buffer, size};
  DialogRunner runner;
  int answer = runner.Run(application.instanceHandle, IDD_PASSWORD, passwordOwner,
                          PasswordDialogProc, 0, reinterpret_cast<LPARAM>(&request));
  return answer == 1 && buffer[0] != '\0';
}

INT_PTR CALLBACK PasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* request = reinterpret_cast<PasswordRequest*>(GetWindowLongPtrA(dialog, DWLP_USER));
  switch (message) {
    case WM_INITDIALOG:
      SetWindowLongPtrA(dialog, DWLP_USER, lParam);
      return OnInitDialog(dialog, *reinterpret_cast<PasswordRequest*>(lParam));
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK:
        case IDC_PASSWORD_OK:
          if (request != nullptr) OnOk(dialog, *request);
          break;
        case IDCANCEL:
        case IDC_PASSWORD_CANCEL:
          SetDlgItemTextA(dialog, IDC_PASSWORD_EDIT, "");
          EndDialog(dialog, 0);
          break;
      }
      return 0;
  }
  return 0;
}
