// The file layer: an owning wrapper of one open file, and the small file-system utilities
// the program builds on.
#pragma once

#include <windows.h>

#include <cstddef>

class FileHandle {
 public:
  HANDLE handle = nullptr;  // null while no file is held

  FileHandle() = default;
  ~FileHandle() { Close(); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  // access: GENERIC_READ, GENERIC_WRITE or both. Missing parent folders of the name are
  // created first, whatever the access.
  int Open(const char* name, DWORD access);
  int Close();
};

// 1 when the file can be opened for reading with exclusive access right now: a file held
// open elsewhere, an unreadable file and a folder all count as missing.
int CanOpenExclusively(const char* name);

// Creates every missing folder of the path. 0 (nothing attempted) for an empty path and
// for one that begins or ends with a backslash; 1 otherwise, whether or not the folders
// could be made.
int CreateDirectoryPath(const char* path);

// The executable's own folder: "X:\dir", or its root "X:\" for an executable in a drive's
// root. 1 when it fit.
int ExecutableFolder(char* buffer, size_t size);

// A file of the given bare name beside the executable. 1 when the path fit.
int ExecutableFilePath(const char* name, char* buffer, size_t size);

// 1 when the text ends with a backslash of its own (not the trail byte of a double-byte
// character such as 表).
int EndsWithBackslash(const char* text);

// Makes the executable's own folder the current directory.
void EnterExecutableDirectory();
