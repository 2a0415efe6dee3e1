#include "tray_icon.h"

#include <gtest/gtest.h>

#include <string>

TEST(TrayIcon, RefusalsAreReportedAndARefusedAddIsTriedAgainByReadd) {
  HWND owner = CreateWindowA("STATIC", "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, 0);
  HICON icon = LoadIconA(nullptr, IDI_APPLICATION);
  TrayIcon first, second;
  EXPECT_EQ(0, first.Readd()) << "never shown";
  EXPECT_EQ(0, first.Show(owner, WM_APP, icon, std::string(64, 't').c_str(), NIF_TIP));
  EXPECT_EQ(0, first.added);
  ASSERT_EQ(1, first.Show(owner, WM_APP, icon, std::string(63, 't').c_str(), NIF_TIP));
  // The shell refuses a second icon with the same window and identifier.
  second.data.uID = first.data.uID;
  EXPECT_EQ(0, second.Show(owner, WM_APP, icon, "second", NIF_TIP));
  EXPECT_EQ(0, second.added);
  EXPECT_EQ(1, first.Remove());
  EXPECT_EQ(1, second.Readd());
  EXPECT_EQ(1, second.Remove());
  DestroyWindow(owner);
}
