#include "drive_letter.h"

#include <cstring>

namespace {

// The identity of what a path opens, as the file system sees it.
struct OpenedIdentity {
  DWORD indexHigh = 0;
  DWORD indexLow = 0;
  char finalPath[MAX_PATH] = {};
};

int Identify(const char* path, OpenedIdentity* identity) {
  // Folders open only with the backup-semantics flag.
  HANDLE h = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  DWORD length = 0;
  int known = GetFileInformationByHandle(h, &info) != 0;
  if (known) {
    length = GetFinalPathNameByHandleA(h, identity->finalPath, sizeof identity->finalPath, 0);
  }
  CloseHandle(h);
  if (!known || length == 0 || length >= sizeof identity->finalPath) return 0;
  identity->indexHigh = info.nFileIndexHigh;
  identity->indexLow = info.nFileIndexLow;
  return 1;
}

}  // namespace

int LetterShowsFolder(int letter, const char* folder) {
  char drive[3] = {static_cast<char>('A' + letter), ':', '\0'};
  // On Windows a letter mapped onto a folder reads back as "\??\" and the folder.
  char target[MAX_PATH + 8] = {};
  if (QueryDosDeviceA(drive, target, sizeof target) != 0 && strncmp(target, "\\??\\", 4) == 0) {
    return lstrcmpiA(target + 4, folder) == 0;
  }
  // Wine's drives read back as a device: compare what the two paths open instead. Wine
  // names a folder by the first letter that reaches it, so both final paths agree too.
  char root[4] = {drive[0], ':', '\\', '\0'};
  OpenedIdentity shown, wanted;
  return Identify(root, &shown) && Identify(folder, &wanted) &&
         shown.indexHigh == wanted.indexHigh && shown.indexLow == wanted.indexLow &&
         lstrcmpiA(shown.finalPath, wanted.finalPath) == 0;
}
