// ZIP updates that copy what did not change: the local records of unchanged and absent
// entries come over byte for byte from an archive 7-Zip made (its records differ from the
// ones this library writes), while what changed is compressed anew, and encrypted with the
// archive's method over an encrypted one.
#include <algorithm>
#include <map>

#include "vessiko_tests.h"

namespace {

size_t Little(const std::string& bytes, size_t at, int size) {
  size_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

struct StoredRecord {
  std::string local;  // up to the next record or the central directory
  size_t flags = 0, method = 0, crc = 0;  // as the central directory says
};

// The entries of a ZIP without a comment, by stored name.
std::map<std::string, StoredRecord> StoredRecords(const std::string& zip) {
  std::map<std::string, StoredRecord> records;
  if (zip.size() < 22) return records;
  size_t end = zip.size() - 22;
  size_t directory = Little(zip, end + 16, 4);
  std::vector<std::pair<size_t, std::string>> starts;
  for (size_t i = 0, at = directory; i < Little(zip, end + 10, 2) && at + 46 <= end; ++i) {
    size_t name = Little(zip, at + 28, 2);
    starts.push_back({Little(zip, at + 42, 4), zip.substr(at + 46, name)});
    records[starts.back().second] = {"", Little(zip, at + 8, 2), Little(zip, at + 10, 2),
                                     Little(zip, at + 16, 4)};
    at += 46 + name + Little(zip, at + 30, 2) + Little(zip, at + 32, 2);
  }
  std::sort(starts.begin(), starts.end());
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t next = k + 1 < starts.size() ? starts[k + 1].first : directory;
    records[starts[k].second].local = zip.substr(starts[k].first, next - starts[k].first);
  }
  return records;
}

enum class Change { Unchanged, Changed, Added, Absent };

struct UpdateRow {
  const char* path;    // below the drive root
  const char* stored;  // the name in the archive
  Change change;
};

const UpdateRow UpdateRows[] = {
    {"readme.txt", "readme.txt", Change::Changed},
    {"added.txt", "added.txt", Change::Added},
    {"nested\\zero.dat", "nested/zero.dat", Change::Absent},
    {"binary.bin", "binary.bin", Change::Unchanged},
    {"日本語フォルダ\\テスト.txt", u8"日本語フォルダ/テスト.txt", Change::Unchanged},
};

}  // namespace

// The Linux tools then read updated.zip against the folder updated (tools_check.py packed).
TEST_F(LibraryTest, ZipUpdateCopiesUnchangedAndAbsentEntriesAsTheyAre) {
  const std::string folder = WinePath(VESSIKO_PACKED_DIR), root = folder + "\\updated";
  const std::string archive = root + ".zip", fresh = folder + "\\fresh.zip";
  const std::string aside = temp_ / "absent", old = FileText(Fixture("7zz-utf8.zip"));
  RemoveTree(root);
  CreateDirectoryA(folder.c_str(), nullptr);  // the first test to pack there makes it
  ASSERT_TRUE(WriteFileBytes(archive, old) && WriteFileBytes(fresh, old));
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), ExtractionKind(FormatZip)));
  // The drive: one file changed, one added, one gone (kept aside, so that root can show the
  // tools what the updated archive holds).
  for (const UpdateRow& row : UpdateRows) {
    std::string path = root + "\\" + row.path;
    if (row.change == Change::Changed || row.change == Change::Added) {
      ASSERT_TRUE(WriteFileBytes(path, std::string("new ") + row.stored));
    } else if (row.change == Change::Absent) {
      ASSERT_TRUE(MoveFileA(path.c_str(), aside.c_str())) << path;
    }
  }
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(FormatZip)));
  ASSERT_EQ(1, Pac(fresh.c_str(), Slash(root).c_str(), PackKind(FormatZip) | FreshBit));

  std::map<std::string, StoredRecord> before = StoredRecords(old);
  for (const std::string& packed : {archive, fresh}) {
    std::map<std::string, StoredRecord> after = StoredRecords(FileText(packed));
    for (const UpdateRow& row : UpdateRows) {
      SCOPED_TRACE(packed + ": " + row.stored);
      bool kept = row.change != Change::Absent || packed == archive;
      ASSERT_EQ(kept, after.count(row.stored) == 1);
      bool copied = row.change == Change::Unchanged || row.change == Change::Absent;
      EXPECT_TRUE(!kept || copied == (after[row.stored].local == before[row.stored].local));
    }
  }
  for (const UpdateRow& row : UpdateRows) {
    if (row.change == Change::Absent) {
      ASSERT_TRUE(MoveFileA(aside.c_str(), (root + "\\" + row.path).c_str()));
    }
  }
  DeleteFileA(fresh.c_str());
}

