#include "file_handle.h"

#include <cstring>

#include "bounded_text.h"

namespace {

// Position of the last backslash at 1..length-1 (one at position 0 does not count), or 0.
size_t LastBackslash(const char* text) {
  for (size_t i = strlen(text); i-- > 1;) {
    if (text[i] == '\\') return i;
  }
  return 0;
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
      disposition = FileExists(name) ? TRUNCATE_EXISTING : CREATE_ALWAYS;
      break;
    case GENERIC_READ:
      if (!FileExists(name)) return 0;
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

int FileExists(const char* name) {
  HANDLE h = CreateFileA(name, GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  CloseHandle(h);
  return 1;
}

int CreateDirectoryPath(const char* path) {
  size_t length = path ? strlen(path) : 0;
  if (length == 0 || path[0] == '\\' || path[length - 1] == '\\') return 0;
  if (!CopyBounded(directoryScratch, sizeof directoryScratch, path)) return 0;
  for (size_t i = 0; i + 1 < length; ++i) {
    if (directoryScratch[i + 1] == '\\' && directoryScratch[i] != ':') {
      char saved = directoryScratch[i + 1];
      directoryScratch[i + 1] = '\0';
      CreateDirectoryA(directoryScratch, nullptr);
      directoryScratch[i + 1] = saved;
    }
  }
  CreateDirectoryA(directoryScratch, nullptr);
  return 1;
}

int ExecutableFolder(char* buffer, size_t size) {
  char path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return 0;
  // The last backslash that is a character of its own: the trail byte of a double-byte
  // character may have the same value.
  size_t cut = 0;
  for (size_t i = 0; path[i] != '\0'; ++i) {
    if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1] != '\0') {
      ++i;
    } else if (path[i] == '\\') {
      cut = i;
    }
  }
  if (cut == 0) return 0;
  // "X:" alone would name drive X's current directory, not its root: keep the backslash.
  path[path[cut - 1] == ':' ? cut + 1 : cut] = '\0';
  return CopyBounded(buffer, size, path);
}

int ExecutableFilePath(const char* name, char* buffer, size_t size) {
  char folder[MAX_PATH];
  if (!ExecutableFolder(folder, sizeof folder)) return 0;
  size_t length = strlen(folder);
  const char* separator = folder[length - 1] == '\\' ? "" : "\\";
  return FormatBounded(buffer, size, "%s%s%s", folder, separator, name);
}

void EnterExecutableDirectory() {
  char folder[MAX_PATH];
  if (ExecutableFolder(folder, sizeof folder)) SetCurrentDirectoryA(folder);
}
