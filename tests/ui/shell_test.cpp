// The main window procedure on the real hidden main window, start-up, and the message loop.
#include <gtest/gtest.h>

#include <algorithm>

#include "application.h"
#include "test_support.h"

namespace {

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application.instanceHandle = GetModuleHandleA(nullptr);
    ASSERT_TRUE(CreateMainWindow());
  }
  void Click(UINT mouse) { SendMessageA(MainWindow.hwnd, WM_TRAYNOTIFY, 0, mouse); }
};

TEST_F(MainWindowTest, LeftClickOpensOneDropBarAtATime) {
  driveTable.kinds['X' - 'A'] = DriveKind::Virtual;
  std::vector<HWND> bars;
  test::ModalScript script;
  // A second click while the bar is open: the bar's loop hands it to the main window.
  script.Then(test::IsDropBar, [&](HWND) { Click(WM_LBUTTONDOWN); });
  script.Then(test::IsDropBar, [&](HWND) {
    bars = test::ThreadWindows(test::IsDropBar);
    for (HWND bar : bars) PostMessageA(bar, WM_LBUTTONDOWN, 0, 0);
  });
  Click(WM_LBUTTONDOWN);
  EXPECT_EQ(1u, bars.size());
  EXPECT_EQ(0u, script.Pending());
}

TEST_F(MainWindowTest, SessionEndShutsDownOnlyWhenTheSessionReallyEnds) {
  EXPECT_EQ(TRUE, SendMessageA(MainWindow.hwnd, WM_QUERYENDSESSION, 0, 0));
  SendMessageA(MainWindow.hwnd, WM_ENDSESSION, FALSE, 0);
  EXPECT_EQ(0, driveTable.shutDownDone);
  SendMessageA(MainWindow.hwnd, WM_ENDSESSION, TRUE, 0);
  EXPECT_EQ(1, driveTable.shutDownDone);
}

TEST_F(MainWindowTest, TrayIconComesBackWhenTheTaskBarIsRecreated) {
  ASSERT_EQ(1, trayIcon.Remove());
  SendMessageA(MainWindow.hwnd, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
  EXPECT_EQ(1, trayIcon.added);
  NOTIFYICONDATAA probe = trayIcon.data;
  EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &probe)) << "the shell holds the icon again";
}

TEST(StartUpTest, MainWindowThatCannotBeMadeIsReportedWithoutOwner) {
  // The main window's class name is taken, so its class cannot be registered.
  WNDCLASSA taken = {0, DefWindowProcA, 0, 0, GetModuleHandleA(nullptr)};
  taken.lpszClassName = MainWindow.className;
  ASSERT_NE(0, RegisterClassA(&taken));
  test::TempFolder folder("start");
  ASSERT_TRUE(SetCurrentDirectoryA(folder.Path().c_str()));
  test::MessageLog log;
  EXPECT_EQ(0, InitApplication());
  driveTable.stateRestored = 0;  // leaves the settings file unwritten
  ASSERT_EQ(1u, log.texts.size());
  EXPECT_EQ("Tembrookを起動できませんでした。", log.texts[0].text);
  EXPECT_EQ(nullptr, log.texts[0].owner);
  EXPECT_EQ(0, trayIcon.added);
}

// Two seconds of waiting for thread timers (as the drives' write-back timers are): a loop
// that polls instead of sleeping spends a good part of them on the processor.
void CALLBACK QuitAfterTwentyTicks(HWND, UINT, UINT_PTR, DWORD) {
  static int ticks = 0;
  if (++ticks == 20) PostQuitMessage(7);
}

TEST(MessageLoopTest, DeliversTimersAndSleepsWhileIdle) {
  UINT_PTR timer = SetTimer(nullptr, 0, 100, QuitAfterTwentyTicks);
  FILETIME times[4], kernel, user;
  GetThreadTimes(GetCurrentThread(), &times[0], &times[1], &times[2], &times[3]);
  EXPECT_EQ(7, RunMessageLoop());
  GetThreadTimes(GetCurrentThread(), &times[0], &times[1], &kernel, &user);
  KillTimer(nullptr, timer);
  auto ms = [](FILETIME t) { return ((ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000; };
  EXPECT_LT(ms(kernel) - ms(times[2]) + ms(user) - ms(times[3]), 30u) << "ms busy while idle";
}

}  // namespace
