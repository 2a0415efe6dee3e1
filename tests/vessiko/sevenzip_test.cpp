// 7z packing: what the library packs is read back by 7zz, bsdtar and the library itself, and
// an update copies the blocks of the old archive whose files are unchanged. The Linux tools
// run in a folder of the build whose Unix path the test knows.
#include <cstdlib>
#include <map>
#include <set>
#include <sstream>

#include "vessiko_tests.h"

namespace {

bool SetModified(const std::string& path, int64_t seconds) {
  ULARGE_INTEGER ticks;
  ticks.QuadPart = (seconds + 11644473600ull) * 10000000ull;
  FILETIME time = {ticks.LowPart, ticks.HighPart};
  HANDLE h = CreateFileA(path.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  bool set = SetFileTime(h, nullptr, nullptr, &time) != 0;
  CloseHandle(h);
  return set;
}

const ArchiveKind SevenZipPack = PackKind(FormatSevenZip);

// A scratch folder of this test's own below the build, known both to Wine and to Linux.
struct SharedFolder {
  std::string unix, windows;
  explicit SharedFolder(const char* tag)
      : unix(std::string(VESSIKO_PACKED_DIR) + "-sevenzip-" + tag),
        windows(test::WinePath(unix.c_str())) {
    test::RemoveTree(windows);
    EXPECT_TRUE(CreateDirectoryA(windows.c_str(), nullptr)) << windows;
  }
  ~SharedFolder() { test::RemoveTree(windows); }
  std::string operator/(const std::string& name) const { return windows + "\\" + name; }
};

// Runs a shell command on Linux and returns its exit code, -1 when it did not end in time.
// Wine starts a Unix program but neither waits for it nor passes its exit code on: the
// shell writes the code into a file, and the test waits for that file.
int RunLinux(const SharedFolder& folder, const std::string& command, std::string* output) {
  std::string rc = folder.unix + "/rc";
  DeleteFileA((folder / "rc").c_str());
  std::string line = "Z:\\bin\\sh -c \"export PATH=/usr/bin:/bin LANG=C.UTF-8 LC_ALL=C.UTF-8; "
                     "cd '" + folder.unix +
                     "' && ( " + command + ") >out.txt 2>&1; echo $? >rc.tmp; mv rc.tmp rc\"";
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process;
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return -1;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int waited = 0; waited < 120000; waited += 50) {
    std::string code;
    if (test::ReadFileBytes(folder / "rc", &code) && !code.empty()) {
      test::ReadFileBytes(folder / "out.txt", output);
      return atoi(code.c_str());
    }
    Sleep(50);
  }
  return -1;
}

// The blocks of a 7z as 7zz lists them: the files of each, and its packed bytes, which lie
// one after the other behind the 32-byte start header.
std::map<std::set<std::string>, std::string> BlocksOf(const SharedFolder& folder,
                                                      const std::string& archive) {
  std::string listing;
  EXPECT_EQ(0, RunLinux(folder, "7zz l -slt " + archive, &listing)) << listing;
  std::map<int, std::set<std::string>> files;
  std::map<int, uint64_t> packed;
  size_t items = listing.find("\n----------");
  EXPECT_NE(std::string::npos, items) << listing;
  std::istringstream lines(items == std::string::npos ? "" : listing.substr(items));
  std::string line, path, packedSize;
  while (std::getline(lines, line)) {
    if (line.rfind("Path = ", 0) == 0) path = line.substr(7);
    if (line.rfind("Packed Size = ", 0) == 0) packedSize = line.substr(14);
    if (line.rfind("Block = ", 0) == 0 && line.size() > 8) {
      int block = atoi(line.c_str() + 8);
      files[block].insert(path);
      if (!packedSize.empty()) packed[block] = std::strtoull(packedSize.c_str(), nullptr, 10);
    }
  }
  std::string bytes = FileText(folder / archive);
  std::map<std::set<std::string>, std::string> blocks;
  uint64_t offset = 32;
  for (const auto& block : packed) {
    blocks[files[block.first]] = bytes.substr(offset, block.second);
    offset += block.second;
  }
  EXPECT_EQ(files.size(), blocks.size());
  return blocks;
}

}  // namespace

