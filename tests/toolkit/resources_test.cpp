// The built resources compared with the layouts the program's dialogs, menu, icon and
// version block must have.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "list_view_control.h"
#include "resource_ids.h"
#include "test_windows.h"

namespace {

const WORD kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);  // 1041

// UTF-16 text of a template converted to the system code page, as the ANSI functions
// show it.
std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  char buffer[512] = {};
  WideCharToMultiByte(932, 0, text.c_str(), int(text.size()), buffer, sizeof buffer - 1,
                      nullptr, nullptr);
  return buffer;
}

struct Control {
  DWORD exStyle = 0, style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  int id = 0;
  std::string className, title;
};

struct Dialog {
  DWORD exStyle = 0, style = 0;
  short x = 0, y = 0, cx = 0, cy = 0;
  bool hasMenu = false, hasClass = false;
  std::string title, font;
  WORD pointSize = 0;
  BYTE charset = 0;
  std::vector<Control> controls;
};

// Reads the extended dialog template of a resource.
class TemplateReader {
 public:
  explicit TemplateReader(const BYTE* data) : p_(data) {}
  WORD Word() {
    WORD v;
    memcpy(&v, p_, 2);
    p_ += 2;
    return v;
  }
  DWORD Dword() {
    DWORD v;
    memcpy(&v, p_, 4);
    p_ += 4;
    return v;
  }
  std::wstring Text() {
    std::wstring s;
    for (WORD c; (c = Word()) != 0;) s.push_back(wchar_t(c));
    return s;
  }
  // A name or an ordinal (0xFFFF and a number); ordinals of the predefined classes are
  // turned into their names.
  std::string NameOrOrdinal(bool* present = nullptr) {
    WORD first;
    memcpy(&first, p_, 2);
    if (present) *present = first != 0;
    if (first == 0xFFFF) {
      p_ += 2;
      WORD ordinal = Word();
      switch (ordinal) {
        case 0x80: return "Button";
        case 0x81: return "Edit";
        case 0x82: return "Static";
        case 0x83: return "ListBox";
        case 0x84: return "ScrollBar";
        case 0x85: return "ComboBox";
      }
      return "#" + std::to_string(ordinal);
    }
    return Narrow(Text());
  }
  BYTE Byte() { return *p_++; }
  void Align() {
    while (reinterpret_cast<uintptr_t>(p_) % 4) ++p_;
  }
  void Skip(size_t n) { p_ += n; }

 private:
  const BYTE* p_;
};

const BYTE* ResourceData(LPCSTR type, int id, WORD language = kJapanese, DWORD* size = nullptr) {
  HMODULE module = GetModuleHandleA(nullptr);
  HRSRC info = FindResourceExA(module, type, MAKEINTRESOURCEA(id), language);
  if (info == nullptr) return nullptr;
  if (size) *size = SizeofResource(module, info);
  return static_cast<const BYTE*>(LockResource(LoadResource(module, info)));
}

bool ReadDialog(int id, Dialog* dialog) {
  const BYTE* data = ResourceData(RT_DIALOG, id);
  if (data == nullptr) return false;
  TemplateReader r(data);
  if (r.Word() != 1 || r.Word() != 0xFFFF) return false;  // an extended template
  r.Dword();  // help id
  dialog->exStyle = r.Dword();
  dialog->style = r.Dword();
  WORD count = r.Word();
  dialog->x = short(r.Word());
  dialog->y = short(r.Word());
  dialog->cx = short(r.Word());
  dialog->cy = short(r.Word());
  r.NameOrOrdinal(&dialog->hasMenu);
  r.NameOrOrdinal(&dialog->hasClass);
  dialog->title = Narrow(r.Text());
  if (dialog->style & DS_SETFONT) {
    dialog->pointSize = r.Word();
    r.Word();  // weight
    r.Byte();  // italic
    dialog->charset = r.Byte();
    dialog->font = Narrow(r.Text());
  }
  for (WORD i = 0; i < count; ++i) {
    r.Align();
    Control c;
    r.Dword();  // help id
    c.exStyle = r.Dword();
    c.style = r.Dword();
    c.x = short(r.Word());
    c.y = short(r.Word());
    c.cx = short(r.Word());
    c.cy = short(r.Word());
    c.id = int(r.Dword());
    c.className = r.NameOrOrdinal();
    c.title = r.NameOrOrdinal();
    r.Skip(r.Word());  // creation data
    dialog->controls.push_back(c);
  }
  return true;
}

