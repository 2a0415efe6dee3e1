// Binding archives to virtual drives, releasing them and writing them back, with real drive
// letters, the real library and real archives made through it.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <ostream>
#include <string>

#include "engine_fixture.h"

using namespace enginetest;

namespace {

constexpr uint8_t R = Index('R');
constexpr uint8_t S = Index('S');

// A cpio archive ("newc" layout, written here byte by byte): a format the library reads
// but cannot write.
std::string MakeCpio(const Files& files) {
  std::string out;
  unsigned inode = 1;
  auto add = [&](std::string name, const std::string& data, unsigned mode) {
    for (char& c : name) {
      if (c == '\\') c = '/';
    }
    char header[111];
    snprintf(header, sizeof header, "070701%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X%08X",
             inode++, mode, 0u, 0u, 1u, 0x60000000u, static_cast<unsigned>(data.size()), 0u, 0u,
             0u, 0u, static_cast<unsigned>(name.size() + 1), 0u);
    out += header;
    out += name;
    out += '\0';
    while (out.size() % 4) out += '\0';
    out += data;
    while (out.size() % 4) out += '\0';
  };
  for (const auto& file : files) add(file.first, file.second, 0100644);
  add("TRAILER!!!", "", 0);
  return out;
}

class ArchiveBindingTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_EQ(1, LoadDLL());
    table_.noticeSink = CollectMessage;
    ASSERT_EQ(1, CopyBounded(table_.TempRoot, sizeof table_.TempRoot, root_.Path().c_str()));
    ASSERT_EQ(1, MakeArchive(first_, {{"a.txt", "alpha"}, {"sub\\b.txt", "beta"}}));
    ASSERT_EQ(1, MakeArchive(second_, {{"c.txt", "gamma"}}, 1));
  }
  void TearDown() override {
    // Unmaps what the table mapped, before the folders go.
    table_.SaveAndShutdown(0);
    ReleaseDLL();
    EngineTest::TearDown();
  }

  void Create(uint8_t letter) {
    ASSERT_EQ(1, table_.CreateVirtualDrive(letter, table_.TempRoot));
  }
  std::string Folder(uint8_t letter) const { return DriveFolder(root_.Path(), 'A' + letter); }
  static std::string OnDrive(uint8_t letter, const std::string& name) {
    return std::string(1, static_cast<char>('A' + letter)) + ":\\" + name;
  }
  DriveSlot& Slot(uint8_t letter) { return table_.slots[letter]; }

  test::TempFolder root_{"root"};
  test::TempFolder archives_{"arc"};
  std::string first_ = archives_ / "first.zip";
  std::string second_ = archives_ / "second.7z";
  DriveTable table_;
};

// The drop: release the previous archive with force, then bind the new one with force.
struct DropCase {
  const char* name;
  SlotFlags flags;
  bool writesBack;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const DropCase& c, std::ostream* out) { *out << c.name; }

class DropSequenceTest : public ArchiveBindingTest,
                         public ::testing::WithParamInterface<DropCase> {};

