// shell_probe: the Windows side of the end-to-end tests. Each call does one check or one
// action on a running Tembrook from outside its process and prints what it found.
//
//   shell_probe main MS              the main window's handle, waiting up to MS
//   shell_probe post HWND MSG WP LP  PostMessageA
//   shell_probe bar MS               the drop bar's screen rectangle "x y width height topmost"
//   shell_probe nobar MS             waits until no drop bar is shown
//   shell_probe box MS               the text (UTF-8) of a "Tembrook" message box and its owner
//                                    ("owner=main" or "owner=none"); then presses OK
//   shell_probe nobox MS             fails when a "Tembrook" message box appears within MS
//   shell_probe menu MS              the open popup menu's rectangle "left top right bottom"
//   shell_probe workarea             "left top right bottom"
//   shell_probe letters              the present letters among A..Z, e.g. "XY"
//   shell_probe read PATH            the file's bytes
//   shell_probe exists PATH          exit 0 when the path exists
//   shell_probe write PATH TEXT      replaces the file with the text
//
// Exit code 0 on success, 1 when the thing looked for was not there, 2 on bad usage.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const MainClass = "Orvalian       0";

HWND FindMain() {
  HWND window = FindWindowA(MainClass, "Tembrook");
  return window;
}

bool ClassIs(HWND window, const char* name) {
  char buffer[64] = "";
  GetClassNameA(window, buffer, sizeof buffer);
  return strcmp(buffer, name) == 0;
}

std::wstring TextOf(HWND window) {
  wchar_t buffer[1024] = L"";
  GetWindowTextW(window, buffer, 1024);
  return buffer;
}

void PrintUtf8(const std::wstring& text) {
  char buffer[4096] = "";
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, buffer, sizeof buffer, nullptr, nullptr);
  fwrite(buffer, 1, strlen(buffer), stdout);
}

struct Search {
  bool (*match)(HWND);
  HWND found;
};

BOOL CALLBACK Visit(HWND window, LPARAM data) {
  Search* search = reinterpret_cast<Search*>(data);
  if (search->match(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

HWND FindTopLevel(bool (*match)(HWND)) {
  Search search = {match, nullptr};
  EnumWindows(Visit, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

HWND WaitTopLevel(bool (*match)(HWND), DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    if (HWND window = FindTopLevel(match)) return window;
    if (GetTickCount() - start > ms) return nullptr;
    Sleep(20);
  }
}

bool IsDropBar(HWND window) {
  LONG exStyle = GetWindowLongA(window, GWL_EXSTYLE);
  return IsWindowVisible(window) && ClassIs(window, "#32770") &&
         (exStyle & WS_EX_ACCEPTFILES) && GetWindowTextLengthA(window) == 0;
}

bool IsMessageBox(HWND window) {
  return IsWindowVisible(window) && ClassIs(window, "#32770") && TextOf(window) == L"Tembrook";
}

bool IsMenu(HWND window) { return IsWindowVisible(window) && ClassIs(window, "#32768"); }

DWORD Ms(const char* text) { return static_cast<DWORD>(strtoul(text, nullptr, 10)); }

int Main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string command = argv[1];
  if (command == "main" && argc == 3) {
    DWORD start = GetTickCount();
    for (;;) {
      if (HWND window = FindMain()) {
        printf("%lu\n", static_cast<unsigned long>(reinterpret_cast<UINT_PTR>(window)));
        return 0;
      }
      if (GetTickCount() - start > Ms(argv[2])) return 1;
      Sleep(50);
    }
  }
  if (command == "post" && argc == 6) {
    HWND window = reinterpret_cast<HWND>(static_cast<UINT_PTR>(strtoul(argv[2], nullptr, 0)));
    return PostMessageA(window, strtoul(argv[3], nullptr, 0), strtoul(argv[4], nullptr, 0),
                        strtol(argv[5], nullptr, 0))
               ? 0
               : 1;
  }
  if (command == "bar" && argc == 3) {
    HWND bar = WaitTopLevel(IsDropBar, Ms(argv[2]));
    if (bar == nullptr) return 1;
    RECT r;
    GetWindowRect(bar, &r);
    bool topmost = GetWindowLongA(bar, GWL_EXSTYLE) & WS_EX_TOPMOST;
    printf("%ld %ld %ld %ld %d\n", r.left, r.top, r.right - r.left, r.bottom - r.top,
           topmost ? 1 : 0);
    return 0;
  }
  if (command == "nobar" && argc == 3) {
    DWORD start = GetTickCount();
    while (FindTopLevel(IsDropBar) != nullptr) {
      if (GetTickCount() - start > Ms(argv[2])) return 1;
      Sleep(20);
    }
    return 0;
  }
  if (command == "box" && argc == 3) {
    HWND box = WaitTopLevel(IsMessageBox, Ms(argv[2]));
    if (box == nullptr) return 1;
    // The text is the static control with the id message boxes give it.
    PrintUtf8(TextOf(GetDlgItem(box, 0xFFFF)));
    HWND owner = GetWindow(box, GW_OWNER);
    printf("\nowner=%s\n", owner == nullptr ? "none" : owner == FindMain() ? "main" : "other");
    fflush(stdout);
    PostMessageA(box, WM_COMMAND, IDOK, 0);
    return 0;
  }
  if (command == "nobox" && argc == 3) {
    return WaitTopLevel(IsMessageBox, Ms(argv[2])) == nullptr ? 0 : 1;
  }
  if (command == "menu" && argc == 3) {
    HWND menu = WaitTopLevel(IsMenu, Ms(argv[2]));
    if (menu == nullptr) return 1;
    RECT r;
    GetWindowRect(menu, &r);
    printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
    return 0;
  }
  if (command == "workarea" && argc == 2) {
    RECT r = {};
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &r, 0);
    printf("%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
    return 0;
  }
  if (command == "letters" && argc == 2) {
    DWORD present = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
      if (present & (1u << i)) putchar('A' + i);
    }
    putchar('\n');
    return 0;
  }
  if (command == "read" && argc == 3) {
    HANDLE file = CreateFileA(argv[2], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0) {
      fwrite(buffer, 1, got, stdout);
    }
    CloseHandle(file);
    return 0;
  }
  if (command == "exists" && argc == 3) {
    return GetFileAttributesA(argv[2]) != INVALID_FILE_ATTRIBUTES ? 0 : 1;
  }
  if (command == "write" && argc == 4) {
    HANDLE file = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(file, argv[3], static_cast<DWORD>(strlen(argv[3])), &written, nullptr);
    CloseHandle(file);
    return ok && written == strlen(argv[3]) ? 0 : 1;
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Bytes as they are: files are read back byte for byte, and lines end in "\n".
  _setmode(_fileno(stdout), _O_BINARY);
  int code = Main(argc, argv);
  fflush(stdout);
  return code;
}
