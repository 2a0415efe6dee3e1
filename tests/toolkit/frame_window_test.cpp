#include "frame_window.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "test_windows.h"
#include "toolkit_state.h"

namespace {

const DWORD kFrameBits = 0x00CF0000;

// Puts the class counter back as it was, whatever the test did.
class FrameWindowTest : public ::testing::Test {
 protected:
  void SetUp() override { savedCounter_ = frameClassCounter; }
  void TearDown() override { frameClassCounter = savedCounter_; }

  // Creates the window with the default window procedure and this module as instance.
  static int MakeWindow(FrameWindow& frame, HWND parent = nullptr) {
    return frame.Create(DefWindowProcA, parent, GetModuleHandleA(nullptr));
  }
  static SIZE ClientSize(HWND hwnd) {
    RECT r;
    GetClientRect(hwnd, &r);
    return SIZE{r.right - r.left, r.bottom - r.top};
  }

 private:
  int savedCounter_ = 0;
};

// Destroys a FrameWindow's window before the wrapper's teardown, as the program does.
struct WindowGuard {
  FrameWindow& frame;
  ~WindowGuard() {
    if (frame.hwnd != nullptr) DestroyWindow(frame.hwnd);
  }
};

}  // namespace

TEST_F(FrameWindowTest, ClassNamesAreNumberedRightAlignedInEightPlaces) {
  frameClassCounter = 0;
  FrameWindow first;
  FrameWindow second;
  EXPECT_STREQ("Orvalian       0", first.className);
  EXPECT_STREQ("Orvalian       1", second.className);
  EXPECT_EQ(2, frameClassCounter);

  frameClassCounter = 12345678;
  FrameWindow wide;
  EXPECT_STREQ("Orvalian12345678", wide.className);
  EXPECT_EQ(wide.className, wide.windowClass.lpszClassName);
}

TEST_F(FrameWindowTest, ConstructionRecordsTheDefaults) {
  FrameWindow frame;
  EXPECT_EQ(nullptr, frame.hwnd);
  EXPECT_EQ(0, frame.created);
  EXPECT_EQ(1, frame.ownClass);
  EXPECT_EQ(0x90CF0000u, frame.style);
  EXPECT_EQ(0u, frame.exStyle);
  EXPECT_EQ(SW_SHOW, frame.showCommand);
  EXPECT_EQ(0, frame.x);
  EXPECT_EQ(640, frame.width);
  EXPECT_EQ(480, frame.height);
  EXPECT_EQ(48u, frame.windowClass.cbSize);
  EXPECT_EQ(0x300Bu, frame.windowClass.style);
  EXPECT_NE(nullptr, frame.windowClass.hCursor);
  EXPECT_NE(nullptr, frame.windowClass.hbrBackground);
  EXPECT_EQ(GetSysColor(COLOR_BTNFACE), frame.backgroundColour);
  ASSERT_NE(nullptr, frame.Caption(nullptr, 1));
}

TEST_F(FrameWindowTest, PresetsSetTheirFrameBitsAndClearTheOthers) {
  struct Row {
    int preset;
    DWORD style;
    DWORD exStyle;
  };
  const Row table[] = {
      {0, 0, 0x80},          {1, 0x00C80000, 0},    {2, 0x00CF0000, 0}, {3, 0x00C80000, 0},
      {4, 0x00C80000, 0x80}, {5, 0x00CC0000, 0x80}, {6, 0, 0x01},       {7, 0x00040000, 0},
      {8, 0x00C00000, 0x80}, {9, 0x00C40000, 0x80}, {10, 0, 0},         {12, 0, 0},
  };
  for (const Row& row : table) {
    FrameWindow frame;
    // Start from every frame bit set, so that a preset must clear what it does not name.
    frame.style |= kFrameBits;
    frame.exStyle = 0x81 | WS_EX_TOPMOST;
    EXPECT_EQ(0, frame.ApplyPreset(row.preset, 0));
    EXPECT_EQ(0x90000000u | row.style, frame.style) << "preset " << row.preset;
    EXPECT_EQ(WS_EX_TOPMOST | row.exStyle, frame.exStyle) << "preset " << row.preset;
    EXPECT_EQ(row.preset, frame.ApplyPreset(99, 1));
    EXPECT_EQ(row.preset, frame.preset) << "a query changes nothing";
  }
}

