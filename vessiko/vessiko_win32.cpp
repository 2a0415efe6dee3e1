// Vessiko.dll's exported functions and the Windows services of the core: ANSI paths in,
// UTF-16 paths to the core, and the atomic replacement of a packed archive.
#include <windows.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "vessiko_core.h"

namespace {

// Seconds from 1601-01-01 (FILETIME) to 1970-01-01.
constexpr int64_t EpochDifference = 11644473600LL;
constexpr int64_t TicksPerSecond = 10000000LL;

int libraryReady = 0;
// The locale before LoadDLL, put back by ReleaseDLL; empty when it did not fit.
char previousLocale[256];

struct FindHandle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~FindHandle() {
    if (h != INVALID_HANDLE_VALUE) FindClose(h);
  }
};

// ANSI text in the system code page to UTF-16; false for a null or undecodable text.
bool Widen(const char* text, std::wstring* wide) {
  wide->clear();
  if (text == nullptr) return false;
  if (text[0] == '\0') return true;
  int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
  if (n <= 0) return false;
  wide->resize(static_cast<size_t>(n));
  if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, &(*wide)[0], n) != n) {
    return false;
  }
  wide->resize(static_cast<size_t>(n - 1));
  return true;
}

// Where the folder part of a path ends (after its last separator); 0 for a bare name.
size_t FolderLength(const char* path) {
  size_t cut = 0;
  for (size_t i = 0; path[i] != '\0'; ++i) {
    // A lead byte of CP932 may be followed by 0x5C, which is then no backslash.
    if (IsDBCSLeadByte(static_cast<BYTE>(path[i])) && path[i + 1] != '\0') {
      ++i;
      continue;
    }
    if (path[i] == '\\' || path[i] == '/' || path[i] == ':') cut = i + 1;
  }
  return cut;
}

// A pack writes the new archive into "NAME.vessiko-XXXXXXXX.tmp" beside the archive NAME:
// the name says whose it is, so the next pack of the same archive finds and removes what
// a pack that was killed left behind.
constexpr char TemporaryInfix[] = ".vessiko-";
constexpr size_t TemporaryTagLength = 8;

bool IsTemporaryOf(const char* name, const char* archiveName) {
  size_t base = strlen(archiveName);
  size_t infix = strlen(TemporaryInfix);
  if (strlen(name) != base + infix + TemporaryTagLength + 4) return false;
  if (CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, name, static_cast<int>(base),
                     archiveName, static_cast<int>(base)) != CSTR_EQUAL ||
      strncmp(name + base, TemporaryInfix, infix) != 0 ||
      lstrcmpiA(name + base + infix + TemporaryTagLength, ".tmp") != 0) {
    return false;
  }
  for (size_t i = 0; i < TemporaryTagLength; ++i) {
    char c = name[base + infix + i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

// Removes the temporary files earlier packs of the archive left; one that another pack
// still holds open cannot be deleted and stays.
void RemoveLeftovers(const std::string& folder, const char* archiveName) {
  std::string pattern = folder + archiveName + TemporaryInfix + "*";
  if (pattern.size() >= MAX_PATH) return;
  WIN32_FIND_DATAA data;
  FindHandle find;
  find.h = FindFirstFileA(pattern.c_str(), &data);
  if (find.h == INVALID_HANDLE_VALUE) return;
  do {
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
        IsTemporaryOf(data.cFileName, archiveName)) {
      DeleteFileA((folder + data.cFileName).c_str());
    }
  } while (FindNextFileA(find.h, &data));
}

// Creates a new, empty temporary file for a pack of the archive; false when none can be
// made (or its name would not fit).
bool CreateTemporary(const std::string& folder, const char* archiveName, std::string* path) {
  DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 12);
  for (DWORD attempt = 0; attempt < 100; ++attempt) {
    char tag[TemporaryTagLength + 1];
    snprintf(tag, sizeof tag, "%08lx", static_cast<unsigned long>(seed + attempt * 7919));
    *path = folder + archiveName + TemporaryInfix + tag + ".tmp";
    if (path->size() >= MAX_PATH) return false;
    HANDLE h = CreateFileA(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) return false;
  }
  return false;
}

// The packed archive may replace the old one only if nothing holds the old one open in a
// way that forbids it; found out before the work of packing is done.
bool ArchiveReplaceable(const char* path) {
  HANDLE h = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND;
  }
  BY_HANDLE_FILE_INFORMATION info;
  bool file = GetFileInformationByHandle(h, &info) &&
              !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
  CloseHandle(h);
  return file;
}

