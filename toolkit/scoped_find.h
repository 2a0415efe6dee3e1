// A folder listing handle (FindFirstFileA) that is closed on every return path.
#pragma once

#include <windows.h>

class ScopedFind {
 public:
  ScopedFind(const char* pattern, WIN32_FIND_DATAA* data)
      : handle(FindFirstFileA(pattern, data)) {}
  ~ScopedFind() {
    if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
  }
  ScopedFind(const ScopedFind&) = delete;
  ScopedFind& operator=(const ScopedFind&) = delete;
  HANDLE handle;
};

// "." and "..", which every listing of a folder holds.
inline bool IsDotEntry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}