TEST_P(DropSequenceTest, ReplacesTheArchiveAndWritesBackOnlyWhenAsked) {
  const DropCase& c = GetParam();
  Create(R);
  Slot(R).flags = c.flags;
  ASSERT_EQ(1, table_.BindArchive(R, first_.c_str(), 1));
  EXPECT_EQ("alpha", FileText(OnDrive(R, "a.txt")));
  EXPECT_EQ("beta", FileText(OnDrive(R, "sub\\b.txt")));
  EXPECT_EQ(Check(first_.c_str()), Slot(R).archiveKind);
  EXPECT_STREQ(first_.c_str(), Slot(R).archivePath);

  ASSERT_TRUE(test::WriteFileBytes(OnDrive(R, "a.txt"), "changed"));
  ASSERT_TRUE(test::WriteFileBytes(OnDrive(R, "new.txt"), "added"));

  EXPECT_EQ(1, table_.ReleaseArchive(R, 1));
  EXPECT_EQ(1, table_.BindArchive(R, second_.c_str(), 1));

  EXPECT_EQ((Files{{"c.txt", "gamma"}}), ReadTree(Folder(R)));
  EXPECT_EQ("gamma", FileText(OnDrive(R, "c.txt")));
  EXPECT_STREQ(second_.c_str(), Slot(R).archivePath);
  EXPECT_EQ(Check(second_.c_str()), Slot(R).archiveKind);
  EXPECT_FALSE(Slot(R).flags & WriteBackPending);

  Files expected = c.writesBack
                       ? Files{{"a.txt", "changed"}, {"new.txt", "added"}, {"sub\\b.txt", "beta"}}
                       : Files{{"a.txt", "alpha"}, {"sub\\b.txt", "beta"}};
  EXPECT_EQ(expected, ArchiveContents(first_));
  if (c.flags & TimedUpdate) {
    EXPECT_NE(0u, Slot(R).timerId);
    EXPECT_TRUE(Slot(R).flags & TimerRunning);
  } else {
    EXPECT_EQ(0u, Slot(R).timerId);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Options, DropSequenceTest,
    ::testing::Values(DropCase{"NoOptions", 0, false},
                      DropCase{"Reflect", ReflectToArchive, true},
                      DropCase{"ReflectKeepFolder", ReflectToArchive | KeepFolderOnExit, true},
                      DropCase{"KeepFolderOnly", KeepFolderOnExit, false},
                      DropCase{"ReflectTimed", ReflectToArchive | TimedUpdate, true}),
    [](const ::testing::TestParamInfo<DropCase>& info) { return std::string(info.param.name); });

TEST_F(ArchiveBindingTest, UnrecognisedDropLeavesTheDriveMappedAndEmpty) {
  std::string junk = archives_ / "notes.zip";
  ASSERT_TRUE(test::WriteFileBytes(junk, "this is not an archive"));
  Create(R);
  ASSERT_EQ(1, table_.BindArchive(R, first_.c_str(), 1));

  EXPECT_EQ(1, table_.ReleaseArchive(R, 1));
  EXPECT_EQ(1, table_.BindArchive(R, junk.c_str(), 1));

  EXPECT_TRUE(test::LetterPresent(R));
  EXPECT_EQ(DriveKind::Virtual, table_.kinds[R]);
  EXPECT_TRUE(test::IsDirectory(Folder(R)));
  EXPECT_TRUE(test::ListTree(Folder(R)).empty());
  EXPECT_STREQ("", Slot(R).archivePath);
  EXPECT_EQ(0u, Slot(R).archiveKind);
}

TEST_F(ArchiveBindingTest, BindingToALetterThatIsNotVirtualChangesNothing) {
  ASSERT_EQ(DriveKind::Free, table_.kinds[S]);
  EXPECT_EQ(1, table_.BindArchive(S, first_.c_str(), 1));
  EXPECT_STREQ("", Slot(S).archivePath);
  EXPECT_EQ(0u, Slot(S).archiveKind);
  EXPECT_FALSE(test::PathExists(Folder(S)));

  EXPECT_EQ(0, table_.BindArchive(LetterCount, first_.c_str(), 1));
  EXPECT_EQ(0, table_.ReleaseArchive(LetterCount, 1));
  EXPECT_EQ(0, table_.WriteBackArchive(LetterCount));
  EXPECT_EQ(0, table_.EmptyDriveFolder(LetterCount));
}

TEST_F(ArchiveBindingTest, WriteBackIsRefusedForAMissingOrHeldArchive) {
  Create(R);
  ASSERT_EQ(1, table_.BindArchive(R, first_.c_str(), 1));
  ASSERT_TRUE(test::WriteFileBytes(Folder(R) + "\\a.txt", "changed"));
  std::string before;
  ASSERT_TRUE(test::ReadFileBytes(first_, &before));

  {
    HeldFile held(first_);
    EXPECT_EQ(0, table_.WriteBackArchive(R));
  }
  std::string after;
  ASSERT_TRUE(test::ReadFileBytes(first_, &after));
  EXPECT_EQ(before, after);

  ASSERT_TRUE(DeleteFileA(first_.c_str()));
  EXPECT_EQ(0, table_.WriteBackArchive(R));
  EXPECT_FALSE(test::PathExists(first_));

  ASSERT_TRUE(test::WriteFileBytes(first_, before));
  EXPECT_EQ(1, table_.WriteBackArchive(R));
  EXPECT_EQ("changed", ArchiveContents(first_)["a.txt"]);
}

TEST_F(ArchiveBindingTest, ReadOnlyFormatIsNeverPackedAndIsReleasedAsBefore) {
  std::string cpio = archives_ / "old.cpio";
  std::string bytes = MakeCpio({{"d.txt", "delta"}});
  ASSERT_TRUE(test::WriteFileBytes(cpio, bytes));
  Create(R);
  Slot(R).flags = ReflectToArchive;
  ASSERT_EQ(1, table_.BindArchive(R, cpio.c_str(), 1));
  ASSERT_EQ("delta", FileText(Folder(R) + "\\d.txt"));
  ASSERT_NE(0u, Slot(R).archiveKind);
  ASSERT_TRUE(test::WriteFileBytes(Folder(R) + "\\d.txt", "changed"));

  EXPECT_EQ(0, table_.WriteBackArchive(R));
  // Nothing can write it back: the release goes on as if no write-back were asked for.
  EXPECT_EQ(1, table_.ReleaseArchive(R, 1));
  EXPECT_TRUE(test::ListTree(Folder(R)).empty());
  EXPECT_FALSE(Slot(R).flags & WriteBackPending);
  EXPECT_STREQ("", Slot(R).archivePath);
  EXPECT_EQ(bytes, FileText(cpio));
}

// Packing a fresh archive (the archive is replaced by exactly the drive's contents) must
// never leave the drive without its archive.
TEST_F(ArchiveBindingTest, FailedFreshPackLeavesTheOriginalArchive) {
  std::string before;
  ASSERT_TRUE(test::ReadFileBytes(first_, &before));
  // A drive whose folder has gone: the library has nothing to pack from.
  DriveSlot& slot = Slot(S);
  ASSERT_EQ(1, CopyBounded(slot.archivePath, sizeof slot.archivePath, first_.c_str()));
  slot.archiveKind = Check(first_.c_str());
  slot.flags = ReflectToArchive | DeleteBeforeRepack;
  ASSERT_FALSE(test::PathExists(Folder(S)));

  EXPECT_EQ(0, table_.WriteBackArchive(S));
  EXPECT_EQ(before, FileText(first_));
}

TEST_F(ArchiveBindingTest, DeleteBeforeRepackLeavesExactlyTheDriveContents) {
  Create(R);
  Create(S);
  ASSERT_EQ(1, MakeArchive(archives_ / "copy.zip", {{"a.txt", "alpha"}, {"sub\\b.txt", "beta"}}));
  std::string copy = archives_ / "copy.zip";
  ASSERT_EQ(1, table_.BindArchive(R, first_.c_str(), 1));
  ASSERT_EQ(1, table_.BindArchive(S, copy.c_str(), 1));
  Slot(R).flags |= DeleteBeforeRepack;
  ASSERT_TRUE(DeleteFileA(OnDrive(R, "a.txt").c_str()));
  ASSERT_TRUE(DeleteFileA(OnDrive(S, "a.txt").c_str()));

  EXPECT_EQ(1, table_.WriteBackArchive(R));
  EXPECT_EQ(1, table_.WriteBackArchive(S));
  EXPECT_EQ((Files{{"sub\\b.txt", "beta"}}), ArchiveContents(first_));
  // Without the option an entry missing from the drive stays in the archive.
  EXPECT_EQ((Files{{"a.txt", "alpha"}, {"sub\\b.txt", "beta"}}), ArchiveContents(copy));
}

TEST_F(ArchiveBindingTest, WriteBackPacksTheDriveFolderNotWhateverHoldsTheLetter) {
  Create(R);
  ASSERT_EQ(1, table_.BindArchive(R, first_.c_str(), 1));
  test::TempFolder other("other");
  ASSERT_TRUE(test::WriteFileBytes(other / "intruder.txt", "not ours"));
  test::ForceUnmap('R');
  test::MappedLetter intruder('R', other.Path());
  ASSERT_TRUE(intruder.Ok());

  EXPECT_EQ(1, table_.WriteBackArchive(R));
  EXPECT_EQ((Files{{"a.txt", "alpha"}, {"sub\\b.txt", "beta"}}), ArchiveContents(first_));
}

TEST_F(ArchiveBindingTest, FailedWriteBackKeepsTheFolderAndSlotUntilOneSucceeds) {
  Create(R);
  Slot(R).flags = ReflectToArchive | TimedUpdate;
  ASSERT_EQ(1, table_.BindArchive(R, first_.c_str(), 1));
  ArchiveKind kind = Slot(R).archiveKind;
  ASSERT_TRUE(test::WriteFileBytes(OnDrive(R, "a.txt"), "changed"));
  std::string before = FileText(first_);

  {
    HeldFile held(first_);
    EXPECT_EQ(0, table_.ReleaseArchive(R, 1));
  }
  EXPECT_TRUE(Slot(R).flags & WriteBackPending);
  EXPECT_STREQ(first_.c_str(), Slot(R).archivePath);
  EXPECT_EQ(kind, Slot(R).archiveKind);
  EXPECT_NE(0u, Slot(R).timerId) << "the timer runs again";
  EXPECT_EQ("changed", FileText(OnDrive(R, "a.txt")));
  EXPECT_EQ(before, FileText(first_));

  // The mark alone asks for the write-back, and keeps a bind without force from
  // extracting over the changes.
  Slot(R).flags &= ~(ReflectToArchive | TimedUpdate);
  {
    HeldFile held(first_);
    EXPECT_EQ(0, table_.ReleaseArchive(R, 1));
  }
  EXPECT_EQ(1, table_.BindArchive(R, first_.c_str(), 0));
  EXPECT_EQ("changed", FileText(Folder(R) + "\\a.txt"));
  EXPECT_TRUE(Slot(R).flags & WriteBackPending);

  EXPECT_EQ(1, table_.WriteBackArchive(R));
  EXPECT_FALSE(Slot(R).flags & WriteBackPending);
  EXPECT_EQ("changed", ArchiveContents(first_)["a.txt"]);
  EXPECT_EQ(1, table_.ReleaseArchive(R, 1));
  EXPECT_TRUE(test::ListTree(Folder(R)).empty());
}

TEST_F(ArchiveBindingTest, FailedWriteBackIsReportedAlsoForAKeptFolder) {
  Create(R);
  Slot(R).flags = ReflectToArchive | KeepFolderOnExit;
  ASSERT_EQ(1, table_.BindArchive(R, first_.c_str(), 1));
  HeldFile held(first_);
  EXPECT_EQ(0, table_.ReleaseArchive(R, 0));
  EXPECT_TRUE(Slot(R).flags & WriteBackPending);
  EXPECT_EQ("alpha", FileText(Folder(R) + "\\a.txt"));
}

// An archive that could not be recognised at start-up (kind 0) cannot be written back; its
// folder may hold the only copy of the changes.
TEST_F(ArchiveBindingTest, UnknownKindWithAPathCountsAsAFailedWriteBack) {
  Create(R);
  ASSERT_EQ(1, table_.BindArchive(R, first_.c_str(), 1));
  Slot(R).archiveKind = 0;
  Slot(R).flags = ReflectToArchive;
  EXPECT_EQ(0, table_.ReleaseArchive(R, 1));
  EXPECT_TRUE(Slot(R).flags & WriteBackPending);
  EXPECT_EQ("alpha", FileText(Folder(R) + "\\a.txt"));
}

// Nothing can be lost from an empty folder: a drive whose archive has gone does not refuse
// every later release.
TEST_F(ArchiveBindingTest, FailedWriteBackOfAnEmptyFolderStillReleases) {
  Create(R);
  ASSERT_EQ(1, CopyBounded(Slot(R).archivePath, PathSize, (archives_ / "gone.zip").c_str()));
  Slot(R).flags = ReflectToArchive | WriteBackPending;
  ASSERT_TRUE(test::ListTree(Folder(R)).empty());
  EXPECT_EQ(1, table_.ReleaseArchive(R, 1));
  EXPECT_STREQ("", Slot(R).archivePath);
  EXPECT_FALSE(Slot(R).flags & WriteBackPending);
}

TEST_F(ArchiveBindingTest, KeptFolderIsNotExtractedOverAndKeepsTheCheckedKind) {
  Create(R);
  Slot(R).flags = KeepFolderOnExit;
  ASSERT_EQ(1, table_.BindArchive(R, first_.c_str(), 1));
  ASSERT_TRUE(test::WriteFileBytes(Folder(R) + "\\a.txt", "kept"));
  EXPECT_EQ(1, table_.ReleaseArchive(R, 0));
  EXPECT_EQ("kept", FileText(Folder(R) + "\\a.txt"));

  // As the next start finds it.
  Slot(R).archiveKind = 0;
  Slot(R).archivePath[0] = '\0';
  EXPECT_EQ(1, table_.BindArchive(R, first_.c_str(), 0));
  EXPECT_EQ("kept", FileText(Folder(R) + "\\a.txt"));
  EXPECT_EQ(Check(first_.c_str()), Slot(R).archiveKind);
  EXPECT_STREQ(first_.c_str(), Slot(R).archivePath);
  EXPECT_EQ(1, table_.WriteBackArchive(R));
  EXPECT_EQ("kept", ArchiveContents(first_)["a.txt"]);

  // A kept drive whose folder was emptied meanwhile is filled from its archive again.
  ASSERT_EQ(1, table_.EmptyDriveFolder(R));
  EXPECT_EQ(1, table_.BindArchive(R, first_.c_str(), 0));
  EXPECT_EQ("kept", FileText(Folder(R) + "\\a.txt"));
  EXPECT_EQ("beta", FileText(Folder(R) + "\\sub\\b.txt"));
}

TEST_F(ArchiveBindingTest, EmptyDriveFolderDeletesReadOnlyFilesAndKeepsTheFolder) {
  std::string folder = Folder(S);
  ASSERT_TRUE(WriteTree(folder, {{"ro.txt", "1"}, {"sub\\deeper\\ro.txt", "2"}, {"rw.txt", "3"}}));
  SetFileAttributesA((folder + "\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesA((folder + "\\sub\\deeper\\ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesA((folder + "\\sub\\deeper").c_str(), FILE_ATTRIBUTE_READONLY);
  Slot(S).flags = WriteBackPending;

  EXPECT_EQ(1, table_.EmptyDriveFolder(S));
  EXPECT_TRUE(test::IsDirectory(folder));
  EXPECT_TRUE(test::ListTree(folder).empty());
  EXPECT_FALSE(Slot(S).flags & WriteBackPending);
  // Nothing left to delete is no failure.
  EXPECT_EQ(1, table_.EmptyDriveFolder(S));
}

TEST_F(ArchiveBindingTest, UnusableRootBuildsNoPath) {
  for (const char* root : {"", "relative\\root", "\\\\server\\share"}) {
    SCOPED_TRACE(root);
    CopyBounded(table_.TempRoot, sizeof table_.TempRoot, root);
    table_.kinds[S] = DriveKind::Virtual;  // as if mapped: only the root is wrong
    EXPECT_EQ(0, table_.BindArchive(S, first_.c_str(), 1));
    EXPECT_EQ(0, table_.EmptyDriveFolder(S));
    CopyBounded(Slot(S).archivePath, PathSize, first_.c_str());
    Slot(S).archiveKind = Check(first_.c_str());
    EXPECT_EQ(0, table_.WriteBackArchive(S));
    table_.kinds[S] = DriveKind::Free;
  }
}

TEST_F(ArchiveBindingTest, TimerGetsThePlatformIdentifierAndStops) {
  Slot(R).intervalMinutes = 5;
  table_.StartUpdateTimer(R);
  UINT_PTR first = Slot(R).timerId;
  EXPECT_NE(0u, first);
  EXPECT_TRUE(Slot(R).flags & TimerRunning);

  table_.StartUpdateTimer(R);
  UINT_PTR second = Slot(R).timerId;
  EXPECT_NE(0u, second);
  EXPECT_FALSE(KillTimer(nullptr, first)) << "a restart replaces the running timer";

  table_.StopUpdateTimer(R);
  EXPECT_EQ(0u, Slot(R).timerId);
  EXPECT_TRUE(Slot(R).flags & TimerRunning);
  EXPECT_FALSE(KillTimer(nullptr, second));

  table_.StartUpdateTimer(R);
  EXPECT_NE(0u, Slot(R).timerId);
  table_.StopUpdateTimer(R);
  table_.StopUpdateTimer(LetterCount);
  table_.StartUpdateTimer(LetterCount);
}

TEST_F(ArchiveBindingTest, TimerWritesBackExactlyTheDrivesItBelongsTo) {
  ASSERT_EQ(&table_, timerTable);
  std::string copy = archives_ / "copy.zip";
  ASSERT_EQ(1, MakeArchive(copy, {{"a.txt", "alpha"}}));
  Create(R);
  Create(S);
  Slot(R).flags = TimedUpdate;
  Slot(S).flags = TimedUpdate;
  ASSERT_EQ(1, table_.BindArchive(R, first_.c_str(), 1));
  ASSERT_EQ(1, table_.BindArchive(S, copy.c_str(), 1));
  ASSERT_NE(Slot(R).timerId, Slot(S).timerId);
  ASSERT_TRUE(test::WriteFileBytes(OnDrive(R, "a.txt"), "tick"));
  ASSERT_TRUE(test::WriteFileBytes(OnDrive(S, "a.txt"), "tick"));

  DriveTable::UpdateTimerProc(nullptr, WM_TIMER, Slot(R).timerId, 0);
  EXPECT_EQ("tick", ArchiveContents(first_)["a.txt"]);
  EXPECT_EQ("alpha", ArchiveContents(copy)["a.txt"]);

  // A stopped timer matches nothing any more.
  UINT_PTR stopped = Slot(S).timerId;
  table_.StopUpdateTimer(S);
  DriveTable::UpdateTimerProc(nullptr, WM_TIMER, stopped, 0);
  EXPECT_EQ("alpha", ArchiveContents(copy)["a.txt"]);
}

TEST_F(ArchiveBindingTest, ZeroIntervalDoesNotFireAtOnce) {
  Create(R);
  Slot(R).flags = TimedUpdate;
  Slot(R).intervalMinutes = 0;
  ASSERT_EQ(1, table_.BindArchive(R, first_.c_str(), 1));
  ASSERT_NE(0u, Slot(R).timerId);
  ASSERT_TRUE(test::WriteFileBytes(Folder(R) + "\\a.txt", "tick"));

  DWORD start = GetTickCount();
  while (GetTickCount() - start < 700) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    Sleep(5);
  }
  EXPECT_EQ("alpha", ArchiveContents(first_)["a.txt"]);
}

}  // namespace
