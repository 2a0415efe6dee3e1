#include "tray_icon.h"

#include <gtest/gtest.h>

#include <string>

#include "test_windows.h"
#include "toolkit_state.h"

namespace {

const UINT kCallback = WM_APP + 100;

class TrayIconTest : public ::testing::Test {
 protected:
  HICON Icon() { return LoadIconA(nullptr, IDI_APPLICATION); }
  test::ScopedWindow owner_{-50, -50, 0, 0, WS_POPUP};
};

}  // namespace

TEST(TrayIcon, IdentifiersComeFromTheCounter) {
  int saved = trayIconCounter;
  trayIconCounter = 0;
  {
    TrayIcon first;
    TrayIcon second;
    EXPECT_EQ(0u, first.data.uID);
    EXPECT_EQ(1u, second.data.uID);
    EXPECT_EQ(88u, first.data.cbSize);
    EXPECT_EQ(0, first.added);
  }
  EXPECT_EQ(2, trayIconCounter);
  trayIconCounter = saved;
}

TEST_F(TrayIconTest, TipOf63CharactersIsShownAnd64IsRefused) {
  TrayIcon icon;
  std::string tip63(63, 't');
  ASSERT_EQ(1, icon.Show(owner_.hwnd, kCallback, Icon(), tip63.c_str(), NIF_MESSAGE | NIF_ICON | NIF_TIP));
  EXPECT_EQ(1, icon.added);
  EXPECT_EQ(tip63, std::string(icon.data.szTip));
  EXPECT_EQ(owner_.hwnd, icon.data.hWnd);
  EXPECT_EQ(kCallback, icon.data.uCallbackMessage);
  EXPECT_EQ(7u, icon.data.uFlags);

  std::string tip64(64, 'u');
  EXPECT_EQ(0, icon.Show(owner_.hwnd, kCallback, Icon(), tip64.c_str(), 7));
  EXPECT_EQ(tip63, std::string(icon.data.szTip)) << "a refused tip changes nothing";

  EXPECT_EQ(1, icon.Show(owner_.hwnd, kCallback, Icon(), "Tembrook", 7)) << "modified";
  EXPECT_EQ(1, icon.Remove());
  EXPECT_EQ(0, icon.added);
  EXPECT_EQ(0, icon.Remove()) << "nothing left to remove";
}

TEST_F(TrayIconTest, RefusedAddIsReportedAndLeavesTheIconNotAdded) {
  TrayIcon first;
  ASSERT_EQ(1, first.Show(owner_.hwnd, kCallback, Icon(), "first", 7));
  // The shell refuses a second icon with the same window and identifier.
  TrayIcon second;
  second.data.uID = first.data.uID;
  EXPECT_EQ(0, second.Show(owner_.hwnd, kCallback, Icon(), "second", 7));
  EXPECT_EQ(0, second.added);
  EXPECT_EQ(0, second.Remove());

  // Once the place is free, adding again succeeds.
  EXPECT_EQ(1, first.Remove());
  EXPECT_EQ(1, second.Readd());
  EXPECT_EQ(1, second.added);
  EXPECT_EQ(1, second.Remove());
}

TEST_F(TrayIconTest, FailedModifyIsReported) {
  TrayIcon icon;
  ASSERT_EQ(1, icon.Show(owner_.hwnd, kCallback, Icon(), "Tembrook", 7));
  // The icon vanishes behind the wrapper's back, as when the task bar is re-created.
  ASSERT_TRUE(Shell_NotifyIconA(NIM_DELETE, &icon.data));
  EXPECT_EQ(0, icon.Show(owner_.hwnd, kCallback, Icon(), "Tembrook", 7));
  EXPECT_EQ(1, icon.Readd());
  EXPECT_EQ(1, icon.added);
  EXPECT_EQ(1, icon.Show(owner_.hwnd, kCallback, Icon(), "again", 7));
  EXPECT_EQ(1, icon.Remove());
}

TEST_F(TrayIconTest, ReaddOfAnIconStillShownKeepsIt) {
  TrayIcon icon;
  EXPECT_EQ(0, icon.Readd()) << "never shown";
  ASSERT_EQ(1, icon.Show(owner_.hwnd, kCallback, Icon(), "Tembrook", 7));
  EXPECT_EQ(1, icon.Readd());
  EXPECT_EQ(1, icon.added);
  EXPECT_EQ(1, icon.Remove());
}
