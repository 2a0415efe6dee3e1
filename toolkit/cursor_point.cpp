#include "cursor_point.h"

POINT CursorPoint::Locate(HWND window, int newX, int newY) {
  POINT point = {x, y};
  if (window == nullptr) return point;
  if (newX == -1 && newY == -1) {
    POINT cursor;
    if (GetCursorPos(&cursor) && ScreenToClient(window, &cursor)) {
      x = cursor.x;
      y = cursor.y;
    }
  } else {
    POINT screen = {newX, newY};
    ClientToScreen(window, &screen);
    SetCursorPos(screen.x, screen.y);
    x = newX;
    y = newY;
  }
  point.x = x;
  point.y = y;
  return point;
}
