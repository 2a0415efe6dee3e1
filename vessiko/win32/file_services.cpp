// The core's file-system services on Windows: listings that show reparse points, what lies
// at a path, new files written through one handle, times, and the system's text conversions.
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "platform_services.h"
#include "win32/find_handle.h"

namespace {

// Seconds from 1601-01-01 (FILETIME) to 1970-01-01.
constexpr int64_t EpochDifference = 11644473600LL;
constexpr int64_t TicksPerSecond = 10000000LL;

int64_t Ticks(const FILETIME& time) {
  ULARGE_INTEGER ticks;
  ticks.LowPart = time.dwLowDateTime;
  ticks.HighPart = time.dwHighDateTime;
  return static_cast<int64_t>(ticks.QuadPart);
}

int64_t UnixTicks(const FILETIME& time) {
  return Ticks(time) - EpochDifference * TicksPerSecond;
}

// Times come from archives too, and may be anything.
bool ToFileTime(int64_t seconds, int32_t nanoseconds, FILETIME* time) {
  uint64_t ticks = 0;
  if (!TicksSince1601(seconds, nanoseconds, &ticks)) return false;
  ULARGE_INTEGER value;
  value.QuadPart = ticks;
  *time = {value.LowPart, value.HighPart};
  return true;
}

void SetModified(int64_t ticks, FolderItem* item) {
  int64_t seconds = ticks / TicksPerSecond;
  int64_t rest = ticks % TicksPerSecond;
  if (rest < 0) {
    rest += TicksPerSecond;
    --seconds;
  }
  item->modifiedSeconds = seconds;
  item->modifiedNanoseconds = static_cast<int32_t>(rest * 100);
}

struct ScopedFile {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~ScopedFile() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

enum class Listed { Done, Failed, Unsupported };

// The folder read through one handle: each item comes with its file id and change time, so
// knowing a file costs no open of its own (each open is costly under Wine and with virus
// checkers).
Listed ListByHandle(const NativeString& folder, std::vector<FolderItem>* items) {
  ScopedFile directory;
  directory.h = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (directory.h == INVALID_HANDLE_VALUE) return Listed::Unsupported;
  // The records are DWORD aligned within the buffer, which must be too.
  std::vector<DWORD> buffer(16384);
  bool first = true;
  for (;;) {
    if (!GetFileInformationByHandleEx(directory.h, FileIdBothDirectoryInfo, buffer.data(),
                                      static_cast<DWORD>(buffer.size() * sizeof(DWORD)))) {
      DWORD error = GetLastError();
      // An empty drive root has no "." entry, so nothing is found at all.
      if (error == ERROR_NO_MORE_FILES || (first && error == ERROR_FILE_NOT_FOUND)) {
        return Listed::Done;
      }
      return first ? Listed::Unsupported : Listed::Failed;
    }
    first = false;
    const char* at = reinterpret_cast<const char*>(buffer.data());
    for (;;) {
      const auto* entry = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
      NativeString name(entry->FileName, entry->FileNameLength / sizeof(WCHAR));
      if (name != L"." && name != L"..") {
        FolderItem item;
        item.name = std::move(name);
        item.folder = (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        item.link = (entry->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        item.size = entry->EndOfFile.QuadPart;
        FILETIME written = {entry->LastWriteTime.LowPart,
                            static_cast<DWORD>(entry->LastWriteTime.HighPart)};
        SetModified(UnixTicks(written), &item);
        item.identityKnown = entry->FileId.QuadPart != 0;
        item.fileIndex = static_cast<uint64_t>(entry->FileId.QuadPart);
        item.changeKnown = entry->ChangeTime.QuadPart != 0;
        item.changeTime = entry->ChangeTime.QuadPart;
        items->push_back(std::move(item));
      }
      if (entry->NextEntryOffset == 0) break;
      at += entry->NextEntryOffset;
    }
  }
}

}  // namespace

int ListFolder(const NativeString& folder, std::vector<FolderItem>* items) {
  items->clear();
  Listed listed = ListByHandle(folder, items);
  if (listed != Listed::Unsupported) return listed == Listed::Done;
  // Where the folder cannot be read by handle, the find functions list it without the
  // identities and change times.
  items->clear();
  std::wstring pattern = folder;
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L'\\';
  pattern += L'*';
  WIN32_FIND_DATAW data;
  FindHandle find;
  find.h = FindFirstFileW(pattern.c_str(), &data);
  // An empty drive root has no "." entry, so nothing is found at all.
  if (find.h == INVALID_HANDLE_VALUE) return GetLastError() == ERROR_FILE_NOT_FOUND;
  do {
    if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0) continue;
    FolderItem item;
    item.name = data.cFileName;
    item.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    item.link = (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    item.size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    SetModified(UnixTicks(data.ftLastWriteTime), &item);
    items->push_back(item);
  } while (FindNextFileW(find.h, &data));
  return GetLastError() == ERROR_NO_MORE_FILES;
}

bool DescribeVolume(const NativeString& folder, uint64_t* serial, bool* changeTimes) {
  // Under Wine the volume's serial number and file system take a round trip to its mount
  // manager each: asked once per tree, never per folder.
  ScopedFile directory;
  directory.h = CreateFileW(folder.c_str(), FILE_READ_ATTRIBUTES,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  wchar_t system[MAX_PATH + 1];
  if (directory.h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(directory.h, &info) ||
      !GetVolumeInformationByHandleW(directory.h, nullptr, 0, nullptr, nullptr, nullptr, system,
                                     MAX_PATH + 1)) {
    return false;
  }
  *serial = info.dwVolumeSerialNumber;
  *changeTimes = wcscmp(system, L"NTFS") == 0 || wcscmp(system, L"ReFS") == 0;
  return true;
}

bool LookAtFile(const NativeString& path, FolderItem* item) {
  ScopedFile file;
  file.h = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  BY_HANDLE_FILE_INFORMATION info;
  if (file.h == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file.h, &info) ||
      (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
    return false;
  }
  item->size = (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  SetModified(UnixTicks(info.ftLastWriteTime), item);
  item->volume = info.dwVolumeSerialNumber;
  item->fileIndex = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  item->identityKnown = item->fileIndex != 0;
  return true;
}

const int64_t ChangeTicksPerSecond = TicksPerSecond;

int64_t ChangeClock() {
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  return Ticks(now);
}

PathKind ProbePath(const NativeString& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return PathKind::Missing;
    return PathKind::Unknown;
  }
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return PathKind::Link;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return PathKind::Folder;
  return PathKind::File;
}

int SetModifiedTime(const NativeString& path, int64_t seconds, int32_t nanoseconds) {
  FILETIME time;
  if (!ToFileTime(seconds, nanoseconds, &time)) return 0;
  // Folders open only with the backup-semantics flag.
  HANDLE h = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  BOOL ok = SetFileTime(h, nullptr, nullptr, &time);
  CloseHandle(h);
  return ok ? 1 : 0;
}

int MakeFolder(const NativeString& path) { return CreateDirectoryW(path.c_str(), nullptr) ? 1 : 0; }

int NewFile::Create(const NativeString& path, bool* exists) {
  Close();
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  DWORD error = h == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  // A folder of the name may answer "access denied" rather than "exists": the caller
  // looks at what is there either way.
  *exists = error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
            error == ERROR_ACCESS_DENIED;
  handle = reinterpret_cast<intptr_t>(h);
  return h != INVALID_HANDLE_VALUE;
}

int NewFile::Write(const char* data, size_t size) {
  HANDLE h = reinterpret_cast<HANDLE>(handle);
  while (size > 0) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(size, 1u << 30));
    DWORD written = 0;
    if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0) {
      DWORD error = GetLastError();
      full = error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
      return 0;
    }
    data += written;
    size -= written;
  }
  return 1;
}

int NewFile::SetModifiedTime(int64_t seconds, int32_t nanoseconds) {
  FILETIME time;
  return ToFileTime(seconds, nanoseconds, &time) &&
         SetFileTime(reinterpret_cast<HANDLE>(handle), nullptr, nullptr, &time);
}

int NewFile::Close() {
  HANDLE h = reinterpret_cast<HANDLE>(handle);
  if (h == INVALID_HANDLE_VALUE) return 0;
  handle = reinterpret_cast<intptr_t>(INVALID_HANDLE_VALUE);
  return CloseHandle(h) ? 1 : 0;
}

bool FreeSpace(const NativeString& folder, uint64_t* bytes) {
  ULARGE_INTEGER available;
  if (!GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr)) return false;
  *bytes = available.QuadPart;
  return true;
}

