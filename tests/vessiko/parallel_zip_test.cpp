// ZIP on several threads: packing many entries, files too large to compress in memory and
// data that deflate cannot shrink, and extraction that shares entries between readers but
// still lets the last of two entries of one name win.
#include <random>

#include "vessiko_test_helpers.h"

using namespace vessiko_test;

namespace {

std::string Slash(const std::string& folder) { return folder + "\\"; }

std::string ExtractInto(const std::string& archive, const std::string& folder) {
  ArchiveKind kind = Check(archive.c_str());
  EXPECT_EQ(ExtractKind(0), kind) << archive;
  EXPECT_EQ(1, Pac(archive.c_str(), Slash(folder).c_str(), kind)) << archive;
  return folder;
}

// Many small files in several folders, an empty file and folder, a Japanese name, a file
// larger than the writer compresses in memory, and random bytes that are stored as they are.
void BuildBusyTree(const std::string& root) {
  ASSERT_TRUE(CreateDirectoryA(root.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryA((root + "\\empty").c_str(), nullptr));
  int64_t time = BaseTime;
  for (int folder = 0; folder < 6; ++folder) {
    std::string path = root + "\\folder" + std::to_string(folder);
    ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr));
    for (int file = 0; file < 50; ++file) {
      std::string text;
      for (int line = 0; line < file * 3; ++line) {
        text += "line " + std::to_string(line) + " of file " + std::to_string(file) + "\r\n";
      }
      MakeFile(path + "\\file" + std::to_string(file) + ".txt", text, time += 2);
    }
  }
  MakeFile(root + "\\zero.dat", "", time += 2);
  MakeFile(root + "\\日本語の名前.txt", "本文\r\n", time += 2);
  std::string large;
  for (int i = 0; large.size() < 6 * 1024 * 1024; ++i) large += "row " + std::to_string(i) + "\n";
  MakeFile(root + "\\large.txt", large, time += 2);
  std::mt19937 random(7);
  std::string noise(300 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(random());
  MakeFile(root + "\\noise.bin", noise, time += 2);
}

}  // namespace

TEST_F(LibraryTest, ZipOfManyLargeAndIncompressibleFilesExtractsIdentically) {
  test::TempFolder temp("busy");
  std::string root = temp / "root";
  BuildBusyTree(root);
  std::string archive = temp / "busy.zip";
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(root).c_str(), PackKind(0)));
  ExpectSameTree(root, ExtractInto(archive, temp / "out"), true);

  // An update rewrites what the old archive still holds, the large file among it.
  std::string smaller = temp / "smaller";
  ASSERT_TRUE(CreateDirectoryA(smaller.c_str(), nullptr));
  MakeFile(smaller + "\\zero.dat", "now with content", BaseTime);
  ASSERT_EQ(1, Pac(archive.c_str(), Slash(smaller).c_str(), PackKind(0)));
  ASSERT_TRUE(test::WriteFileBytes(root + "\\zero.dat", "now with content"));
  ASSERT_TRUE(SetModifiedTime(root + "\\zero.dat", BaseTime));
  ExpectSameTree(root, ExtractInto(archive, temp / "updated"), true);
}

TEST_F(LibraryTest, ZipEntriesOfOneNameLeaveTheLastOneWhicheverReaderTakesThem) {
  test::TempFolder temp("dups");
  std::string out = ExtractInto(FixturePath("duplicates.zip"), temp / "out");
  for (int pair = 0; pair < 32; ++pair) {
    EXPECT_EQ("second", ReadBytes(out + "\\dup" + std::to_string(pair) + ".txt")) << pair;
  }
  EXPECT_EQ(32u + 1u + 61u, test::ListTree(out).size());
}

TEST(PackedForTools, WritesAZipOfManyEntriesForTheLinuxTools) {
  // check_packed.py then has unzip, 7zz and bsdtar read it; the folder is this test's own.
  ASSERT_EQ(1, LoadDLL());
  std::string folder = PackedDir() + "-busy";
  test::RemoveTree(folder);
  ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
  BuildBusyTree(folder + "\\tree");
  std::string archive = folder + "\\busy.zip";
  EXPECT_EQ(1, Pac(archive.c_str(), Slash(folder + "\\tree").c_str(), PackKind(0) | FreshBit));
  ReleaseDLL();
}
