// What each platform file (win32/, posix/) gives the core: listings that show links and
// junctions, what lies at a path, folder times, new files, and the platform's text
// conversions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vessiko_core.h"

struct FolderItem {
  NativeString name;
  int folder = 0;
  int link = 0;  // a symbolic link, junction or other reparse point: never followed
  int64_t size = 0;
  int64_t modifiedSeconds = 0;  // since 1970-01-01 UTC
  int32_t modifiedNanoseconds = 0;
  // Which file this is and when anything last wrote to it, as the file system keeps them:
  // the volume serial number and file index (st_dev and st_ino), and the change time, which
  // every write sets and ordinary programs never set back (ChangeTicksPerSecond ticks of the
  // ChangeClock). Unknown where the listing does not say. A Windows listing leaves the
  // volume 0: it is the folder's, which DescribeVolume tells.
  int identityKnown = 0;
  uint64_t volume = 0;
  uint64_t fileIndex = 0;
  int changeKnown = 0;
  int64_t changeTime = 0;
};

// Every item of a folder except "." and ".."; 0 when the folder cannot be listed in full.
int ListFolder(const NativeString& folder, std::vector<FolderItem>* items);
// The volume a folder lies on: its serial number, and whether its change times can be
// trusted (FAT32, exFAT and UDF keep none and report the modification time as one, which a
// program can set back); false when it cannot be told.
bool DescribeVolume(const NativeString& folder, uint64_t* serial, bool* changeTimes);
// The file at the path as a listing shows it, found without following a link: its size,
// modification time and identity; false when it cannot be looked at.
bool LookAtFile(const NativeString& path, FolderItem* item);

// The clock change times are kept in (100 ns ticks since 1601, or nanoseconds since 1970).
extern const int64_t ChangeTicksPerSecond;
int64_t ChangeClock();

enum class PathKind { Missing, File, Folder, Link, Unknown };
// What lies at the path, without following a link; Unknown when it cannot be told.
PathKind ProbePath(const NativeString& path);

int SetModifiedTime(const NativeString& path, int64_t seconds, int32_t nanoseconds);
// Creates a folder; 0 when it cannot, among others when the name is taken.
int MakeFolder(const NativeString& path);

// A file created for writing, never one that was there: Create fails when anything has the
// name (a file, a folder, a link) and then says so. Every file-system call is costly under
// Wine, so the data and the time go through the one handle the file was created with.
struct NewFile {
  intptr_t handle = -1;  // the platform's handle or descriptor; -1 when there is none
  NewFile() = default;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() { Close(); }
  int full = 0;  // the last Write failed because the disk is full
  int Create(const NativeString& path, bool* exists);
  int Write(const char* data, size_t size);
  int SetModifiedTime(int64_t seconds, int32_t nanoseconds);
  // 0 when the file was not open or closing failed.
  int Close();
};
// The bytes the folder's volume has free for this process; false when it cannot be told.
bool FreeSpace(const NativeString& folder, uint64_t* bytes);
// Moves a file over an existing one, which it replaces (a read-only one too).
int MoveOver(const NativeString& from, const NativeString& to);
// Composes a name (Unicode normalization form C); false when it cannot be.
bool ComposeName(std::wstring* name);
// A ZIP entry's stored name as libarchive reads it: UTF-8, or else the system code page,
// both leniently (what cannot be decoded becomes a replacement character); where names are
// bytes, the bytes as they are. False when nothing can be made of it.
bool DecodeZipName(const std::string& bytes, bool utf8, NativeString* name);
