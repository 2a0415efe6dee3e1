// The saved state: the settings file beside the executable, the start-up that re-creates
// the saved drives and the exit that writes them back, unmaps them and moves the root.
// These tests use the real settings file of the test folder (any existing one is put
// aside and restored), real drive letters and real archives.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "engine_fixture.h"

using namespace enginetest;

namespace {

constexpr uint8_t R = Index('R');
constexpr uint8_t S = Index('S');
constexpr uint8_t T = Index('T');

const char kMoveFailed[] = "root not moved";

// One "key=value" line of a settings file, with the section it stands in.
struct IniLine {
  std::string section;
  std::string key;
  std::string value;
};

std::vector<IniLine> ParseIni(const std::string& text) {
  std::vector<IniLine> lines;
  std::string section;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    if (line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      lines.push_back({section, "", ""});
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    lines.push_back({section, line.substr(0, equals), line.substr(equals + 1)});
  }
  return lines;
}

class SavedStateTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    settings_ = test::BinDir() + "\\Tembrook.ini";
    aside_ = settings_ + ".engine-tests";
    if (test::PathExists(settings_)) {
      ASSERT_TRUE(MoveFileExA(settings_.c_str(), aside_.c_str(), MOVEFILE_REPLACE_EXISTING));
    }
    DeleteFileA((settings_ + ".new").c_str());
    char current[MAX_PATH] = {};
    GetCurrentDirectoryA(sizeof current, current);
    current_ = current;
    ASSERT_EQ(1, LoadDLL());
    ASSERT_EQ(1, MakeArchive(archive_, {{"a.txt", "alpha"}, {"sub\\b.txt", "beta"}}));
    ReleaseDLL();
  }
  void TearDown() override {
    SetFileAttributesA(settings_.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA(settings_.c_str());
    DeleteFileA((settings_ + ".new").c_str());
    if (test::PathExists(aside_)) MoveFileExA(aside_.c_str(), settings_.c_str(), 0);
    EngineTest::TearDown();
  }

  // A table as the program has it, its messages collected instead of shown.
  static std::unique_ptr<DriveTable> NewTable() {
    std::unique_ptr<DriveTable> table(new DriveTable);
    table->noticeSink = CollectMessage;
    return table;
  }

  void WriteSettings(const std::string& text) {
    ASSERT_TRUE(test::WriteFileBytes(settings_, text));
  }
  std::string SettingsText() const { return FileText(settings_); }
  std::vector<IniLine> Settings() const { return ParseIni(SettingsText()); }
  // "[section]" and key names in file order.
  std::vector<std::string> Layout() const {
    std::vector<std::string> layout;
    for (const IniLine& line : Settings()) {
      layout.push_back(line.key.empty() ? "[" + line.section + "]" : line.key);
    }
    return layout;
  }
  std::string Value(const std::string& section, const std::string& key) const {
    for (const IniLine& line : Settings()) {
      if (line.section == section && line.key == key) return line.value;
    }
    return "<none>";
  }
  static std::string DriveSection(const std::string& letter, const std::string& path,
                                  int uptime, int flag) {
    return "[" + letter + ":]\r\nFILEPATH=" + path + "\r\nUPTIME=" + std::to_string(uptime) +
           "\r\nFLAG=" + std::to_string(flag) + "\r\n";
  }
  std::string RootSection(const std::string& root) const {
    return "[Temporally Folder]\r\nPATH=" + root + "\r\n";
  }

  std::string settings_;
  std::string aside_;
  std::string current_;
  test::TempFolder root_{"root"};
  test::TempFolder archives_{"arc"};
  std::string archive_ = archives_ / "saved.zip";
};

TEST_F(SavedStateTest, WithoutSettingsFileTheRootIsTheCurrentDirectory) {
  {
    auto table = NewTable();
    ASSERT_EQ(1, table->RestoreState());
    EXPECT_STREQ(current_.c_str(), table->TempRoot);
    EXPECT_STREQ(current_.c_str(), table->PendingTempRoot);
    for (uint8_t letter = 0; letter < LetterCount; ++letter) {
      EXPECT_NE(DriveKind::Virtual, table->kinds[letter]);
      EXPECT_EQ(1, table->slots[letter].intervalMinutes);
    }
  }
  EXPECT_EQ((std::vector<std::string>{"[Temporally Folder]", "PATH"}), Layout());
  EXPECT_EQ(current_, Value("Temporally Folder", "PATH"));
  EXPECT_TRUE(Messages().empty());
}