TEST_F(FrameWindowTest, PresetZeroLeavesOnlyPopupAndVisible) {
  FrameWindow frame;
  frame.ApplyPreset(0, 0);
  EXPECT_EQ(static_cast<DWORD>(WS_POPUP | WS_VISIBLE), frame.style);
  EXPECT_EQ(static_cast<DWORD>(WS_EX_TOOLWINDOW), frame.exStyle);
}

TEST_F(FrameWindowTest, PlaceWithZeroClientGivesTheFrameAlone) {
  FrameWindow frame;
  frame.ApplyPreset(2, 0);
  frame.Place(37, 41, 0, 0, 0);
  RECT frameOnly = {0, 0, 0, 0};
  AdjustWindowRectEx(&frameOnly, frame.style, FALSE, frame.exStyle);
  EXPECT_GT(frameOnly.right - frameOnly.left, 0);
  EXPECT_EQ(frameOnly.right - frameOnly.left, frame.OuterWidth());
  EXPECT_EQ(frameOnly.bottom - frameOnly.top, frame.OuterHeight());

  frame.ApplyPreset(0, 0);
  EXPECT_EQ(0, frame.OuterWidth());
  EXPECT_EQ(0, frame.OuterHeight());
}

TEST_F(FrameWindowTest, CreatedWindowHasTheAskedClientAreaAndPosition) {
  FrameWindow frame;
  WindowGuard guard{frame};
  frame.ApplyPreset(2, 0);
  frame.Place(120, 80, 200, 150, 1);
  ASSERT_EQ(1, MakeWindow(frame));
  EXPECT_EQ(1, frame.created);
  ASSERT_TRUE(IsWindow(frame.hwnd));
  EXPECT_NE(nullptr, frame.clientDc);
  EXPECT_NE(nullptr, frame.windowDc);
  SIZE client = ClientSize(frame.hwnd);
  EXPECT_EQ(200, client.cx);
  EXPECT_EQ(150, client.cy);
  RECT outer;
  GetWindowRect(frame.hwnd, &outer);
  EXPECT_EQ(120, outer.left);
  EXPECT_EQ(80, outer.top);

}

