// The timer's write-back of a drive whose folder did not change since its archive was
// extracted or last written back packs nothing; any change, a failed write-back waiting in
// the folder, a kept drive restored without extraction, and every release, exit or explicit
// write-back still pack.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <ostream>
#include <string>

#include "engine_fixture.h"

using namespace enginetest;

namespace {

constexpr uint8_t R = Index('R');

// A write time long past, so that a fresh archive file is told apart by its time alone
// (a repack of the same entries may give the same bytes).
constexpr ULONGLONG LongAgo = 126227808000000000ull;  // 2001-01-01

FILETIME FileTimeOf(ULONGLONG value) {
  FILETIME time;
  time.dwLowDateTime = static_cast<DWORD>(value);
  time.dwHighDateTime = static_cast<DWORD>(value >> 32);
  return time;
}

ULONGLONG WriteTimeOf(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (static_cast<ULONGLONG>(data.ftLastWriteTime.dwHighDateTime) << 32) |
         data.ftLastWriteTime.dwLowDateTime;
}

bool SetWriteTime(const std::string& path, ULONGLONG value) {
  DWORD flags = test::IsDirectory(path) ? FILE_FLAG_BACKUP_SEMANTICS : 0;
  HANDLE file = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                            flags, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  FILETIME time = FileTimeOf(value);
  bool ok = SetFileTime(file, nullptr, nullptr, &time);
  CloseHandle(file);
  return ok;
}

class TimedWriteBackTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_EQ(1, LoadDLL());
    table_.noticeSink = CollectMessage;
    ASSERT_EQ(1, CopyBounded(table_.TempRoot, sizeof table_.TempRoot, root_.Path().c_str()));
    ASSERT_EQ(1, MakeArchive(archive_, {{"a.txt", "alpha"}, {"sub\\b.txt", "beta"}}));
  }
  void TearDown() override {
    table_.SaveAndShutdown(0);
    ReleaseDLL();
    EngineTest::TearDown();
  }

  // Drive R: bound to the archive with a running timer.
  void BindTimed(SlotFlags flags = TimedUpdate) {
    ASSERT_EQ(1, table_.CreateVirtualDrive(R, table_.TempRoot));
    table_.slots[R].flags = flags;
    ASSERT_EQ(1, table_.BindArchive(R, archive_.c_str(), 1));
    ASSERT_NE(0u, table_.slots[R].timerId);
  }
  // The archive as it is now, its write time set long back.
  void MarkArchive() {
    ASSERT_TRUE(SetWriteTime(archive_, LongAgo));
    ASSERT_TRUE(test::ReadFileBytes(archive_, &marked_));
  }
  // 1 when the archive was replaced since MarkArchive, 0 when untouched.
  int ArchiveWasPacked() {
    std::string now;
    EXPECT_TRUE(test::ReadFileBytes(archive_, &now));
    ULONGLONG time = WriteTimeOf(archive_);
    if (time == LongAgo) {
      EXPECT_EQ(marked_, now) << "the same time but other bytes";
      return 0;
    }
    return 1;
  }
  void Tick() { DriveTable::UpdateTimerProc(nullptr, WM_TIMER, table_.slots[R].timerId, 0); }
  std::string InFolder(const std::string& name) const {
    return DriveFolder(root_.Path(), 'R') + "\\" + name;
  }

  test::TempFolder root_{"root"};
  test::TempFolder archives_{"arc"};
  std::string archive_ = archives_ / "drive.zip";
  std::string marked_;
  DriveTable table_;
};

TEST_F(TimedWriteBackTest, UnchangedDriveIsNotPackedByTheTimer) {
  BindTimed();
  MarkArchive();
  Tick();
  Tick();
  EXPECT_EQ(0, ArchiveWasPacked());

  // After a write-back the timer compares against what was packed.
  ASSERT_TRUE(test::WriteFileBytes(InFolder("a.txt"), "changed"));
  Tick();
  EXPECT_EQ(1, ArchiveWasPacked());
  EXPECT_EQ("changed", ArchiveContents(archive_)["a.txt"]);
  MarkArchive();
  Tick();
  EXPECT_EQ(0, ArchiveWasPacked());
}

// What the drive holds must differ from the listing for the tick to pack; each change of a
// file or folder alone is enough.
struct Change {
  const char* name;
  bool (*apply)(const std::string& folder);
};

void PrintTo(const Change& c, std::ostream* out) { *out << c.name; }

class DriveChangeTest : public TimedWriteBackTest, public ::testing::WithParamInterface<Change> {};

TEST_P(DriveChangeTest, TickPacksAfterTheChange) {
  BindTimed();
  MarkArchive();
  ASSERT_TRUE(GetParam().apply(DriveFolder(root_.Path(), 'R')));
  Tick();
  EXPECT_EQ(1, ArchiveWasPacked());
  EXPECT_FALSE(table_.slots[R].flags & WriteBackPending);
}

