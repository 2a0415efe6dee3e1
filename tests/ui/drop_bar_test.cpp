// The drop bar on its real dialog with the real archive library and real message boxes. The
// drives are virtual in the table only: the bar and the binding work on the drive folders.
#include <gtest/gtest.h>
#include <shlobj.h>

#include <cstring>

#include "application.h"
#include "drop_bar.h"
#include "file_handle.h"
#include "messages.h"
#include "resource_ids.h"
#include "test_support.h"

namespace {

constexpr uint8_t X = 'X' - 'A', Y = 'Y' - 'A';

// A drop as the shell hands it over: DROPFILES, the paths (NUL-separated) and two NULs.
HDROP MakeDrop(const std::string& paths, POINT point) {
  HGLOBAL memory = GlobalAlloc(GHND, sizeof(DROPFILES) + paths.size() + 2);
  auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
  drop->pFiles = sizeof(DROPFILES), drop->pt = point;
  memcpy(drop + 1, paths.data(), paths.size());
  GlobalUnlock(memory);
  return static_cast<HDROP>(memory);
}

class DropBarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application.instanceHandle = GetModuleHandleA(nullptr);
    strcpy(driveTable.TempRoot, root.Path().c_str());
    FileHandle strip;
    ASSERT_TRUE(LoadDLL() && CreateMainWindow());
    ASSERT_TRUE(strip.Open((test::BinDir() + "\\Drive.bmp").c_str(), GENERIC_READ));
    ASSERT_TRUE(iconStrip.Load(strip.handle));
  }

  std::string Archive(const char* name, const char* file, const char* text) {
    test::TempFolder content("content");
    EXPECT_TRUE(test::WriteFileBytes(content / file, text));
    EXPECT_TRUE(Pac((root / name).c_str(), (content.Path() + "\\").c_str(),
                    PackingKind(ExtractionKind(FormatZip)) | FreshBit));
    return root / name;
  }
  std::string Folder(uint8_t letter) { return root.Path() + "\\Drive\\" + char('A' + letter); }
  std::string Text(const std::string& path) {
    std::string text;
    return test::ReadFileBytes(path, &text) ? text : "<missing>";
  }

  // Opens the bar as the tray icon does; act runs once on the shown bar.
  void RunBar(std::function<void(HWND)> act) {
    script.Then(test::IsDropBar, [&](HWND bar) { shownBar = bar, act(bar); });
    dropBarRunner.Run(application.instanceHandle, IDD_DROP_BAR, MainWindow.hwnd, DropBarProc, 0);
    EXPECT_TRUE(test::ThreadWindows(test::IsDropBar).empty());
    EXPECT_TRUE(IsWindowEnabled(MainWindow.hwnd));  // ended with EndDialog
  }

  test::TempFolder root{"bar"};
  test::ModalScript script;
  HWND shownBar = nullptr;
};

TEST_F(DropBarTest, WithoutVirtualDrivesNoBarShows) {
  RunBar([](HWND) { ADD_FAILURE() << "a bar without drives"; });
}

