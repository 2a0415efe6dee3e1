#include "cursor_point.h"

#include <gtest/gtest.h>

#include "test_windows.h"

TEST(CursorPoint, MovesTheCursorAndReadsItBackInClientCoordinates) {
  test::ScopedWindow window(200, 150, 300, 100);
  CursorPoint cursor;
  POINT set = cursor.Locate(window.hwnd, 40, 12);
  EXPECT_EQ(40, set.x);
  EXPECT_EQ(12, set.y);
  POINT screen;
  ASSERT_TRUE(GetCursorPos(&screen));
  EXPECT_EQ(240, screen.x);
  EXPECT_EQ(162, screen.y);

  SetCursorPos(210, 170);
  POINT read = cursor.Locate(window.hwnd, -1, -1);
  EXPECT_EQ(10, read.x);
  EXPECT_EQ(20, read.y);
  EXPECT_EQ(10, cursor.x);
  EXPECT_EQ(20, cursor.y);

  // Left of and above the window the client coordinates are negative.
  SetCursorPos(150, 100);
  read = cursor.Locate(window.hwnd, -1, -1);
  EXPECT_EQ(-50, read.x);
  EXPECT_EQ(-50, read.y);
}

TEST(CursorPoint, WithoutAWindowTheLastPointStays) {
  CursorPoint cursor;
  cursor.x = 7;
  cursor.y = 9;
  SetCursorPos(300, 300);
  POINT point = cursor.Locate(nullptr, -1, -1);
  EXPECT_EQ(7, point.x);
  EXPECT_EQ(9, point.y);
  POINT screen;
  GetCursorPos(&screen);
  cursor.Locate(nullptr, 1, 1);
  POINT after;
  GetCursorPos(&after);
  EXPECT_EQ(screen.x, after.x);
  EXPECT_EQ(screen.y, after.y);
}