bool SameSizeContent(const std::string& folder) {
  return test::WriteFileBytes(folder + "\\a.txt", "ALPHA");
}
// Only the size: the write time is put back as it was.
bool SizeOnly(const std::string& folder) {
  std::string path = folder + "\\a.txt";
  ULONGLONG time = WriteTimeOf(path);
  return test::WriteFileBytes(path, "alph") && SetWriteTime(path, time);
}
bool TimeOnly(const std::string& folder) {
  std::string path = folder + "\\sub\\b.txt";
  return SetWriteTime(path, WriteTimeOf(path) + 20000000ull);
}
bool Added(const std::string& folder) {
  return test::WriteFileBytes(folder + "\\sub\\new.txt", "");
}
bool Deleted(const std::string& folder) { return DeleteFileA((folder + "\\a.txt").c_str()); }
bool Renamed(const std::string& folder) {
  return MoveFileA((folder + "\\a.txt").c_str(), (folder + "\\c.txt").c_str());
}
bool EmptyFolder(const std::string& folder) {
  return CreateDirectoryA((folder + "\\empty").c_str(), nullptr);
}
bool ReadOnly(const std::string& folder) {
  return SetFileAttributesA((folder + "\\a.txt").c_str(), FILE_ATTRIBUTE_READONLY);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, DriveChangeTest,
    ::testing::Values(Change{"SameSizeContent", SameSizeContent}, Change{"SizeOnly", SizeOnly},
                      Change{"TimeOnly", TimeOnly}, Change{"AddedFile", Added},
                      Change{"DeletedFile", Deleted}, Change{"RenamedFile", Renamed},
                      Change{"NewEmptyFolder", EmptyFolder}, Change{"ReadOnly", ReadOnly}),
    [](const ::testing::TestParamInfo<Change>& info) { return std::string(info.param.name); });

TEST_F(TimedWriteBackTest, PendingMarkAlwaysPacks) {
  BindTimed();
  MarkArchive();
  table_.slots[R].flags |= WriteBackPending;
  Tick();
  EXPECT_EQ(1, ArchiveWasPacked());
  EXPECT_FALSE(table_.slots[R].flags & WriteBackPending);
  MarkArchive();
  Tick();
  EXPECT_EQ(0, ArchiveWasPacked());
}

// The baseline moves only with a pack that succeeded: a change whose write-back failed is
// packed by the next tick.
TEST_F(TimedWriteBackTest, FailedTickLeavesTheBaseline) {
  BindTimed();
  ASSERT_TRUE(test::WriteFileBytes(InFolder("a.txt"), "changed"));
  MarkArchive();
  {
    HeldFile held(archive_);
    Tick();
  }
  EXPECT_EQ(0, ArchiveWasPacked());
  Tick();
  EXPECT_EQ(1, ArchiveWasPacked());
  EXPECT_EQ("changed", ArchiveContents(archive_)["a.txt"]);
}

TEST_F(TimedWriteBackTest, ReleaseExitAndExplicitWriteBackPackEvenWhenUnchanged) {
  BindTimed(TimedUpdate | ReflectToArchive | KeepFolderOnExit);
  MarkArchive();
  EXPECT_EQ(1, table_.WriteBackArchive(R));
  EXPECT_EQ(1, ArchiveWasPacked());

  MarkArchive();
  EXPECT_EQ(1, table_.ReleaseArchive(R, 0));
  EXPECT_EQ(1, ArchiveWasPacked());
  EXPECT_EQ("alpha", FileText(InFolder("a.txt")));

  ASSERT_EQ(1, table_.BindArchive(R, archive_.c_str(), 1));
  MarkArchive();
  EXPECT_EQ(1, table_.ReleaseArchive(R, 1));
  EXPECT_EQ(1, ArchiveWasPacked());
  EXPECT_TRUE(test::ListTree(DriveFolder(root_.Path(), 'R')).empty());
  EXPECT_EQ((Files{{"a.txt", "alpha"}, {"sub\\b.txt", "beta"}}), ArchiveContents(archive_));
}

// A kept folder shown again without extraction may hold changes the archive lacks.
TEST_F(TimedWriteBackTest, KeptDriveRestoredWithoutExtractionPacksAtTheFirstTick) {
  BindTimed(TimedUpdate | KeepFolderOnExit);
  ASSERT_TRUE(test::WriteFileBytes(InFolder("a.txt"), "kept"));
  EXPECT_EQ(1, table_.ReleaseArchive(R, 0));

  ASSERT_EQ(1, table_.BindArchive(R, archive_.c_str(), 0));
  ASSERT_EQ("kept", FileText(InFolder("a.txt")));
  MarkArchive();
  Tick();
  EXPECT_EQ(1, ArchiveWasPacked());
  EXPECT_EQ("kept", ArchiveContents(archive_)["a.txt"]);
  MarkArchive();
  Tick();
  EXPECT_EQ(0, ArchiveWasPacked());
}

// The listing of an empty folder is the digest of no records at all: SHA-256 of nothing.
TEST_F(TimedWriteBackTest, EmptyFolderListsAsTheDigestOfNothing) {
  std::string folder = archives_ / "empty";
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  FolderListing listing;
  ASSERT_EQ(1, TakeFolderListing(folder.c_str(), &listing));
  const unsigned char expected[32] = {
      0xe3, 0xb0, 0xc4, 0x42, 0x98, 0xfc, 0x1c, 0x14, 0x9a, 0xfb, 0xf4, 0xc8, 0x99, 0x6f, 0xb9, 0x24,
      0x27, 0xae, 0x41, 0xe4, 0x64, 0x9b, 0x93, 0x4c, 0xa4, 0x95, 0x99, 0x1b, 0x78, 0x52, 0xb8, 0x55};
  EXPECT_EQ(0, memcmp(expected, listing.digest, sizeof expected));
}

// A drive folder that is gone must never match a listing taken while it was there.
TEST_F(TimedWriteBackTest, MissingFolderGivesNoListingToMatch) {
  std::string folder = archives_ / "gone";
  ASSERT_TRUE(WriteTree(folder, {{"a.txt", "alpha"}}));
  FolderListing before;
  ASSERT_EQ(1, TakeFolderListing(folder.c_str(), &before));
  test::RemoveTree(folder);
  FolderListing now;
  EXPECT_EQ(0, TakeFolderListing(folder.c_str(), &now));
  EXPECT_EQ(0, SameFolderListing(before, now));
  EXPECT_EQ(0, SameFolderListing(now, now));
}

}  // namespace
