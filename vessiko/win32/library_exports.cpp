// Vessiko.dll's exported functions: ANSI paths in, UTF-16 paths to the core, and the atomic
// replacement of a packed archive.
#include <windows.h>

#include <algorithm>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "archive_input.h"
#include "call_report.h"
#include "platform_services.h"
#include "vessiko_core.h"
#include "win32/find_handle.h"

namespace {

int libraryReady = 0;
// The locale before LoadDLL, put back by ReleaseDLL; empty when it did not fit.
char previousLocale[256];
// The last call's report as GetDLLStr(ReportIndex) hands it out.
char reportText[1024];

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

// ANSI text as the core's native text; empty when it cannot be decoded.
std::wstring Wide(const char* text) {
  std::wstring wide;
  Widen(text, &wide);
  return wide;
}

// A disk with less room than this when a write failed was full.
constexpr uint64_t NearlyFull = 1024 * 1024;

// The report's details in the system code page: one "key=value" line each.
void FormatReport(const CallReport& report) {
  std::string text;
  auto line = [&text](const char* key, const std::string& value) {
    text += key;
    text += '=';
    text += value;
    text += '\n';
  };
  line(ReportReasonKey, std::to_string(report.reason));
  if (!report.subject.empty()) {
    int n = WideCharToMultiByte(CP_ACP, 0, report.subject.c_str(), -1, nullptr, 0, nullptr,
                                nullptr);
    std::string subject(n > 0 ? static_cast<size_t>(n) : 1, '\0');
    if (n > 0) {
      WideCharToMultiByte(CP_ACP, 0, report.subject.c_str(), -1, &subject[0], n, nullptr,
                          nullptr);
    }
    subject.resize(strlen(subject.c_str()));
    // A line break in a name would end its line early.
    for (char& c : subject) c = c == '\n' || c == '\r' ? ' ' : c;
    line(ReportSubjectKey, subject);
  }
  if (report.reason == ReasonNoRoom) {
    line(ReportNeededKey, std::to_string(report.needed));
    line(ReportAvailableKey, std::to_string(report.available));
  }
  if (report.leftOut > 0) line(ReportLeftOutKey, std::to_string(report.leftOut));
  if (report.sized) line(ReportSizeKey, std::to_string(report.size));
  lstrcpynA(reportText, text.c_str(), sizeof reportText);
}

// The call's last act: the report for GetDLLStr, and its reason as the thread's last error.
// A failure that noted no reason of its own gives the fallback.
template <typename Result>
Result Reported(Result result, LibraryReason fallback) {
  CallReport report = CurrentReport();
  if (result == 0 && report.reason == ReasonNone) report.reason = fallback;
  FormatReport(report);
  SetLastError(ReportCode(result == 0 ? report.reason : ReasonNone));
  return result;
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
// made (or its name would not fit), with the reason noted.
bool CreateTemporary(const std::string& folder, const char* archiveName, std::string* path) {
  DWORD seed = GetTickCount() ^ (GetCurrentProcessId() << 12);
  for (DWORD attempt = 0; attempt < 100; ++attempt) {
    char tag[TemporaryTagLength + 1];
    snprintf(tag, sizeof tag, "%08lx", static_cast<unsigned long>(seed + attempt * 7919));
    *path = folder + archiveName + TemporaryInfix + tag + ".tmp";
    if (path->size() >= MAX_PATH) {
      NoteFailure(ReasonPathTooLong, Wide(path->c_str()));
      return false;
    }
    HANDLE h = CreateFileA(path->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      CloseHandle(h);
      return true;
    }
    if (GetLastError() != ERROR_FILE_EXISTS) break;
  }
  NoteFailure(ReasonWriteFailed, Wide(folder.c_str()));
  return false;
}

// The packed archive may replace the old one only if nothing holds the old one open in a
// way that forbids it, and it is no read-only file; found out before the work of packing is
// done. ReasonNone when it may.
LibraryReason ArchiveReplaceable(const char* path) {
  HANDLE h = CreateFileA(path, DELETE | FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    return GetLastError() == ERROR_FILE_NOT_FOUND ? ReasonNone : ReasonArchiveInUse;
  }
  BY_HANDLE_FILE_INFORMATION info;
  LibraryReason reason = ReasonNone;
  if (!GetFileInformationByHandle(h, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
    reason = ReasonNotAnArchive;
  } else if (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
    reason = ReasonArchiveReadOnly;
  }
  CloseHandle(h);
  return reason;
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
  LibraryReason refusal = ArchiveReplaceable(archivePath);
  if (refusal != ReasonNone) {
    NoteFailure(refusal);
    return 0;
  }
  size_t cut = FolderLength(archivePath);
  std::string folder(archivePath, cut);
  const char* name = archivePath + cut;
  RemoveLeftovers(folder, name);
  std::string temporary;
  if (!CreateTemporary(folder, name, &temporary)) return 0;
  std::wstring output;
  int ok = Widen(temporary.c_str(), &output) &&
           WriteArchive(output, archive, source, request.format, request.fresh) &&
           FlushToDisk(temporary.c_str());
  if (ok && !MoveFileExA(temporary.c_str(), archivePath,
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    // Something opened the archive while it was packed.
    NoteFailure(ReasonArchiveInUse);
    ok = 0;
  }
  if (!ok) {
    // A writer that failed without a reason of its own met a full disk or a file it could
    // not write.
    uint64_t free = 0;
    if (FreeSpace(Wide(folder.empty() ? ".\\" : folder.c_str()), &free) && free < NearlyFull) {
      NoteNoRoom(0, free);
    }
    NoteFailure(ReasonWriteFailed, archive);
    DeleteFileA(temporary.c_str());
  }
  return ok;
}

}  // namespace

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
  SetArchivePassword(nullptr);
  libraryReady = 0;
}

uint32_t Check(const char* archivePath) {
  StartReport();
  std::wstring archive;
  if (!Widen(archivePath, &archive)) NoteFailure(ReasonNotAnArchive);
  return Reported(archive.empty() ? 0 : CheckArchive(archive), ReasonNotAnArchive);
}

int Pac(const char* archivePath, const char* folder, uint32_t kind) {
  StartReport();
  PacRequest request;
  if (archivePath == nullptr || folder == nullptr || !DecodePacKind(kind, &request)) {
    return Reported(0, ReasonNone);
  }
  return Reported(request.extract ? Extract(archivePath, folder)
                                  : Pack(archivePath, folder, request),
                  request.extract ? ReasonDamaged : ReasonWriteFailed);
}

uint32_t GetDLLType() { return WritableFormatMask(); }

// Optional beside the six: the password for the encrypted ZIP entries of the next calls, or
// null (or empty) for none. The old one is overwritten.
int SetPassword(const char* password) {
  SetArchivePassword(password);
  return 1;
}

const char* GetDLLStr(int index) {
  return index == ReportIndex ? reportText : FormatDisplayName(index);
}

}  // extern "C"
