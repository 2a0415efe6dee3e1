// The main window procedure on the real hidden main window, and the message loop.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "application.h"
#include "drop_bar.h"
#include "resource_ids.h"
#include "shell_test_support.h"
#include "test_support.h"

namespace {

using shelltest::DropBars;
using shelltest::FindThreadWindows;
using shelltest::TimerHook;

constexpr uint8_t X = 'X' - 'A';
const UINT QuitByTimeout = 99;

void CALLBACK QuitAfterTimeout(HWND, UINT, UINT_PTR, DWORD) { PostQuitMessage(QuitByTimeout); }

int handledMessages = 0;

LRESULT CALLBACK CountingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_APP) ++handledMessages;
  return DefWindowProcA(window, message, wParam, lParam);
}

int timerTicks = 0;

void CALLBACK CountTicksThenQuit(HWND, UINT, UINT_PTR, DWORD) {
  if (++timerTicks == 20) PostQuitMessage(0);
}

std::vector<std::string> sinkMessages;

void CollectMessage(EngineNotice, uint8_t, const char*) { sinkMessages.push_back("notice"); }

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application.instanceHandle = GetModuleHandleA(nullptr);
    ASSERT_TRUE(CreateMainWindow());
    main = MainWindow.hwnd;
  }
  void TearDown() override {
    driveTable.kinds[X] = DriveKind::Free;
    if (IsWindow(main)) DestroyWindow(main);
  }

  // Runs the program's loop until it ends, or ends it with QuitByTimeout after 15 s.
  static int RunLoop() {
    UINT_PTR guard = SetTimer(nullptr, 0, 15000, QuitAfterTimeout);
    int code = RunMessageLoop();
    KillTimer(nullptr, guard);
    return code;
  }

  HWND main = nullptr;
};

