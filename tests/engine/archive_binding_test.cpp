// Binding archives to virtual drives, releasing them and writing them back: every path where
// a drive's changes could be lost.
#include <memory>

#include "engine_fixture.h"

namespace {

class BindingTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(CopyBounded(table_.TempRoot, PathSize, root_.Path().c_str()));
  }
  // Taken for virtual without a mapping: enough where nothing goes through the letter.
  void Pretend(uint8_t letter) { table_.kinds[letter] = DriveKind::Virtual; }
  DriveTable table_;
  DriveSlot& slot_ = table_.slots[S];
};

// The drop: the previous archive is released with force, the new one bound with force.
TEST_F(BindingTest, DropReplacesTheArchiveAndWritesTheOldOneBackOnlyWhenAsked) {
  std::string second = archives_ / "second.7z";
  ASSERT_TRUE(MakeArchive(second, {{"c.txt", "gamma"}}, 1));
  ASSERT_EQ(1, table_.CreateVirtualDrive(R, table_.TempRoot));
  DriveSlot& slot = table_.slots[R];
  for (SlotFlags flags : {ReflectToArchive | KeepFolderOnExit, KeepFolderOnExit | TimedUpdate}) {
    SCOPED_TRACE(flags);
    ASSERT_TRUE(MakeArchive(archive_, original_));
    slot.flags = flags;
    ASSERT_EQ(1, table_.BindArchive(R, archive_.c_str(), 1));
    EXPECT_EQ((flags & TimedUpdate) != 0, slot.timerId != 0);
    ASSERT_TRUE(WriteFileBytes("R:\\a.txt", "changed"));
    EXPECT_EQ(1, table_.ReleaseArchive(R, 1));
    EXPECT_EQ(1, table_.BindArchive(R, second.c_str(), 1));
    EXPECT_EQ((Files{{"c.txt", "gamma"}}), ReadTree(Folder(R)));
    EXPECT_EQ(flags & ReflectToArchive ? "changed" : "alpha", ArchiveContents(archive_)["a.txt"]);
  }
}

// Without force (the next start) a kept folder, or one holding changes not yet written back,
// is shown as it is; an empty or missing one is filled again, so that an empty drive is
// never packed over its archive. A file that is no archive, or a letter not virtual, binds
// nothing.
TEST_F(BindingTest, BindWithoutForceSparesOnlyAKeptOrMarkedFolderThatHoldsSomething) {
  ASSERT_TRUE(WriteFileBytes(archives_ / "notes.zip", "no archive"));
  Pretend(S);
  EXPECT_EQ(1, table_.BindArchive(S, (archives_ / "notes.zip").c_str(), 1));
  EXPECT_EQ(1, table_.BindArchive(T, archive_.c_str(), 1));
  EXPECT_FALSE(PathExists(Folder(S)) || PathExists(Folder(T)) || table_.slots[T].archivePath[0]);
  EXPECT_EQ(ReasonNotAnArchive, table_.reports[S].reason);
  // Cut short past its first header: the check passes, the extraction fails and leaves the
  // folder empty, not half filled, with the reason.
  std::string half = DataDir() + "\\vessiko\\half.zip";
  ASSERT_EQ(1, table_.CanBindArchive(S, half.c_str()));
  EXPECT_EQ(0, table_.BindArchive(S, half.c_str(), 1));
  EXPECT_EQ(ReasonDamaged, table_.reports[S].reason);
  EXPECT_TRUE(ListTree(Folder(S)).empty());
  EXPECT_EQ(0, table_.slots[S].flags & ExtractionUnfinished);
  const struct { SlotFlags flags; bool holds; int force; bool extracts; } rows[] = {
      {KeepFolderOnExit, true, 0, false}, {WriteBackPending, true, 0, false},
      {KeepFolderOnExit, false, 0, true}, {KeepFolderOnExit, true, 1, true}, {0, true, 0, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.flags << " " << row.holds << " " << row.force);
    RemoveTree(Folder(S));
    ASSERT_TRUE(!row.holds || WriteTree(Folder(S), {{"a.txt", "kept"}}));
    slot_ = DriveSlot{};
    slot_.flags = row.flags;
    ASSERT_EQ(1, table_.BindArchive(S, archive_.c_str(), row.force));
    EXPECT_EQ(row.extracts ? "alpha" : "kept", FileText(Folder(S, "a.txt")));
    // Also when nothing was extracted: the kept folder can then be written back.
    EXPECT_EQ(Check(archive_.c_str()), slot_.archiveKind);
    EXPECT_STREQ(archive_.c_str(), slot_.archivePath);
    EXPECT_EQ(!row.extracts && row.flags == WriteBackPending, slot_.flags == WriteBackPending);
  }
}

