// Recognising and extracting archives made by other tools, files that are no archive, and
// hostile archives that try to write outside the target folder.
#include "vessiko_test_helpers.h"

using namespace vessiko_test;

namespace {

struct ToolArchive {
  const char* name;  // test name
  const char* file;
  int format;
  bool folderTimes;  // the format keeps folder times
};

const ToolArchive ToolArchives[] = {
    {"InfoZipCp932Names", "infozip-cp932.zip", 0, true},
    {"SevenZipZipUtf8Names", "7zz-utf8.zip", 0, true},
    {"SevenZip", "7zz.7z", 1, true},
    {"GnuTar", "gnutar.tar", 2, true},
    {"GnuTarGzip", "gnutar.tar.gz", 3, true},
    {"GnuTarBzip2", "gnutar.tar.bz2", 4, true},
    {"GnuTarXz", "gnutar.tar.xz", 5, true},
    {"GnuTarOwnFormatUtf8Names", "gnutar-gnu.tar", 2, true},
    {"BsdtarCp932Names", "bsdtar-cp932.tar", 2, true},
    {"JlhaLzh", "jlha.lzh", 16, true},
    {"GenisoimageIso9660", "genisoimage.iso", 19, true},
    {"BsdtarCpio", "bsdtar.cpio", 20, true},
};

void PrintTo(const ToolArchive& archive, std::ostream* out) { *out << archive.file; }

class ToolArchiveTest : public LibraryTest, public ::testing::WithParamInterface<ToolArchive> {};

// A folder nested a few levels inside a scratch folder, so that anything written beside or
// above the target still lands in the scratch folder, where the test can see it.
std::string MakeNestedTarget(const test::TempFolder& temp) {
  std::string path = temp.Path();
  for (const char* part : {"\\a", "\\b", "\\c", "\\target"}) {
    path += part;
    EXPECT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path;
  }
  return path;
}

std::vector<std::string> WithNestedPrefix(const std::vector<std::string>& inside) {
  std::vector<std::string> all = {"a\\", "a\\b\\", "a\\b\\c\\", "a\\b\\c\\target\\"};
  for (const std::string& name : inside) all.push_back("a\\b\\c\\target\\" + name);
  std::sort(all.begin(), all.end());
  return all;
}

}  // namespace

TEST_P(ToolArchiveTest, IsRecognisedAndExtractsWithIdenticalContentsNamesAndTimes) {
  const ToolArchive& tool = GetParam();
  std::string archive = FixturePath(tool.file);
  ArchiveKind kind = Check(archive.c_str());
  EXPECT_EQ(ExtractKind(tool.format), kind);
  test::TempFolder temp("tool");
  ASSERT_EQ(1, Pac(archive.c_str(), (temp.Path() + "\\").c_str(), kind));
  ExpectSameTree(FixturePath("tree"), temp.Path(), tool.folderTimes);
}

