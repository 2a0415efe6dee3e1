#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace test {

TempFolder::TempFolder(const char* tag) {
  static unsigned counter = 0;
  char base[MAX_PATH];
  GetTempPathA(sizeof base, base);
  do path = base + ("tb-" + std::string(tag)) + "-" + std::to_string(GetCurrentProcessId()) +
            "-" + std::to_string(counter++);
  while (!CreateDirectoryA(path.c_str(), nullptr));
}

// Calls visit with the path and attributes of every entry of a folder but "." and "..".
static void ForEntries(const std::string& folder,
                       const std::function<void(const std::string&, DWORD)>& visit) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &data);
  for (bool more = find != INVALID_HANDLE_VALUE; more; more = FindNextFileA(find, &data)) {
    std::string name = data.cFileName;
    if (name != "." && name != "..") visit(folder + "\\" + name, data.dwFileAttributes);
  }
  if (find != INVALID_HANDLE_VALUE) FindClose(find);
}

void RemoveTree(const std::string& path) {
  ForEntries(path, [](const std::string& child, DWORD attributes) {
    SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) DeleteFileA(child.c_str());
    else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) RemoveDirectoryA(child.c_str());
    else RemoveTree(child);
  });
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryA(path.c_str());
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> out;
  std::function<void(const std::string&, DWORD)> add = [&](const std::string& path, DWORD a) {
    out.push_back(path.substr(root.size() + 1) + (a & FILE_ATTRIBUTE_DIRECTORY ? "\\" : ""));
    if (a & FILE_ATTRIBUTE_DIRECTORY) ForEntries(path, add);
  };
  ForEntries(root, add);
  std::sort(out.begin(), out.end());
  return out;
}

bool WaitForLetter(int letter, bool present, DWORD milliseconds) {
  for (DWORD start = GetTickCount(); LetterPresent(letter) != present; Sleep(5)) {
    if (GetTickCount() - start > milliseconds) return false;
  }
  return true;
}

int RunProcess(std::string commandLine, DWORD timeout) {
  STARTUPINFOA si = {};
  PROCESS_INFORMATION pi = {};
  si.cb = sizeof si;
  DWORD code = static_cast<DWORD>(-1);
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                      nullptr, nullptr, &si, &pi))
    return -1;
  if (WaitForSingleObject(pi.hProcess, timeout) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  else GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread), CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

static int RunMapDrive(const std::string& arguments) {
  return RunProcess("\"" + WinePath(TEST_OUT_DIR) + "\\mapdrive.exe\" " + arguments);
}

void ForceUnmap(char letter) {
  if (LetterPresent(letter - 'A')) RunMapDrive(std::string(1, letter) + ": /D");
  WaitForLetter(letter - 'A', false, 3000);
}

MappedLetter::MappedLetter(char letter, const std::string& folder) : letter(letter) {
  int code = RunMapDrive(std::string(1, letter) + ": \"" + folder + "\"");
  ok = code == 0 && WaitForLetter(letter - 'A', true, 3000);
  EXPECT_TRUE(ok) << "could not map " << letter << ": onto " << folder << " (exit " << code << ")";
}

std::vector<HWND> ThreadWindows(const std::function<bool(HWND)>& match) {
  std::vector<HWND> found;
  for (HWND w = GetTopWindow(nullptr); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
    bool ours = GetWindowThreadProcessId(w, nullptr) == GetCurrentThreadId();
    if (ours && IsWindowVisible(w) && match(w)) found.push_back(w);
  }
  return found;
}

void CALLBACK ModalScript::Tick(HWND, UINT, UINT_PTR, DWORD) {
  for (HWND box : ThreadWindows(IsMessageBox)) {
    active->boxes.push_back({GetWindow(box, GW_OWNER), TextOf(GetDlgItem(box, 0xFFFF))});
    SendMessageA(box, WM_COMMAND, IDOK, 0);  // hidden at once: the next tick finds it gone
  }
  std::vector<HWND> found;
  if (active->steps.empty() || (found = ThreadWindows(active->steps.front().first)).empty()) return;
  // Off the queue first: the step may run a modal loop of its own, which ticks again.
  auto step = std::move(active->steps.front());
  active->steps.pop_front();
  step.second(found[0]);
}

}  // namespace test
