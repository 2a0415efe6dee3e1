#include "file_handle.h"

#include <cstring>

#include "bounded_text.h"

namespace {

// Calls visit(i) for every position i of the text that holds a backslash of its own: the
// trail byte of a double-byte character may have the same value.
template <typename Visit>
void ForEachBackslash(const char* text, Visit visit) {
  for (size_t i = 0; text[i] != '\0'; ++i) {
    if (IsDBCSLeadByte(static_cast<BYTE>(text[i])) && text[i + 1] != '\0') {
      ++i;
    } else if (text[i] == '\\') {
      visit(i);
    }
  }
}

// Position of the last backslash at 1..length-1 (one at position 0 does not count), or 0.
size_t LastBackslash(const char* text) {
  size_t last = 0;
  ForEachBackslash(text, [&last](size_t i) { last = i; });
  return last;
}

// CreateDirectoryPath works on one process-wide scratch copy of the path.
char directoryScratch[MAX_PATH];

}  // namespace

int FileHandle::Open(const char* name, DWORD access) {
  if (handle != nullptr) return 0;
  char copy[256];
  if (!CopyBounded(copy, sizeof copy, name)) return 0;
  if (size_t cut = LastBackslash(copy)) {
    copy[cut] = '\0';
    CreateDirectoryPath(copy);
  }

  DWORD disposition;
  switch (access) {
    case GENERIC_WRITE:
      disposition = CanOpenExclusively(name) ? TRUNCATE_EXISTING : CREATE_ALWAYS;
      break;
    case GENERIC_READ:
      if (!CanOpenExclusively(name)) return 0;
      disposition = OPEN_EXISTING;
      break;
    case GENERIC_READ | GENERIC_WRITE:
      disposition = OPEN_ALWAYS;
      break;
    default:
      return 0;
  }
  HANDLE h = CreateFileA(name, access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  handle = h;
  return 1;
}

int FileHandle::Close() {
  int result = 0;
  if (handle != nullptr) result = CloseHandle(handle) ? 1 : 0;
  handle = nullptr;
  return result;
}

int CanOpenExclusively(const char* name) {
  HANDLE h = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(h);
  return 1;
}

int CreateDirectoryPath(const char* path) {
  size_t length = path ? strlen(path) : 0;
  if (length == 0 || path[0] == '\\' || EndsWithBackslash(path)) return 0;
  if (!CopyBounded(directoryScratch, sizeof directoryScratch, path)) return 0;
  ForEachBackslash(path, [](size_t i) {
    if (i == 0 || directoryScratch[i - 1] == ':') return;
    directoryScratch[i] = '\0';
    CreateDirectoryA(directoryScratch, nullptr);
    directoryScratch[i] = '\\';
  });
  CreateDirectoryA(directoryScratch, nullptr);
  return 1;
}

int EndsWithBackslash(const char* text) {
  size_t length = strlen(text);
  return length > 0 && LastBackslash(text) == length - 1;
}

int ExecutableFolder(char* buffer, size_t size) {
  char path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return 0;
  size_t cut = LastBackslash(path);
  if (cut == 0) return 0;
  // "X:" alone would name drive X's current directory, not its root: keep the backslash.
  path[path[cut - 1] == ':' ? cut + 1 : cut] = '\0';
  return CopyBounded(buffer, size, path);
}

int ExecutableFilePath(const char* name, char* buffer, size_t size) {
  char folder[MAX_PATH];
  if (!ExecutableFolder(folder, sizeof folder)) return 0;
  const char* separator = EndsWithBackslash(folder) ? "" : "\\";
  return FormatBounded(buffer, size, "%s%s%s", folder, separator, name);
}

void EnterExecutableDirectory() {
  char folder[MAX_PATH];
  if (ExecutableFolder(folder, sizeof folder)) SetCurrentDirectoryA(folder);
}
