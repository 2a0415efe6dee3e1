#include "up_down_control.h"

#include <commctrl.h>

#include "bounded_text.h"
#include "toolkit_state.h"

void UpDownControl::Attach(HWND control) { hwnd = control; }

void UpDownControl::SetRange(int maximum, int minimum, int position) {
  if (hwnd == nullptr) return;
  // The control keeps its limits as 16-bit values; a range may run either way.
  short upper = static_cast<short>(maximum);
  short lower = static_cast<short>(minimum);
  SendMessageA(hwnd, UDM_SETRANGE, 0, MAKELPARAM(upper, lower));
  short low = lower < upper ? lower : upper;
  short high = lower < upper ? upper : lower;
  // Not every version of the control clamps a position it is given: a value from outside
  // the range would be shown and stored as it is.
  if (position < low) position = low;
  if (position > high) position = high;
  SendMessageA(hwnd, UDM_SETPOS, 0, MAKELPARAM(static_cast<short>(position), 0));
}

const char* UpDownControl::PositionText() {
  LRESULT answer = hwnd != nullptr ? SendMessageA(hwnd, UDM_GETPOS, 0, 0) : 0;
  // UDM_GETPOS returns the position in the low word: sign-extend it.
  int position = static_cast<short>(LOWORD(answer));
  FormatBounded(positionTextBuffer, sizeof positionTextBuffer, "%d", position);
  return positionTextBuffer;
}
