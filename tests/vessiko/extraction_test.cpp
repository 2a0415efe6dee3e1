// Recognising and extracting archives of other tools, and hostile ones that try to escape.
#include <algorithm>

#include "vessiko_tests.h"

namespace {

// Extracted twice: changed and read-only files come back as the archive has them.
TEST_F(LibraryTest, ToolArchivesAreRecognisedAndExtractWithTheirNamesContentsAndTimes) {
  const std::string tree = SampleTree(temp_ / "tree");
  const struct { const char* file; int format; } rows[] = {
      {"infozip-cp932.zip", FormatZip},      {"infozip-utf8.zip", FormatZip},
      {"7zz-utf8.zip", FormatZip},           {"7zz.7z", FormatSevenZip},
      {"gnutar.tar.gz", FormatTarGzip},      {"gnutar.tar.bz2", FormatTarBzip2},
      {"gnutar.tar.xz", FormatTarXz},        {"gnutar-gnu.tar", FormatTar},
      {"bsdtar-cp932.tar", FormatTar},       {"jlha.lzh", FormatLzh},
      {"genisoimage.iso", FormatIso9660},    {"bsdtar.cpio", FormatCpio}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    EXPECT_EQ(ExtractionKind(row.format), Check(Fixture(row.file).c_str()));
    std::string out = ExtractInto(Fixture(row.file), temp_ / row.file);
    std::string japanese = out + "\\日本語フォルダ\\テスト.txt";
    ASSERT_TRUE(WriteTree(out, {{"readme.txt", "changed"}, {"日本語フォルダ\\テスト.txt", "changed"}}));
    ASSERT_TRUE(SetFileAttributesA(japanese.c_str(), FILE_ATTRIBUTE_READONLY));
    ExpectSameTree(tree, ExtractInto(Fixture(row.file), out));
  }
  // Cut in the middle: it fails, and no cut file is left to be packed over the good copy.
  EXPECT_EQ(0, Pac(Fixture("half.zip").c_str(), Slash(temp_ / "half").c_str(),
                   ExtractionKind(FormatZip)));
  Files whole = ReadTree(tree);
  for (const auto& file : ReadTree(temp_ / "half")) EXPECT_EQ(whole[file.first], file.second);
}

// Decomposed names come out composed, a Unicode path field wins over the raw name, and an
// update of the decomposed archive holds each name once, composed.
TEST_F(LibraryTest, NamesComeOutComposedAndUpdatesHoldEachNameOnce) {
  const struct { const char* file; Files files; } rows[] = {
      {"macos-nfd.zip", {{"がぎぐ\\ダウンロード.txt", "voiced"}, {"パパ.txt", "semi-voiced"}}},
      {"unicode-path.zip", {{"日本語.txt", "cp932"}, {"表示.txt", "field"}}}};
  for (const auto& row : rows) {
    EXPECT_TRUE(row.files == ReadTree(ExtractInto(Fixture(row.file), temp_ / row.file))) << row.file;
  }
  // The Linux tools then read nfd.zip against the folder nfd (tools_check.py packed).
  const std::string root = WinePath(VESSIKO_PACKED_DIR) + "\\nfd", archive = root + ".zip";
  RemoveTree(root);
  CreateDirectoryA(WinePath(VESSIKO_PACKED_DIR).c_str(), nullptr);  // the first test there makes it
  ASSERT_TRUE(CopyFileA(Fixture("macos-nfd.zip").c_str(), archive.c_str(), FALSE));
  ASSERT_TRUE(WriteTree(ExtractInto(archive, root), {{"パパ.txt", "changed"}}));
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(FormatZip)));
  std::string zip = FileText(archive);
  EXPECT_EQ(3, static_cast<uint8_t>(zip[zip.size() - 12]));  // entries: a folder, two files
  EXPECT_TRUE(ReadTree(root) == ArchiveContents(archive));
}

TEST_F(LibraryTest, CheckTellsTheFormatByContent) {
  const struct { std::string path; ArchiveKind kind; } rows[] = {
      // packing would drop the program stub
      {Fixture("stub-sfx.exe"), ExtractionKind(FormatSelfExtracting)},
      {Fixture("empty.zip"), ExtractionKind(FormatZip)},  // a new compressed folder of Windows
      {Fixture("half.zip"), ExtractionKind(FormatZip)},   // its first header reads
      {Fixture("zeros.tar"), 0}, {Fixture("text.txt"), 0}, {Fixture("lone.gz"), 0},
      {Fixture("truncated.zip"), 0}, {Fixture("truncated.tar.gz"), 0},
      {temp_ / "missing.zip", 0}, {temp_.Path(), 0}, {"", 0}};
  for (const auto& row : rows) EXPECT_EQ(row.kind, Check(row.path.c_str())) << row.path;
}

// The target lies a few folders deep, so that anything written above it is seen. Links are
// not made: what lies "through" them lands in plain folders. Packing back keeps the rest.
TEST_F(LibraryTest, HostileArchivesWriteOnlyTheirSafeEntriesInsideTheTargetAndKeepTheRest) {
  const struct { const char* file; int format; std::vector<std::string> inside, kept; } rows[] = {
      {"hostile.tar", FormatTar, {"good.txt", "hard-in.txt", "link-out\\", "link-out\\through-link.txt",
                          "overlong\xE0\x80\xAE", "safe\\", "safe\\nested.txt"},
       {"../escape-dotdot.txt", "/escape-absolute.txt", "hard-out.txt", "con.txt"}},
      {"hostile.zip", FormatZip, {"zip-good.txt", "zlink\\", "zlink\\zip-through.txt"},
       {"../zip-dotdot.txt", "zip-drive.txt", "prn.txt"}}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.file);
    std::string target = temp_ / (std::string(row.file) + "\\a\\b\\target");
    ASSERT_EQ(ExtractionKind(row.format), Check(Fixture(row.file).c_str()));
    EXPECT_EQ(1, Pac(Fixture(row.file).c_str(), Slash(target).c_str(), ExtractionKind(row.format)));
    std::vector<std::string> expected = {"a\\", "a\\b\\", "a\\b\\target\\"};
    for (const std::string& name : row.inside) expected.push_back("a\\b\\target\\" + name);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, ListTree(temp_ / row.file));
    EXPECT_EQ("good", FileText(target + "\\" + row.inside[row.format == FormatTar]));  // hard-in.txt too
    std::string archive = temp_ / (std::string("kept.") + row.file);
    ASSERT_TRUE(CopyFileA(Fixture(row.file).c_str(), archive.c_str(), FALSE));
    ASSERT_EQ(1, Pac(archive.c_str(), Slash(target).c_str(), PackKind(row.format)));
    for (const std::string& name : row.kept) {
      EXPECT_NE(std::string::npos, FileText(archive).find(name)) << name;
    }
  }
  for (const char* path : {"C:\\escape-drive.txt", "\\escape-absolute.txt", "C:\\zip-drive.txt"}) {
    EXPECT_FALSE(PathExists(path)) << path;
  }
}

}  // namespace