const DWORD kChild = WS_CHILD | WS_VISIBLE;
const DWORD kFrame = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;

struct Expected {
  int id;
  const char* className;
  DWORD style;
  const char* title;
  short x, y, cx, cy;
};

void ExpectControls(const Dialog& dialog, const Expected* expected, size_t count) {
  ASSERT_EQ(count, dialog.controls.size());
  for (size_t i = 0; i < count; ++i) {
    const Control& c = dialog.controls[i];
    const Expected& e = expected[i];
    SCOPED_TRACE("control " + std::to_string(i) + " id " + std::to_string(e.id));
    EXPECT_EQ(e.id, c.id);
    EXPECT_EQ(0, lstrcmpiA(e.className, c.className.c_str())) << c.className;
    EXPECT_EQ(kChild | e.style, c.style);
    EXPECT_EQ(0u, c.exStyle);
    EXPECT_EQ(std::string(e.title), c.title);
    EXPECT_EQ(e.x, c.x);
    EXPECT_EQ(e.y, c.y);
    EXPECT_EQ(e.cx, c.cx);
    EXPECT_EQ(e.cy, c.cy);
  }
}

const Expected kSettings[] = {
    {1006, "Button", BS_DEFPUSHBUTTON | WS_TABSTOP, "キャンセル", 200, 150, 50, 14},
    {1001, "SysListView32", LVS_REPORT | LVS_AUTOARRANGE | WS_BORDER | WS_TABSTOP, "", 10, 15,
     235, 70},
    {1003, "Button", BS_PUSHBUTTON | WS_TABSTOP, "仮想ドライブを作成", 10, 90, 75, 15},
    {1004, "Button", BS_PUSHBUTTON | WS_TABSTOP, "仮想ドライブを破棄", 170, 90, 75, 15},
    {-1, "Button", BS_GROUPBOX, "ドライブ", 5, 5, 245, 105},
    {1005, "Button", BS_PUSHBUTTON | WS_TABSTOP, "仮想ドライブ設定", 90, 90, 75, 15},
    {1008, "Edit", ES_AUTOHSCROLL | WS_BORDER | WS_TABSTOP, "", 110, 125, 125, 10},
    {1009, "Button", BS_PUSHBUTTON | WS_TABSTOP, "...", 235, 125, 10, 10},
    {1007, "Button", BS_DEFPUSHBUTTON | WS_TABSTOP, "OK", 145, 150, 50, 14},
    {-1, "Button", BS_GROUPBOX, "テンポラリフォルダ", 105, 115, 145, 25},
    {-1, "Button", BS_GROUPBOX, "対応状況", 5, 115, 95, 50},
    {1058, "SysListView32", LVS_REPORT | WS_BORDER | WS_TABSTOP, "", 10, 125, 85, 35},
};

const Expected kDriveOptions[] = {
    {1019, "Button", BS_DEFPUSHBUTTON | WS_TABSTOP, "OK", 35, 145, 50, 14},
    {1020, "Button", BS_PUSHBUTTON | WS_TABSTOP, "ｷｬﾝｾﾙ", 90, 145, 50, 14},
    {1010, "Button", BS_AUTORADIOBUTTON, "圧縮ファイルに反映しない", 10, 20, 95, 10},
    {1011, "Button", BS_AUTORADIOBUTTON, "圧縮ファイルに反映する", 10, 35, 95, 10},
    {1012, "Button", BS_AUTOCHECKBOX | WS_TABSTOP, "時間を指定する(分)", 20, 50, 70, 10},
    {1013, "Button", BS_AUTOCHECKBOX | WS_TABSTOP, "いずれかのファイルが更新されたら", 20, 65,
     115, 10},
    {1015, "msctls_updown32", UDS_ARROWKEYS, "", 110, 50, 9, 10},
    {1021, "Button", BS_GROUPBOX, "ドライブ名", 5, 5, 135, 135},
    {-1, "Static", SS_RIGHT | SS_CENTERIMAGE, "圧縮ファイル：", 10, 110, 45, 10},
    {1018, "Static", SS_RIGHT | SS_CENTERIMAGE | SS_SUNKEN, "", 95, 50, 15, 10},
    {1022, "Static", SS_LEFT | SS_CENTERIMAGE | SS_SUNKEN, "", 10, 125, 125, 10},
    {1023, "Button", BS_AUTOCHECKBOX | BS_VCENTER | WS_TABSTOP, "テンポラリフォルダは残して終了",
     10, 95, 125, 10},
    {1024, "Button", BS_AUTOCHECKBOX | BS_VCENTER | WS_TABSTOP, "更新はファイルを消して再圧縮",
     20, 80, 105, 10},
};