// A failed write-back leaves the only copy of the changes in the folder: it stays, with its
// archive and the mark, and the timer runs again. Where nothing could ever write the drive
// back (a format the library only reads; an empty folder) the release goes on, or the drive
// could never be let go.
TEST_F(BindingTest, ReleaseKeepsChangesThatCouldNotBeWrittenBack) {
  enum Cause { Held, Deleted, NoKind, ReadOnlyFormat, EmptyFolder };
  const struct { Cause cause; SlotFlags flags; int released; } rows[] = {
      {Held, WriteBackPending, 0}, {Deleted, ReflectToArchive, 0}, {NoKind, ReflectToArchive, 0},
      {ReadOnlyFormat, ReflectToArchive, 1}, {EmptyFolder, ReflectToArchive, 1},
      {Held, ReflectToArchive | TimedUpdate, 0}};
  const std::string cpio = archives_ / "old.cpio";
  ASSERT_TRUE(CopyFileA((DataDir() + "\\vessiko\\bsdtar.cpio").c_str(), cpio.c_str(), FALSE));
  Pretend(S);
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.cause << " " << row.flags);
    std::string archive = row.cause == ReadOnlyFormat ? cpio : archive_;
    ASSERT_TRUE(MakeArchive(archive_, original_));
    slot_.flags = row.flags;
    ASSERT_EQ(1, table_.BindArchive(S, archive.c_str(), 1));
    slot_.flags |= row.flags;
    ASSERT_TRUE(WriteFileBytes(Folder(S, "a.txt"), "changed"));
    if (row.cause == EmptyFolder) RemoveTree(Folder(S));
    ASSERT_TRUE((row.cause != Deleted && row.cause != EmptyFolder) || DeleteFileA(archive.c_str()));
    if (row.cause == NoKind) slot_.archiveKind = 0;
    std::string before = FileText(archive);
    std::unique_ptr<HeldFile> held(row.cause == Held ? new HeldFile(archive) : nullptr);
    EXPECT_EQ(row.released, table_.ReleaseArchive(S, 1));
    held.reset();
    EXPECT_EQ(!row.released, (slot_.flags & WriteBackPending) != 0);
    EXPECT_STREQ(row.released ? "" : archive.c_str(), slot_.archivePath);
    EXPECT_EQ(row.released ? "<missing>" : "changed", FileText(Folder(S, "a.txt")));
    EXPECT_EQ(before, FileText(archive));
    EXPECT_EQ((row.flags & TimedUpdate) != 0, slot_.timerId != 0);
  }
}

TEST_F(BindingTest, EmptyingDeletesReadOnlyFilesAndKeepsTheFolder) {
  ASSERT_TRUE(WriteTree(Folder(S), {{"ro.txt", "1"}, {"sub\\deeper\\ro.txt", "2"}}));
  for (const char* name : {"ro.txt", "sub\\deeper\\ro.txt", "sub\\deeper"}) {
    ASSERT_TRUE(SetFileAttributesA(Folder(S, name).c_str(), FILE_ATTRIBUTE_READONLY));
  }
  EXPECT_EQ(1, table_.EmptyDriveFolder(S));
  EXPECT_TRUE(IsDirectory(Folder(S)) && ListTree(Folder(S)).empty());
}

