// Packing: every writable format, updates, bad kinds, and failed packs that keep the old one.
#include <memory>

#include "vessiko_tests.h"

namespace {

// The fresh archives stay in the packed folder, for the Linux tools that read them next.
TEST_F(LibraryTest, EveryWritableFormatRoundTripsKeepsAbsentEntriesAndPacksFresh) {
  const std::string packed = WinePath(VESSIKO_PACKED_DIR), tree = packed + "\\tree";
  const std::string root = temp_ / "root";
  RemoveTree(tree);  // only this test's: other tests leave archives here for the tools too
  CreateDirectoryA(packed.c_str(), nullptr);
  for (const char* e : {"zip", "7z", "tar", "tar.gz", "tar.bz2", "tar.xz"}) {
    DeleteFileA((packed + "\\packed." + e).c_str());
  }
  SampleTree(tree);
  int format = 0;
  for (std::string extension : {"zip", "7z", "tar", "tar.gz", "tar.bz2", "tar.xz"}) {
    SCOPED_TRACE(extension);
    std::string archive = packed + "\\packed." + extension;
    ASSERT_EQ(1, Pac(archive.c_str(), Slash(tree).c_str(), PackKind(format) | FreshBit));
    EXPECT_EQ(ExtractionKind(format), Check(archive.c_str()));
    ExpectSameTree(tree, ExtractInto(archive, temp_ / extension));

    RemoveTree(root);
    ASSERT_TRUE(WriteTree(root, {{"changed.txt", "one"}, {"kept.txt", "kept"}}));
    archive = temp_ / ("update." + extension);
    ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(format)));
    ASSERT_TRUE(DeleteFileA((root + "\\kept.txt").c_str()));
    ASSERT_TRUE(WriteTree(root, {{"changed.txt", "two"}, {"sub\\new.txt", "new"}}));
    ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(format)));
    EXPECT_EQ((Files{{"changed.txt", "two"}, {"kept.txt", "kept"}, {"sub\\new.txt", "new"}}),
              ArchiveContents(archive));
    ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(format) | FreshBit));
    EXPECT_EQ(ReadTree(root), ArchiveContents(archive));
    ++format;
  }
}

// The old archive has CP932 names without the UTF-8 flag and lies inside the folder; the
// update writes UTF-8 names, and a stale copy of a changed entry would come after it and win.
TEST_F(LibraryTest, UpdateMatchesDecodedNamesWithoutRegardToCaseAndLeavesItselfOut) {
  std::string root = temp_ / "root", archive = root + "\\self.zip";
  ASSERT_TRUE(WriteTree(root, {{"self.zip", FileText(Fixture("infozip-cp932.zip"))}}));
  ExtractInto(archive, root);
  ASSERT_TRUE(WriteFileBytes(root + "\\日本語フォルダ\\ソフト表示.txt", "changed"));
  ASSERT_TRUE(DeleteFileA((root + "\\readme.txt").c_str()));
  ASSERT_TRUE(WriteFileBytes(root + "\\README.TXT", "upper"));
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(FormatZip)));
  Files expected = ReadTree(root);
  expected.erase("self.zip");
  EXPECT_EQ(expected, ArchiveContents(archive));
}

// No direction or both, no format, two, or none there, and formats only read.
TEST_F(LibraryTest, PacRefusesKindsThatNameNoSingleFormatAndDirection) {
  const std::string archive = temp_ / "a.zip", folder = Slash(temp_ / "folder");
  ASSERT_TRUE(WriteTree(temp_.Path(), {{"a.zip", FileText(Fixture("7zz-utf8.zip"))},
                                       {"folder\\f.txt", "f"}}));
  const ArchiveKind zip = ExtractionKind(FormatZip);
  for (ArchiveKind kind : {0u, zip & ~ExtractBit, zip | PackBit, PackKind(FormatZip) | ExtractBit |
                           FreshBit, ExtractBit, zip | ExtractionKind(FormatSevenZip), zip | FreshBit,
                           ExtractionKind(WritableFormatCount + 1), PackBit,
                           PackKind(FormatZip) | PackKind(FormatSevenZip),
                           PackKind(WritableFormatCount), PackKind(FormatLzh),
                           PackKind(FormatIso9660) | FreshBit}) {
    EXPECT_EQ(0, Pac(archive.c_str(), folder.c_str(), kind)) << std::hex << kind;
    EXPECT_EQ(0, Pac((temp_ / "new.zip").c_str(), folder.c_str(), kind)) << std::hex << kind;
  }
  EXPECT_EQ(0, Check(nullptr) + Pac(nullptr, folder.c_str(), PackKind(FormatZip)) +
                   Pac(archive.c_str(), nullptr, ExtractionKind(FormatZip)));
  EXPECT_EQ(3u, ListTree(temp_.Path()).size());
  EXPECT_EQ(FileText(Fixture("7zz-utf8.zip")), FileText(archive));
}

// The old archive stays byte for byte and no temporary file is left beside it.
TEST_F(LibraryTest, FailedPackLeavesTheOldArchiveAsItWas) {
  const std::string root = temp_ / "root", folder = temp_ / "archives";
  const std::string deep = folder + "\\" + std::string(245 - folder.size(), 'd');
  ASSERT_TRUE(WriteTree(root, {{"a.txt", "new"}}));
  ASSERT_TRUE(MakeArchive(temp_ / "old.zip", {{"a.txt", "old"}}));
  enum Cause { Held, MissingRoot, Shrinking, NoRoomForATemporaryFile, Unreadable };
  for (Cause cause : {Held, MissingRoot, Shrinking, NoRoomForATemporaryFile, Unreadable}) {
    SCOPED_TRACE(cause);
    std::string where = cause == NoRoomForATemporaryFile ? deep : folder;
    RemoveTree(folder);
    std::string old = FileText(cause == Unreadable ? Fixture("half.zip") : temp_ / "old.zip");
    // Files of /sys list 4096 bytes and hold fewer, as a file that shrank while it was packed.
    std::string from = Slash(cause == MissingRoot ? "Z:\\no"
                             : cause == Shrinking ? "Z:\\sys\\kernel\\mm\\transparent_hugepage"
                                                  : root);
    std::string archive = where + "\\old.zip";
    ASSERT_TRUE(WriteTree(where, {{"old.zip", old}}));
    std::unique_ptr<HeldFile> held(cause == Held ? new HeldFile(archive) : nullptr);
    EXPECT_EQ(0, Pac(archive.c_str(), from.c_str(), PackKind(FormatZip)));
    if (cause != Unreadable) {
      EXPECT_EQ(0, Pac(archive.c_str(), from.c_str(), PackKind(FormatZip) | FreshBit));
    }
    held.reset();
    EXPECT_EQ(old, FileText(archive));
    EXPECT_EQ(std::vector<std::string>{"old.zip"}, ListTree(where));
  }
  // Its entries could not be carried over: only a fresh archive may replace it.
  EXPECT_EQ(1, Pac((folder + "\\old.zip").c_str(), Slash(root).c_str(), PackKind(FormatZip) | FreshBit));
}

}  // namespace
