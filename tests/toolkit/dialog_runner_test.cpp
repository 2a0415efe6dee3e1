#include "dialog_runner.h"

#include <gtest/gtest.h>

#include "list_view_control.h"
#include "resource_ids.h"
#include "test_windows.h"

namespace {

const UINT kFinish = WM_APP + 7;
int initCalls = 0;

// Ends the dialog from inside its own modal loop, with the value the message carries.
INT_PTR CALLBACK EndingProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      ++initCalls;
      PostMessageA(dialog, kFinish, 4242, 0);
      return TRUE;
    case kFinish:
      EndDialog(dialog, static_cast<INT_PTR>(wParam));
      return TRUE;
  }
  return FALSE;
}

INT_PTR CALLBACK IdleProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

class DialogRunnerTest : public ::testing::Test {
 protected:
  ListViewControl commonControls_;  // dialog 101 holds list views
};

}  // namespace

TEST_F(DialogRunnerTest, ModalDialogReturnsTheValueItEndedWith) {
  DialogRunner runner;
  initCalls = 0;
  for (WORD id : {IDD_SETTINGS, IDD_DRIVE_OPTIONS}) {
    EXPECT_EQ(4242, runner.Run(GetModuleHandleA(nullptr), id, nullptr, EndingProc, 0));
  }
  EXPECT_EQ(2, initCalls);
  EXPECT_EQ(nullptr, runner.hwnd);
}

TEST_F(DialogRunnerTest, ModalDialogWithAnOwnerReturnsTheValue) {
  test::ScopedWindow owner;
  DialogRunner runner;
  EXPECT_EQ(4242, runner.Run(GetModuleHandleA(nullptr), IDD_DRIVE_OPTIONS, owner.hwnd,
                             EndingProc, 0));
  EXPECT_TRUE(IsWindowEnabled(owner.hwnd)) << "the owner is enabled again";
}

TEST_F(DialogRunnerTest, MissingTemplateFails) {
  DialogRunner runner;
  EXPECT_EQ(-1, runner.Run(GetModuleHandleA(nullptr), 9999, nullptr, EndingProc, 0));
}

TEST_F(DialogRunnerTest, ModelessDialogIsShownAndKept) {
  DialogRunner runner;
  EXPECT_EQ(0, runner.Run(GetModuleHandleA(nullptr), IDD_DRIVE_OPTIONS, nullptr, IdleProc, 1));
  ASSERT_NE(nullptr, runner.hwnd);
  EXPECT_TRUE(IsWindowVisible(runner.hwnd));
  DestroyWindow(runner.hwnd);
}
