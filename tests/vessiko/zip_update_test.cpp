// ZIP updates that copy what did not change: the local records of unchanged and absent
// entries come over byte for byte from an archive 7-Zip made (its records differ from the
// ones this library writes), while what changed is compressed anew.
#include <algorithm>
#include <map>

#include "vessiko_tests.h"

namespace {

size_t Little(const std::string& bytes, size_t at, int size) {
  size_t value = 0;
  for (int i = size - 1; i >= 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[at + i]);
  return value;
}

// The local records of a ZIP without a comment, by stored name, each up to the next record
// or the central directory.
std::map<std::string, std::string> LocalRecords(const std::string& zip) {
  std::map<std::string, std::string> records;
  if (zip.size() < 22) return records;
  size_t end = zip.size() - 22;
  size_t directory = Little(zip, end + 16, 4);
  std::vector<std::pair<size_t, std::string>> starts;
  for (size_t i = 0, at = directory; i < Little(zip, end + 10, 2) && at + 46 <= end; ++i) {
    size_t name = Little(zip, at + 28, 2);
    starts.push_back({Little(zip, at + 42, 4), zip.substr(at + 46, name)});
    at += 46 + name + Little(zip, at + 30, 2) + Little(zip, at + 32, 2);
  }
  std::sort(starts.begin(), starts.end());
  for (size_t k = 0; k < starts.size(); ++k) {
    size_t next = k + 1 < starts.size() ? starts[k + 1].first : directory;
    records[starts[k].second] = zip.substr(starts[k].first, next - starts[k].first);
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

  std::map<std::string, std::string> before = LocalRecords(old);
  for (const std::string& packed : {archive, fresh}) {
    std::map<std::string, std::string> after = LocalRecords(FileText(packed));
    for (const UpdateRow& row : UpdateRows) {
      SCOPED_TRACE(packed + ": " + row.stored);
      bool kept = row.change != Change::Absent || packed == archive;
      ASSERT_EQ(kept, after.count(row.stored) == 1);
      bool copied = row.change == Change::Unchanged || row.change == Change::Absent;
      EXPECT_TRUE(!kept || copied == (after[row.stored] == before[row.stored]));
    }
  }
  for (const UpdateRow& row : UpdateRows) {
    if (row.change == Change::Absent) {
      ASSERT_TRUE(MoveFileA(aside.c_str(), (root + "\\" + row.path).c_str()));
    }
  }
  DeleteFileA(fresh.c_str());
}

TEST_F(LibraryTest, ZipUpdatePacksAFileChangedAtTheSameSizeAndTime) {
  // Times never decide that a file is unchanged: its CRC-32 does.
  std::string archive = temp_ / "a.zip", root = temp_ / "root";
  ASSERT_TRUE(CopyFileA(Fixture("7zz-utf8.zip").c_str(), archive.c_str(), FALSE));
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), ExtractionKind(FormatZip)));
  std::string readme = root + "\\readme.txt", text = FileText(readme);
  WIN32_FILE_ATTRIBUTE_DATA before;
  ASSERT_TRUE(GetFileAttributesExA(readme.c_str(), GetFileExInfoStandard, &before));
  text[0] ^= 1;
  ASSERT_TRUE(WriteFileBytes(readme, text));
  HANDLE h = CreateFileA(readme.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &before.ftLastWriteTime));
  CloseHandle(h);
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(FormatZip)));
  EXPECT_EQ(text, ArchiveContents(archive)["readme.txt"]);
}
