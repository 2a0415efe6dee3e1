#include "list_view_control.h"

#include <gtest/gtest.h>

#include <string>

#include "test_windows.h"
#include "toolkit_state.h"

namespace {

// A report-style list view in a popup window, several rows selectable.
class ListViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    control_ = CreateWindowExA(0, WC_LISTVIEWA, "", WS_CHILD | WS_VISIBLE | LVS_REPORT,
                               0, 0, 280, 180, owner_.hwnd, nullptr, GetModuleHandleA(nullptr),
                               nullptr);
    ASSERT_NE(nullptr, control_);
  }

  int RowCount() { return static_cast<int>(SendMessageA(control_, LVM_GETITEMCOUNT, 0, 0)); }
  std::string CellText(int row, int subitem) {
    char text[256] = {};
    LVITEMA item = {};
    item.iSubItem = subitem;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(control_, LVM_GETITEMTEXTA, row, reinterpret_cast<LPARAM>(&item));
    return text;
  }
  void Select(int row) {
    LVITEMA item = {};
    item.stateMask = LVIS_SELECTED;
    item.state = LVIS_SELECTED;
    SendMessageA(control_, LVM_SETITEMSTATE, row, reinterpret_cast<LPARAM>(&item));
  }

  test::ScopedWindow owner_;
  HWND control_ = nullptr;
};

int subclassCalls = 0;
WNDPROC originalProc = nullptr;
LRESULT CALLBACK CountingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) ++subclassCalls;
  return CallWindowProcA(originalProc, hwnd, message, wParam, lParam);
}

}  // namespace

TEST(ListViewControl, ConstructionInitialisesTheCommonControlsOnce) {
  commonControlsReady = 0;
  ListViewControl list;
  EXPECT_EQ(1, commonControlsReady);
  EXPECT_EQ(nullptr, list.hwnd);
  EXPECT_EQ(0u, list.extendedStyle);
}

TEST(ListViewControl, WithoutAControlNothingHappens) {
  ListViewControl list;
  list.Attach(nullptr, nullptr);
  list.DeleteAllItems();
  EXPECT_EQ(0, list.SetItemText(0, 0, "A:", AppendRow));
  EXPECT_EQ(0, list.InsertColumn(0, "No.", 30));
  EXPECT_EQ(0, list.SetFullRowSelect(1));
  EXPECT_EQ(-1, list.GetNextItem(LVNI_SELECTED));
}

TEST_F(ListViewTest, AppendedRowsGetTheirIndicesInOrder) {
  ListViewControl list;
  list.Attach(control_, nullptr);
  EXPECT_EQ(0, list.InsertColumn(0, "No.", 30));
  EXPECT_EQ(1, list.InsertColumn(1, "タイプ", 100));
  const char* labels[] = {"A:", "B:", "C:", "D:"};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(i, list.SetItemText(i, 0, labels[i], AppendRow));
    // Another column in append mode sets the cell of the row just added.
    EXPECT_EQ(i, list.SetItemText(i, 1, "仮想ドライブ", AppendRow));
  }
  EXPECT_EQ(4, RowCount());
  EXPECT_EQ("C:", CellText(2, 0));
  EXPECT_EQ("仮想ドライブ", CellText(3, 1));
}

TEST_F(ListViewTest, InsertRowAndSetCell) {
  ListViewControl list;
  list.Attach(control_, nullptr);
  list.InsertColumn(0, "No.", 30);
  list.InsertColumn(1, "状態", 60);
  list.SetItemText(0, 0, "first", AppendRow);
  list.SetItemText(1, 0, "second", AppendRow);
  EXPECT_EQ(0, list.SetItemText(0, 0, "top", InsertRow));
  EXPECT_EQ(3, RowCount());
  EXPECT_EQ("top", CellText(0, 0));
  EXPECT_EQ("first", CellText(1, 0));

  EXPECT_EQ(2, list.SetItemText(2, 1, "更新あり", SetCell));
  EXPECT_EQ("更新あり", CellText(2, 1));
  EXPECT_EQ(1, list.SetItemText(1, 0, "renamed", SetCell));
  EXPECT_EQ("renamed", CellText(1, 0));
  EXPECT_EQ(3, RowCount()) << "setting a cell adds no row";
  // Any mode other than the two insertions sets a cell.
  EXPECT_EQ(0, list.SetItemText(0, 0, "seven", static_cast<ItemTextMode>(7)));
  EXPECT_EQ("seven", CellText(0, 0));
}

