// A top-level window with a window class of its own, built in two steps: the setters record
// frame, position, caption, parent and menu; Create makes the window; afterwards every
// setter changes the window directly.
#pragma once

#include <windows.h>

class FrameWindow {
 public:
  HWND hwnd = nullptr;
  int ownClass = 1;  // 1: Create registers windowClass; 0: a window of an existing class
  HDC clientDc = nullptr;  // taken at creation, held until Teardown
  HDC windowDc = nullptr;
  WNDCLASSEXA windowClass;
  int created = 0;
  int preset = 0;
  DWORD exStyle = 0;
  char className[64];  // "Orvalian" and the class number right-aligned in eight places
  char* caption = nullptr;  // our own copy
  DWORD style = 0;
  int x = 0;  // outer top-left corner
  int y = 0;
  int width = 0;  // client size
  int height = 0;
  RECT outerRect;  // the rectangle last adjusted by AdjustWindowRectEx
  HWND parent = nullptr;  // borrowed
  HMENU menu = nullptr;  // borrowed
  int repaint = 0;
  int showCommand = SW_SHOW;
  COLORREF backgroundColour = 0;
  WNDPROC previousWindowProc = nullptr;  // set when Create subclassed an existing class
  int classRegistered = 0;  // 1 while windowClass is registered (it then owns the brush)

  FrameWindow();
  ~FrameWindow() { Teardown(); }
  FrameWindow(const FrameWindow&) = delete;
  FrameWindow& operator=(const FrameWindow&) = delete;

  // 1 when the class was registered (own-class mode) and the window made, 0 otherwise.
  int Create(WNDPROC procedure, HWND parentWindow, HINSTANCE instance);
  // Presets 0..9 set the frame bits (see frame_window.cpp); 10 and more only clear them.
  // query 0: applies the preset, keeps the client size and returns 0; query non-zero:
  // changes nothing and returns the last preset applied.
  int ApplyPreset(int newPreset, int query);
  // query 0: sets the caption and returns null; query non-zero: changes nothing and
  // returns the current caption (null when none is set).
  const char* Caption(const char* text, int query);
  // Position of the outer top-left corner and size of the client area.
  void Place(int newX, int newY, int newWidth, int newHeight, int newRepaint);
  // Makes the window a child (WS_CHILD instead of WS_POPUP) of the given window; a null
  // parent does nothing.
  void SetParentWindow(HWND newParent);
  void AttachMenu(HMENU newMenu);
  // The outer size of the last Place: the client size plus the frame.
  int OuterWidth() const;
  int OuterHeight() const;
  // Undoes the subclassing, unregisters the class and releases the device contexts. It
  // does not destroy the window, which is gone by the time the program tears down.
  void Teardown();
};