TEST_F(LibraryTest, SevenZipIsReadBackByEveryReader) {
  SharedFolder folder("full");
  SampleTree(folder / "root");
  ASSERT_EQ(1, Pac((folder / "packed.7z").c_str(), (folder / "root\\").c_str(), SevenZipPack));
  const struct {
    const char* reader;
    const char* command;  // empty: the library extracts
  } readers[] = {
      {"7zz", "7zz t packed.7z && mkdir out-7zz && cd out-7zz && 7zz x ../packed.7z"},
      {"bsdtar", "bsdtar -tvf packed.7z && mkdir out-bsdtar && cd out-bsdtar && "
                 "bsdtar -xf ../packed.7z"},
      {"library", ""},
  };
  for (const auto& r : readers) {
    SCOPED_TRACE(r.reader);
    std::string out = folder / (std::string("out-") + r.reader);
    std::string output;
    if (r.command[0] != '\0') {
      ASSERT_EQ(0, RunLinux(folder, r.command, &output)) << output;
    } else {
      ASSERT_EQ(1, Pac((folder / "packed.7z").c_str(), (out + "\\").c_str(), ExtractionKind(FormatSevenZip)));
    }
    ExpectSameTree(folder / "root", out);
  }
}

TEST_F(LibraryTest, SevenZipUpdateCopiesTheBlocksOfUnchangedFiles) {
  // 7zz makes the old archive, two files to a block: blocks that come out byte for byte
  // the same were copied, not compressed again by the library.
  const char* const changed = "readme.txt";
  const struct {
    const char* change;
    ArchiveKind kind;
    bool blockCopied;  // the block of the file changed
  } rows[] = {
      {"content, same size and time", SevenZipPack, false},
      {"time only", SevenZipPack, true},
      {"deleted, kept by the update", SevenZipPack, true},
      {"deleted, fresh", SevenZipPack | FreshBit, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.change);
    SharedFolder folder("update");
    std::string root = folder / "root";
    SampleTree(root);
    std::string output;
    ASSERT_EQ(0, RunLinux(folder, "cd root && 7zz a -ms=2f ../old.7z '*'", &output)) << output;
    ASSERT_TRUE(CopyFileA((folder / "old.7z").c_str(), (folder / "new.7z").c_str(), FALSE));
    std::string file = root + "\\" + changed;
    std::string change = row.change;
    bool deleted = change.rfind("deleted", 0) == 0;
    if (change.rfind("content", 0) == 0) {
      std::string bytes = FileText(file);
      bytes[0] = 'X';
      int64_t time = ModifiedTime(file);
      ASSERT_TRUE(WriteFileBytes(file, bytes) && SetModified(file, time));
    } else if (change == "time only") {
      ASSERT_TRUE(SetModified(file, ModifiedTime(file) + 5000));
    } else {
      ASSERT_TRUE(test::WriteFileBytes(folder / "kept.txt", FileText(file)));
      ASSERT_TRUE(DeleteFileA(file.c_str()));
    }
    ASSERT_EQ(1, Pac((folder / "new.7z").c_str(), (root + "\\").c_str(), row.kind));

    std::map<std::set<std::string>, std::string> before = BlocksOf(folder, "old.7z");
    std::map<std::set<std::string>, std::string> after = BlocksOf(folder, "new.7z");
    ASSERT_GE(before.size(), 3u);
    for (const auto& block : before) {
      bool copied = after.count(block.first) != 0 && after[block.first] == block.second;
      EXPECT_EQ(block.first.count(changed) == 0 || row.blockCopied, copied)
          << *block.first.begin();
    }
    ASSERT_EQ(0, RunLinux(folder, "7zz t new.7z", &output)) << output;
    std::string out = folder / "out";
    ASSERT_EQ(1, Pac((folder / "new.7z").c_str(), (out + "\\").c_str(), ExtractionKind(FormatSevenZip)));
    if (deleted && !(row.kind & FreshBit)) {
      // The update kept the entry the drive no longer shows.
      EXPECT_TRUE(FileText(folder / "kept.txt") == FileText(out + "\\" + changed));
      ASSERT_TRUE(DeleteFileA((out + "\\" + changed).c_str()));
    }
    EXPECT_TRUE(ReadTree(root) == ReadTree(out));
  }
}