TEST_F(SavedStateTest, RoundTripRestoresDrivesArchivesAndOptions) {
  WriteSettings(RootSection(root_.Path()) +
                DriveSection("R", archive_, 7, ReflectToArchive | TimedUpdate) +
                DriveSection("S", "", 2, UpdateOnChange));
  const std::vector<std::string> layout = {"[Temporally Folder]", "PATH", "[R:]", "FILEPATH",
                                           "UPTIME", "FLAG", "[S:]", "FILEPATH", "UPTIME", "FLAG"};
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    {
      auto table = NewTable();
      ASSERT_EQ(1, table->RestoreState());
      EXPECT_STREQ(root_.Path().c_str(), table->TempRoot);
      ASSERT_EQ(DriveKind::Virtual, table->kinds[R]);
      EXPECT_EQ("alpha", FileText("R:\\a.txt"));
      EXPECT_EQ("beta", FileText("R:\\sub\\b.txt"));
      const DriveSlot& r = table->slots[R];
      EXPECT_STREQ(archive_.c_str(), r.archivePath);
      EXPECT_EQ(Check(archive_.c_str()), r.archiveKind);
      EXPECT_EQ(7, r.intervalMinutes);
      EXPECT_EQ(ReflectToArchive | TimedUpdate | TimerRunning, r.flags);
      EXPECT_NE(0u, r.timerId);

      // A drive saved without an archive comes back, empty.
      ASSERT_EQ(DriveKind::Virtual, table->kinds[S]);
      EXPECT_TRUE(test::ListTree("S:\\").empty());
      EXPECT_STREQ("", table->slots[S].archivePath);
      EXPECT_EQ(2, table->slots[S].intervalMinutes);
      EXPECT_EQ(UpdateOnChange, table->slots[S].flags);
      EXPECT_NE(DriveKind::Virtual, table->kinds[T]);
    }
    EXPECT_FALSE(test::LetterPresent(R));
    EXPECT_FALSE(test::LetterPresent(S));
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(layout, Layout());
    EXPECT_EQ(root_.Path(), Value("Temporally Folder", "PATH"));
    EXPECT_EQ(archive_, Value("R:", "FILEPATH"));
    EXPECT_EQ("7", Value("R:", "UPTIME"));
    EXPECT_EQ("3", Value("R:", "FLAG"));
    EXPECT_EQ("", Value("S:", "FILEPATH"));
    EXPECT_EQ("2", Value("S:", "UPTIME"));
    EXPECT_EQ("4", Value("S:", "FLAG"));
    EXPECT_TRUE(test::ListTree(DriveFolder(root_.Path(), 'R')).empty());
    EXPECT_FALSE(test::PathExists(settings_ + ".new"));
  }
}

TEST_F(SavedStateTest, AChangeMadeOnTheDriveIsInTheArchiveAfterExit) {
  WriteSettings(RootSection(root_.Path()) + DriveSection("R", archive_, 1, ReflectToArchive));
  {
    auto table = NewTable();
    ASSERT_EQ(1, table->RestoreState());
    ASSERT_EQ("alpha", FileText("R:\\a.txt"));
    ASSERT_TRUE(test::WriteFileBytes("R:\\a.txt", "edited on R:"));
    ASSERT_TRUE(CreateDirectoryA("R:\\new", nullptr));
    ASSERT_TRUE(test::WriteFileBytes("R:\\new\\c.txt", "gamma"));
  }
  EXPECT_FALSE(test::LetterPresent(R));
  EXPECT_TRUE(Messages().empty());
  ASSERT_EQ(1, LoadDLL());
  EXPECT_EQ((Files{{"a.txt", "edited on R:"}, {"new\\c.txt", "gamma"}, {"sub\\b.txt", "beta"}}),
            ArchiveContents(archive_));
  ReleaseDLL();
}

TEST_F(SavedStateTest, SavedLetterInUseIsSkippedAndGoneFromTheFile) {
  test::TempFolder elsewhere("other");
  test::MappedLetter taken('T', elsewhere.Path());
  ASSERT_TRUE(taken.Ok());
  WriteSettings(RootSection(root_.Path()) + DriveSection("R", "", 1, 0) +
                DriveSection("T", archive_, 1, ReflectToArchive));
  {
    auto table = NewTable();
    ASSERT_EQ(1, table->RestoreState());
    EXPECT_EQ(DriveKind::Virtual, table->kinds[R]);
    EXPECT_NE(DriveKind::Virtual, table->kinds[T]);
    EXPECT_STREQ("", table->slots[T].archivePath);
  }
  EXPECT_TRUE(test::LetterPresent(T)) << "a letter the program did not map stays";
  EXPECT_EQ("<none>", Value("T:", "FILEPATH"));
  EXPECT_EQ("", Value("R:", "FILEPATH"));
}

