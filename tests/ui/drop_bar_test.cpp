// The drop bar on real dialogs from the program's resources, with the real archive library.
// The drives are virtual in the table only: the bar and the binding work on the drive
// folders, so no letter is mapped here.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "application.h"
#include "archive_library.h"
#include "bounded_text.h"
#include "drop_bar.h"
#include "file_handle.h"
#include "resource_ids.h"
#include "shell_test_support.h"
#include "test_support.h"

namespace {

using shelltest::DropBars;
using shelltest::MakeDrop;
using shelltest::SeenBox;

constexpr uint8_t X = 'X' - 'A';
constexpr uint8_t Y = 'Y' - 'A';
// ZIP, packed into a fresh archive.
constexpr ArchiveKind ZipPacking = 0x40000001 | 0x20000000;

std::string ReadText(const std::string& path) {
  std::string bytes;
  return test::ReadFileBytes(path, &bytes) ? bytes : std::string("<missing>");
}

class DropBarTest : public ::testing::Test {
 protected:
  void SetUp() override {
    application.instanceHandle = GetModuleHandleA(nullptr);
    ASSERT_TRUE(LoadDLL());
    ASSERT_TRUE(CopyBounded(driveTable.TempRoot, PathSize, root.Path().c_str()));
    ASSERT_TRUE(CopyBounded(driveTable.PendingTempRoot, PathSize, root.Path().c_str()));
    ASSERT_TRUE(CreateMainWindow());
    FileHandle strip;
    ASSERT_TRUE(strip.Open((test::BinDir() + "\\Drive.bmp").c_str(), GENERIC_READ));
    ASSERT_TRUE(iconStrip.Load(strip.handle));
    one = MakeArchive("one.zip", {{"a.txt", "one"}});
    two = MakeArchive("two.zip", {{"b.txt", "two"}});
    three = MakeArchive("three.zip", {{"c.txt", "three"}, {"sub\\d.txt", "deep"}});
  }

  void TearDown() override {
    for (uint8_t letter : {X, Y}) {
      driveTable.StopUpdateTimer(letter);
      driveTable.kinds[letter] = DriveKind::Free;
      memset(&driveTable.slots[letter], 0, sizeof(DriveSlot));
    }
  }

  std::string MakeArchive(const std::string& name,
                          const std::map<std::string, std::string>& files) {
    test::TempFolder content("content");
    for (const auto& [file, text] : files) {
      std::string path = content / file;
      CreateDirectoryPath(path.substr(0, path.rfind('\\')).c_str());
      EXPECT_TRUE(test::WriteFileBytes(path, text));
    }
    std::string archive = root / name;
    EXPECT_EQ(1, Pac(archive.c_str(), (content.Path() + "\\").c_str(), ZipPacking)) << name;
    return archive;
  }

  std::string DriveFolder(uint8_t letter) const {
    return root.Path() + "\\Drive\\" + static_cast<char>('A' + letter);
  }

  // A virtual drive with its options and, unless the path is empty, its archive bound.
  void MakeVirtual(uint8_t letter, const std::string& archive, SlotFlags flags) {
    driveTable.kinds[letter] = DriveKind::Virtual;
    driveTable.slots[letter].flags = flags;
    driveTable.slots[letter].intervalMinutes = 1;
    CreateDirectoryPath(DriveFolder(letter).c_str());
    if (!archive.empty()) {
      ASSERT_EQ(1, driveTable.BindArchive(letter, archive.c_str(), 1));
    }
  }

  // Opens the bar as the shell does and runs act once with the shown bar; message boxes
  // are recorded and dismissed meanwhile. A bar still open after 20 s is ended and fails.
  void RunBar(const std::function<void(HWND)>& act) {
    bool acted = false;
    DWORD start = GetTickCount();
    shelltest::TimerHook hook([&] {
      shelltest::DismissMessageBoxes(&boxes);
      std::vector<HWND> bars = DropBars();
      barsSeen = std::max(barsSeen, bars.size());
      if (GetTickCount() - start > 20000) {
        for (HWND bar : bars) EndDialog(bar, -2);
        timedOut = true;
        return;
      }
      if (acted || bars.empty()) return;
      acted = true;
      shownBar = bars[0];
      act(bars[0]);
    });
    dropBarRunner.Run(application.instanceHandle, IDD_DROP_BAR, MainWindow.hwnd, DropBarProc, 0);
    EXPECT_FALSE(timedOut) << "the bar did not close";
    // Closed with EndDialog: the main window is usable again.
    EXPECT_TRUE(DropBars().empty());
    EXPECT_TRUE(IsWindowEnabled(MainWindow.hwnd));
  }