// The timer packs its own drive only, and only when the folder changed since the last
// extraction or write-back, or holds a failed write-back; it never packs without pause.
TEST_F(BindingTest, TimerPacksItsOwnDriveWhenChangedOrMarked) {
  std::string other = archives_ / "other.zip";
  ASSERT_TRUE(MakeArchive(other, original_));
  for (uint8_t letter : {S, T}) Pretend(letter);
  slot_.flags = table_.slots[T].flags = TimedUpdate | DeleteBeforeRepack;
  slot_.intervalMinutes = 0;  // a settings file edited by hand
  ASSERT_EQ(1, table_.BindArchive(S, archive_.c_str(), 1));
  ASSERT_EQ(1, table_.BindArchive(T, other.c_str(), 1));
  // The archive holds a marker alone; a pack replaces it by the drive's files.
  auto packedAfterTick = [&](bool wait) {
    EXPECT_TRUE(MakeArchive(archive_, {{"marker.txt", ""}}));
    for (DWORD start = GetTickCount(); wait && GetTickCount() - start < 300; Sleep(5)) {
      MSG message;
      while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&message);
    }
    if (!wait) DriveTable::UpdateTimerProc(nullptr, WM_TIMER, slot_.timerId, 0);
    return ArchiveContents(archive_) == ReadTree(Folder(S));
  };
  EXPECT_FALSE(packedAfterTick(false)) << "unchanged since the extraction";
  ASSERT_TRUE(WriteFileBytes(Folder(S, "a.txt"), "tick"));
  ASSERT_TRUE(WriteFileBytes(Folder(T, "a.txt"), "tick"));
  EXPECT_FALSE(packedAfterTick(true)) << "an interval of 0 fired";
  EXPECT_TRUE(packedAfterTick(false));
  EXPECT_EQ("alpha", ArchiveContents(other)["a.txt"]) << "another drive's timer packed";
  EXPECT_FALSE(packedAfterTick(false)) << "unchanged since the write-back";
  slot_.flags |= WriteBackPending;
  EXPECT_TRUE(packedAfterTick(false)) << "the mark";
  EXPECT_EQ(0, slot_.flags & WriteBackPending);
  // Failing ticks (the archive held) mark the drive and are told once, until one succeeds.
  table_.noticeSink = CollectNotice;
  notices.clear();
  ASSERT_TRUE(WriteFileBytes(Folder(S, "a.txt"), "held"));
  {
    HeldFile held(archive_);
    for (int tick = 0; tick < 2; ++tick) table_.TimedWriteBack(S);
  }
  EXPECT_EQ(std::vector<std::string>{"tick failed S:"}, notices);
  EXPECT_TRUE(packedAfterTick(false) && !(slot_.flags & WriteBackPending)) << "marked";
  table_.StopUpdateTimer(S);
  EXPECT_EQ(0u, slot_.timerId);
}

// A drop of an encrypted ZIP asks for its password until one opens it, before anything is
// let go; Cancel leaves the drive as it was. The password is the drive's while the archive is
// bound, and overwritten once it is let go. Nobody to ask: refused, with the reason.
TEST_F(BindingTest, DropAsksForThePasswordUntilOneOpensTheArchive) {
  const std::string encrypted = EncryptedFixture();
  table_.passwordSink = AnswerPassword;
  Pretend(S);
  ASSERT_EQ(1, table_.BindArchive(S, archive_.c_str(), 1));
  const struct {
    std::vector<std::string> answers;
    BindCheck check;
    std::vector<int> asked;
  } rows[] = {
      {{""}, BindCancelled, {0}},
      {{"wrong", "wrong0062", "tembrook"}, BindAllowed, {0, 1, 1}},
  };
  for (const auto& row : rows) {
    passwordAnswers = row.answers;
    passwordsAsked.clear();
    EXPECT_EQ(row.check, table_.CanBindArchive(S, encrypted.c_str()));
    EXPECT_EQ(row.asked, passwordsAsked);
    EXPECT_EQ(archive_, slot_.archivePath);
    EXPECT_EQ(original_, ReadTree(Folder(S)));
  }
  ASSERT_EQ(1, table_.ReleaseArchive(S, 1));
  ASSERT_EQ(1, table_.BindArchive(S, encrypted.c_str(), 1));
  EXPECT_EQ(EncryptedReadme, FileText(Folder(S, "readme.txt")));
  EXPECT_EQ(3u, passwordsAsked.size()) << "the bind takes the password the check accepted";
  EXPECT_STREQ("tembrook", table_.passwords[S]);
  ASSERT_EQ(1, table_.ReleaseArchive(S, 1));
  EXPECT_EQ(std::string(PasswordSize, '\0'), std::string(table_.passwords[S], PasswordSize));
  table_.passwordSink = nullptr;
  EXPECT_EQ(BindRefused, table_.CanBindArchive(S, encrypted.c_str()));
  EXPECT_EQ(ReasonPasswordNeeded, table_.reports[S].reason);
}

}  // namespace