INT_PTR CALLBACK QuietProc(HWND, UINT message, WPARAM, LPARAM) {
  return message == WM_INITDIALOG ? TRUE : FALSE;
}

// Creates a dialog from the resources and checks each control of the table on the live
// window: class, caption and order.
void ExpectLiveDialog(int id, const char* caption, const Expected* expected, size_t count) {
  ListViewControl commonControls;
  HWND dialog = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), nullptr,
                                   QuietProc, 0);
  ASSERT_NE(nullptr, dialog);
  EXPECT_EQ(std::string(caption), test::WindowText(dialog));
  HWND child = GetWindow(dialog, GW_CHILD);
  for (size_t i = 0; i < count; ++i, child = GetWindow(child, GW_HWNDNEXT)) {
    SCOPED_TRACE("control " + std::to_string(i));
    ASSERT_NE(nullptr, child);
    EXPECT_EQ(expected[i].id, static_cast<int>(static_cast<short>(GetDlgCtrlID(child))));
    char className[64] = {};
    GetClassNameA(child, className, sizeof className);
    EXPECT_EQ(0, lstrcmpiA(expected[i].className, className)) << className;
    if (expected[i].id != IDC_SETTINGS_FOLDER) {
      EXPECT_EQ(std::string(expected[i].title), test::WindowText(child));
    }
  }
  EXPECT_EQ(nullptr, child);
  DestroyWindow(dialog);
}

}  // namespace

TEST(Resources, SettingsDialogTemplate) {
  Dialog dialog;
  ASSERT_TRUE(ReadDialog(IDD_SETTINGS, &dialog));
  EXPECT_EQ(kFrame, dialog.style);
  EXPECT_EQ(static_cast<DWORD>(WS_EX_TOOLWINDOW), dialog.exStyle);
  EXPECT_EQ(255, dialog.cx);
  EXPECT_EQ(167, dialog.cy);
  EXPECT_EQ("設定", dialog.title);
  EXPECT_EQ("ＭＳ Ｐゴシック", dialog.font);
  EXPECT_EQ(9, dialog.pointSize);
  EXPECT_EQ(SHIFTJIS_CHARSET, dialog.charset);
  EXPECT_FALSE(dialog.hasMenu);
  ExpectControls(dialog, kSettings, sizeof kSettings / sizeof kSettings[0]);
}

TEST(Resources, DriveOptionsDialogTemplate) {
  Dialog dialog;
  ASSERT_TRUE(ReadDialog(IDD_DRIVE_OPTIONS, &dialog));
  EXPECT_EQ(kFrame, dialog.style);
  EXPECT_EQ(static_cast<DWORD>(WS_EX_TOOLWINDOW), dialog.exStyle);
  EXPECT_EQ(143, dialog.cx);
  EXPECT_EQ(162, dialog.cy);
  EXPECT_EQ("仮想ドライブの設定", dialog.title);
  EXPECT_EQ("ＭＳ Ｐゴシック", dialog.font);
  EXPECT_EQ(9, dialog.pointSize);
  ExpectControls(dialog, kDriveOptions, sizeof kDriveOptions / sizeof kDriveOptions[0]);
}