namespace {

// Rewrites a file at the same size, one bit flipped, and sets its modification time back.
void RewriteInPlace(const std::string& path) {
  std::string text = FileText(path);
  WIN32_FILE_ATTRIBUTE_DATA before;
  ASSERT_TRUE(GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &before));
  text[0] ^= 1;
  ASSERT_TRUE(WriteFileBytes(path, text));
  HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0,
                         nullptr);
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &before.ftLastWriteTime));
  CloseHandle(h);
}

// A file replaced by a copy of itself: another file, with the same content and time.
void ReplaceByCopy(const std::string& path) {
  const std::string copy = path + ".copy";
  ASSERT_TRUE(CopyFileA(path.c_str(), copy.c_str(), FALSE));
  ASSERT_TRUE(MoveFileExA(copy.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
}

}  // namespace

// A file the last pack saw is known unchanged from its identity, size and both times and is
// not opened again: held by an editor that shares nothing, it still goes into the archive.
// What the record cannot vouch for is read, as without one: a file changed at the same size
// and time, one replaced by a copy, every file once the archive was replaced by anyone else.
TEST_F(LibraryTest, UpdatesKnowUnchangedFilesFromTheLastPack) {
  struct Row {
    const char* fixture;
    int format;
    bool rewrite;         // readme.txt changed at the same size and time
    bool copy;            // binary.bin replaced by a copy of itself
    bool archiveCopy;     // the archive replaced by a copy of itself
    bool hold;            // readme.txt held open during the pack
    int packed;
  };
  const Row rows[] = {
      {"7zz-utf8.zip", FormatZip, true, false, false, false, 1},
      {"7zz-utf8.zip", FormatZip, false, true, false, false, 1},
      {"7zz-utf8.zip", FormatZip, false, false, false, true, 1},
      {"7zz-utf8.zip", FormatZip, true, false, false, true, 0},
      {"7zz-utf8.zip", FormatZip, false, false, true, true, 0},
      {"7zz.7z", FormatSevenZip, false, false, false, true, 1},
      {"7zz.7z", FormatSevenZip, true, false, false, true, 0},
      {"7zz.7z", FormatSevenZip, true, false, false, false, 1},
  };
  int index = 0;
  for (const Row& row : rows) {
    const std::string name = std::to_string(++index), archive = temp_ / (name + row.fixture);
    SCOPED_TRACE(archive);
    ASSERT_TRUE(CopyFileA(Fixture(row.fixture).c_str(), archive.c_str(), FALSE));
    const std::string root = ExtractInto(archive, temp_ / name), readme = root + "\\readme.txt";
    // Files written within a tick of the file system's clock before a pack are left to
    // their CRC-32 at the next one.
    Sleep(300);
    ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(row.format)));
    const std::string first = FileText(archive);
    if (row.rewrite) RewriteInPlace(readme);
    if (row.copy) ReplaceByCopy(root + "\\binary.bin");
    if (row.archiveCopy) ReplaceByCopy(archive);
    {
      Held held(row.hold ? readme : std::string());
      EXPECT_EQ(row.packed, Pac(archive.c_str(), Slash(root).c_str(), PackKind(row.format)));
    }
    if (!row.packed) {
      EXPECT_EQ(ReasonFileUnreadable, LastReport().reason);
      EXPECT_NE(nullptr, strstr(LastReport().subject, "readme.txt"));
      EXPECT_TRUE(first == FileText(archive));
      continue;
    }
    EXPECT_EQ(FileText(readme), ArchiveContents(archive)["readme.txt"]);
    if (row.format == FormatZip) {
      std::map<std::string, StoredRecord> before = StoredRecords(first);
      EXPECT_TRUE(before["binary.bin"].local == StoredRecords(FileText(archive))["binary.bin"].local);
    }
  }
}

