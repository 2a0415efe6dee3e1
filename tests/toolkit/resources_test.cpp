// The program's dialogs load from its resources with their texts in the code page, and hold
// every control the code reaches.
#include <gtest/gtest.h>

#include <vector>

#include "list_view_control.h"
#include "resource_ids.h"
#include "test_support.h"

INT_PTR CALLBACK Quiet(HWND, UINT, WPARAM, LPARAM) { return 0; }

TEST(Resources, DialogsLoadWithTheirJapaneseTextsAndTheControlsTheCodeUses) {
  ListViewControl commonControls;  // registers the list view's class
  const struct {
    WORD id;
    const char* caption;
    std::vector<int> controls;
  } dialogs[] = {
      {IDD_SETTINGS, "設定",
       {IDC_SETTINGS_DRIVE_LIST, IDC_SETTINGS_CREATE, IDC_SETTINGS_REMOVE,
        IDC_SETTINGS_DRIVE_OPTIONS, IDC_SETTINGS_CANCEL, IDC_SETTINGS_OK, IDC_SETTINGS_FOLDER,
        IDC_SETTINGS_BROWSE, IDC_SETTINGS_FORMAT_LIST}},
      {IDD_DRIVE_OPTIONS, "仮想ドライブの設定",
       {IDC_OPTIONS_NO_REFLECT, IDC_OPTIONS_REFLECT, IDC_OPTIONS_TIMED_UPDATE,
        IDC_OPTIONS_UPDATE_ON_CHANGE, IDC_OPTIONS_INTERVAL_SPIN, IDC_OPTIONS_INTERVAL_TEXT,
        IDC_OPTIONS_OK, IDC_OPTIONS_CANCEL, IDC_OPTIONS_GROUP, IDC_OPTIONS_ARCHIVE_PATH,
        IDC_OPTIONS_KEEP_FOLDER, IDC_OPTIONS_DELETE_BEFORE_REPACK}},
      {IDD_DROP_BAR, "", {}},
      {IDD_PASSWORD, "パスワードの入力",
       {IDC_PASSWORD_PROMPT, IDC_PASSWORD_ARCHIVE, IDC_PASSWORD_EDIT, IDC_PASSWORD_WRONG,
        IDC_PASSWORD_OK, IDC_PASSWORD_CANCEL}},
  };
  for (const auto& d : dialogs) {
    HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(d.id), nullptr,
                                     Quiet, 0);
    ASSERT_NE(nullptr, dialog) << d.id;
    EXPECT_EQ(d.caption, test::TextOf(dialog));
    for (int id : d.controls) EXPECT_NE(nullptr, GetDlgItem(dialog, id)) << d.id << ": " << id;
    DestroyWindow(dialog);
  }
  HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDM_TRAY));
  char text[32] = "";
  for (auto [command, expected] : {std::pair(IDM_SETTINGS, "設定"), std::pair(IDM_HELP, "ヘルプ"),
                                   std::pair(IDM_VERSION, "バージョン情報"), std::pair(IDM_EXIT, "終了")}) {
    EXPECT_TRUE(GetMenuStringA(menu, command, text, sizeof text, MF_BYCOMMAND) > 0 &&
                std::string(text) == expected) << command;
  }
  DestroyMenu(menu);
  EXPECT_NE(nullptr, LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_TEMBROOK)));
}
