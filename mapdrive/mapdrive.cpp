// mapdrive: maps a drive letter onto a folder and removes it again, as `subst` does.
//
//   mapdrive X: "folder"    map X: onto the folder
//   mapdrive X: /D          remove the mapping of X:
//
// Exits 0 on success; otherwise prints one line and exits non-zero. A letter that is
// already in use is refused. On Windows the mapping is a DOS device definition; under Wine,
// where `subst` is a stub and DefineDosDevice makes the letter appear but unusable, it goes
// through Wine's mount manager, which makes the letter visible to every process of the
// prefix at once.
#include <windows.h>
#include <winioctl.h>

#include <cstdio>
#include <cstring>
#include <cwchar>

#include "drive_letter.h"

namespace {

// Wine's private mount manager request (layout of Wine 8).
constexpr DWORD DefineUnixDrive =
    CTL_CODE(0x6D, 32, METHOD_BUFFERED, FILE_READ_ACCESS | FILE_WRITE_ACCESS);

struct UnixDriveRequest {
  ULONG size;
  ULONG type;
  ULONG fsType;
  DWORD serial;
  ULONGLONG unixDevice;
  WCHAR letter;
  USHORT mountPointOffset;
  USHORT deviceOffset;
  USHORT labelOffset;
};
static_assert(sizeof(UnixDriveRequest) == 32, "Wine's mount manager expects 32 bytes");

using WineUnixName = char*(CDECL*)(const WCHAR*);

int Fail(const char* message, char letter = 0) {
  if (letter) {
    fprintf(stderr, "mapdrive: %c: %s\n", letter, message);
  } else {
    fprintf(stderr, "mapdrive: %s\n", message);
  }
  return 1;
}

bool RunningUnderWine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// Sends a define request; with mountPoint null the letter is removed.
bool DefineWineDrive(char letter, const char* mountPoint) {
  HANDLE manager = CreateFileW(L"\\\\.\\MountPointManager", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
  if (manager == INVALID_HANDLE_VALUE) return false;
  size_t pathBytes = mountPoint ? strlen(mountPoint) + 1 : 0;
  size_t size = sizeof(UnixDriveRequest) + pathBytes;
  bool ok = false;
  if (size <= 0xFFFF) {
    char* buffer = static_cast<char*>(HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size));
    if (buffer) {
      auto* request = reinterpret_cast<UnixDriveRequest*>(buffer);
      request->size = static_cast<ULONG>(size);
      request->letter = static_cast<WCHAR>(letter - 'A' + 'a');
      if (mountPoint) {
        request->type = DRIVE_FIXED;
        request->mountPointOffset = sizeof(UnixDriveRequest);
        memcpy(buffer + sizeof(UnixDriveRequest), mountPoint, pathBytes);
      } else {
        request->type = DRIVE_NO_ROOT_DIR;
      }
      DWORD returned = 0;
      ok = DeviceIoControl(manager, DefineUnixDrive, buffer, static_cast<DWORD>(size), nullptr,
                           0, &returned, nullptr) != FALSE;
      HeapFree(GetProcessHeap(), 0, buffer);
    }
  }
  CloseHandle(manager);
  return ok;
}

int Map(char letter, const char* folder) {
  if (LetterPresent(letter - 'A')) return Fail("the drive letter is already in use", letter);
  char full[MAX_PATH];
  DWORD n = GetFullPathNameA(folder, sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return Fail("the folder name is not usable");
  DWORD attributes = GetFileAttributesA(full);
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return Fail("the folder does not exist");
  }

  if (!RunningUnderWine()) {
    char drive[3] = {letter, ':', '\0'};
    if (!DefineDosDeviceA(0, drive, full)) {
      return Fail("the drive could not be mapped", letter);
    }
    return 0;
  }

  auto unixName = reinterpret_cast<WineUnixName>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
  WCHAR wide[MAX_PATH];
  if (!unixName || !MultiByteToWideChar(CP_ACP, 0, full, -1, wide, MAX_PATH)) {
    return Fail("the folder name is not usable");
  }
  char* mountPoint = unixName(wide);
  if (!mountPoint) return Fail("the folder has no Unix path");
  bool ok = DefineWineDrive(letter, mountPoint);
  HeapFree(GetProcessHeap(), 0, mountPoint);
  if (!ok || !LetterPresent(letter - 'A')) return Fail("the drive could not be mapped", letter);
  return 0;
}

int Unmap(char letter) {
  if (!LetterPresent(letter - 'A')) return Fail("the drive letter is not in use", letter);
  char drive[3] = {letter, ':', '\0'};
  if (!RunningUnderWine()) {
    if (!DefineDosDeviceA(DDD_REMOVE_DEFINITION, drive, nullptr)) {
      return Fail("the drive could not be removed", letter);
    }
    return 0;
  }
  if (!DefineWineDrive(letter, nullptr) || LetterPresent(letter - 'A')) {
    return Fail("the drive could not be removed", letter);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Fail("usage: mapdrive X: \"folder\" | mapdrive X: /D");
  const char* drive = argv[1];
  if (strlen(drive) != 2 || drive[1] != ':' || !IsCharAlphaA(drive[0])) {
    return Fail("the drive letter must be given as X:");
  }
  char letter = static_cast<char>(drive[0] & ~0x20);
  if (letter < 'A' || letter > 'Z') return Fail("the drive letter must be given as X:");
  if (lstrcmpiA(argv[2], "/D") == 0) return Unmap(letter);
  return Map(letter, argv[2]);
}
