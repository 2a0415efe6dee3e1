// Small window helpers shared by the toolkit tests.
#pragma once

#include <windows.h>

#include <string>

namespace test {

// A plain top-level popup window of a class registered once per process, destroyed at the
// end of the scope.
class ScopedWindow {
 public:
  explicit ScopedWindow(int x = 100, int y = 100, int width = 300, int height = 200,
                        DWORD style = WS_POPUP | WS_VISIBLE) {
    static ATOM atom = 0;
    if (atom == 0) {
      WNDCLASSA wc = {};
      wc.lpfnWndProc = DefWindowProcA;
      wc.hInstance = GetModuleHandleA(nullptr);
      wc.lpszClassName = "ToolkitTestWindow";
      atom = RegisterClassA(&wc);
    }
    hwnd = CreateWindowExA(0, "ToolkitTestWindow", "test", style, x, y, width, height,
                           nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  }
  ~ScopedWindow() {
    if (hwnd != nullptr) DestroyWindow(hwnd);
  }
  ScopedWindow(const ScopedWindow&) = delete;
  ScopedWindow& operator=(const ScopedWindow&) = delete;
  HWND hwnd;
};

// Handles the messages that are waiting, so that posted work reaches its window.
inline void PumpMessages() {
  MSG msg;
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

inline std::string WindowText(HWND hwnd) {
  char text[512] = {};
  GetWindowTextA(hwnd, text, sizeof text);
  return text;
}

}  // namespace test
