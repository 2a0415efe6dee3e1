// The password dialog on its real resource, as the drive table's sink runs it.
#include "password_dialog.h"

#include <gtest/gtest.h>

#include "resource_ids.h"
#include "test_support.h"

namespace {

// OK hands over what was typed, hidden as it was typed; Cancel, Esc and an empty box give
// nothing. The dialog names the drive and the archive, and says when the last one was wrong.
TEST(PasswordDialogTest, OkHandsOverTheTypedPasswordAndCancelNothing) {
  const struct {
    int wrong;
    const char* typed;
    int button;
    int answer;
    const char* wrongLine;
  } rows[] = {
      {0, "tembrook", IDC_PASSWORD_OK, 1, ""},
      {1, "パス word", IDOK, 1, "パスワードが違います。もう一度入力してください。"},
      {0, "tembrook", IDC_PASSWORD_CANCEL, 0, ""},
      {0, "tembrook", IDCANCEL, 0, ""},
      {0, "", IDC_PASSWORD_OK, 0, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.typed + std::to_string(row.button));
    test::ModalScript script;
    script.Then(test::Captioned("パスワードの入力"), [&](HWND dialog) {
      EXPECT_EQ("仮想ドライブY:に開く圧縮ファイルのパスワードを入力してください。",
                test::TextOf(GetDlgItem(dialog, IDC_PASSWORD_PROMPT)));
      EXPECT_EQ("C:\\mail\\見積.zip", test::TextOf(GetDlgItem(dialog, IDC_PASSWORD_ARCHIVE)));
      EXPECT_EQ(row.wrongLine, test::TextOf(GetDlgItem(dialog, IDC_PASSWORD_WRONG)));
      HWND edit = GetDlgItem(dialog, IDC_PASSWORD_EDIT);
      EXPECT_NE(0, GetWindowLongA(edit, GWL_STYLE) & ES_PASSWORD);
      SetWindowTextA(edit, row.typed);
      SendMessageA(dialog, WM_COMMAND, row.button, 0);
    });
    char buffer[16] = "left over";
    EXPECT_EQ(row.answer, AskArchivePassword('Y' - 'A', "C:\\mail\\見積.zip", row.wrong,
                                             buffer, sizeof buffer));
    if (row.answer) {
      EXPECT_STREQ(row.typed, buffer);
    }
  }
}

}  // namespace
