// The entries of one folder, one at a time, "." and ".." left out. The find handle is
// closed on every return path.
#pragma once

#include <windows.h>

class FolderWalk {
 public:
  WIN32_FIND_DATAA data;      // the current entry
  int complete = 0;           // 1 once the walk has seen every entry
  HANDLE handle = INVALID_HANDLE_VALUE;

  explicit FolderWalk(const char* folder);
  ~FolderWalk();
  FolderWalk(const FolderWalk&) = delete;
  FolderWalk& operator=(const FolderWalk&) = delete;

  // Moves to the next entry; 0 at the end, and when the folder could not be listed (a
  // missing folder, a path that does not fit, a walk cut short: `complete` stays 0).
  int Next();

 private:
  int started_ = 0;
};

// 1 when the folder exists and holds at least one file or folder.
int FolderHoldsSomething(const char* folder);
