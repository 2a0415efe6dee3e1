// Thin wrapper of an up-down control without a buddy window: range, position, and the
// position as text.
#pragma once

#include <windows.h>

class UpDownControl {
 public:
  HWND hwnd = nullptr;  // borrowed: the control belongs to its dialog

  void Attach(HWND control);
  // Note the order: maximum first. The position is kept inside the range.
  void SetRange(int maximum, int minimum, int position);
  // The position in decimal, in the process-wide positionTextBuffer ("0" without a
  // control); every call overwrites the text of the previous one.
  const char* PositionText();
};