bool FlushToDisk(const char* path) {
  HANDLE h = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  bool flushed = FlushFileBuffers(h) != 0;
  CloseHandle(h);
  return flushed;
}

int Extract(const char* archivePath, const char* folder) {
  std::wstring archive, target;
  if (!Widen(archivePath, &archive) || !Widen(folder, &target)) return 0;
  return ExtractArchive(archive, target);
}

// The new archive is written to a temporary file beside the old one, which it replaces only
// when complete and flushed: on every failure the old archive stays as it was and the
// temporary file is removed.
int Pack(const char* archivePath, const char* root, const PacRequest& request) {
  std::wstring archive, source;
  if (!Widen(archivePath, &archive) || !Widen(root, &source)) return 0;
  if (archive.empty() || source.empty()) return 0;
  if (!ArchiveReplaceable(archivePath)) return 0;
  size_t cut = FolderLength(archivePath);
  std::string folder(archivePath, cut);
  const char* name = archivePath + cut;
  RemoveLeftovers(folder, name);
  std::string temporary;
  if (!CreateTemporary(folder, name, &temporary)) return 0;
  std::wstring output;
  int ok = Widen(temporary.c_str(), &output) &&
           WriteArchive(output, archive, source, request.format, request.fresh) &&
           FlushToDisk(temporary.c_str()) &&
           MoveFileExA(temporary.c_str(), archivePath,
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  if (!ok) DeleteFileA(temporary.c_str());
  return ok;
}

int64_t UnixTicks(const FILETIME& time) {
  ULARGE_INTEGER ticks;
  ticks.LowPart = time.dwLowDateTime;
  ticks.HighPart = time.dwHighDateTime;
  return static_cast<int64_t>(ticks.QuadPart) - EpochDifference * TicksPerSecond;
}

bool ToFileTime(int64_t seconds, int32_t nanoseconds, FILETIME* time) {
  int64_t ticks = (seconds + EpochDifference) * TicksPerSecond + nanoseconds / 100;
  if (ticks < 0) return false;
  ULARGE_INTEGER value;
  value.QuadPart = static_cast<ULONGLONG>(ticks);
  *time = {value.LowPart, value.HighPart};
  return true;
}

}  // namespace

// ---- Services for the core ----

int ListFolder(const NativeString& folder, std::vector<FolderItem>* items) {
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
    int64_t ticks = UnixTicks(data.ftLastWriteTime);
    int64_t seconds = ticks / TicksPerSecond;
    int64_t rest = ticks % TicksPerSecond;
    if (rest < 0) {
      rest += TicksPerSecond;
      --seconds;
    }
    item.modifiedSeconds = seconds;
    item.modifiedNanoseconds = static_cast<int32_t>(rest * 100);
    items->push_back(item);
  } while (FindNextFileW(find.h, &data));
  return GetLastError() == ERROR_NO_MORE_FILES;
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
    if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0) return 0;
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

// ---- Exports ----

extern "C" {

int LoadDLL() {
  if (!libraryReady) {
    const char* current = setlocale(LC_ALL, nullptr);
    previousLocale[0] = '\0';
    if (current != nullptr && strlen(current) < sizeof previousLocale) {
      lstrcpyA(previousLocale, current);
    }
    // In the "C" locale libarchive garbles Japanese names of 7z and pax archives, and reads
    // ZIP names without the UTF-8 flag in no code page at all.
    setlocale(LC_ALL, "");
    libraryReady = 1;
  }
  return 1;
}

void ReleaseDLL() {
  if (!libraryReady) return;
  if (previousLocale[0] != '\0') setlocale(LC_ALL, previousLocale);
  libraryReady = 0;
}

uint32_t Check(const char* archivePath) {
  std::wstring archive;
  if (!Widen(archivePath, &archive)) return 0;
  return CheckArchive(archive);
}

int Pac(const char* archivePath, const char* folder, uint32_t kind) {
  PacRequest request;
  if (archivePath == nullptr || folder == nullptr || !DecodePacKind(kind, &request)) return 0;
  return request.extract ? Extract(archivePath, folder) : Pack(archivePath, folder, request);
}

uint32_t GetDLLType() { return WritableFormatMask(); }

const char* GetDLLStr(int index) { return FormatDisplayName(index); }

}  // extern "C"
