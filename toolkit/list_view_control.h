// Thin wrapper of a report-style list view: columns, rows, cell texts and the first row
// in a given state.
#pragma once

#include <windows.h>
#include <commctrl.h>

// How SetItemText treats subitem 0. AppendRow adds the row at the end, InsertRow at the
// given index; SetCell (and any other value) sets the text of an existing cell.
enum ItemTextMode : int {
  AppendRow = 1,
  InsertRow = 2,
  SetCell = 3,
};

class ListViewControl {
 public:
  HWND hwnd = nullptr;  // borrowed: the control belongs to its dialog
  DWORD extendedStyle = 0;  // the extended list-view style last set
  WNDPROC previousWindowProc = nullptr;  // set while the control is subclassed
  LVCOLUMNA column;  // reused by every column insertion
  LVITEMA item;  // reused by every text operation

  // Initialises the common controls once per process.
  ListViewControl();
  // Puts the control's own procedure back if it is still subclassed.
  ~ListViewControl();
  ListViewControl(const ListViewControl&) = delete;
  ListViewControl& operator=(const ListViewControl&) = delete;

  // A non-null window is stored; a non-null procedure subclasses the control.
  void Attach(HWND control, WNDPROC procedure);
  void DeleteAllItems();
  // Sets or clears LVS_EX_FULLROWSELECT; returns the previous extended style (0 without a
  // control).
  int SetFullRowSelect(int on);
  // The new column's index, -1 on failure (0 without a control). The text is only read
  // during the call.
  int InsertColumn(int index, const char* text, int width);
  // AppendRow or InsertRow with subitem 0 insert a row and return its index; every other
  // case sets the text of one cell and returns the given row. -1 when the control refuses,
  // 0 without a control.
  int SetItemText(int row, int subitem, const char* text, ItemTextMode mode);
  // The first row from the top with the given state flags (LVNI_SELECTED), or -1.
  int GetNextItem(int flags);
};