TEST_F(FrameWindowTest, FramelessWindowWithZeroClientHasNoSize) {
  // The program's hidden main window: no frame, nothing to see.
  FrameWindow frame;
  WindowGuard guard{frame};
  frame.ApplyPreset(0, 0);
  frame.Place(-50, -50, 0, 0, 1);
  ASSERT_EQ(1, MakeWindow(frame));
  RECT outer;
  GetWindowRect(frame.hwnd, &outer);
  EXPECT_EQ(-50, outer.left);
  EXPECT_EQ(-50, outer.top);
  EXPECT_EQ(0, outer.right - outer.left);
  EXPECT_EQ(0, outer.bottom - outer.top);
  EXPECT_NE(0, GetWindowLongA(frame.hwnd, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
}

TEST_F(FrameWindowTest, PresetReachesACreatedWindowAndKeepsItsClientSize) {
  FrameWindow frame;
  WindowGuard guard{frame};
  frame.ApplyPreset(2, 0);
  frame.Place(50, 60, 180, 90, 1);
  ASSERT_EQ(1, MakeWindow(frame));

  frame.ApplyPreset(5, 0);
  EXPECT_EQ(0x00CC0000u, GetWindowLongA(frame.hwnd, GWL_STYLE) & kFrameBits);
  EXPECT_EQ(static_cast<LONG>(WS_EX_TOOLWINDOW), GetWindowLongA(frame.hwnd, GWL_EXSTYLE) & 0x81);
  SIZE client = ClientSize(frame.hwnd);
  EXPECT_EQ(180, client.cx);
  EXPECT_EQ(90, client.cy);

  frame.ApplyPreset(0, 0);
  EXPECT_EQ(0, GetWindowLongA(frame.hwnd, GWL_STYLE) & static_cast<LONG>(kFrameBits));
  client = ClientSize(frame.hwnd);
  EXPECT_EQ(180, client.cx);
  EXPECT_EQ(90, client.cy);
}

TEST_F(FrameWindowTest, PresetAppliedBeforeCreationReachesTheWindowCreatedLater) {
  FrameWindow frame;
  WindowGuard guard{frame};
  frame.ApplyPreset(8, 0);
  frame.Place(10, 10, 100, 40, 0);
  ASSERT_EQ(1, MakeWindow(frame));
  EXPECT_EQ(0x00C00000u, GetWindowLongA(frame.hwnd, GWL_STYLE) & kFrameBits);
  EXPECT_EQ(static_cast<LONG>(WS_EX_TOOLWINDOW), GetWindowLongA(frame.hwnd, GWL_EXSTYLE) & 0x81);
  SIZE client = ClientSize(frame.hwnd);
  EXPECT_EQ(100, client.cx);
  EXPECT_EQ(40, client.cy);
}

TEST_F(FrameWindowTest, AttachedMenuCountsInTheFrame) {
  FrameWindow frame;
  WindowGuard guard{frame};
  frame.ApplyPreset(2, 0);
  frame.Place(10, 10, 200, 100, 0);
  int heightWithoutMenu = frame.OuterHeight();
  HMENU menu = CreateMenu();
  AppendMenuA(menu, MF_STRING, 1, "File");
  frame.AttachMenu(menu);
  EXPECT_GT(frame.OuterHeight(), heightWithoutMenu);
  ASSERT_EQ(1, MakeWindow(frame));
  EXPECT_EQ(menu, GetMenu(frame.hwnd));
  SIZE client = ClientSize(frame.hwnd);
  EXPECT_EQ(200, client.cx);
  EXPECT_EQ(100, client.cy);
}

TEST_F(FrameWindowTest, CaptionIsACopyAndReachesTheWindow) {
  FrameWindow frame;
  WindowGuard guard{frame};
  char text[] = "Tembrook";
  EXPECT_EQ(nullptr, frame.Caption(text, 0));
  strcpy(text, "changed");
  EXPECT_STREQ("Tembrook", frame.Caption("ignored", 1));
  frame.ApplyPreset(1, 0);
  ASSERT_EQ(1, MakeWindow(frame));
  EXPECT_EQ("Tembrook", test::WindowText(frame.hwnd));
  frame.Caption("仮想ドライブ", 0);
  EXPECT_EQ("仮想ドライブ", test::WindowText(frame.hwnd));
  EXPECT_STREQ("仮想ドライブ", frame.Caption(nullptr, 1));
}

TEST_F(FrameWindowTest, ParentMakesAChildWindow) {
  test::ScopedWindow owner(0, 0, 400, 300);
  FrameWindow frame;
  WindowGuard guard{frame};
  frame.SetParentWindow(nullptr);
  EXPECT_EQ(nullptr, frame.parent);
  EXPECT_EQ(0u, frame.style & WS_CHILD);

  frame.ApplyPreset(0, 0);
  frame.Place(5, 5, 50, 50, 0);
  ASSERT_EQ(1, MakeWindow(frame, owner.hwnd));
  EXPECT_EQ(owner.hwnd, frame.parent);
  EXPECT_EQ(static_cast<DWORD>(WS_CHILD | WS_VISIBLE), frame.style);
  EXPECT_EQ(WS_CHILD, GetWindowLongA(frame.hwnd, GWL_STYLE) & (WS_CHILD | WS_POPUP));
  EXPECT_EQ(owner.hwnd, GetAncestor(frame.hwnd, GA_PARENT));
}

TEST_F(FrameWindowTest, TeardownUnregistersTheClass) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA info = {};
  info.cbSize = sizeof info;
  std::string name;
  {
    FrameWindow frame;
    name = frame.className;
    ASSERT_EQ(1, MakeWindow(frame));
    EXPECT_TRUE(GetClassInfoExA(instance, name.c_str(), &info));
    DestroyWindow(frame.hwnd);
  }
  EXPECT_FALSE(GetClassInfoExA(instance, name.c_str(), &info));
}

TEST_F(FrameWindowTest, CreateFailsWhenTheClassCannotBeRegistered) {
  FrameWindow first;
  WindowGuard guard{first};
  ASSERT_EQ(1, MakeWindow(first));
  FrameWindow second;
  strcpy(second.className, first.className);
  EXPECT_EQ(0, MakeWindow(second));
  EXPECT_EQ(0, second.created);
  EXPECT_EQ(nullptr, second.hwnd);
}