  // Moves the cursor to a point of the bar's client area (which may lie outside the bar)
  // and drops the files there, the drop itself naming the given point.
  static void DropAt(HWND bar, POINT cursor, POINT dropPoint,
                     const std::vector<std::string>& files) {
    ClientToScreen(bar, &cursor);
    SetCursorPos(cursor.x, cursor.y);
    PostMessageA(bar, WM_DROPFILES, reinterpret_cast<WPARAM>(MakeDrop(files, dropPoint)), 0);
  }

  void ExpectBound(uint8_t letter, const std::string& archive) {
    EXPECT_STREQ(archive.c_str(), driveTable.slots[letter].archivePath);
  }

  test::TempFolder root{"bar"};
  std::string one, two, three;
  std::vector<SeenBox> boxes;
  size_t barsSeen = 0;
  bool timedOut = false;
  HWND shownBar = nullptr;
};

TEST_F(DropBarTest, ShowsOneIconPerVirtualDriveAtTheBottomRightOfTheWorkArea) {
  MakeVirtual(X, one, ReflectToArchive);
  MakeVirtual(Y, two, ReflectToArchive);
  RECT bounds = {};
  LONG exStyle = 0;
  int wrongPixels = -1;
  RunBar([&](HWND bar) {
    GetWindowRect(bar, &bounds);
    exStyle = GetWindowLongA(bar, GWL_EXSTYLE);
    UpdateWindow(bar);
    // What the bar shows, compared pixel by pixel with the icons of X: and Y: in the strip.
    HDC barDc = GetDC(bar);
    HDC copyDc = CreateCompatibleDC(barDc);
    HBITMAP copy = CreateCompatibleBitmap(barDc, 64, 32);
    HGDIOBJ previous = SelectObject(copyDc, copy);
    BitBlt(copyDc, 0, 0, 64, 32, barDc, 0, 0, SRCCOPY);
    wrongPixels = 0;
    for (int k = 0; k < 2; ++k) {
      int letter = k == 0 ? X : Y;
      for (int y = 0; y < 32; ++y) {
        for (int x = 0; x < 32; ++x) {
          if (GetPixel(copyDc, 32 * k + x, y) != GetPixel(iconStrip.memoryDc, 32 * letter + x, y)) {
            ++wrongPixels;
          }
        }
      }
    }
    SelectObject(copyDc, previous);
    DeleteObject(copy);
    DeleteDC(copyDc);
    ReleaseDC(bar, barDc);
    PostMessageA(bar, WM_LBUTTONDOWN, 0, MAKELPARAM(5, 5));
  });

  RECT workArea;
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
  EXPECT_EQ(workArea.right - 64, bounds.left);
  EXPECT_EQ(workArea.bottom - 32, bounds.top);
  EXPECT_EQ(64, bounds.right - bounds.left);
  EXPECT_EQ(32, bounds.bottom - bounds.top);
  EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
  EXPECT_EQ(0, wrongPixels);
  EXPECT_EQ(X, DropBarLetters[0]);
  EXPECT_EQ(Y, DropBarLetters[1]);
  EXPECT_EQ(DropBarListEnd, DropBarLetters[2]);
  // The click changed nothing.
  ExpectBound(X, one);
  ExpectBound(Y, two);
  EXPECT_EQ("two", ReadText(DriveFolder(Y) + "\\b.txt"));
}

TEST_F(DropBarTest, WithoutVirtualDrivesNothingIsShown) {
  DropBarLetters[0] = Y;  // left over from an earlier bar
  RunBar([](HWND) {});
  EXPECT_EQ(0u, barsSeen);
  EXPECT_EQ(DropBarListEnd, DropBarLetters[0]);
}

TEST_F(DropBarTest, OnlyALeftClickClosesTheBar) {
  MakeVirtual(Y, two, 0);
  bool openAfterOthers = false;
  RunBar([&](HWND bar) {
    SendMessageA(bar, WM_RBUTTONDOWN, 0, MAKELPARAM(5, 5));
    SendMessageA(bar, WM_COMMAND, IDCANCEL, 0);  // what Esc sends
    SendMessageA(bar, WM_CLOSE, 0, 0);
    openAfterOthers = IsWindowVisible(bar) != FALSE;
    PostMessageA(bar, WM_LBUTTONDOWN, 0, MAKELPARAM(5, 5));
  });
  EXPECT_TRUE(openAfterOthers);
  ExpectBound(Y, two);
}

TEST_F(DropBarTest, DropBindsTheFirstFileToTheDriveUnderTheCursor) {
  std::string four = MakeArchive("four.zip", {{"e.txt", "four"}});
  MakeVirtual(X, one, ReflectToArchive);
  // A kept folder is emptied all the same: the drop replaces the drive's archive.
  MakeVirtual(Y, two, KeepFolderOnExit);
  RunBar([&](HWND bar) { DropAt(bar, {48, 16}, {48, 16}, {three, four}); });

  ExpectBound(Y, three);
  EXPECT_EQ(test::ListTree(DriveFolder(Y)),
            (std::vector<std::string>{"c.txt", "sub\\", "sub\\d.txt"}));
  ExpectBound(X, one);
  EXPECT_EQ("one", ReadText(DriveFolder(X) + "\\a.txt"));
  EXPECT_TRUE(boxes.empty());
}

TEST_F(DropBarTest, DropPointServesWhenTheCursorHasLeftTheIcons) {
  MakeVirtual(X, one, 0);
  MakeVirtual(Y, two, 0);
  RunBar([&](HWND bar) { DropAt(bar, {-200, 16}, {40, 5}, {three}); });
  ExpectBound(Y, three);
  ExpectBound(X, one);
}

TEST_F(DropBarTest, DropOffTheIconsIsIgnored) {
  MakeVirtual(X, one, 0);
  MakeVirtual(Y, two, 0);
  // Column -10 lies left of the first icon although -10 / 32 is 0; column 64 is past the last.
  struct Case {
    POINT cursor, dropPoint;
  };
  for (Case c : {Case{{-10, 16}, {-10, 16}}, Case{{-100, 16}, {64, 16}}}) {
    RunBar([&](HWND bar) { DropAt(bar, c.cursor, c.dropPoint, {three}); });
    ExpectBound(X, one);
    ExpectBound(Y, two);
    EXPECT_EQ("one", ReadText(DriveFolder(X) + "\\a.txt"));
    EXPECT_EQ("two", ReadText(DriveFolder(Y) + "\\b.txt"));
  }
}

TEST_F(DropBarTest, OverlongPathIsIgnoredRatherThanCutShort) {
  MakeVirtual(Y, two, 0);
  // Cut to 255 characters this would name an existing archive.
  std::string prefix = root.Path() + "\\" + std::string(255 - root.Path().size() - 5, 'p');
  std::string shortName = prefix + ".zip";
  ASSERT_EQ(255u, shortName.size());
  ASSERT_TRUE(CopyFileA(three.c_str(), shortName.c_str(), FALSE));
  RunBar([&](HWND bar) { DropAt(bar, {16, 16}, {16, 16}, {shortName + "x"}); });
  ExpectBound(Y, two);
  EXPECT_EQ("two", ReadText(DriveFolder(Y) + "\\b.txt"));
}

TEST_F(DropBarTest, ArchiveInsideTheTargetDriveIsRefused) {
  MakeVirtual(X, one, 0);
  MakeVirtual(Y, two, 0);
  std::string inner = DriveFolder(Y) + "\\inner.zip";
  ASSERT_TRUE(CopyFileA(three.c_str(), inner.c_str(), FALSE));
  std::string lowerRoot = root.Path();
  CharLowerBuffA(&lowerRoot[0], static_cast<DWORD>(lowerRoot.size()));
  // On the drive's letter, in its folder, and in its folder spelled another way.
  for (const std::string& path : {std::string("Y:\\inner.zip"), inner,
                                   lowerRoot + "\\drive\\x\\..\\y\\inner.zip"}) {
    boxes.clear();
    RunBar([&](HWND bar) { DropAt(bar, {48, 16}, {48, 16}, {path}); });
    ASSERT_EQ(1u, boxes.size()) << path;
    EXPECT_EQ("圧縮ファイルが仮想ドライブY:の中にあるため開けません。", boxes[0].text);
    EXPECT_EQ(shownBar, boxes[0].owner);
    ExpectBound(Y, two);
    EXPECT_EQ("two", ReadText(DriveFolder(Y) + "\\b.txt"));
    EXPECT_TRUE(test::PathExists(inner));
  }
  // The same archive dropped on another drive is no danger to it.
  boxes.clear();
  RunBar([&](HWND bar) { DropAt(bar, {16, 16}, {16, 16}, {inner}); });
  EXPECT_TRUE(boxes.empty());
  ExpectBound(X, inner);
  EXPECT_EQ("three", ReadText(DriveFolder(X) + "\\c.txt"));
}

TEST_F(DropBarTest, DriveRemovedWhileTheBarWasOpenIsLeftAlone) {
  MakeVirtual(X, one, 0);
  MakeVirtual(Y, two, 0);
  RunBar([&](HWND bar) {
    driveTable.kinds[Y] = DriveKind::Free;
    DropAt(bar, {48, 16}, {48, 16}, {three});
  });
  EXPECT_STREQ(two.c_str(), driveTable.slots[Y].archivePath);
  EXPECT_EQ("two", ReadText(DriveFolder(Y) + "\\b.txt"));
  EXPECT_FALSE(test::PathExists(DriveFolder(Y) + "\\c.txt"));
}

// A release that fails says why: changes that could not be written back refuse the drop;
// a folder that only could not be emptied (here of a format the library only reads, whose
// changes can never be packed, with a stale mark) gets the new archive over what remained.
TEST_F(DropBarTest, FailedReleaseSaysWhatHappened) {
  const ArchiveKind ReadOnly = 0x80000000u | (1u << 17);
  const struct {
    ArchiveKind kind;  // 0: as bound
    std::string held;  // what another program holds open
    std::string message;
    bool dropped;
  } cases[] = {
      {0, two,
       "仮想ドライブY:の内容を圧縮ファイルに書き戻せませんでした。\n"
       "新しい圧縮ファイルは開いていません。",
       false},
      {ReadOnly, DriveFolder(Y) + "\\b.txt",
       "仮想ドライブY:で、テンポラリフォルダ削除エラーが発生しました。\n"
       "手動でテンポラリフォルダを削除してください。",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    boxes.clear();
    MakeVirtual(Y, two, ReflectToArchive);
    ASSERT_TRUE(test::WriteFileBytes(DriveFolder(Y) + "\\b.txt", "changed"));
    if (c.kind != 0) {
      driveTable.slots[Y].archiveKind = c.kind;
      driveTable.slots[Y].flags |= WriteBackPending;
    }
    HANDLE held =
        CreateFileA(c.held.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    RunBar([&](HWND bar) { DropAt(bar, {16, 16}, {16, 16}, {three}); });
    CloseHandle(held);

    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(c.message, boxes[0].text);
    EXPECT_EQ(shownBar, boxes[0].owner);
    EXPECT_EQ("changed", ReadText(DriveFolder(Y) + "\\b.txt"));
    ExpectBound(Y, c.dropped ? three : two);
    EXPECT_EQ(c.dropped, test::PathExists(DriveFolder(Y) + "\\c.txt"));
    // Only the refused drop keeps the mark: its changes wait in the folder.
    EXPECT_EQ(!c.dropped, (driveTable.slots[Y].flags & WriteBackPending) != 0);
    driveTable.ReleaseArchive(Y, 1);
  }
}

TEST_F(DropBarTest, DroppingAFileThatIsNoArchiveLeavesTheDriveEmptyAfterWritingItBack) {
  MakeVirtual(Y, two, ReflectToArchive);
  ASSERT_TRUE(test::WriteFileBytes(DriveFolder(Y) + "\\b.txt", "edited"));
  std::string notes = root / "notes.txt";
  ASSERT_TRUE(test::WriteFileBytes(notes, "not an archive"));
  RunBar([&](HWND bar) { DropAt(bar, {16, 16}, {16, 16}, {notes}); });

  EXPECT_STREQ("", driveTable.slots[Y].archivePath);
  EXPECT_TRUE(test::ListTree(DriveFolder(Y)).empty());
  test::TempFolder unpacked("unpacked");
  ASSERT_EQ(1, Pac(two.c_str(), (unpacked.Path() + "\\").c_str(), Check(two.c_str())));
  EXPECT_EQ("edited", ReadText(unpacked / "b.txt"));
}

}  // namespace
