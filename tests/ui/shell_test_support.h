// Helpers for the shell and drop-bar tests: reaching into this thread's modal loops (drop
// bar, tray menu, message boxes) from a timer they dispatch, finding this thread's windows,
// and drop handles made the way the shell makes them.
#pragma once

#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "application.h"

namespace shelltest {

inline std::string ClassOf(HWND window) {
  char name[64] = "";
  GetClassNameA(window, name, sizeof name);
  return name;
}

inline std::string TextOf(HWND window) {
  char text[1024] = "";
  GetWindowTextA(window, text, sizeof text);
  return text;
}

struct ThreadWindows {
  static BOOL CALLBACK Collect(HWND window, LPARAM data) {
    reinterpret_cast<std::vector<HWND>*>(data)->push_back(window);
    return TRUE;
  }
};

// This thread's visible top-level windows that satisfy the test.
inline std::vector<HWND> FindThreadWindows(const std::function<bool(HWND)>& test) {
  std::vector<HWND> all, matching;
  EnumThreadWindows(GetCurrentThreadId(), ThreadWindows::Collect,
                    reinterpret_cast<LPARAM>(&all));
  for (HWND window : all) {
    if (IsWindowVisible(window) && test(window)) matching.push_back(window);
  }
  return matching;
}

// The drop bar: a dialog without caption that accepts files.
inline bool IsDropBar(HWND window) {
  return ClassOf(window) == "#32770" && TextOf(window).empty() &&
         (GetWindowLongA(window, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
}

inline bool IsMessageBox(HWND window) {
  return ClassOf(window) == "#32770" && TextOf(window) == "Tembrook";
}

inline bool IsPopupMenu(HWND window) { return ClassOf(window) == "#32768"; }

inline std::vector<HWND> DropBars() { return FindThreadWindows(IsDropBar); }

// Runs a function on every tick of a thread timer. The modal loops of dialogs, menus and
// message boxes dispatch it, which is how a test acts while one of them runs. One at a time.
class TimerHook {
 public:
  explicit TimerHook(std::function<void()> tick, UINT period = 25) : tick_(std::move(tick)) {
    Active() = this;
    timer_ = SetTimer(nullptr, 0, period, &TimerHook::Tick);
  }
  ~TimerHook() {
    KillTimer(nullptr, timer_);
    Active() = nullptr;
  }
  TimerHook(const TimerHook&) = delete;
  TimerHook& operator=(const TimerHook&) = delete;

 private:
  static TimerHook*& Active() {
    static TimerHook* hook = nullptr;
    return hook;
  }
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    TimerHook* hook = Active();
    if (hook != nullptr && !hook->running_) {
      // A tick may open a modal loop of its own (a message box), which ticks again.
      hook->running_ = true;
      hook->tick_();
      hook->running_ = false;
    }
  }
  std::function<void()> tick_;
  UINT_PTR timer_ = 0;
  bool running_ = false;
};

// A "Tembrook" message box seen by DismissMessageBoxes.
struct SeenBox {
  std::string text;
  HWND owner;
};

// Records and closes every "Tembrook" message box of this thread; call it from a tick.
inline void DismissMessageBoxes(std::vector<SeenBox>* seen) {
  for (HWND box : FindThreadWindows(IsMessageBox)) {
    seen->push_back({TextOf(GetDlgItem(box, 0xFFFF)), GetWindow(box, GW_OWNER)});
    // EndDialog hides the box at once, so the next tick does not see it again.
    SendMessageA(box, WM_COMMAND, IDOK, 0);
  }
}

// A drop handle as the shell builds one: DROPFILES with narrow paths, each ending in NUL,
// and one more NUL. The receiver frees it with DragFinish.
inline HDROP MakeDrop(const std::vector<std::string>& paths, POINT point) {
  size_t size = sizeof(DROPFILES) + 1;
  for (const std::string& path : paths) size += path.size() + 1;
  HGLOBAL memory = GlobalAlloc(GHND, size);
  if (memory == nullptr) return nullptr;
  auto* files = static_cast<DROPFILES*>(GlobalLock(memory));
  files->pFiles = sizeof(DROPFILES);
  files->pt = point;
  files->fNC = FALSE;
  files->fWide = FALSE;
  char* out = reinterpret_cast<char*>(files) + sizeof(DROPFILES);
  for (const std::string& path : paths) {
    memcpy(out, path.c_str(), path.size() + 1);
    out += path.size() + 1;
  }
  *out = '\0';
  GlobalUnlock(memory);
  return static_cast<HDROP>(memory);
}

// Runs this thread's messages for a while.
inline void Pump(DWORD milliseconds) {
  DWORD start = GetTickCount();
  while (GetTickCount() - start < milliseconds) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    Sleep(5);
  }
}

}  // namespace shelltest