TEST(Resources, DropBarTemplate) {
  Dialog dialog;
  ASSERT_TRUE(ReadDialog(IDD_DROP_BAR, &dialog));
  EXPECT_EQ(static_cast<DWORD>(WS_POPUP | DS_SETFOREGROUND | DS_SETFONT), dialog.style);
  EXPECT_EQ(static_cast<DWORD>(WS_EX_ACCEPTFILES), dialog.exStyle);
  EXPECT_EQ(7, dialog.cx);
  EXPECT_EQ(11, dialog.cy);
  EXPECT_EQ("", dialog.title);
  EXPECT_FALSE(dialog.hasMenu);
  EXPECT_FALSE(dialog.hasClass);
  EXPECT_EQ("ＭＳ Ｐゴシック", dialog.font);
  EXPECT_TRUE(dialog.controls.empty());
}

TEST(Resources, SettingsDialogCreatesWithEveryControl) {
  ExpectLiveDialog(IDD_SETTINGS, "設定", kSettings, sizeof kSettings / sizeof kSettings[0]);
}

TEST(Resources, DriveOptionsDialogCreatesWithEveryControl) {
  ExpectLiveDialog(IDD_DRIVE_OPTIONS, "仮想ドライブの設定", kDriveOptions,
                   sizeof kDriveOptions / sizeof kDriveOptions[0]);
}

TEST(Resources, DropBarAcceptsFiles) {
  HWND bar = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_DROP_BAR),
                                nullptr, QuietProc, 0);
  ASSERT_NE(nullptr, bar);
  EXPECT_NE(0, GetWindowLongA(bar, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
  EXPECT_EQ(0, GetWindowLongA(bar, GWL_STYLE) & WS_CAPTION);
  EXPECT_EQ(nullptr, GetWindow(bar, GW_CHILD));
  DestroyWindow(bar);
}

TEST(Resources, TrayMenuEntriesAndCommands) {
  HMENU menu = LoadMenuA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDM_TRAY));
  ASSERT_NE(nullptr, menu);
  ASSERT_EQ(1, GetMenuItemCount(menu));
  char text[64] = {};
  GetMenuStringA(menu, 0, text, sizeof text, MF_BYPOSITION);
  EXPECT_STREQ("ダミー", text);
  HMENU popup = GetSubMenu(menu, 0);
  ASSERT_NE(nullptr, popup);
  struct Entry {
    int id;  // 0 for a separator
    const char* text;
  };
  const Entry entries[] = {{40001, "設定"},  {0, ""},         {40003, "ヘルプ"},
                           {40005, "バージョン情報"}, {0, ""}, {40002, "終了"}};
  ASSERT_EQ(6, GetMenuItemCount(popup));
  for (int i = 0; i < 6; ++i) {
    MENUITEMINFOA info = {};
    info.cbSize = sizeof info;
    info.fMask = MIIM_FTYPE | MIIM_ID;
    ASSERT_TRUE(GetMenuItemInfoA(popup, i, TRUE, &info));
    if (entries[i].id == 0) {
      EXPECT_NE(0u, info.fType & MFT_SEPARATOR) << i;
      continue;
    }
    EXPECT_EQ(0u, info.fType & MFT_SEPARATOR) << i;
    EXPECT_EQ(UINT(entries[i].id), info.wID) << i;
    GetMenuStringA(popup, i, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(entries[i].text, text) << i;
  }
  EXPECT_EQ(IDM_SETTINGS, 40001);
  EXPECT_EQ(IDM_EXIT, 40002);
  EXPECT_EQ(IDM_HELP, 40003);
  EXPECT_EQ(IDM_VERSION, 40005);
  DestroyMenu(menu);
}

TEST(Resources, ResourcesAreJapanese) {
  for (int id : {IDD_SETTINGS, IDD_DROP_BAR, IDD_DRIVE_OPTIONS})
    EXPECT_NE(nullptr, ResourceData(RT_DIALOG, id)) << id;
  EXPECT_NE(nullptr, ResourceData(RT_MENU, IDM_TRAY));
  EXPECT_NE(nullptr, ResourceData(RT_GROUP_ICON, IDI_TEMBROOK));
  EXPECT_NE(nullptr, ResourceData(RT_VERSION, 1));
}