int MoveOver(const NativeString& from, const NativeString& to) {
  if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) return 1;
  // A read-only file is replaced only once the mark is gone.
  DWORD attributes = GetFileAttributesW(to.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) return 0;
  if (!SetFileAttributesW(to.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) return 0;
  return MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) ? 1 : 0;
}

bool ComposeName(std::wstring* name) {
  if (name->empty()) return true;
  int size = NormalizeString(NormalizationC, name->c_str(), -1, nullptr, 0);
  for (int attempt = 0; size > 0 && attempt < 4; ++attempt) {
    std::wstring composed(static_cast<size_t>(size), L'\0');
    int n = NormalizeString(NormalizationC, name->c_str(), -1, &composed[0], size);
    if (n > 0) {
      composed.resize(static_cast<size_t>(n - 1));
      *name = composed;
      return true;
    }
    // The first answer is an estimate: ask again with the size the failure gives.
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    size = -n;
  }
  return false;
}

bool DecodeZipName(const std::string& bytes, bool utf8, NativeString* name) {
  name->clear();
  if (bytes.empty()) return true;
  // No MB_ERR_INVALID_CHARS: libarchive converts without it, and the drive shows its names.
  UINT page = utf8 ? CP_UTF8 : CP_ACP;
  int size = static_cast<int>(bytes.size());
  int n = MultiByteToWideChar(page, 0, bytes.data(), size, nullptr, 0);
  if (n <= 0) return false;
  name->resize(static_cast<size_t>(n));
  return MultiByteToWideChar(page, 0, bytes.data(), size, &(*name)[0], n) == n;
}