TEST_F(MainWindowTest, IsAHiddenToolWindowWithTheTrayIcon) {
  RECT client;
  GetClientRect(main, &client);
  EXPECT_EQ(0, client.right);
  EXPECT_EQ(0, client.bottom);
  RECT outer;
  GetWindowRect(main, &outer);
  EXPECT_EQ(-50, outer.left);
  EXPECT_EQ(-50, outer.top);
  EXPECT_TRUE(GetWindowLongA(main, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  EXPECT_FALSE(GetWindowLongA(main, GWL_STYLE) & WS_CAPTION);
  EXPECT_EQ("Tembrook", shelltest::TextOf(main));
  EXPECT_NE(nullptr, GetMenu(main));
  EXPECT_EQ(1, trayIcon.added);
  EXPECT_EQ(main, trayIcon.data.hWnd);
  EXPECT_EQ(WM_TRAYNOTIFY, trayIcon.data.uCallbackMessage);
  EXPECT_STREQ("Tembrook", trayIcon.data.szTip);
  EXPECT_EQ(static_cast<UINT>(NIF_MESSAGE | NIF_ICON | NIF_TIP), trayIcon.data.uFlags);
}

TEST_F(MainWindowTest, RightClickOpensTheTrayMenuAtTheCursorAndExitEndsTheLoop) {
  SetCursorPos(600, 500);
  RECT menuRect = {};
  std::vector<UINT> ids;
  std::vector<std::string> texts;
  bool chosen = false;
  TimerHook hook([&] {
    if (chosen) return;
    std::vector<HWND> menus = FindThreadWindows(shelltest::IsPopupMenu);
    if (menus.empty()) return;
    GetWindowRect(menus[0], &menuRect);
    HMENU menu = reinterpret_cast<HMENU>(SendMessageA(menus[0], MN_GETHMENU, 0, 0));
    for (int i = 0; i < GetMenuItemCount(menu); ++i) {
      char text[64] = "";
      GetMenuStringA(menu, i, text, sizeof text, MF_BYPOSITION);
      ids.push_back(GetMenuItemID(menu, i));
      texts.push_back(text);
    }
    // The last entry, chosen from the keyboard.
    chosen = true;
    PostMessageA(menus[0], WM_KEYDOWN, VK_UP, 0);
    PostMessageA(menus[0], WM_KEYDOWN, VK_RETURN, 0);
  });
  PostMessageA(main, WM_TRAYNOTIFY, 0, WM_RBUTTONDOWN);

  EXPECT_EQ(0, RunLoop());
  EXPECT_FALSE(IsWindow(main));
  EXPECT_EQ(600, menuRect.left);
  EXPECT_EQ(500, menuRect.bottom);
  EXPECT_EQ((std::vector<UINT>{IDM_SETTINGS, 0, IDM_HELP, IDM_VERSION, 0, IDM_EXIT}), ids);
  EXPECT_EQ((std::vector<std::string>{"設定", "", "ヘルプ", "バージョン情報", "", "終了"}), texts);
}

TEST_F(MainWindowTest, LeftClickOpensOneDropBarAtATime) {
  driveTable.kinds[X] = DriveKind::Virtual;
  size_t mostBars = 0;
  int ticksOpen = 0;
  TimerHook hook([&] {
    std::vector<HWND> bars = DropBars();
    mostBars = std::max(mostBars, bars.size());
    if (bars.empty()) return;
    ++ticksOpen;
    // A second click while the bar is open: the bar's loop hands it to the main window.
    if (ticksOpen == 1) PostMessageA(main, WM_TRAYNOTIFY, 0, WM_LBUTTONDOWN);
    if (ticksOpen >= 8) {
      for (HWND bar : bars) PostMessageA(bar, WM_LBUTTONDOWN, 0, 0);
    }
  });
  EXPECT_EQ(0, SendMessageA(main, WM_TRAYNOTIFY, 0, WM_LBUTTONDOWN));
  EXPECT_EQ(1u, mostBars);
  EXPECT_GE(ticksOpen, 8);
  EXPECT_TRUE(DropBars().empty());
  EXPECT_EQ(X, DropBarLetters[0]);

  // Once it has closed, the next click opens it again.
  ticksOpen = 0;
  EXPECT_EQ(0, SendMessageA(main, WM_TRAYNOTIFY, 0, WM_LBUTTONDOWN));
  EXPECT_GE(ticksOpen, 8);
}

TEST_F(MainWindowTest, OtherMouseMessagesOnTheIconDoNothing) {
  driveTable.kinds[X] = DriveKind::Virtual;
  int opened = 0;
  TimerHook hook([&] {
    for (HWND bar : DropBars()) {
      ++opened;
      EndDialog(bar, 0);
    }
    for (HWND menu : FindThreadWindows(shelltest::IsPopupMenu)) {
      ++opened;
      EndMenu();
      (void)menu;
    }
  });
  for (UINT mouse : {WM_LBUTTONUP, WM_RBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONDBLCLK,
                     WM_MOUSEMOVE, WM_MBUTTONDOWN}) {
    EXPECT_EQ(0, SendMessageA(main, WM_TRAYNOTIFY, 0, mouse));
  }
  shelltest::Pump(200);
  EXPECT_EQ(0, opened);
  EXPECT_TRUE(IsWindow(main));
}

TEST_F(MainWindowTest, VersionCommandShowsTheVersionBox) {
  std::string texts;
  bool iconShown = false;
  HWND owner = nullptr;
  TimerHook hook([&] {
    std::vector<HWND> boxes = FindThreadWindows([&](HWND window) {
      return shelltest::ClassOf(window) == "#32770" && window != main;
    });
    if (boxes.empty()) return;
    owner = GetWindow(boxes[0], GW_OWNER);
    texts = shelltest::TextOf(boxes[0]);
    for (HWND child = GetWindow(boxes[0], GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
      texts += "|" + shelltest::TextOf(child);
      if (SendMessageA(child, STM_GETICON, 0, 0) != 0) iconShown = true;
    }
    PostMessageA(boxes[0], WM_COMMAND, IDOK, 0);
  });
  EXPECT_EQ(0, SendMessageA(main, WM_COMMAND, MAKEWPARAM(IDM_VERSION, 0), 0));
  EXPECT_EQ(main, owner);
  EXPECT_NE(std::string::npos, texts.find("Tembrook")) << texts;
  EXPECT_NE(std::string::npos, texts.find("Ver. 0.91")) << texts;
  EXPECT_TRUE(iconShown);
}

TEST_F(MainWindowTest, OnlyTheLowWordOfACommandCounts) {
  EXPECT_EQ(0, SendMessageA(main, WM_COMMAND, MAKEWPARAM(40004, 0), 0));
  EXPECT_TRUE(IsWindow(main));
  // An accelerator's command carries 1 in the high word.
  EXPECT_EQ(0, SendMessageA(main, WM_COMMAND, MAKEWPARAM(IDM_EXIT, 1), 0));
  EXPECT_FALSE(IsWindow(main));
}

TEST_F(MainWindowTest, SessionEndShutsDownOnceAndOnlyWhenTheSessionReallyEnds) {
  EXPECT_EQ(TRUE, SendMessageA(main, WM_QUERYENDSESSION, 0, 0));
  SendMessageA(main, WM_ENDSESSION, FALSE, 0);
  EXPECT_EQ(0, driveTable.shutDownDone);
  driveTable.noticeSink = CollectMessage;
  SendMessageA(main, WM_ENDSESSION, TRUE, 0);
  EXPECT_EQ(1, driveTable.shutDownDone);
  EXPECT_TRUE(sinkMessages.empty());
  driveTable.noticeSink = nullptr;
}

TEST_F(MainWindowTest, TrayIconComesBackWhenTheTaskBarIsRecreated) {
  ASSERT_EQ(1, trayIcon.Remove());
  NOTIFYICONDATAA probe = trayIcon.data;
  ASSERT_FALSE(Shell_NotifyIconA(NIM_MODIFY, &probe)) << "the icon should be gone";
  SendMessageA(main, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
  EXPECT_EQ(1, trayIcon.added);
  EXPECT_TRUE(Shell_NotifyIconA(NIM_MODIFY, &probe)) << "the shell should hold the icon again";
}

// Start-up in a folder of its own, which holds the bare names the program opens and no
// settings file. Nothing is restored from a file, so the table is told not to save at exit.
class StartUpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application.instanceHandle = GetModuleHandleA(nullptr);
    GetCurrentDirectoryA(sizeof savedDirectory, savedDirectory);
    ASSERT_TRUE(SetCurrentDirectoryA(folder.Path().c_str()));
  }
  void TearDown() override {
    SetCurrentDirectoryA(savedDirectory);
    driveTable.stateRestored = 0;
  }
  int Start() {
    TimerHook hook([&] { shelltest::DismissMessageBoxes(&boxes); });
    return InitApplication();
  }

  test::TempFolder folder{"start"};
  char savedDirectory[MAX_PATH] = "";
  std::vector<shelltest::SeenBox> boxes;
};

TEST_F(StartUpTest, EndsReadyWithWindowIconAndIconStrip) {
  ASSERT_TRUE(CopyFileA((test::BinDir() + "\\Drive.bmp").c_str(), "Drive.bmp", FALSE));
  EXPECT_EQ(1, Start());
  EXPECT_TRUE(boxes.empty());
  EXPECT_TRUE(IsWindow(MainWindow.hwnd));
  EXPECT_EQ(1, trayIcon.added);
  EXPECT_NE(nullptr, iconStrip.memoryDc);
  EXPECT_EQ(832, iconStrip.width);
}

TEST_F(StartUpTest, MainWindowThatCannotBeMadeIsReportedWithoutOwner) {
  ASSERT_TRUE(CopyFileA((test::BinDir() + "\\Drive.bmp").c_str(), "Drive.bmp", FALSE));
  // The main window's class name is taken, so its class cannot be registered.
  WNDCLASSA taken = {};
  taken.lpfnWndProc = DefWindowProcA;
  taken.hInstance = application.instanceHandle;
  taken.lpszClassName = MainWindow.className;
  ASSERT_NE(0, RegisterClassA(&taken));
  EXPECT_EQ(0, Start());
  ASSERT_EQ(1u, boxes.size());
  EXPECT_EQ("Tembrookを起動できませんでした。", boxes[0].text);
  EXPECT_EQ(nullptr, boxes[0].owner);
  EXPECT_EQ(0, trayIcon.added);
  EXPECT_EQ(nullptr, iconStrip.memoryDc);
}

TEST(MessageLoopTest, HandlesEveryQueuedMessageAndReturnsTheQuitCode) {
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = CountingWindowProc;
  windowClass.hInstance = GetModuleHandleA(nullptr);
  windowClass.lpszClassName = "LoopTestWindow";
  ASSERT_NE(0, RegisterClassA(&windowClass));
  HWND window = CreateWindowA("LoopTestWindow", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              windowClass.hInstance, nullptr);
  ASSERT_NE(nullptr, window);
  for (int i = 0; i < 3; ++i) PostMessageA(window, WM_APP, 0, 0);
  PostQuitMessage(7);
  EXPECT_EQ(7, RunMessageLoop());
  EXPECT_EQ(3, handledMessages);

  // A message from another thread wakes the idle loop, and so does the quit message.
  std::thread poster([window] {
    Sleep(300);
    PostMessageA(window, WM_APP, 0, 0);
    Sleep(300);
    PostMessageA(window, WM_QUIT, 5, 0);
  });
  EXPECT_EQ(5, RunMessageLoop());
  poster.join();
  EXPECT_EQ(4, handledMessages);
  DestroyWindow(window);
}

TEST(MessageLoopTest, DeliversTimersAndSleepsWhileIdle) {
  // Thread timers without a window, like the drives' write-back timers.
  UINT_PTR timer = SetTimer(nullptr, 0, 100, CountTicksThenQuit);
  FILETIME created, exited, kernelBefore, userBefore, kernelAfter, userAfter;
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernelBefore, &userBefore);
  EXPECT_EQ(0, RunMessageLoop());
  GetThreadTimes(GetCurrentThread(), &created, &exited, &kernelAfter, &userAfter);
  KillTimer(nullptr, timer);
  EXPECT_EQ(20, timerTicks);
  auto ticks100ns = [](FILETIME t) {
    return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
  };
  unsigned long long busy = ticks100ns(kernelAfter) - ticks100ns(kernelBefore) +
                            ticks100ns(userAfter) - ticks100ns(userBefore);
  // Two seconds of waiting for the timer: a loop that polls instead of sleeping spends
  // a good part of them on the processor (about a tenth with a 1 ms sleep per pass).
  EXPECT_LT(busy / 10000, 30u) << "milliseconds of processor time while idle";
}

}  // namespace
