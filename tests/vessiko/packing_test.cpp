// Packing: round trips in every writable format, archives for the Linux tools, update
// semantics, and failed packs that must leave the old archive as it was.
#include "vessiko_test_helpers.h"

using namespace vessiko_test;

namespace {

class RoundTripTest : public LibraryTest, public ::testing::WithParamInterface<WritableFormat> {};

std::string FormatName(const ::testing::TestParamInfo<WritableFormat>& info) {
  std::string name = info.param.extension;
  for (char& c : name) {
    if (c == '.') c = '_';
  }
  return name;
}

std::string Slash(const std::string& folder) { return folder + "\\"; }

// Extracts an archive into a new folder and returns the folder's path.
std::string ExtractInto(const std::string& archive, const std::string& folder) {
  ArchiveKind kind = Check(archive.c_str());
  EXPECT_NE(0u, kind) << archive;
  EXPECT_EQ(1, Pac(archive.c_str(), Slash(folder).c_str(), kind)) << archive;
  return folder;
}

}  // namespace

TEST_P(RoundTripTest, PackedTreeIsRecognisedAndExtractsIdentically) {
  const WritableFormat& format = GetParam();
  test::TempFolder temp("trip");
  std::string root = temp / "root";
  BuildSampleTree(root);
  std::string archive = temp / (std::string("packed.") + format.extension);
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(format.index)));
  EXPECT_EQ(ExtractKind(format.index), Check(archive.c_str()));
  ExpectSameTree(root, ExtractInto(archive, temp / "out"), true);
  // Only the archive was added beside the root: no temporary file is left.
  std::vector<std::string> top;
  for (const std::string& name : test::ListTree(temp.Path())) {
    if (name.find('\\') == std::string::npos || name.find('\\') == name.size() - 1) {
      top.push_back(name);
    }
  }
  EXPECT_EQ(std::vector<std::string>({"out\\", std::string("packed.") + format.extension,
                                      "root\\"}),
            top);
}

TEST_P(RoundTripTest, UpdateKeepsEntriesNotUnderTheRootAndFreshHoldsExactlyTheRoot) {
  const WritableFormat& format = GetParam();
  test::TempFolder temp("update");
  std::string root = temp / "root";
  ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((root + "\\sub").c_str(), nullptr));
  MakeFile(root + "\\changed.txt", "one", BaseTime);
  MakeFile(root + "\\kept.txt", "kept", BaseTime);
  MakeFile(root + "\\sub\\x.txt", "x", BaseTime);
  std::string archive = temp / (std::string("a.") + format.extension);
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(format.index)));

  ASSERT_TRUE(DeleteFileA((root + "\\kept.txt").c_str()));
  MakeFile(root + "\\changed.txt", "two", BaseTime + 10);
  MakeFile(root + "\\new.txt", "new", BaseTime + 20);
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(format.index)));
  std::string updated = ExtractInto(archive, temp / "updated");
  EXPECT_EQ(std::vector<std::string>({"changed.txt", "kept.txt", "new.txt", "sub\\",
                                      "sub\\x.txt"}),
            test::ListTree(updated));
  EXPECT_EQ("two", ReadBytes(updated + "\\changed.txt"));
  EXPECT_EQ("kept", ReadBytes(updated + "\\kept.txt"));
  EXPECT_EQ("new", ReadBytes(updated + "\\new.txt"));

  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(format.index) | FreshBit));
  ExpectSameTree(root, ExtractInto(archive, temp / "fresh"), true);
}

INSTANTIATE_TEST_SUITE_P(Formats, RoundTripTest, ::testing::ValuesIn(WritableFormats),
                         FormatName);

TEST_P(RoundTripTest, NamesOutsideTheCodePageSurvive) {
  // Korean and the euro sign have no CP932 form: only the UTF-16 side of Windows holds them.
  const wchar_t* name = L"\uD55C\uAE00 \u20AC.txt";
  const WritableFormat& format = GetParam();
  test::TempFolder temp("wide");
  std::string root = temp / "root";
  std::string out = temp / "out";
  ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr));
  // The scratch paths are ASCII. The ANSI clean-up of the scratch folder cannot name these
  // files, so they are removed here.
  std::wstring wideRoot(root.begin(), root.end()), wideOut(out.begin(), out.end());
  struct WideFiles {
    std::wstring a, b;
    ~WideFiles() {
      DeleteFileW(a.c_str());
      DeleteFileW(b.c_str());
    }
  } cleanup{wideRoot + L"\\" + name, wideOut + L"\\" + name};
  HANDLE h = CreateFileW(cleanup.a.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, h);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(h, "wide", 4, &written, nullptr));
  CloseHandle(h);
  std::string archive = temp / (std::string("wide.") + format.extension);
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(format.index)));
  ExtractInto(archive, out);
  EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(cleanup.b.c_str()));
  EXPECT_EQ(1u, test::ListTree(out).size());
}

