#include "tray_icon.h"

#include <cstring>

#include "toolkit_state.h"

namespace {
const size_t TipCapacity = 64;  // the first version's tip, terminator included
}

TrayIcon::TrayIcon() {
  memset(&data, 0, sizeof data);
  data.cbSize = NOTIFYICONDATAA_V1_SIZE;  // 88
  data.uID = static_cast<UINT>(trayIconCounter);
  ++trayIconCounter;
}

int TrayIcon::Show(HWND window, UINT message, HICON icon, const char* tip, UINT flags) {
  if (tip == nullptr) tip = "";
  size_t length = strlen(tip);
  if (length >= TipCapacity) return 0;
  data.hWnd = window;
  data.uCallbackMessage = message;
  data.hIcon = icon;
  memset(data.szTip, 0, TipCapacity);
  memcpy(data.szTip, tip, length);
  data.uFlags = flags;
  if (added) return Shell_NotifyIconA(NIM_MODIFY, &data) ? 1 : 0;
  if (!Shell_NotifyIconA(NIM_ADD, &data)) return 0;
  added = 1;
  return 1;
}

int TrayIcon::Readd() {
  if (data.hWnd == nullptr) return 0;
  if (Shell_NotifyIconA(NIM_ADD, &data)) {
    added = 1;
    return 1;
  }
  // The add is refused when the shell still holds the icon: then it is there all the same.
  if (added && Shell_NotifyIconA(NIM_MODIFY, &data)) return 1;
  added = 0;
  return 0;
}

int TrayIcon::Remove() {
  if (!added) return 0;
  BOOL result = Shell_NotifyIconA(NIM_DELETE, &data);
  added = 0;
  return result ? 1 : 0;
}

int TrayIcon::Balloon(const char* title, const char* text) {
  if (!added) return 0;
  NOTIFYICONDATAA balloon = data;
  // Balloons came with the second version of the record.
  balloon.cbSize = NOTIFYICONDATAA_V2_SIZE;
  balloon.uFlags = NIF_INFO;
  balloon.dwInfoFlags = NIIF_WARNING;
  if (strlen(title) >= sizeof balloon.szInfoTitle || strlen(text) >= sizeof balloon.szInfo) {
    return 0;
  }
  strcpy(balloon.szInfoTitle, title);
  strcpy(balloon.szInfo, text);
  return Shell_NotifyIconA(NIM_MODIFY, &balloon) ? 1 : 0;
}

int TrayIcon::ShowTip(const char* tip) {
  if (!added || strlen(tip) >= TipCapacity) return 0;
  NOTIFYICONDATAA other = data;
  other.uFlags = NIF_TIP;
  memset(other.szTip, 0, TipCapacity);
  memcpy(other.szTip, tip, strlen(tip));
  return Shell_NotifyIconA(NIM_MODIFY, &other) ? 1 : 0;
}
