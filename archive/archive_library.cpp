#include "archive_library.h"

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "file_handle.h"

namespace {

// The library's functions take their arguments on the stack and leave them for the caller
// to remove.
using LoadFunction = int(__cdecl*)();
using ReleaseFunction = void(__cdecl*)();
using CheckFunction = ArchiveKind(__cdecl*)(const char*);
using PacFunction = int(__cdecl*)(const char*, const char*, ArchiveKind);
using TypeFunction = FormatMask(__cdecl*)();
using NameFunction = const char*(__cdecl*)(int);
using PasswordFunction = int(__cdecl*)(const char*);

// Plain data on purpose: the library is unloaded only by ReleaseDLL, never by a static
// destructor running after the program has torn its objects down.
struct ArchiveLibrary {
  HMODULE module;
  LoadFunction load;
  ReleaseFunction release;
  CheckFunction check;
  PacFunction pac;
  TypeFunction type;
  NameFunction name;
  PasswordFunction password;  // optional: null when the library has none
};

ArchiveLibrary library;
LibraryReport report;

uint64_t Number(const char* text) { return strtoull(text, nullptr, 10); }

// Read at once after the call: the thread's last error says whether the library reported,
// GetDLLStr(ReportIndex) then holds the details as "key=value" lines.
void TakeReport() {
  DWORD code = GetLastError();
  report = LibraryReport();
  if ((code & 0xFFFF0000u) != ReportFacility) return;
  report.reason = (code & 0xFFFFu) < ReasonCount ? static_cast<LibraryReason>(code & 0xFFFFu)
                                                 : ReasonNone;
  const char* text = library.name(ReportIndex);
  while (text != nullptr && *text != '\0') {
    const char* end = strchr(text, '\n');
    size_t length = end != nullptr ? static_cast<size_t>(end - text) : strlen(text);
    const char* equals = static_cast<const char*>(memchr(text, '=', length));
    if (equals != nullptr) {
      std::string_view key(text, static_cast<size_t>(equals - text));
      const char* value = equals + 1;
      size_t valueLength = length - key.size() - 1;
      if (key == ReportSubjectKey) {
        lstrcpynA(report.subject, value,
                  static_cast<int>(std::min(valueLength + 1, sizeof report.subject)));
      } else if (key == ReportNeededKey) {
        report.needed = Number(value);
      } else if (key == ReportAvailableKey) {
        report.available = Number(value);
      } else if (key == ReportLeftOutKey) {
        report.leftOut = Number(value);
      } else if (key == ReportSizeKey) {
        report.sized = 1;
        report.size = Number(value);
      }
    }
    text = end != nullptr ? end + 1 : text + length;
  }
}

// GetProcAddress hands out a generic pointer; going through void(*)() keeps the compiler
// from warning about the cast to the real type.
template <typename Function>
bool Resolve(HMODULE module, const char* name, Function* function) {
  FARPROC address = GetProcAddress(module, name);
  *function = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
  return address != nullptr;
}

void Unload() {
  if (library.module != nullptr) FreeLibrary(library.module);
  library = ArchiveLibrary();
}

}  // namespace

int LoadDLL() {
  if (library.module != nullptr) return 1;
  // By its full name in the executable's folder: a bare name would also search the current
  // directory and the system's folders.
  char path[MAX_PATH];
  if (!ExecutableFilePath("Vessiko.dll", path, sizeof path)) return 0;
  library.module = LoadLibraryA(path);
  if (library.module == nullptr) return 0;
  HMODULE m = library.module;
  bool complete = Resolve(m, "LoadDLL", &library.load) &&
                  Resolve(m, "ReleaseDLL", &library.release) &&
                  Resolve(m, "Check", &library.check) && Resolve(m, "Pac", &library.pac) &&
                  Resolve(m, "GetDLLType", &library.type) &&
                  Resolve(m, "GetDLLStr", &library.name);
  if (!complete) {
    Unload();
    return 0;
  }
  Resolve(m, "SetPassword", &library.password);
  if (!library.load()) {
    library.release();
    Unload();
    return 0;
  }
  return 1;
}

void ReleaseDLL() {
  if (library.module == nullptr) return;
  library.release();
  Unload();
}

ArchiveKind Check(const char* archivePath) {
  report = LibraryReport();
  if (library.module == nullptr) return 0;
  SetLastError(0);
  ArchiveKind kind = library.check(archivePath);
  TakeReport();
  return kind;
}

int Pac(const char* archivePath, const char* folder, ArchiveKind kind) {
  report = LibraryReport();
  if (library.module == nullptr) return 0;
  SetLastError(0);
  int result = library.pac(archivePath, folder, kind);
  TakeReport();
  return result;
}

const LibraryReport& LastReport() { return report; }

int SetPassword(const char* password) {
  if (library.module == nullptr || library.password == nullptr) return 0;
  return library.password(password);
}

int PasswordsSupported() { return library.module != nullptr && library.password != nullptr; }

FormatMask GetDLLType() {
  if (library.module == nullptr) return 0;
  return library.type();
}

const char* GetDLLStr(int index) {
  if (library.module == nullptr) return "";
  const char* text = library.name(index);
  return text != nullptr ? text : "";
}