TEST(Resources, IconIsOne32By32ImageIn256Colours) {
  EXPECT_NE(nullptr, LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_TEMBROOK)));
  const BYTE* group = ResourceData(RT_GROUP_ICON, IDI_TEMBROOK);
  ASSERT_NE(nullptr, group);
  WORD header[3];
  memcpy(header, group, sizeof header);
  EXPECT_EQ(1, header[1]);  // icon
  ASSERT_EQ(1, header[2]);  // one image
  const BYTE* entry = group + 6;
  EXPECT_EQ(32, entry[0]);
  EXPECT_EQ(32, entry[1]);
  EXPECT_EQ(0, entry[2]);  // 256 colours
  WORD bitCount, imageId;
  memcpy(&bitCount, entry + 6, 2);
  memcpy(&imageId, entry + 12, 2);
  EXPECT_EQ(8, bitCount);

  DWORD size = 0;
  const BYTE* image = ResourceData(RT_ICON, imageId, kJapanese, &size);
  ASSERT_NE(nullptr, image);
  BITMAPINFOHEADER info;
  memcpy(&info, image, sizeof info);
  EXPECT_EQ(40u, info.biSize);
  EXPECT_EQ(32, info.biWidth);
  EXPECT_EQ(64, info.biHeight);  // colour rows and mask rows
  EXPECT_EQ(8, info.biBitCount);
  EXPECT_EQ(0u, info.biCompression);
  EXPECT_EQ(40u + 1024u + 32u * 32u + 4u * 32u, size);
}

TEST(Resources, VersionBlockStrings) {
  char path[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, path, sizeof path);
  DWORD ignored = 0;
  DWORD size = GetFileVersionInfoSizeA(path, &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> block(size);
  ASSERT_TRUE(GetFileVersionInfoA(path, 0, size, block.data()));

  struct Pair {
    const char* key;
    const char* value;
  };
  const Pair strings[] = {
      {"Comments", "圧縮ファイル仮想ドライブ化ソフトウェア"},
      {"FileDescription", "Tembrook"},
      {"FileVersion", "1.00"},
      {"InternalName", "Tembrook"},
      {"OriginalFilename", "Tembrook.exe"},
      {"ProductName", "  Tembrook"},
      {"ProductVersion", "1.00"},
      {"LegalTrademarks", ""},
      {"PrivateBuild", ""},
      {"SpecialBuild", ""},
  };
  for (const Pair& pair : strings) {
    std::string key = std::string("\\StringFileInfo\\041104B0\\") + pair.key;
    char* value = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueA(block.data(), key.c_str(), reinterpret_cast<void**>(&value),
                               &length))
        << pair.key;
    EXPECT_EQ(std::string(pair.value), std::string(value)) << pair.key;
  }

  WORD* translation = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\VarFileInfo\\Translation",
                             reinterpret_cast<void**>(&translation), &length));
  ASSERT_EQ(4u, length);
  EXPECT_EQ(0x0411, translation[0]);
  EXPECT_EQ(1200, translation[1]);

  VS_FIXEDFILEINFO* fixed = nullptr;
  ASSERT_TRUE(VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(0u, fixed->dwFileVersionMS);
  EXPECT_EQ(0u, fixed->dwFileVersionLS);
  EXPECT_EQ(0u, fixed->dwProductVersionMS);
  EXPECT_EQ(0u, fixed->dwProductVersionLS);
}

TEST(Resources, ManifestAsksForCommonControls6) {
  DWORD size = 0;
  const BYTE* data = ResourceData(RT_MANIFEST, 1, kJapanese, &size);
  ASSERT_NE(nullptr, data);
  std::string manifest(reinterpret_cast<const char*>(data), size);
  EXPECT_NE(std::string::npos, manifest.find("Microsoft.Windows.Common-Controls"));
  EXPECT_NE(std::string::npos, manifest.find("version=\"6.0.0.0\""));
  for (const char* os : {"e2011457-1546-43c5-a5fe-008deee3d3f0",
                         "35138b9a-5d96-4fbd-8e2d-a2440225f93a",
                         "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                         "1f676c76-80e1-4239-95bb-83d0f6d0da78",
                         "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
    EXPECT_NE(std::string::npos, manifest.find(os)) << os;
}