INSTANTIATE_TEST_SUITE_P(Tools, ToolArchiveTest, ::testing::ValuesIn(ToolArchives),
                         [](const ::testing::TestParamInfo<ToolArchive>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(LibraryTest, CheckGivesZeroForWhatIsNoArchive) {
  test::TempFolder temp("none");
  const std::string paths[] = {
      "",
      temp / "missing.zip",
      temp.Path(),
      FixturePath("tree"),
      FixturePath("text.txt"),
      FixturePath("lone.gz"),  // a compressed file that holds no archive
      FixturePath("random.bin"),
      FixturePath("truncated.zip"),     // not even the first header
      FixturePath("truncated.tar.gz"),  // not even the first header
  };
  for (const std::string& path : paths) EXPECT_EQ(0u, Check(path.c_str())) << path;
}

TEST_F(LibraryTest, ExtractionOfWhatIsNoArchiveFailsAndWritesNothing) {
  test::TempFolder temp("none");
  for (const char* file : {"text.txt", "lone.gz", "random.bin", "truncated.zip"}) {
    EXPECT_EQ(0, Pac(FixturePath(file).c_str(), (temp.Path() + "\\").c_str(), ExtractKind(0)))
        << file;
  }
  EXPECT_EQ(0, Pac((temp / "missing.zip").c_str(), (temp.Path() + "\\").c_str(), ExtractKind(0)));
  EXPECT_TRUE(test::ListTree(temp.Path()).empty());
}

TEST_F(LibraryTest, ArchiveThatCannotBeReadToItsEndFailsAndLeavesNoHalfFile) {
  std::string archive = FixturePath("half.zip");
  ArchiveKind kind = Check(archive.c_str());
  ASSERT_EQ(ExtractKind(0), kind);  // its first header reads
  test::TempFolder temp("half");
  EXPECT_EQ(0, Pac(archive.c_str(), (temp.Path() + "\\").c_str(), kind));
  // What came out is whole: a cut file would later be packed over the archive's good copy.
  for (const std::string& name : test::ListTree(temp.Path())) {
    if (name.back() == '\\') continue;
    EXPECT_TRUE(ReadBytes(FixturePath("tree\\" + name)) == ReadBytes(temp / name)) << name;
  }
}

TEST_F(LibraryTest, SelfExtractingZipIsReadButNotOfferedForPacking) {
  std::string archive = FixturePath("stub-sfx.exe");
  ArchiveKind kind = Check(archive.c_str());
  EXPECT_NE(0u, kind);
  EXPECT_EQ(0u, (kind >> 1) & GetDLLType());  // packing would drop the program stub
  test::TempFolder temp("sfx");
  ASSERT_EQ(1, Pac(archive.c_str(), (temp.Path() + "\\").c_str(), kind));
  EXPECT_EQ(std::vector<std::string>({"readme.txt"}), test::ListTree(temp.Path()));
  EXPECT_TRUE(ReadBytes(FixturePath("tree\\readme.txt")) == ReadBytes(temp / "readme.txt"));
}

TEST_F(LibraryTest, ExtractionCreatesAMissingTargetAndOverwritesExistingFiles) {
  test::TempFolder temp("over");
  std::string target = temp / "new\\deeper";
  std::string archive = FixturePath("7zz-utf8.zip");
  ASSERT_EQ(1, Pac(archive.c_str(), (target + "\\").c_str(), Check(archive.c_str())));
  ExpectSameTree(FixturePath("tree"), target, true);

  // Changed and read-only files come back as the archive has them.
  std::string readme = target + "\\readme.txt";
  std::string japanese = target + "\\日本語フォルダ\\テスト.txt";
  ASSERT_TRUE(test::WriteFileBytes(readme, "changed"));
  ASSERT_TRUE(test::WriteFileBytes(japanese, "changed"));
  ASSERT_TRUE(SetFileAttributesA(japanese.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_EQ(1, Pac(archive.c_str(), (target + "\\").c_str(), Check(archive.c_str())));
  ExpectSameTree(FixturePath("tree"), target, true);
}

TEST_F(LibraryTest, HostileTarWritesNothingOutsideTheTarget) {
  test::TempFolder temp("hostile");
  std::string target = MakeNestedTarget(temp);
  std::string archive = FixturePath("hostile.tar");
  ArchiveKind kind = Check(archive.c_str());
  ASSERT_EQ(ExtractKind(2), kind);
  EXPECT_EQ(1, Pac(archive.c_str(), (target + "\\").c_str(), kind));

  // The safe entries only; the links are not made, so the entries "through" them land in
  // ordinary folders inside the target.
  EXPECT_EQ(WithNestedPrefix({"good.txt", "hard-in.txt", "link-abs\\", "link-abs\\through-abs.txt",
                              "link-out\\", "link-out\\through-link.txt", "safe\\",
                              "safe\\nested.txt"}),
            test::ListTree(temp.Path()));
  EXPECT_EQ("good", ReadBytes(target + "\\hard-in.txt"));
  EXPECT_EQ("through", ReadBytes(target + "\\link-out\\through-link.txt"));
  // Names that would have left the temporary folder altogether.
  for (const char* path : {"C:\\escape-drive.txt", "C:\\escape-drive-relative.txt",
                           "\\escape-absolute.txt", "\\escape-absolute2.txt",
                           "escape-drive-relative.txt", "\\tmp\\through-abs.txt"}) {
    EXPECT_FALSE(test::PathExists(path)) << path;
  }
}

TEST_F(LibraryTest, HostileZipWritesNothingOutsideTheTarget) {
  test::TempFolder temp("hostile");
  std::string target = MakeNestedTarget(temp);
  std::string archive = FixturePath("hostile.zip");
  ArchiveKind kind = Check(archive.c_str());
  ASSERT_EQ(ExtractKind(0), kind);
  EXPECT_EQ(1, Pac(archive.c_str(), (target + "\\").c_str(), kind));
  EXPECT_EQ(WithNestedPrefix({"zip-good.txt", "zlink\\", "zlink\\zip-through.txt"}),
            test::ListTree(temp.Path()));
  for (const char* path : {"C:\\zip-drive.txt", "\\zip-absolute.txt"}) {
    EXPECT_FALSE(test::PathExists(path)) << path;
  }
}

TEST_F(LibraryTest, ExtractionNeverWritesThroughALinkAlreadyInTheTarget) {
  // make_fixtures.py left links in "link-target" that point at "planted-outside" and at
  // "planted-outside.txt"; "planted.tar" has entries below and at those links.
  std::string target = FixturePath("link-target");
  std::string archive = FixturePath("planted.tar");
  ASSERT_EQ(ExtractKind(2), Check(archive.c_str()));
  EXPECT_EQ(1, Pac(archive.c_str(), (target + "\\").c_str(), Check(archive.c_str())));
  EXPECT_EQ("ok", ReadBytes(target + "\\ok.txt"));
  EXPECT_TRUE(test::ListTree(FixturePath("planted-outside")).empty());
  // The file link is replaced by a file of its own.
  EXPECT_EQ("original", ReadBytes(FixturePath("planted-outside.txt")));
  EXPECT_EQ("evil", ReadBytes(target + "\\planted-file.txt"));
}
