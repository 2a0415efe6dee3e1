// Shared helpers of the engine tests: archives made through the real library, the
// messages a table would have shown, and a working folder that holds the batch files.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <map>
#include <string>
#include <vector>

#include "archive_library.h"
#include "bounded_text.h"
#include "drive_table.h"
#include "test_support.h"

namespace enginetest {

constexpr uint8_t Index(char letter) { return static_cast<uint8_t>(letter - 'A'); }

// The library's packing kind for writable format i (0 ZIP, 1 7z, 2 tar, ...).
constexpr ArchiveKind PackingKind(int format) { return 0x40000000u | (1u << format); }

using Files = std::map<std::string, std::string>;  // relative path ("a\b.txt") -> content

// The exit notices the table under test gave, in order: "kept R: <folder>", "not emptied
// R:", "root not moved".
inline std::vector<std::string>& Messages() {
  static std::vector<std::string> messages;
  return messages;
}
inline void CollectMessage(EngineNotice notice, uint8_t letter, const char* folder) {
  std::string drive = std::string(1, static_cast<char>('A' + letter)) + ":";
  switch (notice) {
    case EngineNotice::ChangesKept: Messages().push_back("kept " + drive + " " + folder); break;
    case EngineNotice::FolderNotEmptied: Messages().push_back("not emptied " + drive); break;
    case EngineNotice::RootNotMoved: Messages().push_back("root not moved"); break;
    case EngineNotice::TimedWriteBackFailed: Messages().push_back("tick failed " + drive); break;
  }
}

inline bool WriteTree(const std::string& root, const Files& files) {
  for (const auto& entry : files) {
    std::string path = root + "\\" + entry.first;
    // Every missing folder on the way, the root's own included (past the "X:\").
    for (size_t i = 3; i < path.size(); ++i) {
      if (path[i] == '\\') CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    }
    if (!test::WriteFileBytes(path, entry.second)) return false;
  }
  return true;
}

inline Files ReadTree(const std::string& root) {
  Files files;
  for (const std::string& name : test::ListTree(root)) {
    if (name.back() == '\\') continue;
    std::string content;
    test::ReadFileBytes(root + "\\" + name, &content);
    files[name] = content;
  }
  return files;
}

// Packs the files into a new archive of the given format through the library, which must
// have been loaded.
inline bool MakeArchive(const std::string& archive, const Files& files, int format = 0) {
  test::TempFolder source("src");
  if (!WriteTree(source.Path(), files)) return false;
  return Pac(archive.c_str(), (source.Path() + "\\").c_str(), PackingKind(format)) != 0;
}

// What an archive holds, extracted through the library into a scratch folder.
inline Files ArchiveContents(const std::string& archive) {
  test::TempFolder target("x");
  ArchiveKind kind = Check(archive.c_str());
  EXPECT_NE(0u, kind) << archive;
  if (kind == 0 || !Pac(archive.c_str(), (target.Path() + "\\").c_str(), kind)) return Files();
  return ReadTree(target.Path());
}

inline std::string FileText(const std::string& path) {
  std::string text;
  if (!test::ReadFileBytes(path, &text)) return "<missing>";
  return text;
}

// An exclusive open, as another program holding the file would make it.
class HeldFile {
 public:
  explicit HeldFile(const std::string& path)
      : handle(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr)) {
    EXPECT_NE(INVALID_HANDLE_VALUE, handle) << path;
  }
  ~HeldFile() { Release(); }
  void Release() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    handle = INVALID_HANDLE_VALUE;
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  HANDLE handle;
};

// The tests run where the batch files and the helper lie, as the program runs in its own
// folder; the letters they may use (R..W) are unmapped again whatever happened.
class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Messages().clear();
    GetCurrentDirectoryA(sizeof savedDirectory_, savedDirectory_);
    ASSERT_TRUE(SetCurrentDirectoryA(test::BinDir().c_str()));
    for (char letter = 'R'; letter <= 'W'; ++letter) {
      if (!test::LetterPresent(letter - 'A')) ours_ |= 1u << (letter - 'A');
      ASSERT_FALSE(test::LetterPresent(letter - 'A')) << letter << ": is in use";
    }
  }
  void TearDown() override {
    for (char letter = 'R'; letter <= 'W'; ++letter) {
      if ((ours_ >> (letter - 'A')) & 1) test::ForceUnmap(letter);
    }
    SetCurrentDirectoryA(savedDirectory_);
  }

  // The drive folder of a letter under a root.
  static std::string DriveFolder(const std::string& root, char letter) {
    return root + "\\Drive\\" + std::string(1, letter);
  }

  char savedDirectory_[MAX_PATH] = {};
  uint32_t ours_ = 0;  // letters that were free at the start: only these are unmapped
};

}  // namespace enginetest
