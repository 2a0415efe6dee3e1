// The core's file-system services on Linux and other POSIX systems. The library ships only
// for Windows; this build of the core serves measurements and fuzzing on the build machine.
// Paths are the bytes the file system holds.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform_services.h"

namespace {

struct DirectoryHandle {
  DIR* d = nullptr;
  ~DirectoryHandle() {
    if (d != nullptr) closedir(d);
  }
};

int64_t Nanoseconds(const struct timespec& time) {
  return static_cast<int64_t>(time.tv_sec) * 1000000000LL + time.tv_nsec;
}

void DescribeFile(const struct stat& info, FolderItem* item) {
  item->size = static_cast<int64_t>(info.st_size);
  item->modifiedSeconds = static_cast<int64_t>(info.st_mtim.tv_sec);
  item->modifiedNanoseconds = static_cast<int32_t>(info.st_mtim.tv_nsec);
  item->identityKnown = 1;
  item->volume = static_cast<uint64_t>(info.st_dev);
  item->fileIndex = static_cast<uint64_t>(info.st_ino);
  item->changeKnown = 1;
  item->changeTime = Nanoseconds(info.st_ctim);
}

}  // namespace

const int64_t ChangeTicksPerSecond = 1000000000LL;

int64_t ChangeClock() {
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return Nanoseconds(now);
}

bool DescribeVolume(const NativeString& folder, uint64_t* serial, bool* changeTimes) {
  struct stat info;
  if (stat(folder.c_str(), &info) != 0) return false;
  *serial = static_cast<uint64_t>(info.st_dev);
  *changeTimes = true;
  return true;
}

bool LookAtFile(const NativeString& path, FolderItem* item) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  DescribeFile(info, item);
  return true;
}

int ListFolder(const NativeString& folder, std::vector<FolderItem>* items) {
  items->clear();
  DirectoryHandle directory;
  directory.d = opendir(folder.c_str());
  if (directory.d == nullptr) return 0;
  // Each item is looked at relative to the open folder: no walk down the whole path again.
  int folderFd = dirfd(directory.d);
  for (;;) {
    errno = 0;
    dirent* entry = readdir(directory.d);
    if (entry == nullptr) return errno == 0;
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    FolderItem item;
    item.name = entry->d_name;
    struct stat info;
    // An item that vanished between the listing and the look at it makes the listing
    // incomplete: the caller must not pack a tree it did not see in full.
    if (fstatat(folderFd, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) return 0;
    item.link = S_ISLNK(info.st_mode);
    item.folder = S_ISDIR(info.st_mode);
    // Devices, pipes and sockets are no files to pack; they are treated like links.
    if (!item.link && !item.folder && !S_ISREG(info.st_mode)) item.link = 1;
    DescribeFile(info, &item);
    items->push_back(item);
  }
}

PathKind ProbePath(const NativeString& path) {
  NativeString probed = path;
  // "folder/" would follow a link named folder: look at the name itself.
  while (probed.size() > 1 && probed.back() == '/') probed.pop_back();
  struct stat info;
  if (lstat(probed.c_str(), &info) != 0) {
    return errno == ENOENT || errno == ENOTDIR ? PathKind::Missing : PathKind::Unknown;
  }
  if (S_ISLNK(info.st_mode)) return PathKind::Link;
  if (S_ISDIR(info.st_mode)) return PathKind::Folder;
  if (S_ISREG(info.st_mode)) return PathKind::File;
  return PathKind::Unknown;
}

namespace {

// The access time left as it is, the modification time set; false for a nanosecond count
// out of range.
bool ModificationTimes(int64_t seconds, int32_t nanoseconds, struct timespec (&times)[2]) {
  if (nanoseconds < 0 || nanoseconds > 999999999) return false;
  times[0].tv_sec = 0;
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  times[1].tv_nsec = nanoseconds;
  return true;
}

}  // namespace

int SetModifiedTime(const NativeString& path, int64_t seconds, int32_t nanoseconds) {
  struct timespec times[2];
  return ModificationTimes(seconds, nanoseconds, times) &&
         utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

int MakeFolder(const NativeString& path) { return mkdir(path.c_str(), 0777) == 0; }

int NewFile::Create(const NativeString& path, bool* exists) {
  Close();
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  *exists = fd < 0 && errno == EEXIST;
  handle = fd;
  return fd >= 0;
}

int NewFile::Write(const char* data, size_t size) {
  while (size > 0) {
    ssize_t n = write(static_cast<int>(handle), data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      full = n < 0 && errno == ENOSPC;
      return 0;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return 1;
}

int NewFile::SetModifiedTime(int64_t seconds, int32_t nanoseconds) {
  struct timespec times[2];
  return ModificationTimes(seconds, nanoseconds, times) &&
         futimens(static_cast<int>(handle), times) == 0;
}

int NewFile::Close() {
  if (handle < 0) return 0;
  int closed = close(static_cast<int>(handle)) == 0;
  handle = -1;
  return closed;
}

bool FreeSpace(const NativeString& folder, uint64_t* bytes) {
  struct statvfs info;
  if (statvfs(folder.c_str(), &info) != 0) return false;
  *bytes = static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
  return true;
}

int MoveOver(const NativeString& from, const NativeString& to) {
  return rename(from.c_str(), to.c_str()) == 0;
}

// Names stay the bytes they are here: there is nothing to compose.
bool ComposeName(std::wstring*) { return true; }

bool DecodeZipName(const std::string& bytes, bool, NativeString* name) {
  *name = bytes;
  return true;
}