// Its folder still holds changes its archive lacks: dropping the section would lose them.
TEST_F(SavedStateTest, UnrestorableDriveWithPendingChangesKeepsItsSection) {
  const int pending = ReflectToArchive | WriteBackPending;
  ASSERT_TRUE(WriteTree(DriveFolder(root_.Path(), 'T'), {{"a.txt", "pending"}}));
  WriteSettings(RootSection(root_.Path()) + DriveSection("T", archive_, 3, pending));
  {
    test::TempFolder elsewhere("other");
    test::MappedLetter taken('T', elsewhere.Path());
    ASSERT_TRUE(taken.Ok());
    auto table = NewTable();
    ASSERT_EQ(1, table->RestoreState());
    EXPECT_NE(DriveKind::Virtual, table->kinds[T]);
    table->SaveAndShutdown();
    EXPECT_TRUE(test::LetterPresent(T));
  }
  EXPECT_EQ((std::vector<std::string>{"[Temporally Folder]", "PATH", "[T:]", "FILEPATH", "UPTIME",
                                      "FLAG"}),
            Layout());
  EXPECT_EQ(archive_, Value("T:", "FILEPATH"));
  EXPECT_EQ("3", Value("T:", "UPTIME"));
  EXPECT_EQ(std::to_string(pending), Value("T:", "FLAG"));
  EXPECT_EQ("pending", FileText(DriveFolder(root_.Path(), 'T') + "\\a.txt"));

  // Once the letter is free again the changes are shown and written back.
  {
    auto table = NewTable();
    ASSERT_EQ(1, table->RestoreState());
    ASSERT_EQ(DriveKind::Virtual, table->kinds[T]);
    EXPECT_EQ("pending", FileText("T:\\a.txt"));
  }
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(std::to_string(ReflectToArchive), Value("T:", "FLAG"));
  ASSERT_EQ(1, LoadDLL());
  EXPECT_EQ("pending", ArchiveContents(archive_)["a.txt"]);
  ReleaseDLL();
}

// A folder whose full path has exactly the given length, made of nested parts.
std::string MakeFolderOfLength(const std::string& base, size_t length) {
  std::string path = base;
  while (path.size() < length) {
    size_t part = std::min<size_t>(60, length - path.size() - 1);
    if (part == 0) {  // one character left: lengthen the previous part instead
      path += "x";
      break;
    }
    path += "\\" + std::string(part, 'd');
    CreateDirectoryA(path.c_str(), nullptr);
  }
  CreateDirectoryA(path.c_str(), nullptr);
  return path;
}

TEST_F(SavedStateTest, UnusableRootFallsBackToTheCurrentDirectory) {
  std::string longest = MakeFolderOfLength(root_.Path(), 246);
  ASSERT_TRUE(test::IsDirectory(longest)) << longest;
  std::string tooLong = longest + "e";
  ASSERT_TRUE(CreateDirectoryA(tooLong.c_str(), nullptr)) << tooLong;
  ASSERT_TRUE(CreateDirectoryA("relative-root", nullptr));

  const std::vector<std::tuple<std::string, std::string>> cases = {
      {"", current_},  // no PATH key at all
      {RootSection(root_ / "missing"), current_},
      {RootSection("relative-root"), current_},
      {RootSection(tooLong), current_},
      {RootSection(longest), longest},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::get<0>(c));
    WriteSettings(std::get<0>(c));
    {
      auto table = NewTable();
      ASSERT_EQ(1, table->RestoreState());
      EXPECT_EQ(std::get<1>(c), table->TempRoot);
      EXPECT_EQ(std::get<1>(c), table->PendingTempRoot);
    }
    EXPECT_EQ(std::get<1>(c), Value("Temporally Folder", "PATH"));
  }
  RemoveDirectoryA("relative-root");
}

TEST_F(SavedStateTest, FlagKeepsEveryBitButTheRunTimeMarks) {
  const int stored = 0xFCF4;  // both run-time marks and every bit without a meaning
  WriteSettings(RootSection(root_.Path()) + DriveSection("R", "", 1, stored) +
                DriveSection("S", archive_, 1, TimedUpdate));
  {
    auto table = NewTable();
    ASSERT_EQ(1, table->RestoreState());
    EXPECT_EQ(stored, table->slots[R].flags);
    EXPECT_EQ(TimedUpdate | TimerRunning, table->slots[S].flags);
  }
  EXPECT_EQ(std::to_string(stored & ~0x3000), Value("R:", "FLAG"));
  EXPECT_EQ(std::to_string(TimedUpdate), Value("S:", "FLAG"));
}

