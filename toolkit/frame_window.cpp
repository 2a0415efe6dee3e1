#include "frame_window.h"

#include <cstdlib>
#include <cstring>

#include "bounded_text.h"
#include "toolkit_state.h"

namespace {

// The frame bits a preset may set; ApplyPreset clears them all first.
const DWORD FrameStyleBits = WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX |
                              WS_MAXIMIZEBOX;  // 0x00CF0000
const DWORD FrameExStyleBits = WS_EX_DLGMODALFRAME | WS_EX_TOOLWINDOW;  // 0x81

struct PresetBits {
  DWORD style;
  DWORD exStyle;
};

const PresetBits Presets[] = {
    {0, WS_EX_TOOLWINDOW},                                      // 0: no frame, tool window
    {WS_CAPTION | WS_SYSMENU, 0},                               // 1
    {FrameStyleBits, 0},                                       // 2: full frame
    {WS_CAPTION | WS_SYSMENU, 0},                               // 3
    {WS_CAPTION | WS_SYSMENU, WS_EX_TOOLWINDOW},                // 4
    {WS_CAPTION | WS_SYSMENU | WS_THICKFRAME, WS_EX_TOOLWINDOW}, // 5
    {0, WS_EX_DLGMODALFRAME},                                   // 6
    {WS_THICKFRAME, 0},                                         // 7
    {WS_CAPTION, WS_EX_TOOLWINDOW},                             // 8
    {WS_CAPTION | WS_THICKFRAME, WS_EX_TOOLWINDOW},             // 9
};
const int PresetCount = sizeof Presets / sizeof Presets[0];

}  // namespace

FrameWindow::FrameWindow() {
  FormatBounded(className, sizeof className, "Orvalian%8d", frameClassCounter);
  ++frameClassCounter;

  backgroundColour = GetSysColor(COLOR_BTNFACE);
  memset(&windowClass, 0, sizeof windowClass);
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS | CS_BYTEALIGNCLIENT |
                      CS_BYTEALIGNWINDOW;
  windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  windowClass.lpszClassName = className;
  windowClass.hbrBackground = CreateSolidBrush(backgroundColour);

  style = WS_POPUP | WS_VISIBLE | FrameStyleBits;  // 0x90CF0000
  memset(&outerRect, 0, sizeof outerRect);
  Caption("Window", 0);
  Place(0, 0, 640, 480, 0);
}

int FrameWindow::Create(WNDPROC procedure, HWND parentWindow, HINSTANCE instance) {
  if (created) return 0;
  windowClass.hInstance = instance;
  windowClass.lpfnWndProc = procedure;
  if (ownClass == 1) {
    if (!RegisterClassExA(&windowClass)) return 0;
    classRegistered = 1;
  }
  SetParentWindow(parentWindow);

  HWND window = CreateWindowExA(exStyle, className, caption, style, x, y, OuterWidth(),
                                OuterHeight(), parent, menu, instance, nullptr);
  if (window == nullptr) return 0;
  hwnd = window;

  if (ownClass != 1) {
    SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(GetStockObject(DEFAULT_GUI_FONT)),
                 0);
    if (procedure != nullptr) {
      previousWindowProc = reinterpret_cast<WNDPROC>(
          SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)));
    }
  }

  clientDc = GetDC(hwnd);
  windowDc = GetWindowDC(hwnd);
  ShowWindow(hwnd, showCommand);
  created = 1;
  return 1;
}

int FrameWindow::ApplyPreset(int newPreset, int query) {
  if (query) return preset;
  preset = newPreset;
  style &= ~FrameStyleBits;
  exStyle &= ~FrameExStyleBits;
  if (newPreset >= 0 && newPreset < PresetCount) {
    style |= Presets[newPreset].style;
    exStyle |= Presets[newPreset].exStyle;
  }
  if (created) {
    SetWindowLongA(hwnd, GWL_STYLE, static_cast<LONG>(style));
    SetWindowLongA(hwnd, GWL_EXSTYLE, static_cast<LONG>(exStyle));
    // The window keeps its old frame metrics until it is told the frame changed.
    SetWindowPos(hwnd, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  Place(x, y, width, height, repaint);
  return 0;
}

const char* FrameWindow::Caption(const char* text, int query) {
  if (query) return caption;
  free(caption);
  caption = nullptr;
  if (text != nullptr) {
    size_t length = strlen(text);
    caption = static_cast<char*>(calloc(length + 2, 1));
    if (caption != nullptr) memcpy(caption, text, length);
  }
  if (created) SetWindowTextA(hwnd, caption ? caption : "");
  return nullptr;
}

void FrameWindow::Place(int newX, int newY, int newWidth, int newHeight, int newRepaint) {
  x = newX;
  y = newY;
  width = newWidth;
  height = newHeight;
  repaint = newRepaint;
  // Right and bottom hold the client size, so after the adjustment right - left + x is the
  // client width plus the frame.
  outerRect.left = x;
  outerRect.top = y;
  outerRect.right = width;
  outerRect.bottom = height;
  AdjustWindowRectEx(&outerRect, style, ownClass == 1 && menu != nullptr, exStyle);
  if (created) MoveWindow(hwnd, x, y, OuterWidth(), OuterHeight(), repaint);
}

int FrameWindow::OuterWidth() const { return outerRect.right - outerRect.left + x; }

int FrameWindow::OuterHeight() const { return outerRect.bottom - outerRect.top + y; }

void FrameWindow::SetParentWindow(HWND newParent) {
  if (newParent == nullptr) return;
  parent = newParent;
  // With WS_POPUP left beside WS_CHILD the window would only be owned, not a child.
  style = (style & ~WS_POPUP) | WS_CHILD;
  if (created) {
    SetParent(hwnd, parent);
    SetWindowLongA(hwnd, GWL_STYLE, static_cast<LONG>(style));
  }
}

void FrameWindow::AttachMenu(HMENU newMenu) {
  menu = newMenu;
  if (created) SetMenu(hwnd, menu);
  Place(x, y, width, height, repaint);
}

void FrameWindow::Teardown() {
  if (previousWindowProc != nullptr) {
    if (IsWindow(hwnd)) {
      SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousWindowProc));
    }
    previousWindowProc = nullptr;
  }
  if (classRegistered) {
    // A registered class owns its background brush and deletes it with the class. The
    // class stays registered while a window of it still exists.
    if (UnregisterClassA(className, windowClass.hInstance)) {
      classRegistered = 0;
      windowClass.hbrBackground = nullptr;
    }
  } else if (windowClass.hbrBackground != nullptr) {
    DeleteObject(windowClass.hbrBackground);
    windowClass.hbrBackground = nullptr;
  }
  if (windowDc != nullptr) ReleaseDC(hwnd, windowDc);
  if (clientDc != nullptr) ReleaseDC(hwnd, clientDc);
  windowDc = nullptr;
  clientDc = nullptr;
  free(caption);
  caption = nullptr;
}
