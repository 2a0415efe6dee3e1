// The tests' support library: scratch folders that are removed, drive letters that are always
// unmapped, and acting inside this thread's modal loops (window finders, scripts run from a
// timer that close and record the program's message boxes).
#pragma once

#include <windows.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

namespace test {

inline std::string WinePath(std::string path) {  // a build path as Wine shows it, through Z:
  std::replace(path.begin(), path.end(), '/', '\\');
  return "Z:" + path;
}
inline std::string BinDir() { return WinePath(TEST_BIN_DIR); }  // the test executables
inline std::string DataDir() { return WinePath(TEST_DATA_DIR); }  // tests/data

// Deletes a folder tree, clearing read-only attributes first; never enters a junction.
void RemoveTree(const std::string& path);

// A fresh folder under the system's temporary folder, removed with all it holds at the end.
struct TempFolder {
  explicit TempFolder(const char* tag = "t");
  ~TempFolder() { RemoveTree(path); }
  TempFolder(const TempFolder&) = delete;
  const std::string& Path() const { return path; }
  std::string operator/(const std::string& name) const { return path + "\\" + name; }
  std::string path;
};

inline bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  return std::ofstream(path, std::ios::binary).write(bytes.data(), bytes.size()).flush().good();
}
inline bool ReadFileBytes(const std::string& path, std::string* bytes) {
  std::ifstream in(path, std::ios::binary);
  bytes->assign(std::istreambuf_iterator<char>(in), {});
  return in.is_open();
}
inline DWORD Attributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }
inline bool PathExists(const std::string& path) { return Attributes(path) != ~DWORD(0); }
inline bool IsDirectory(const std::string& p) { return PathExists(p) && (Attributes(p) & 0x10); }
// Every file and folder below root ("a\b.txt", folders end with "\"), sorted.
std::vector<std::string> ListTree(const std::string& root);

inline bool LetterPresent(int letter) { return (GetLogicalDrives() >> letter) & 1; }  // 0 = A:
bool WaitForLetter(int letter, bool present, DWORD milliseconds);
int RunProcess(std::string commandLine, DWORD timeout = 60000);  // its exit code
void ForceUnmap(char letter);  // unmaps it if present (the project's helper), waits till gone

// A letter mapped onto a folder for the scope (the test fails when it cannot be).
struct MappedLetter {
  MappedLetter(char letter, const std::string& folder);
  ~MappedLetter() { ForceUnmap(letter); }
  MappedLetter(const MappedLetter&) = delete;
  bool Ok() const { return ok; }
  char letter;
  bool ok;
};

inline std::string TextOf(HWND w) { char t[1024] = ""; GetWindowTextA(w, t, sizeof t); return t; }
// This thread's visible top-level windows for which match is true, topmost first.
std::vector<HWND> ThreadWindows(const std::function<bool(HWND)>& match);
inline auto Captioned(std::string c) { return [c](HWND w) { return TextOf(w) == c; }; }
inline bool IsMessageBox(HWND w) { return TextOf(w) == "Tembrook" && GetDlgItem(w, IDOK); }
inline bool IsDropBar(HWND w) {  // a window without caption that accepts files
  return TextOf(w).empty() && (GetWindowLongA(w, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
}

struct Shown { HWND owner; std::string text; };  // a message shown, and the window owning it

// Acts inside this thread's modal loops (dialogs, menus, message boxes) from a thread timer
// they dispatch. Every "Tembrook" message box is recorded into boxes and closed; the steps
// run in order, each once, on the first tick that finds a window it matches.
struct ModalScript {
  ModalScript() : timer(SetTimer(nullptr, 0, 20, Tick)) { active = this; }
  ~ModalScript() { KillTimer(nullptr, timer), active = nullptr; }
  ModalScript(const ModalScript&) = delete;
  void Then(std::function<bool(HWND)> match, std::function<void(HWND)> act) {
    steps.emplace_back(std::move(match), std::move(act));
  }
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);
  static inline ModalScript* active = nullptr;  // one script at a time
  UINT_PTR timer;
  std::deque<std::pair<std::function<bool(HWND)>, std::function<void(HWND)>>> steps;
  std::vector<Shown> boxes;
};

}  // namespace test