TEST_F(LibraryTest, EmptyZipIsRecognisedAndPackedInto) {
  // Windows makes a new "compressed folder" as a ZIP without entries.
  test::TempFolder temp("empty");
  std::string archive = temp / "new.zip";
  ASSERT_TRUE(CopyFileA(FixturePath("empty.zip").c_str(), archive.c_str(), FALSE));
  ASSERT_EQ(ExtractKind(0), Check(archive.c_str()));
  EXPECT_TRUE(test::ListTree(ExtractInto(archive, temp / "drive")).empty());
  MakeFile(temp / "drive\\a.txt", "a", BaseTime);
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(temp / "drive").c_str(), PackKind(0)));
  ExpectSameTree(temp / "drive", ExtractInto(archive, temp / "out"), true);
}

TEST_F(LibraryTest, ArchiveInsideTheRootIsNotPackedIntoItself) {
  test::TempFolder temp("inside");
  std::string root = temp / "root";
  ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr));
  MakeFile(root + "\\a.txt", "a", BaseTime);
  std::string archive = root + "\\self.zip";
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(0)));
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(0)));
  EXPECT_EQ(std::vector<std::string>({"a.txt", "self.zip"}), test::ListTree(root));
  std::string out = ExtractInto(archive, temp / "out");
  EXPECT_EQ(std::vector<std::string>({"a.txt"}), test::ListTree(out));
}

TEST(PackedForTools, WritesEveryFormatForTheLinuxTools) {
  // check_packed.py then has unzip, 7zz, bsdtar and GNU tar read these archives.
  ASSERT_EQ(1, LoadDLL());
  std::string folder = PackedDir();
  test::RemoveTree(folder);
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  std::string tree = folder + "\\tree";
  BuildSampleTree(tree);
  for (const WritableFormat& format : WritableFormats) {
    std::string archive = folder + "\\packed." + format.extension;
    EXPECT_EQ(1, Pac(archive.c_str(), Slash(tree).c_str(), PackKind(format.index) | FreshBit))
        << archive;
  }
  ReleaseDLL();
}

TEST_F(LibraryTest, PacksTheRootOfAMappedDrive) {
  test::TempFolder temp("mapped");
  std::string root = temp / "root";
  BuildSampleTree(root);
  test::MappedLetter letter('K', root);
  ASSERT_TRUE(letter.Ok());
  std::string archive = temp / "drive.zip";
  ASSERT_EQ(1, Pac(archive.c_str(), "K:\\", PackKind(0)));
  ExpectSameTree(root, ExtractInto(archive, temp / "out"), true);
}

TEST_F(LibraryTest, PackingNeverFollowsLinksOutOfTheRoot) {
  // make_fixtures.py made "link-root" with a link to a folder outside it.
  test::TempFolder temp("links");
  std::string archive = temp / "links.zip";
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(FixturePath("link-root")).c_str(), PackKind(0)));
  EXPECT_EQ(std::vector<std::string>({"inside.txt", "sub\\", "sub\\file.txt"}),
            test::ListTree(ExtractInto(archive, temp / "out")));
}

TEST_F(LibraryTest, UpdateComparesDecodedNamesWithoutRegardToCase) {
  // The old archive has CP932 names without the UTF-8 flag; the new one writes them in
  // UTF-8. A stale copy of a changed entry would come out last and win.
  test::TempFolder temp("names");
  std::string archive = temp / "cp932.zip";
  ASSERT_TRUE(CopyFileA(FixturePath("infozip-cp932.zip").c_str(), archive.c_str(), FALSE));
  std::string root = ExtractInto(archive, temp / "root");
  ASSERT_TRUE(test::WriteFileBytes(root + "\\日本語フォルダ\\ソフト表示.txt", "changed"));
  ASSERT_TRUE(DeleteFileA((root + "\\readme.txt").c_str()));
  ASSERT_TRUE(test::WriteFileBytes(root + "\\README.TXT", "upper"));
  ASSERT_EQ("README.TXT", test::ListTree(root)[0]);
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(0)));

  std::string out = ExtractInto(archive, temp / "out");
  EXPECT_EQ("changed", ReadBytes(out + "\\日本語フォルダ\\ソフト表示.txt"));
  EXPECT_EQ("upper", ReadBytes(out + "\\README.TXT"));
  EXPECT_EQ(test::ListTree(root), test::ListTree(out));
}