// Over an encrypted ZIP what changed is written encrypted with the archive's method (a large
// file too, streamed), what did not is copied as it was, and a second pack copies it all;
// without the password, or with a wrong one, nothing is written. The Linux tools test the
// results with the password (tools_check.py packed).
TEST_F(LibraryTest, ZipUpdateOverAnEncryptedZipEncryptsWithItsMethod) {
  const std::string packed = WinePath(VESSIKO_PACKED_DIR);
  struct Row {
    const char* file;
    const char* password;
    LibraryReason reason;
    bool aes;
    int format;
  };
  const Row rows[] = {
      {"infozip-zipcrypto.zip", "tembrook", ReasonNone, false, FormatZip},
      {"7zz-zipcrypto.zip", "tembrook", ReasonNone, false, FormatZip},
      {"7zz-aes256.zip", "tembrook", ReasonNone, true, FormatZip},
      {"7zz-aes256.zip", nullptr, ReasonPasswordNeeded, true, FormatZip},
      {"infozip-zipcrypto.zip", "wrong", ReasonWrongPassword, false, FormatZip},
      {"7zz-zipcrypto.zip", "tembrook", ReasonPasswordProtected, false, FormatTar}};
  std::string large;
  for (int line = 0; large.size() <= 5 << 20; ++line) {
    large += "line " + std::to_string(line) + "\n";
  }
  CreateDirectoryA(packed.c_str(), nullptr);
  int index = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.file) + " " + (row.password ? row.password : "(none)"));
    const std::string old = FileText(Fixture(row.file)), root = temp_ / std::to_string(++index);
    const std::string archive = row.reason == ReasonNone ? packed + "\\encrypted-" + row.file
                                                         : temp_ / row.file;
    ASSERT_TRUE(WriteFileBytes(archive, old));
    ASSERT_EQ(1, SetPassword("tembrook"));
    ExtractInto(archive, root);
    ASSERT_TRUE(WriteFileBytes(root + "\\readme.txt", "changed") &&
                WriteFileBytes(root + "\\added.txt", large));
    SetPassword(row.password);
    int written = Pac(archive.c_str(), Slash(root).c_str(), PackKind(row.format));
    EXPECT_EQ(row.reason == ReasonNone, written);
    EXPECT_EQ(row.reason, LastReport().reason);
    if (row.reason != ReasonNone) {
      EXPECT_TRUE(old == FileText(archive));
      continue;
    }
    const std::string first = FileText(archive);
    std::map<std::string, StoredRecord> before = StoredRecords(old), after = StoredRecords(first);
    ASSERT_EQ(before.size() + 1, after.size());
    for (const auto& [name, record] : after) {
      if (name.back() == '/') continue;
      EXPECT_TRUE(record.flags & 1) << name;
      EXPECT_EQ(row.aes, record.method == 99) << name;
      EXPECT_TRUE(!row.aes || record.crc == 0) << name;  // AE-2 keeps it to itself
    }
    EXPECT_TRUE(before["binary.bin"].local == after["binary.bin"].local);
    // Before any extraction of it: what the pack wrote is known from the pack itself.
    ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(FormatZip)));
    EXPECT_TRUE(first == FileText(archive));
    ExpectSameTree(root, ExtractInto(archive, temp_ / (std::to_string(index) + "-out")));
  }
  SetPassword(nullptr);
}

// A learned AE-2 CRC-32 vouches only for the entry it was learned from: over an archive that
// another program replaced since, the drive's file is written anew, never the new archive's
// entry of that name and size kept in its place.
TEST_F(LibraryTest, ZipUpdateOverAReplacedAesArchiveKeepsTheDrivesFiles) {
  const std::string archive = temp_ / "a.zip", other = temp_ / "b.zip";
  const std::string fixture = FileText(Fixture("7zz-aes256.zip"));
  ASSERT_TRUE(WriteFileBytes(archive, fixture) && WriteFileBytes(other, fixture));
  ASSERT_EQ(1, SetPassword("tembrook"));
  const std::string root = ExtractInto(archive, temp_ / "a");
  const std::string edited = ExtractInto(other, temp_ / "b");
  std::string binary = FileText(edited + "\\binary.bin");
  binary[0] ^= 1;
  ASSERT_TRUE(WriteFileBytes(edited + "\\binary.bin", binary));
  ASSERT_EQ(1, Pac(other.c_str(), Slash(edited).c_str(), PackKind(FormatZip)));
  ASSERT_TRUE(CopyFileA(other.c_str(), archive.c_str(), FALSE));
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(FormatZip)));
  ExpectSameTree(root, ExtractInto(archive, temp_ / "out"));
  SetPassword(nullptr);
}