TEST_F(SavedStateTest, ChosenRootReceivesTheDriveFoldersAtExit) {
  test::TempFolder next("next");
  WriteSettings(RootSection(root_.Path()) + DriveSection("R", archive_, 1, KeepFolderOnExit));
  {
    auto table = NewTable();
    ASSERT_EQ(1, table->RestoreState());
    ASSERT_TRUE(test::WriteFileBytes("R:\\a.txt", "kept"));
    table->SetPendingTempRoot(next.Path().c_str());
    EXPECT_STREQ(next.Path().c_str(), table->PendingTempRoot);
    EXPECT_STREQ(root_.Path().c_str(), table->TempRoot);
  }
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(next.Path(), Value("Temporally Folder", "PATH"));
  EXPECT_FALSE(test::PathExists(root_ / "Drive"));
  EXPECT_EQ("kept", FileText(DriveFolder(next.Path(), 'R') + "\\a.txt"));
  {
    auto table = NewTable();
    ASSERT_EQ(1, table->RestoreState());
    EXPECT_STREQ(next.Path().c_str(), table->TempRoot);
    EXPECT_EQ("kept", FileText("R:\\a.txt"));
  }
}

TEST_F(SavedStateTest, RootDifferingOnlyInCaseRunsTheMoveAndKeepsTheOldRootWhenItFails) {
  WriteSettings(RootSection(root_.Path()) + DriveSection("R", "", 1, 0));
  std::string lower = root_.Path();
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; });
  ASSERT_NE(lower, root_.Path());
  {
    auto table = NewTable();
    ASSERT_EQ(1, table->RestoreState());
    table->SetPendingTempRoot(lower.c_str());
    EXPECT_STREQ(lower.c_str(), table->PendingTempRoot);
  }
  EXPECT_EQ(std::vector<std::string>{kMoveFailed}, Messages());
  // The drive folders are still where they were, and the next run looks there.
  EXPECT_EQ(root_.Path(), Value("Temporally Folder", "PATH"));
  EXPECT_TRUE(test::IsDirectory(DriveFolder(root_.Path(), 'R')));
  EXPECT_FALSE(test::PathExists(root_ / "Drive\\Drive"));
}

// Nothing to move: a root that never got drive folders, and the roots an executable in a
// network folder or a too-long path is left with, which can never hold any.
TEST_F(SavedStateTest, RootWithNothingToMoveIsReplacedByTheChosenOne) {
  test::TempFolder next("next");
  for (const std::string& old : {root_.Path(), std::string(), std::string("\\\\server\\share")}) {
    SCOPED_TRACE(old);
    WriteSettings(RootSection(root_.Path()));
    {
      auto table = NewTable();
      ASSERT_EQ(1, table->RestoreState());
      CopyBounded(table->TempRoot, PathSize, old.c_str());
      table->SetPendingTempRoot(next.Path().c_str());
    }
    EXPECT_TRUE(Messages().empty());
    EXPECT_EQ(next.Path(), Value("Temporally Folder", "PATH"));
  }
}

TEST_F(SavedStateTest, MoveRefusesANewRootThatHasADriveFolderAlready) {
  auto table = NewTable();
  test::TempFolder next("next");
  ASSERT_TRUE(WriteTree(root_ / "Drive", {{"R\\a.txt", "old"}}));
  ASSERT_TRUE(WriteTree(next / "Drive", {{"other.txt", "theirs"}}));
  CopyBounded(table->TempRoot, PathSize, root_.Path().c_str());
  CopyBounded(table->PendingTempRoot, PathSize, next.Path().c_str());

  EXPECT_EQ(0, table->MoveTempRoot());
  EXPECT_EQ("old", FileText(root_ / "Drive\\R\\a.txt"));
  EXPECT_EQ((std::vector<std::string>{"other.txt"}), test::ListTree(next / "Drive"));
}

