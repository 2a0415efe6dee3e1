// The main window procedure on the real hidden main window, and the message loop.
#include <gtest/gtest.h>

#include "application.h"
#include "test_support.h"

namespace {

void CALLBACK Quit(HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(7); }

ULONGLONG BusyMilliseconds() {  // this thread's, in the kernel and in user mode
  FILETIME t[4];
  GetThreadTimes(GetCurrentThread(), &t[0], &t[1], &t[2], &t[3]);
  return ((ULONGLONG(t[2].dwHighDateTime) << 32 | t[2].dwLowDateTime) +
          (ULONGLONG(t[3].dwHighDateTime) << 32 | t[3].dwLowDateTime)) / 10000;
}

LRESULT Send(UINT m, WPARAM w, LPARAM l = 0) { return SendMessageA(MainWindow.hwnd, m, w, l); }

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application.instanceHandle = GetModuleHandleA(nullptr);
    ASSERT_TRUE(CreateMainWindow());
  }
};

TEST_F(MainWindowTest, LeftClickOpensOneDropBarAtATime) {
  driveTable.kinds['X' - 'A'] = DriveKind::Virtual;
  size_t bars = 0, ticks = 0;
  test::ModalScript script;
  // A second click, handed on by the open bar's loop; some ticks later every bar is closed.
  script.Then(test::IsDropBar, [](HWND) { Send(WM_TRAYNOTIFY, 0, WM_LBUTTONDOWN); });
  script.Then([&](HWND w) { return test::IsDropBar(w) && ++ticks == 10; }, [&](HWND) {
    for (HWND bar : test::ThreadWindows(test::IsDropBar)) {
      ++bars, PostMessageA(bar, WM_LBUTTONDOWN, 0, 0);
    }
  });
  Send(WM_TRAYNOTIFY, 0, WM_LBUTTONDOWN);
  EXPECT_EQ(1u, bars);
}

TEST_F(MainWindowTest, SessionEndShutsDownOnlyWhenTheSessionReallyEnds) {
  EXPECT_EQ(TRUE, Send(WM_QUERYENDSESSION, 0));
  Send(WM_ENDSESSION, FALSE);
  EXPECT_EQ(0, driveTable.shutDownDone);
  Send(WM_ENDSESSION, TRUE);
  EXPECT_EQ(1, driveTable.shutDownDone);
}

TEST_F(MainWindowTest, TrayIconComesBackWhenTheTaskBarIsRecreated) {
  ASSERT_EQ(1, trayIcon.Remove());
  Send(RegisterWindowMessageA("TaskbarCreated"), 0);
  NOTIFYICONDATAA probe = trayIcon.data;
  EXPECT_TRUE(trayIcon.added && Shell_NotifyIconA(NIM_MODIFY, &probe)) << "held by the shell";
}

// Two seconds of waiting for a thread timer (as the drives' write-back timers are): a loop that
// polls instead of sleeping spends a good part of them on the processor.
TEST(MessageLoopTest, DeliversTimersAndSleepsWhileIdle) {
  UINT_PTR timer = SetTimer(nullptr, 0, 2000, Quit);
  ULONGLONG before = BusyMilliseconds();
  EXPECT_EQ(7, RunMessageLoop());
  EXPECT_LT(BusyMilliseconds() - before, 30u) << "on the processor while idle";
  KillTimer(nullptr, timer);
}

}  // namespace