// X: holds nothing; Y: is bound to two.zip and reflects its changes, one of which waits.
TEST_F(DropBarTest, DropReplacesTheArchiveUnderTheCursorOrIsRefusedWithoutLosingChanges) {
  std::string three = Archive("three.zip", "c.txt", "three"), inner = Folder(Y) + "\\i.zip";
  std::string two = root / "two.zip", lowerRoot = root.Path();
  CharLowerBuffA(&lowerRoot[0], lowerRoot.size());
  // Cut to 255 characters the overlong name would name an existing archive.
  std::string cut = root / (std::string(250 - root.Path().size(), 'p') + ".zip");
  ASSERT_TRUE(CopyFileA(three.c_str(), cut.c_str(), FALSE));
  const char* inside = "圧縮ファイルが仮想ドライブY:の中にあるため開けません。";
  // Refused before the drive lets go of its archive, with the reason.
  auto refused = [](const std::string& file, const char* reason, char letter = 'Y') {
    return file + "を開けませんでした。仮想ドライブ" + letter + ":はそのままです。\n" + reason;
  };
  auto fixture = [](const char* name) { return test::DataDir() + "\\vessiko\\" + name; };
  const char* password = "パスワードで保護されています。";
  // Encrypted ZIPs with nobody to ask for the password (the dialog has tests of its own).
  const char* notAsked = "パスワードが入力されていません。";
  enum Twist { None, HeldArchive, HeldFile, DriveRemoved };
  const struct {
    POINT cursor, point;  // the cursor, and the point the drop names, in the bar
    std::string file;
    Twist twist;
    char bound;   // the drive that took the archive
    bool packed;  // Y:'s change went into two.zip, else it is still in Y:'s folder only
    std::string message;  // empty: none
  } cases[] = {
      {{48, 16}, {48, 16}, three + '\0' + cut, None, 'Y', true, ""},
      {{-200, 16}, {40, 5}, three, None, 'Y', true, ""},
      {{-10, 16}, {-10, 16}, three, None, 0, false, ""},  // -10 / 32 is 0
      {{-100, 16}, {64, 16}, three, None, 0, false, ""},
      {{16, 16}, {16, 16}, cut + "x", None, 0, false, ""},
      {{16, 16}, {16, 16}, root / "gone.zip", None, 0, false,
       refused(root / "gone.zip", "圧縮ファイルが見つかりません。", 'X')},
      {{48, 16}, {48, 16}, fixture("infozip-zipcrypto.zip"), None, 0, false,
       refused(fixture("infozip-zipcrypto.zip"), notAsked)},
      {{48, 16}, {48, 16}, fixture("7zz-aes256.zip"), None, 0, false,
       refused(fixture("7zz-aes256.zip"), notAsked)},
      {{48, 16}, {48, 16}, fixture("7zz-password.7z"), None, 0, false,
       refused(fixture("7zz-password.7z"), password)},
      {{48, 16}, {48, 16}, fixture("7zz-encrypted-names.7z"), None, 0, false,
       refused(fixture("7zz-encrypted-names.7z"), password)},
      {{48, 16}, {48, 16}, fixture("7zz-ppmd-x86.7z"), None, 0, false,
       refused(fixture("7zz-ppmd-x86.7z"), "対応していない圧縮方式です（PPMd + x86）。")},
      {{48, 16}, {48, 16}, "Y:\\i.zip", None, 0, false, inside},
      {{48, 16}, {48, 16}, inner, None, 0, false, inside},
      {{48, 16}, {48, 16}, lowerRoot + "\\drive\\x\\..\\y\\i.zip", None, 0, false, inside},
      {{16, 16}, {16, 16}, inner, None, 'X', false, ""},
      {{48, 16}, {48, 16}, three, DriveRemoved, 0, false, ""},
      {{48, 16}, {48, 16}, three, HeldArchive, 0, false,
       "仮想ドライブY:の内容を圧縮ファイルに書き戻せませんでした。\n"
       "新しい圧縮ファイルは開いていません。\n圧縮ファイルが他のプログラムで使用中です。"},
      // Of a format the library only reads, with a stale mark: only the emptying failed.
      {{48, 16}, {48, 16}, three, HeldFile, 'Y', false,
       "仮想ドライブY:で、テンポラリフォルダ削除エラーが発生しました。\n"
       "手動でテンポラリフォルダを削除してください。"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    for (uint8_t letter : {X, Y}) {
      driveTable.kinds[letter] = DriveKind::Virtual, driveTable.slots[letter].flags = 0;
      driveTable.ReleaseArchive(letter, 1);
      CreateDirectoryPath(Folder(letter).c_str());
    }
    ASSERT_EQ(two, Archive("two.zip", "b.txt", "two"));
    ASSERT_EQ(1, driveTable.BindArchive(Y, two.c_str(), 1));
    driveTable.slots[Y].flags = ReflectToArchive | (c.twist == HeldFile ? WriteBackPending : 0);
    if (c.twist == HeldFile) driveTable.slots[Y].archiveKind = ExtractionKind(FormatLzh);
    ASSERT_TRUE(test::WriteFileBytes(Folder(Y) + "\\b.txt", "edited") &&
                CopyFileA(three.c_str(), inner.c_str(), FALSE));
    std::string held = c.twist == HeldArchive ? two : Folder(Y) + "\\b.txt";
    HANDLE hold = c.twist == HeldArchive || c.twist == HeldFile
                      ? CreateFileA(held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, 0)
                      : nullptr;
    script.boxes.clear();
    RunBar([&](HWND bar) {
      if (c.twist == DriveRemoved) driveTable.kinds[Y] = DriveKind::Free;
      POINT cursor = c.cursor;
      ClientToScreen(bar, &cursor);
      SetCursorPos(cursor.x, cursor.y);
      PostMessageA(bar, WM_DROPFILES, WPARAM(MakeDrop(c.file, c.point)), 0);
    });
    CloseHandle(hold);

    std::string dropped = c.file.c_str();  // the first file
    EXPECT_EQ(c.bound == 'X' ? dropped : "", driveTable.slots[X].archivePath);
    EXPECT_EQ(c.bound == 'Y' ? dropped : two, driveTable.slots[Y].archivePath);
    EXPECT_EQ("three", c.bound ? Text(Folder(c.bound - 'A') + "\\c.txt") : "three");
    test::TempFolder unpacked("unpacked");
    Pac(two.c_str(), (unpacked.Path() + "\\").c_str(), Check(two.c_str()));
    EXPECT_EQ(c.packed ? "edited" : "two", Text(unpacked / "b.txt"));
    EXPECT_EQ("edited", c.packed ? "edited" : Text(Folder(Y) + "\\b.txt"));
    ASSERT_EQ(c.message.empty() ? 0u : 1u, script.boxes.size());
    for (const test::Shown& box : script.boxes) EXPECT_EQ(c.message, box.text);
    for (const test::Shown& box : script.boxes) EXPECT_EQ(shownBar, box.owner);
  }
}

// Each reason as its own line, with what it names and sizes people read; none without one.
TEST_F(DropBarTest, MessagesCarryTheLibrarysReasonAsALineOfItsOwn) {
  static std::vector<std::string> shown;
  messageSink = [](HWND, const char* text) { shown.push_back(text); };
  auto report = [](LibraryReason reason, const char* subject, uint64_t needed, uint64_t free) {
    LibraryReport r = {};
    r.reason = reason, r.needed = needed, r.available = free;
    lstrcpynA(r.subject, subject, sizeof r.subject);
    return r;
  };
  const std::string head = "Z:\\a.zipを開けませんでした。仮想ドライブY:はそのままです。";
  const struct { LibraryReport why; std::string line; } rows[] = {
      {report(ReasonNone, "", 0, 0), ""},
      {report(ReasonNoRoom, "", 3ull << 30, 1288490189),
       "\nディスクの空き容量が足りません（必要 3.0 GB、空き 1.2 GB）。"},
      {report(ReasonNoRoom, "", 0, 5u << 20), "\nディスクの空き容量が足りません（空き 5.0 MB）。"},
      {report(ReasonDamaged, "sub\\b.txt", 0, 0), "\n圧縮ファイルが壊れています（sub\\b.txt）。"},
      {report(ReasonDamaged, "", 0, 0), "\n圧縮ファイルが壊れています。"},
      {report(ReasonWrongPassword, "", 0, 0), "\nパスワードが違います。"},
      {report(static_cast<LibraryReason>(ReasonCount), "x", 0, 0), ""}};
  for (const auto& row : rows) {
    shown.clear();
    ShowArchiveProblem(nullptr, ArchiveProblem::Refused, Y, "Z:\\a.zip", row.why);
    EXPECT_EQ(std::vector<std::string>{head + row.line}, shown);
  }
  messageSink = nullptr;
}

// The entry Windows cannot hold is left out of the drive, said in a balloon, and kept in the
// archive by the write-back.
TEST_F(DropBarTest, ABindThatLeftEntriesOutSaysHowManyAndTheWriteBackKeepsThem) {
  static std::vector<std::string> balloons;
  messageSink = [](HWND owner, const char* text) {
    if (owner == HWND_MESSAGE) balloons.push_back(text);
  };
  driveTable.noticeSink = ShowEngineNotice;
  std::string archive = root / "unsafe.zip";
  ASSERT_TRUE(CopyFileA((test::DataDir() + "\\vessiko\\unsafe-name.zip").c_str(),
                        archive.c_str(), FALSE));
  driveTable.kinds[Y] = DriveKind::Virtual, driveTable.slots[Y].flags = ReflectToArchive;
  CreateDirectoryPath(Folder(Y).c_str());
  EXPECT_EQ(1, driveTable.BindArchive(Y, archive.c_str(), 1));
  EXPECT_EQ(std::vector<std::string>{"readme.txt"}, test::ListTree(Folder(Y)));
  EXPECT_EQ(std::vector<std::string>{"仮想ドライブY:に表示できない項目が1個あります。"
                                     "圧縮ファイルの中には残っています。"},
            balloons);
  ASSERT_TRUE(test::WriteFileBytes(Folder(Y) + "\\readme.txt", "edited"));
  EXPECT_EQ(1, driveTable.ReleaseArchive(Y, 1));
  EXPECT_NE(std::string::npos, Text(archive).find("aux.txt"));
  test::TempFolder unpacked("unpacked");
  Pac(archive.c_str(), (unpacked.Path() + "\\").c_str(), Check(archive.c_str()));
  EXPECT_EQ("edited", Text(unpacked / "readme.txt"));
  driveTable.noticeSink = nullptr;
  messageSink = nullptr;
}

}  // namespace
