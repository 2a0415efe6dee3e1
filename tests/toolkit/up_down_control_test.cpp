#include "up_down_control.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include "list_view_control.h"
#include "test_windows.h"
#include "toolkit_state.h"

namespace {

class UpDownTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ListViewControl commonControls;  // makes sure the control classes are registered
    for (HWND& control : controls_) {
      control = CreateWindowExA(0, UPDOWN_CLASSA, "", WS_CHILD | WS_VISIBLE | UDS_ARROWKEYS,
                                10, 10, 16, 20, owner_.hwnd, nullptr, GetModuleHandleA(nullptr),
                                nullptr);
      ASSERT_NE(nullptr, control);
    }
  }
  int ControlPosition(HWND control) {
    return static_cast<short>(LOWORD(SendMessageA(control, UDM_GETPOS, 0, 0)));
  }

  test::ScopedWindow owner_;
  HWND controls_[2] = {};
};

}  // namespace

TEST_F(UpDownTest, RangeTakesTheMaximumFirst) {
  UpDownControl spin;
  spin.Attach(controls_[0]);
  spin.SetRange(100, 1, 10);
  LRESULT range = SendMessageA(controls_[0], UDM_GETRANGE, 0, 0);
  EXPECT_EQ(100, static_cast<short>(LOWORD(range)));  // the maximum
  EXPECT_EQ(1, static_cast<short>(HIWORD(range)));  // the minimum
  EXPECT_EQ(10, ControlPosition(controls_[0]));
  EXPECT_STREQ("10", spin.PositionText());
}

TEST_F(UpDownTest, PositionIsKeptInsideTheRange) {
  UpDownControl spin;
  spin.Attach(controls_[0]);
  spin.SetRange(100, 1, 0);
  EXPECT_STREQ("1", spin.PositionText());
  spin.SetRange(100, 1, 250);
  EXPECT_STREQ("100", spin.PositionText());
  spin.SetRange(100, 1, 100);
  EXPECT_STREQ("100", spin.PositionText());
  // A range may run downwards.
  spin.SetRange(1, 100, 0);
  EXPECT_STREQ("1", spin.PositionText());
}

TEST_F(UpDownTest, NegativePositionsAreSignExtended) {
  UpDownControl spin;
  spin.Attach(controls_[0]);
  spin.SetRange(10, -50, -3);
  EXPECT_STREQ("-3", spin.PositionText());
}

TEST_F(UpDownTest, ArrowKeysStopAtTheLimits) {
  UpDownControl spin;
  spin.Attach(controls_[0]);
  spin.SetRange(100, 1, 99);
  SetFocus(controls_[0]);
  for (int i = 0; i < 3; ++i) SendMessageA(controls_[0], WM_KEYDOWN, VK_UP, 0);
  EXPECT_STREQ("100", spin.PositionText());
}

TEST_F(UpDownTest, PositionTextIsSharedByEveryControl) {
  UpDownControl first;
  UpDownControl second;
  first.Attach(controls_[0]);
  second.Attach(controls_[1]);
  first.SetRange(100, 1, 5);
  second.SetRange(100, 1, 77);
  const char* text = first.PositionText();
  EXPECT_EQ(positionTextBuffer, text);
  EXPECT_STREQ("5", text);
  EXPECT_EQ(text, second.PositionText());
  EXPECT_STREQ("77", text);
}

TEST(UpDownControl, WithoutAControlNothingHappens) {
  UpDownControl spin;
  spin.SetRange(100, 1, 50);
  EXPECT_STREQ("0", spin.PositionText());
}
