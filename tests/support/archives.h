// Trees of files written and read back, archives made and read through the real library
// (loaded on first use, as the program loads it), and a file held open by "another program".
// Header only: the including test links the archive library.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "archive_library.h"
#include "test_support.h"

namespace test {

using Files = std::map<std::string, std::string>;  // relative path ("a\b.txt") -> content

// Writes the files below root, making every missing folder on the way.
inline bool WriteTree(const std::string& root, const Files& files) {
  for (const auto& file : files) {
    std::string path = root + "\\" + file.first;
    for (size_t i = 3; i < path.size(); ++i) {
      if (IsDBCSLeadByte(static_cast<BYTE>(path[i]))) ++i;  // its second byte may be 0x5C
      else if (path[i] == '\\') CreateDirectoryA(path.substr(0, i).c_str(), nullptr);
    }
    if (!WriteFileBytes(path, file.second)) return false;
  }
  return true;
}

// The files below root, folders left out.
inline Files ReadTree(const std::string& root) {
  Files files;
  for (const std::string& name : ListTree(root)) {
    if (name.back() != '\\') ReadFileBytes(root + "\\" + name, &files[name]);
  }
  return files;
}

inline std::string FileText(const std::string& path) {
  std::string text;
  return ReadFileBytes(path, &text) ? text : "<missing>";
}

// A new archive of writable format i (0 ZIP, 1 7z, 2 tar, ...) holding the files.
inline bool MakeArchive(const std::string& archive, const Files& files, int format = 0) {
  TempFolder source("src");
  return LoadDLL() && WriteTree(source.Path(), files) &&
         Pac(archive.c_str(), (source.Path() + "\\").c_str(), PackingKind(ExtractionKind(format)) | FreshBit);
}

// What an archive holds, extracted into a scratch folder.
inline Files ArchiveContents(const std::string& archive) {
  TempFolder target("x");
  ArchiveKind kind = LoadDLL() ? Check(archive.c_str()) : 0;
  if (kind == 0 || !Pac(archive.c_str(), (target.Path() + "\\").c_str(), kind)) return {};
  return ReadTree(target.Path());
}

// An exclusive open for the scope, as another program holding the file would make it.
struct HeldFile {
  HANDLE handle;
  explicit HeldFile(const std::string& path)
      : handle(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {
    EXPECT_NE(INVALID_HANDLE_VALUE, handle) << path;
  }
  ~HeldFile() { CloseHandle(handle); }
};

}  // namespace test
