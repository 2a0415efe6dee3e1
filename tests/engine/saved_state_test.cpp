// The saved state: the settings file beside the executable, the start-up that re-creates the
// saved drives, and the exit that writes them back, unmaps them and moves the root.
#include <memory>

#include "engine_fixture.h"

namespace {

class SavedStateTest : public EngineTest {
 protected:
  void TearDown() override { DeleteFileA(settings_.c_str()), EngineTest::TearDown(); }
  std::unique_ptr<DriveTable> Start() {
    auto table = std::make_unique<DriveTable>();
    table->noticeSink = CollectNotice;
    table->passwordSink = AnswerPassword;
    EXPECT_EQ(1, table->RestoreState());
    return table;
  }
  void WriteSettings(const std::string& drives) {
    ASSERT_TRUE(WriteFileBytes(settings_, "[Temporally Folder]\r\nPATH=" + root_.Path() + drives));
  }
  std::string Drive(char letter, const std::string& path, int uptime, int flag) const {
    return "\r\n[" + std::string(1, letter) + ":]\r\nFILEPATH=" + path + "\r\nUPTIME=" +
           std::to_string(uptime) + "\r\nFLAG=" + std::to_string(flag);
  }
  std::string Value(const char* section, const char* key) const {
    char text[PathSize];
    GetPrivateProfileStringA(section, key, "<none>", text, sizeof text, settings_.c_str());
    return text;
  }
  const std::string settings_ = BinDir() + "\\Tembrook.ini";
};

TEST_F(SavedStateTest, ExitSavesTheDrivesRestoredAtStartUpWithTheirChanges) {
  WriteSettings(Drive('R', archive_, 7, ReflectToArchive | TimedUpdate) +
                Drive('S', "", 2, 0xC0F4));
  {
    auto table = Start();
    EXPECT_NE(0u, table->slots[R].timerId);
    ASSERT_TRUE(WriteFileBytes("R:\\a.txt", "edited on R:"));
    ASSERT_TRUE(WriteFileBytes("S:\\held.txt", "in use"));
    HeldFile held("S:\\held.txt");
    table.reset();
  }
  EXPECT_FALSE(LetterPresent(R));
  EXPECT_EQ(std::vector<std::string>{"not emptied S:"}, notices);
  EXPECT_EQ(archive_, Value("R:", "FILEPATH"));
  EXPECT_EQ("3", Value("R:", "FLAG")) << "without the run-time marks";
  EXPECT_EQ(std::to_string(0xC0F4), Value("S:", "FLAG")) << "bits without a meaning stay";
  EXPECT_EQ((Files{{"a.txt", "edited on R:"}, {"sub\\b.txt", "beta"}}), ArchiveContents(archive_));
  EXPECT_TRUE(ListTree(Folder(R)).empty());
}

// They stay marked in the drive folder through starts that cannot show the drive.
TEST_F(SavedStateTest, ChangesAFailedWriteBackKeptSurviveUntilWrittenBack) {
  WriteSettings(Drive('R', archive_, 1, ReflectToArchive));
  {
    auto table = Start();
    ASSERT_TRUE(WriteFileBytes("R:\\a.txt", "changed"));
    HeldFile held(archive_);
    table->SaveAndShutdown();  // once: the table's end does not run it again
  }
  EXPECT_EQ(std::vector<std::string>{"kept R: " + Folder(R)}, notices);
  const std::string marked = std::to_string(ReflectToArchive | WriteBackPending);
  EXPECT_EQ(marked, Value("R:", "FLAG"));
  {
    TempFolder elsewhere("other");
    MappedLetter taken('R', elsewhere.Path());
    ASSERT_TRUE(taken.Ok());
    EXPECT_NE(DriveKind::Virtual, Start()->kinds[R]);
    EXPECT_TRUE(LetterPresent(R)) << "a letter this program did not map stays";
  }
  EXPECT_EQ(archive_, Value("R:", "FILEPATH"));
  EXPECT_EQ(marked, Value("R:", "FLAG"));
  EXPECT_EQ("changed", FileText(Start()->kinds[R] == DriveKind::Virtual ? "R:\\a.txt" : ""));
  EXPECT_EQ(std::to_string(ReflectToArchive), Value("R:", "FLAG"));
  EXPECT_EQ("changed", ArchiveContents(archive_)["a.txt"]);
}

// Never lost: nothing is written without a restored state, and a file that cannot be
// replaced stays as it was last written, without a draft left beside it.
TEST_F(SavedStateTest, SettingsFileStaysAsItWasWhenNotRestoredOrHeld) {
  enum { NeverRestored, HeldAtStartUp, HeldAtExit };
  for (int row : {NeverRestored, HeldAtStartUp, HeldAtExit}) {
    SCOPED_TRACE(row);
    WriteSettings(Drive('R', archive_, 1, ReflectToArchive));
    std::string text = FileText(settings_);
    {
      DriveTable table;
      std::unique_ptr<HeldFile> held(row == HeldAtStartUp ? new HeldFile(settings_) : nullptr);
      EXPECT_TRUE(row == NeverRestored || table.RestoreState());
      EXPECT_EQ(row == HeldAtExit, table.kinds[R] == DriveKind::Virtual);
      if (row == HeldAtExit) text = FileText(settings_);  // as saved while running
      held.reset(row == HeldAtExit ? new HeldFile(settings_) : nullptr);
      table.SaveAndShutdown();
    }
    EXPECT_EQ(text, FileText(settings_));
    EXPECT_FALSE(PathExists(settings_ + ".new"));
  }
}

// A root must outlive the exit: not on a drive about to be unmapped, nor inside the folders
// about to be moved. One whose "Drive" exists already would receive the folders inside it:
// the old root is kept instead.
TEST_F(SavedStateTest, ChosenRootReceivesTheDriveFoldersAtExitOrTheOldOneIsKept) {
  TempFolder next("next"), busy("busy");
  ASSERT_TRUE(WriteTree(root_.Path(), {{"Drivers\\x", ""}}));
  ASSERT_TRUE(WriteTree(busy.Path(), {{"Drive\\theirs.txt", ""}}));
  const struct { std::string chosen, saved; size_t notices; } rows[] = {
      {next.Path(), next.Path(), 0}, {busy.Path(), root_.Path(), 1}};
  for (const auto& row : rows) {
    notices.clear();
    WriteSettings(Drive('R', archive_, 1, KeepFolderOnExit));
    {
      auto table = Start();
      ASSERT_TRUE(WriteFileBytes("R:\\a.txt", "kept"));
      for (const std::string& root : {root_ / "missing", std::string("R:\\"), root_ / "Drive",
                                      root_.Path() + "\\drive\\r", root_ / "Drivers", row.chosen}) {
        table->SetPendingTempRoot(root.c_str());
        bool accepted = root == row.chosen || root == root_ / "Drivers";
        EXPECT_EQ(accepted ? root : root_.Path(), table->PendingTempRoot);
      }
    }
    EXPECT_EQ(row.notices, notices.size());
    EXPECT_EQ(row.saved, Value("Temporally Folder", "PATH"));
    EXPECT_EQ("kept", FileText(row.saved + "\\Drive\\R\\a.txt"));
  }
  // No drive folder can lie under a root that was never usable: any new one is taken.
  DriveTable table;
  ASSERT_TRUE(CopyBounded(table.PendingTempRoot, PathSize, next.Path().c_str()));
  EXPECT_EQ(1, table.MoveTempRoot());
}

// A saved drive's encrypted archive asks for its password at start-up. Not given (cancelled,
// or wrong three times), the letter is mapped but nothing is bound, so nothing reaches the
// archive, and the section stays for the next start to ask again. A kept folder is shown
// without asking; its first write-back asks, and without the password its changes are kept.
TEST_F(SavedStateTest, StartUpAsksForAPasswordAndWithoutOneBindsNothing) {
  const std::string encrypted = archives_ / "secret.zip";
  const std::string original = FileText(EncryptedFixture());
  const SlotFlags kept = ReflectToArchive | KeepFolderOnExit;
  const struct {
    std::vector<std::string> answers;
    SlotFlags flags;
    bool bound;
    std::vector<int> askedAtStart, askedAtExit;
    bool written;  // the kept folder went back into the archive, encrypted
  } rows[] = {
      {{"tembrook"}, 0, true, {0}, {}, false},
      {{""}, ReflectToArchive | DeleteBeforeRepack, false, {0}, {}, false},
      {{"a", "b", "c", "tembrook"}, ReflectToArchive, false, {0, 1, 1}, {}, false},
      {{""}, kept, true, {}, {0}, false},
      {{"tembrook"}, kept, true, {}, {0}, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.flags);
    ASSERT_TRUE(WriteFileBytes(encrypted, original));
    ASSERT_TRUE(WriteTree(Folder(R), row.flags & KeepFolderOnExit ? Files{{"mine.txt", "mine"}}
                                                                  : Files{}));
    WriteSettings(Drive('R', encrypted, 5, row.flags));
    passwordAnswers = row.answers;
    passwordsAsked.clear();
    notices.clear();
    {
      auto table = Start();
      EXPECT_EQ(DriveKind::Virtual, table->kinds[R]);
      EXPECT_EQ(row.bound, table->slots[R].archivePath == encrypted);
      EXPECT_EQ(row.askedAtStart, passwordsAsked);
      passwordsAsked.clear();
    }
    EXPECT_EQ(row.askedAtExit, passwordsAsked);
    EXPECT_EQ(encrypted, Value("R:", "FILEPATH"));
    const bool pending = !row.askedAtExit.empty() && !row.written;
    EXPECT_EQ(std::to_string(pending ? row.flags | WriteBackPending : row.flags),
              Value("R:", "FLAG"));
    EXPECT_EQ(pending ? 1u : 0u, notices.size());
    EXPECT_EQ(row.written, original != FileText(encrypted));
    EXPECT_TRUE(ArchiveContents(encrypted).empty()) << "nothing readable without the password";
    SetPassword("tembrook");
    EXPECT_EQ(row.written ? "mine" : "", ArchiveContents(encrypted)["mine.txt"]);
    SetPassword(nullptr);
  }
}

}  // namespace
