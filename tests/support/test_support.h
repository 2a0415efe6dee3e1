// The tests' support library: scratch folders that are removed, drive letters that are always
// unmapped, and acting inside this thread's modal loops (window finders, a pump, scripts run
// from a timer, the program's messages caught on their way out).
#pragma once

#include <windows.h>

#include <deque>
#include <functional>
#include <string>
#include <utility>
#include <vector>

extern void (*messageSink)(HWND owner, const char* text);  // the program's, in ui/messages.h

namespace test {

// A Unix path of the build (compile definitions) as Wine shows it, through drive Z:.
std::string WinePath(const char* unixPath);
inline std::string BinDir() { return WinePath(TEST_BIN_DIR); }  // the test executables

// Deletes a folder tree, clearing read-only attributes first; never enters a junction.
void RemoveTree(const std::string& path);

// A fresh folder under the system's temporary folder, removed with all it holds at the end.
class TempFolder {
 public:
  explicit TempFolder(const char* tag = "t");
  ~TempFolder() { RemoveTree(path_); }
  TempFolder(const TempFolder&) = delete;
  const std::string& Path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "\\" + name; }

 private:
  std::string path_;
};

bool WriteFileBytes(const std::string& path, const std::string& bytes);
bool ReadFileBytes(const std::string& path, std::string* bytes);
inline DWORD Attributes(const std::string& path) { return GetFileAttributesA(path.c_str()); }
inline bool PathExists(const std::string& path) { return Attributes(path) != ~DWORD(0); }
inline bool IsDirectory(const std::string& path) {
  return PathExists(path) && (Attributes(path) & FILE_ATTRIBUTE_DIRECTORY);
}
// Every file and folder below root ("a\b.txt", folders end with "\"), sorted.
std::vector<std::string> ListTree(const std::string& root);

inline bool LetterPresent(int letter) { return (GetLogicalDrives() >> letter) & 1; }  // 0 = A:
bool WaitForLetter(int letter, bool present, DWORD milliseconds);
// The command's exit code, -1 when it could not be started.
int RunProcess(const std::string& commandLine, DWORD timeoutMs = 60000);
int RunMapDrive(const std::string& arguments);  // the project's drive-letter helper
void ForceUnmap(char letter);  // when it is present, and waits until it is gone

// A letter mapped onto a folder for the scope (the test fails when it cannot be).
class MappedLetter {
 public:
  MappedLetter(char letter, const std::string& folder);
  ~MappedLetter() { ForceUnmap(letter_); }
  MappedLetter(const MappedLetter&) = delete;
  bool Ok() const { return ok_; }

 private:
  char letter_;
  bool ok_;
};

inline std::string TextOf(HWND w) { char t[1024] = ""; GetWindowTextA(w, t, sizeof t); return t; }
inline std::string ClassOf(HWND w) { char c[64] = ""; GetClassNameA(w, c, sizeof c); return c; }
// This thread's visible top-level windows for which match is true, topmost first.
std::vector<HWND> ThreadWindows(const std::function<bool(HWND)>& match);
inline bool IsMessageBox(HWND w) { return ClassOf(w) == "#32770" && TextOf(w) == "Tembrook"; }
inline bool IsDropBar(HWND w) {  // a dialog without caption that accepts files
  return ClassOf(w) == "#32770" && TextOf(w).empty() &&
         (GetWindowLongA(w, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
}
void Pump(DWORD milliseconds);  // handles this thread's messages for a while

struct Shown {  // a message the program showed, and the window that owned it
  HWND owner;
  std::string text;
};

// Acts inside this thread's modal loops (dialogs, menus, message boxes) from a thread timer
// they dispatch. Every "Tembrook" message box is recorded into boxes and closed; the steps
// run in order, each once, on the first tick that finds a window it matches.
class ModalScript {
 public:
  ModalScript() : timer_(SetTimer(nullptr, 0, 20, Tick)) { active = this; }
  ~ModalScript() { KillTimer(nullptr, timer_), active = nullptr; }
  ModalScript(const ModalScript&) = delete;
  void Then(std::function<bool(HWND)> match, std::function<void(HWND)> act) {
    steps_.emplace_back(std::move(match), std::move(act));
  }
  void Then(const std::string& caption, std::function<void(HWND)> act) {
    Then([caption](HWND w) { return TextOf(w) == caption; }, std::move(act));
  }
  size_t Pending() const { return steps_.size(); }
  std::vector<Shown> boxes;

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD);
  static inline ModalScript* active = nullptr;  // one script at a time
  UINT_PTR timer_;
  std::deque<std::pair<std::function<bool(HWND)>, std::function<void(HWND)>>> steps_;
};

// The program's messages taken through its messageSink for the scope, instead of boxes.
class MessageLog {
 public:
  MessageLog() {
    active = this;
    messageSink = [](HWND owner, const char* text) { active->texts.push_back({owner, text}); };
  }
  ~MessageLog() { messageSink = nullptr; }
  std::vector<Shown> texts;

 private:
  static inline MessageLog* active = nullptr;
};

}  // namespace test