TEST_F(LibraryTest, UpdateKeepsEntriesTheDriveCouldNotShow) {
  test::TempFolder temp("unsafe");
  std::string archive = temp / "hostile.tar";
  ASSERT_TRUE(CopyFileA(FixturePath("hostile.tar").c_str(), archive.c_str(), FALSE));
  std::string root = ExtractInto(archive, temp / "root");
  ASSERT_TRUE(test::WriteFileBytes(root + "\\good.txt", "better"));
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(2)));

  // Unsafe names, links and names Windows cannot hold are still in the archive.
  std::string bytes = ReadBytes(archive);
  for (const char* name : {"../escape-dotdot.txt", "/escape-absolute.txt", "C:/escape-drive.txt",
                           "link-out", "../../../outside", "hard-out.txt", "con.txt",
                           "stream.txt:evil", "trailing-dot."}) {
    EXPECT_NE(std::string::npos, bytes.find(name)) << name;
  }
  EXPECT_EQ("better", ReadBytes(ExtractInto(archive, temp / "out") + "\\good.txt"));
}

// ---- Failed packs: the old archive stays byte for byte, no temporary file remains ----

namespace {

class FailedPackTest : public LibraryTest {
 protected:
  void SetUp() override {
    LibraryTest::SetUp();
    root = temp / "root";
    folder = temp / "archives";
    archive = folder + "\\old.zip";
    ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    MakeFile(root + "\\a.txt", "first", BaseTime);
    ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(0)));
    before = ReadBytes(archive);
    MakeFile(root + "\\a.txt", "second", BaseTime + 10);
  }

  void ExpectUntouched() {
    EXPECT_TRUE(before == ReadBytes(archive));
    EXPECT_EQ(std::vector<std::string>({"old.zip"}), test::ListTree(folder));
  }

  test::TempFolder temp{"failed"};
  std::string root, folder, archive, before;
};

}  // namespace

TEST_F(FailedPackTest, ArchiveHeldOpenExclusively) {
  HANDLE held = CreateFileA(archive.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, held);
  EXPECT_EQ(0, Pac(archive.c_str(), Slash(root).c_str(), PackKind(0)));
  EXPECT_EQ(0, Pac(archive.c_str(), Slash(root).c_str(), PackKind(0) | FreshBit));
  CloseHandle(held);
  ExpectUntouched();
}

TEST_F(FailedPackTest, MissingRoot) {
  std::string missing = Slash(temp / "missing");
  EXPECT_EQ(0, Pac(archive.c_str(), missing.c_str(), PackKind(0)));
  EXPECT_EQ(0, Pac(archive.c_str(), missing.c_str(), PackKind(0) | FreshBit));
  ExpectUntouched();
}

TEST_F(FailedPackTest, OldArchiveThatCannotBeReadIsNotReplacedByAnUpdate) {
  // Its entries could not be carried over, so only a fresh archive may replace it.
  ASSERT_TRUE(CopyFileA(FixturePath("half.zip").c_str(), archive.c_str(), FALSE));
  before = ReadBytes(archive);
  EXPECT_EQ(0, Pac(archive.c_str(), Slash(root).c_str(), PackKind(0)));
  ExpectUntouched();
  EXPECT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(0) | FreshBit));
  std::string out = ExtractInto(archive, temp / "out");
  EXPECT_EQ(std::vector<std::string>({"a.txt"}), test::ListTree(out));
}

TEST_F(FailedPackTest, FolderThatCannotTakeTheTemporaryFile) {
  // A folder whose name leaves no room for the name of a temporary file.
  std::string deep = folder;
  while (246 - deep.size() > 22) {
    deep += "\\" + std::string(20, 'd');
    ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr)) << deep;
  }
  deep += "\\" + std::string(246 - deep.size() - 1, 'e');
  ASSERT_TRUE(CreateDirectoryA(deep.c_str(), nullptr)) << deep;
  ASSERT_EQ(246u, deep.size());
  std::string held = deep + "\\old.zip";
  ASSERT_TRUE(test::WriteFileBytes(held, before));
  EXPECT_EQ(0, Pac(held.c_str(), Slash(root).c_str(), PackKind(0)));
  EXPECT_EQ(0, Pac(held.c_str(), Slash(root).c_str(), PackKind(0) | FreshBit));
  EXPECT_TRUE(before == ReadBytes(held));
  EXPECT_EQ(std::vector<std::string>({"old.zip"}), test::ListTree(deep));

  // A folder of a file system that takes no files at all.
  const char* unwritable = "Z:\\proc\\tembrook-packed.zip";
  EXPECT_EQ(0, Pac(unwritable, Slash(root).c_str(), PackKind(0) | FreshBit));
  EXPECT_FALSE(test::PathExists(unwritable));
}
