// Why the library refuses an archive or fails a pack, as the program's loader reads it back.
#include "vessiko_tests.h"

namespace {

// Checked from the archive's own directory: refused before a byte is written.
TEST_F(LibraryTest, CheckGivesTheReasonAnArchiveCannotBeExtracted) {
  const struct { std::string path; LibraryReason reason; const char* subject; } rows[] = {
      {Fixture("infozip-zipcrypto.zip"), ReasonPasswordNeeded, nullptr},
      {Fixture("7zz-aes256.zip"), ReasonPasswordNeeded, nullptr},
      {Fixture("7zz-password.7z"), ReasonPasswordProtected, nullptr},
      {Fixture("7zz-encrypted-names.7z"), ReasonPasswordProtected, nullptr},
      {Fixture("7zz-ppmd-x86.7z"), ReasonUnsupportedMethod, "PPMd + x86"},
      {Fixture("unsupported-method.zip"), ReasonUnsupportedMethod, "Implode"},
      {Fixture("overlapping.zip"), ReasonDamaged, nullptr},
      {Fixture("truncated.zip"), ReasonDamaged, ""},
      {Fixture("text.txt"), ReasonNotAnArchive, ""},
      {temp_ / "missing.zip", ReasonArchiveMissing, ""}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(0u, Check(row.path.c_str()));
    EXPECT_EQ(row.reason, LastReport().reason);
    if (row.subject != nullptr) {
      EXPECT_STREQ(row.subject, LastReport().subject);
    }
    std::string target = temp_ / "refused";
    EXPECT_EQ(0, Pac(row.path.c_str(), Slash(target).c_str(), ExtractionKind(FormatZip)));
    EXPECT_EQ(row.reason, LastReport().reason);
    EXPECT_TRUE(ListTree(target).empty());
  }
}

TEST_F(LibraryTest, CheckTellsTheDataSizeAndAnExtractionHowManyEntriesItLeftOut) {
  ASSERT_EQ(ExtractionKind(FormatZip), Check(Fixture("zeros-3g.zip").c_str()));
  EXPECT_TRUE(LastReport().sized);
  EXPECT_EQ(3ull << 30, LastReport().size);
  EXPECT_EQ(ReasonNone, LastReport().reason);
  // Deflate64, which libarchive lacks, is decoded by the library itself.
  std::string big = ExtractInto(Fixture("7zz-deflate64.zip"), temp_ / "deflate64");
  std::string lines;
  ASSERT_TRUE(ReadFileBytes(big + "\\table.csv", &lines));
  EXPECT_LE(400000u, lines.size());
  EXPECT_EQ(0u, LastReport().leftOut);
  std::string out = ExtractInto(Fixture("unsafe-name.zip"), temp_ / "unsafe");
  EXPECT_EQ(1u, LastReport().leftOut);
  EXPECT_EQ(std::vector<std::string>{"readme.txt"}, ListTree(out));
}

// With the password, encrypted ZIPs are checked on their data and extract; a wrong one is
// refused, the one whose ZipCrypto check byte passes too. 7z stays refused, and is not packed
// over (ZIP write-backs: zip_update_test.cpp).
TEST_F(LibraryTest, PasswordsOpenEncryptedZipsAndAWrongOneIsRefused) {
  const std::string tree = SampleTree(temp_ / "tree");
  const struct { const char* file; const char* password; LibraryReason reason; } rows[] = {
      {"infozip-zipcrypto.zip", "tembrook", ReasonNone},
      {"7zz-zipcrypto.zip", "tembrook", ReasonNone},
      {"7zz-aes256.zip", "tembrook", ReasonNone},
      {"zipcrypto-collision.zip", "wrong0062", ReasonWrongPassword},
      {"infozip-zipcrypto.zip", "wrong", ReasonWrongPassword},
      {"7zz-aes256.zip", "wrong", ReasonWrongPassword},
      {"7zz-password.7z", "tembrook", ReasonPasswordProtected},
      {"7zz-zipcrypto.zip", nullptr, ReasonPasswordNeeded}};
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.file) + " " + (row.password ? row.password : "(none)"));
    ASSERT_EQ(1, SetPassword(row.password));
    ArchiveKind kind = Check(Fixture(row.file).c_str());
    EXPECT_EQ(row.reason, LastReport().reason);
    if (row.reason != ReasonNone) {
      EXPECT_EQ(0u, kind);
      continue;
    }
    ASSERT_EQ(ExtractionKind(FormatZip), kind);
    ExpectSameTree(tree, ExtractInto(Fixture(row.file), temp_ / row.file));
  }
  SetPassword(nullptr);
  // Nor is a 7z whose blocks are encrypted packed over.
  std::string sevenZip = temp_ / "copy.7z";
  ASSERT_TRUE(CopyFileA(Fixture("7zz-password.7z").c_str(), sevenZip.c_str(), FALSE));
  EXPECT_EQ(0, Pac(sevenZip.c_str(), Slash(tree).c_str(), PackKind(FormatSevenZip)));
  EXPECT_EQ(ReasonPasswordProtected, LastReport().reason);
  EXPECT_EQ(FileText(Fixture("7zz-password.7z")), FileText(sevenZip));
}

// A pack that cannot be done says what stood in its way.
TEST_F(LibraryTest, PacGivesTheReasonAPackFailed) {
  std::string root = temp_ / "root", archive = temp_ / "held.zip";
  ASSERT_TRUE(WriteTree(root, {{"doc.txt", "text"}, {"other.txt", "more"}}));
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(FormatZip)));
  {  // a file of the drive held by an editor that shares nothing
    Held held(root + "\\doc.txt");
    ASSERT_EQ(0, Pac(archive.c_str(), Slash(root).c_str(), PackKind(FormatZip) | FreshBit));
    EXPECT_EQ(ReasonFileUnreadable, LastReport().reason);
    EXPECT_NE(nullptr, strstr(LastReport().subject, "doc.txt"));
  }
  {  // the archive itself held open
    Held held(archive);
    EXPECT_EQ(0, Pac(archive.c_str(), Slash(root).c_str(), PackKind(FormatZip)));
    EXPECT_EQ(ReasonArchiveInUse, LastReport().reason);
  }
  ASSERT_TRUE(SetFileAttributesA(archive.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_EQ(0, Pac(archive.c_str(), Slash(root).c_str(), PackKind(FormatZip)));
  EXPECT_EQ(ReasonArchiveReadOnly, LastReport().reason);
  SetFileAttributesA(archive.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(FormatZip)));
  EXPECT_EQ(ReasonNone, LastReport().reason);
}

}  // namespace
