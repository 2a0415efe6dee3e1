// The program's icon in the notification area.
#pragma once

#include <windows.h>
#include <shellapi.h>

class TrayIcon {
 public:
  // The first version of the record (88 bytes): the tip holds at most 63 characters.
  NOTIFYICONDATAA data;
  int added = 0;  // 1 while the shell holds the icon

  TrayIcon();  // takes the next identifier from trayIconCounter
  ~TrayIcon() { Remove(); }
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  // Adds the icon (or modifies it once added). 1 when the shell took it; 0 when the shell
  // refused, and 0 for a tip longer than 63 characters (nothing is changed then). A refused
  // add leaves added clear, so a later Show or Readd tries again.
  int Show(HWND window, UINT message, HICON icon, const char* tip, UINT flags);
  // Adds the icon again with what the last Show stored, for when the task bar was
  // re-created (its old icons are gone) or the first add failed. 0 when Show never ran or
  // the shell refused.
  int Readd();
  // The shell's answer to NIM_DELETE, 0 when no icon was shown.
  int Remove();
  // Shows another tip for a while; the stored one (data.szTip) is left as it is, and a
  // Show, Readd or ShowTip(data.szTip) puts it back. 0 when no icon is shown, the shell
  // refused, or the tip does not fit.
  int ShowTip(const char* tip);
  // A warning balloon from the icon. 0 when no icon is shown, the shell refused, or the
  // title (63) or text (255 characters) does not fit.
  int Balloon(const char* title, const char* text);
};
