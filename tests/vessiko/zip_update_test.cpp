// ZIP updates that copy what did not change: the local records of unchanged and absent
// entries come over byte for byte from an archive 7-Zip made (its records differ from the
// ones this library writes), while what changed is compressed anew.
#include <algorithm>
#include <map>

#include "vessiko_test_helpers.h"

using namespace vessiko_test;

namespace {

std::string Slash(const std::string& folder) { return folder + "\\"; }

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

TEST(PackedForTools, ZipUpdateCopiesUnchangedAndAbsentEntriesAsTheyAre) {
  // check_packed.py then has unzip, 7zz and bsdtar read updated.zip against root.
  ASSERT_EQ(1, LoadDLL());
  std::string folder = PackedDir() + "-update";
  test::RemoveTree(folder);
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  std::string old = ReadBytes(FixturePath("7zz-utf8.zip"));
  std::string archive = folder + "\\updated.zip";
  std::string root = folder + "\\root";
  std::string aside = folder + "\\absent";
  ASSERT_TRUE(test::WriteFileBytes(archive, old));
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), ExtractKind(0)));
  // The drive: one file changed, one added, one gone (kept aside, so that root can show
  // the tools what the updated archive holds).
  for (const UpdateRow& row : UpdateRows) {
    std::string path = root + "\\" + row.path;
    if (row.change == Change::Changed || row.change == Change::Added) {
      MakeFile(path, std::string("new ") + row.stored, BaseTime + 100);
    } else if (row.change == Change::Absent) {
      ASSERT_TRUE(MoveFileA(path.c_str(), aside.c_str())) << path;
    }
  }
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(0)));
  std::string fresh = folder + "\\fresh.zip";
  ASSERT_TRUE(test::WriteFileBytes(fresh, old));
  ASSERT_EQ(1, Pac(fresh.c_str(), Slash(root).c_str(), PackKind(0) | FreshBit));

  std::map<std::string, std::string> before = LocalRecords(old);
  for (const std::string& packed : {archive, fresh}) {
    std::map<std::string, std::string> after = LocalRecords(ReadBytes(packed));
    for (const UpdateRow& row : UpdateRows) {
      SCOPED_TRACE(packed + ": " + row.stored);
      bool kept = row.change != Change::Absent || packed == archive;
      ASSERT_EQ(kept, after.count(row.stored) == 1);
      bool copied = row.change == Change::Unchanged || row.change == Change::Absent;
      if (kept) {
        EXPECT_EQ(copied, after[row.stored] == before[row.stored]);
      }
    }
  }
  for (const UpdateRow& row : UpdateRows) {
    if (row.change == Change::Absent) {
      ASSERT_TRUE(MoveFileA(aside.c_str(), (root + "\\" + row.path).c_str()));
    }
  }
  ReleaseDLL();
}

TEST_F(LibraryTest, ZipUpdatePacksAFileChangedAtTheSameSizeAndTime) {
  // Times never decide that a file is unchanged: its CRC-32 does.
  test::TempFolder temp("crc");
  std::string archive = temp / "a.zip";
  std::string root = temp / "root";
  ASSERT_TRUE(CopyFileA(FixturePath("7zz-utf8.zip").c_str(), archive.c_str(), FALSE));
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), ExtractKind(0)));
  std::string readme = root + "\\readme.txt";
  std::string text = ReadBytes(readme);
  int64_t time = ModifiedTime(readme);
  text[0] ^= 1;
  MakeFile(readme, text, time);
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(0)));
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(temp / "out").c_str(), ExtractKind(0)));
  EXPECT_EQ(text, ReadBytes(temp / "out\\readme.txt"));
}
