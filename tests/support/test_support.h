// Helpers that keep tests safe on a real system: scratch folders that are removed, drive
// letters that are always unmapped, small file utilities.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace test {

// A Unix path of the build (compile definitions) as Wine shows it, through drive Z:.
std::string WinePath(const char* unixPath);
std::string OutDir();   // the installed-copy folder: Tembrook.exe, Vessiko.dll, batch files
std::string DataDir();  // tests/data
std::string BinDir();   // the folder of the test executables

// A fresh folder under the system's temporary folder, removed with everything in it at
// the end of the scope.
class TempFolder {
 public:
  explicit TempFolder(const char* tag = "t");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool ReadFileBytes(const std::string& path, std::string* bytes);
bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
// Deletes a folder tree, clearing read-only attributes first.
void RemoveTree(const std::string& path);
// Relative paths of every file and folder below root ("a\b.txt", folders end with "\"),
// sorted.
std::vector<std::string> ListTree(const std::string& root);

// True when the letter (0..25) is present in GetLogicalDrives.
bool LetterPresent(int letter);
// Waits up to the given time for the letter to become present (true) or absent (false).
bool WaitForLetter(int letter, bool present, DWORD milliseconds);

// Maps a letter onto a folder with the project's helper for the duration of a scope and
// unmaps it (waiting for it to vanish) at the end. Fails the test when mapping fails.
class MappedLetter {
 public:
  MappedLetter(char letter, const std::string& folder);
  ~MappedLetter();
  MappedLetter(const MappedLetter&) = delete;
  MappedLetter& operator=(const MappedLetter&) = delete;
  bool Ok() const { return ok_; }

 private:
  char letter_;
  bool ok_;
};

// Runs the drive-letter helper from the installed-copy folder and returns its exit code.
int RunMapDrive(const std::string& arguments);

// Runs a command line and returns its exit code (-1 when it could not be started).
int RunProcess(const std::string& commandLine, DWORD timeoutMs = 60000);

// Unmaps a letter if it is present and was mapped by the project's helper (cleanup for
// tests that map letters through the batch files).
void ForceUnmap(char letter);

}  // namespace test
