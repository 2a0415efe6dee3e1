#include "folder_walk.h"

#include "bounded_text.h"

namespace {

bool IsDotEntry(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

FolderWalk::FolderWalk(const char* folder) : data() {
  char pattern[MAX_PATH];
  if (FormatBounded(pattern, sizeof pattern, "%s\\*", folder)) {
    handle = FindFirstFileA(pattern, &data);
  }
}

FolderWalk::~FolderWalk() {
  if (handle != INVALID_HANDLE_VALUE) FindClose(handle);
}

int FolderWalk::Next() {
  if (handle == INVALID_HANDLE_VALUE || complete) return 0;
  do {
    if (started_ && !FindNextFileA(handle, &data)) {
      complete = GetLastError() == ERROR_NO_MORE_FILES;
      // Stops here for good, complete or not.
      FindClose(handle);
      handle = INVALID_HANDLE_VALUE;
      return 0;
    }
    started_ = 1;
  } while (IsDotEntry(data.cFileName));
  return 1;
}

int FolderHoldsSomething(const char* folder) {
  FolderWalk walk(folder);
  return walk.Next();
}
