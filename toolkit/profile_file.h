// Accessor of one private-profile settings file; nothing is cached between calls.
#pragma once

#include <windows.h>

enum ProfileBase : int {
  ExecutableDirectory = 0,
  WindowsDirectory = 1,
  SystemDirectory = 2,
  GivenPath = 3,
};

class ProfileFile {
 public:
  char path[256] = {};
  int ready = 0;

  void SetPath(const char* name, int base);
  // 1 when the key was found; a missing key (or one stored as exactly "NotFound") leaves
  // "NotFound" in the buffer and returns 0. The buffer must hold at least 9 bytes.
  int ReadString(const char* section, const char* key, char* buffer, int size);
  int WriteString(const char* section, const char* key, const char* value);
  UINT ReadInt(const char* section, const char* key);
  int WriteInt(const char* section, const char* key, int value);
};