TEST_F(ListViewTest, SettingACellOfAMissingRowIsRefused) {
  ListViewControl list;
  list.Attach(control_, nullptr);
  list.InsertColumn(0, "No.", 30);
  list.SetItemText(0, 0, "A:", AppendRow);
  EXPECT_EQ(-1, list.SetItemText(5, 0, "nowhere", SetCell));
  EXPECT_EQ(1, RowCount());
}

TEST_F(ListViewTest, NextSelectedItemIsTheTopmostOfSeveral) {
  ListViewControl list;
  list.Attach(control_, nullptr);
  list.InsertColumn(0, "No.", 30);
  for (int i = 0; i < 6; ++i) list.SetItemText(i, 0, "row", AppendRow);
  EXPECT_EQ(-1, list.GetNextItem(LVNI_SELECTED));
  Select(4);
  Select(2);
  EXPECT_EQ(2, list.GetNextItem(LVNI_SELECTED));
  // Only the low 16 bits are flags.
  EXPECT_EQ(2, list.GetNextItem(0x10000 | LVNI_SELECTED));
}

TEST_F(ListViewTest, DeleteAllItemsEmptiesTheList) {
  ListViewControl list;
  list.Attach(control_, nullptr);
  list.InsertColumn(0, "No.", 30);
  for (int i = 0; i < 26; ++i) list.SetItemText(i, 0, "row", AppendRow);
  list.DeleteAllItems();
  EXPECT_EQ(0, RowCount());
  EXPECT_EQ(0, list.SetItemText(0, 0, "again", AppendRow));
}

TEST_F(ListViewTest, FullRowSelectKeepsTheOtherExtendedStyles) {
  ListViewControl list;
  list.Attach(control_, nullptr);
  SendMessageA(control_, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_GRIDLINES);
  EXPECT_EQ(LVS_EX_GRIDLINES, list.SetFullRowSelect(1));
  EXPECT_EQ(static_cast<DWORD>(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT), list.extendedStyle);
  EXPECT_EQ(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT,
            SendMessageA(control_, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
  EXPECT_EQ(LVS_EX_GRIDLINES | LVS_EX_FULLROWSELECT, list.SetFullRowSelect(0));
  EXPECT_EQ(LVS_EX_GRIDLINES, SendMessageA(control_, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0));
}

TEST_F(ListViewTest, SubclassingIsUndoneWhenTheWrapperGoes) {
  originalProc = reinterpret_cast<WNDPROC>(GetWindowLongPtrA(control_, GWLP_WNDPROC));
  subclassCalls = 0;
  {
    ListViewControl list;
    list.Attach(control_, CountingProc);
    EXPECT_EQ(originalProc, list.previousWindowProc);
    // Attaching the same procedure again must not make it its own predecessor.
    list.Attach(nullptr, CountingProc);
    EXPECT_EQ(originalProc, list.previousWindowProc);
    SendMessageA(control_, WM_APP, 0, 0);
    EXPECT_EQ(1, subclassCalls);
  }
  EXPECT_EQ(originalProc, reinterpret_cast<WNDPROC>(GetWindowLongPtrA(control_, GWLP_WNDPROC)));
  SendMessageA(control_, WM_APP, 0, 0);
  EXPECT_EQ(1, subclassCalls);
}