TEST_F(SavedStateTest, PendingRootRefusesPlacesThatDoNotOutliveTheExit) {
  auto table = NewTable();
  test::TempFolder next("next");
  CopyBounded(table->TempRoot, PathSize, root_.Path().c_str());
  ASSERT_EQ(1, table->CreateVirtualDrive(R, table->TempRoot));
  std::string lowerDrive = root_.Path() + "\\drive\\r";
  ASSERT_TRUE(CreateDirectoryA((root_ / "Drivers").c_str(), nullptr));
  std::string longest = MakeFolderOfLength(next.Path(), 246);
  std::string tooLong = longest + "e";
  ASSERT_TRUE(CreateDirectoryA(tooLong.c_str(), nullptr));

  for (const std::string& refused :
       {root_ / "missing", std::string("."), root_ / "Drive", root_ / "Drive\\R", lowerDrive,
        std::string("R:\\"), tooLong}) {
    SCOPED_TRACE(refused);
    table->SetPendingTempRoot(next.Path().c_str());
    ASSERT_STREQ(next.Path().c_str(), table->PendingTempRoot);
    table->SetPendingTempRoot(refused.c_str());
    EXPECT_STREQ(root_.Path().c_str(), table->PendingTempRoot);
  }
  for (const std::string& accepted : {root_ / "Drivers", longest}) {
    table->SetPendingTempRoot(accepted.c_str());
    EXPECT_STREQ(accepted.c_str(), table->PendingTempRoot);
  }
  table->SaveAndShutdown(0);
}

TEST_F(SavedStateTest, SettingsFileHeldOpenAtStartUpIsLeftAlone) {
  const std::string text =
      RootSection(root_.Path()) + DriveSection("R", archive_, 1, ReflectToArchive);
  WriteSettings(text);
  {
    auto table = NewTable();
    {
      HeldFile held(settings_);
      ASSERT_EQ(1, table->RestoreState());
    }
    EXPECT_NE(DriveKind::Virtual, table->kinds[R]);
    EXPECT_STREQ(current_.c_str(), table->TempRoot);
  }
  EXPECT_EQ(text, SettingsText());
  EXPECT_FALSE(test::PathExists(settings_ + ".new"));
}

TEST_F(SavedStateTest, FailedWriteBackAtExitNamesTheFolderAndKeepsTheChanges) {
  WriteSettings(RootSection(root_.Path()) + DriveSection("R", archive_, 1, ReflectToArchive));
  std::string folder = DriveFolder(root_.Path(), 'R');
  std::string before = FileText(archive_);
  {
    auto table = NewTable();
    ASSERT_EQ(1, table->RestoreState());
    ASSERT_TRUE(test::WriteFileBytes("R:\\a.txt", "changed"));
    HeldFile held(archive_);
    table->SaveAndShutdown();
  }
  EXPECT_EQ(std::vector<std::string>{"kept R: " + folder}, Messages());
  EXPECT_FALSE(test::LetterPresent(R));
  EXPECT_EQ(before, FileText(archive_));
  EXPECT_EQ("changed", FileText(folder + "\\a.txt"));
  EXPECT_EQ(std::to_string(ReflectToArchive | WriteBackPending), Value("R:", "FLAG"));

  // The next run shows the changes instead of extracting over them, and writes them back.
  Messages().clear();
  {
    auto table = NewTable();
    ASSERT_EQ(1, table->RestoreState());
    EXPECT_EQ("changed", FileText("R:\\a.txt"));
  }
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(std::to_string(ReflectToArchive), Value("R:", "FLAG"));
  ASSERT_EQ(1, LoadDLL());
  EXPECT_EQ("changed", ArchiveContents(archive_)["a.txt"]);
  ReleaseDLL();
}

TEST_F(SavedStateTest, FolderThatCannotBeEmptiedIsReportedAtExit) {
  WriteSettings(RootSection(root_.Path()) + DriveSection("R", archive_, 1, 0));
  {
    auto table = NewTable();
    ASSERT_EQ(1, table->RestoreState());
    HeldFile held(DriveFolder(root_.Path(), 'R') + "\\a.txt");
    table->SaveAndShutdown();
  }
  EXPECT_EQ(std::vector<std::string>{"not emptied R:"}, Messages());
  EXPECT_EQ("0", Value("R:", "FLAG"));
}

TEST_F(SavedStateTest, ShutDownRunsOnceAndQuietlyWhenAsked) {
  WriteSettings(RootSection(root_.Path()) + DriveSection("R", archive_, 1, ReflectToArchive));
  auto table = NewTable();
  ASSERT_EQ(1, table->RestoreState());
  {
    HeldFile held(archive_);
    table->SaveAndShutdown(0);
  }
  EXPECT_TRUE(Messages().empty());
  EXPECT_FALSE(test::LetterPresent(R));
  EXPECT_EQ(std::to_string(ReflectToArchive | WriteBackPending), Value("R:", "FLAG"));

  WriteSettings("untouched");
  table->SaveAndShutdown();
  table.reset();
  EXPECT_EQ("untouched", SettingsText());
  EXPECT_TRUE(Messages().empty());
}

}  // namespace
