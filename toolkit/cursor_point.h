// The mouse cursor in a window's client coordinates.
#pragma once

#include <windows.h>

class CursorPoint {
 public:
  int x = 0;  // the last point read or set, client coordinates
  int y = 0;

  // With x and y both -1: reads the cursor. Otherwise moves the cursor to (x, y) of the
  // window's client area. Either way returns and keeps the point.
  POINT Locate(HWND window, int newX, int newY);
};
