#include "list_view_control.h"

#include <cstring>

#include "toolkit_state.h"

ListViewControl::ListViewControl() {
  if (commonControlsReady == 0) {
    InitCommonControls();
    commonControlsReady = 1;
  }
  memset(&column, 0, sizeof column);
  memset(&item, 0, sizeof item);
}

ListViewControl::~ListViewControl() {
  if (previousWindowProc != nullptr && IsWindow(hwnd)) {
    SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousWindowProc));
  }
}

void ListViewControl::Attach(HWND control, WNDPROC procedure) {
  // A control is subclassed at most once: subclassing twice would make the procedure its
  // own predecessor, and a control left for another keeps its own procedure.
  if ((control != nullptr || procedure != nullptr) && previousWindowProc != nullptr) {
    if (IsWindow(hwnd)) {
      SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousWindowProc));
    }
    previousWindowProc = nullptr;
  }
  if (control != nullptr) hwnd = control;
  if (procedure != nullptr && hwnd != nullptr) {
    previousWindowProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(procedure)));
  }
}

void ListViewControl::DeleteAllItems() {
  if (hwnd == nullptr) return;
  for (;;) {
    LRESULT row = SendMessageA(hwnd, LVM_GETNEXTITEM, static_cast<WPARAM>(-1), LVNI_ALL);
    if (row == -1) break;
    // A row the control will not delete would otherwise be found again for ever.
    if (!SendMessageA(hwnd, LVM_DELETEITEM, static_cast<WPARAM>(row), 0)) break;
  }
}

int ListViewControl::SetFullRowSelect(int on) {
  if (hwnd == nullptr) return 0;
  DWORD current = static_cast<DWORD>(SendMessageA(hwnd, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
  extendedStyle = on ? (current | LVS_EX_FULLROWSELECT) : (current & ~LVS_EX_FULLROWSELECT);
  return static_cast<int>(
      SendMessageA(hwnd, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, static_cast<LPARAM>(extendedStyle)));
}

int ListViewControl::InsertColumn(int index, const char* text, int width) {
  if (hwnd == nullptr) return 0;
  column.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT | LVCF_SUBITEM;
  column.fmt = LVCFMT_LEFT;
  column.cx = width;
  column.pszText = const_cast<char*>(text);
  column.iSubItem = index;
  return static_cast<int>(SendMessageA(hwnd, LVM_INSERTCOLUMNA, static_cast<WPARAM>(index),
                                       reinterpret_cast<LPARAM>(&column)));
}

int ListViewControl::SetItemText(int row, int subitem, const char* text, ItemTextMode mode) {
  if (hwnd == nullptr) return 0;
  item.mask = LVIF_TEXT;
  item.iItem = row;
  item.iSubItem = subitem;
  item.pszText = const_cast<char*>(text);
  if (subitem == 0 && (mode == AppendRow || mode == InsertRow)) {
    if (mode == AppendRow) item.iItem = static_cast<int>(SendMessageA(hwnd, LVM_GETITEMCOUNT, 0, 0));
    // The control's answer is the row's index, or -1 when it made no row.
    return static_cast<int>(
        SendMessageA(hwnd, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
  }
  if (!SendMessageA(hwnd, LVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&item))) return -1;
  return row;
}

int ListViewControl::GetNextItem(int flags) {
  if (hwnd == nullptr) return -1;
  return static_cast<int>(SendMessageA(hwnd, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                       MAKELPARAM(flags & 0xFFFF, 0)));
}
