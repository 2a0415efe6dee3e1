#include "test_support.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>

namespace test {

std::string WinePath(const char* unixPath) {
  std::string path = "Z:";
  path += unixPath;
  std::replace(path.begin(), path.end(), '/', '\\');
  return path;
}

std::string OutDir() { return WinePath(TEST_OUT_DIR); }
std::string DataDir() { return WinePath(TEST_DATA_DIR); }
std::string BinDir() { return WinePath(TEST_BIN_DIR); }

TempFolder::TempFolder(const char* tag) {
  char base[MAX_PATH];
  DWORD n = GetTempPathA(sizeof base, base);
  if (n == 0 || n >= sizeof base) lstrcpyA(base, "C:\\");
  static unsigned counter = 0;
  for (;;) {
    char name[MAX_PATH];
    snprintf(name, sizeof name, "%stb-%s-%lu-%u", base, tag, GetCurrentProcessId(), counter++);
    if (CreateDirectoryA(name, nullptr)) {
      path_ = name;
      break;
    }
  }
}

TempFolder::~TempFolder() { RemoveTree(path_); }

bool WriteFileBytes(const std::string& path, const std::string& bytes) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  BOOL ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(h);
  return ok && written == bytes.size();
}

bool ReadFileBytes(const std::string& path, std::string* bytes) {
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bytes->clear();
  char buffer[65536];
  DWORD got = 0;
  while (ReadFile(h, buffer, sizeof buffer, &got, nullptr) && got > 0) bytes->append(buffer, got);
  CloseHandle(h);
  return true;
}

bool PathExists(const std::string& path) {
  return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool IsDirectory(const std::string& path) {
  DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

void RemoveTree(const std::string& path) {
  if (path.empty()) return;
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((path + "\\*").c_str(), &data);
  if (find != INVALID_HANDLE_VALUE) {
    do {
      std::string name = data.cFileName;
      if (name == "." || name == "..") continue;
      std::string child = path + "\\" + name;
      SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
          !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        RemoveTree(child);
      } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveDirectoryA(child.c_str());
      } else {
        DeleteFileA(child.c_str());
      }
    } while (FindNextFileA(find, &data));
    FindClose(find);
  }
  SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  RemoveDirectoryA(path.c_str());
}

static void ListInto(const std::string& root, const std::string& prefix,
                     std::vector<std::string>* out) {
  WIN32_FIND_DATAA data;
  HANDLE find = FindFirstFileA((root + "\\" + prefix + "*").c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = data.cFileName;
    if (name == "." || name == "..") continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      out->push_back(prefix + name + "\\");
      ListInto(root, prefix + name + "\\", out);
    } else {
      out->push_back(prefix + name);
    }
  } while (FindNextFileA(find, &data));
  FindClose(find);
}

std::vector<std::string> ListTree(const std::string& root) {
  std::vector<std::string> out;
  ListInto(root, "", &out);
  std::sort(out.begin(), out.end());
  return out;
}

bool LetterPresent(int letter) { return (GetLogicalDrives() >> letter) & 1; }

bool WaitForLetter(int letter, bool present, DWORD milliseconds) {
  DWORD start = GetTickCount();
  for (;;) {
    if (LetterPresent(letter) == present) return true;
    if (GetTickCount() - start > milliseconds) return false;
    Sleep(5);
  }
}

int RunProcess(const std::string& commandLine, DWORD timeoutMs) {
  STARTUPINFOA si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  std::vector<char> line(commandLine.begin(), commandLine.end());
  line.push_back('\0');
  if (!CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &si, &pi)) {
    return -1;
  }
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(pi.hProcess, &code);
  } else {
    TerminateProcess(pi.hProcess, 1);
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

int RunMapDrive(const std::string& arguments) {
  return RunProcess("\"" + OutDir() + "\\mapdrive.exe\" " + arguments);
}

void ForceUnmap(char letter) {
  int index = letter - 'A';
  if (!LetterPresent(index)) return;
  char args[8];
  snprintf(args, sizeof args, "%c: /D", letter);
  RunMapDrive(args);
  WaitForLetter(index, false, 3000);
}

MappedLetter::MappedLetter(char letter, const std::string& folder) : letter_(letter), ok_(false) {
  char args[16];
  snprintf(args, sizeof args, "%c: ", letter);
  int code = RunMapDrive(std::string(args) + "\"" + folder + "\"");
  ok_ = code == 0 && WaitForLetter(letter - 'A', true, 3000);
  EXPECT_TRUE(ok_) << "could not map " << letter << ": onto " << folder << " (exit " << code << ")";
}

MappedLetter::~MappedLetter() { ForceUnmap(letter_); }

}  // namespace test
