#include "profile_file.h"

#include <cstdio>
#include <cstring>

#include "bounded_text.h"
#include "file_handle.h"

namespace {
const char NotFound[] = "NotFound";
}

void ProfileFile::SetPath(const char* name, int base) {
  char directory[256] = {};
  UINT n = 0;
  switch (base) {
    case ExecutableDirectory: {
      char composed[sizeof path];
      if (!ExecutableFilePath(name, composed, sizeof composed)) return;
      memcpy(path, composed, sizeof path);
      ready = 1;
      return;
    }
    case WindowsDirectory:
      n = GetWindowsDirectoryA(directory, sizeof directory);
      break;
    case SystemDirectory:
      n = GetSystemDirectoryA(directory, sizeof directory);
      break;
    case GivenPath:
      if (CopyBounded(path, sizeof path, name)) ready = 1;
      return;
    default:
      return;
  }
  if (n == 0 || n >= sizeof directory) return;
  const char* separator = EndsWithBackslash(directory) ? "" : "\\";
  char composed[sizeof path];
  if (!FormatBounded(composed, sizeof composed, "%s%s%s", directory, separator, name)) return;
  memcpy(path, composed, sizeof path);
  ready = 1;
}

int ProfileFile::ReadString(const char* section, const char* key, char* buffer, int size) {
  if (!ready) return 0;
  GetPrivateProfileStringA(section, key, NotFound, buffer, size, path);
  return strcmp(buffer, NotFound) == 0 ? 0 : 1;
}

int ProfileFile::WriteString(const char* section, const char* key, const char* value) {
  if (!ready) return 0;
  return WritePrivateProfileStringA(section, key, value, path) ? 1 : 0;
}

UINT ProfileFile::ReadInt(const char* section, const char* key) {
  if (!ready) return 0;
  return GetPrivateProfileIntA(section, key, 0, path);
}

int ProfileFile::WriteInt(const char* section, const char* key, int value) {
  char text[16];
  snprintf(text, sizeof text, "%d", value);
  return WriteString(section, key, text);
}
