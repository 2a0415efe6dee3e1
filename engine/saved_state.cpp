// The saved state: re-creating the saved drives at start-up, and the exit sequence that
// writes the settings file, releases and unmaps every drive and moves the temporary root.
#include "drive_table.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstring>

#include "bounded_text.h"

namespace {

const char kSettingsName[] = "Tembrook.ini";
const char kRootSection[] = "Temporally Folder";
const char kCaption[] = "Tembrook";
// How long the exit waits for an unmapped letter to vanish, so that a quick restart finds
// it free.
constexpr DWORD kLetterGoneWaitMs = 2000;
// Marks that mean something only while the program runs; they are never saved.
constexpr SlotFlags kRunTimeMarks = UnusedRuntimeMark | TimerRunning;

// Roots are absolute ("X:\...") and short enough for every path derived from them.
bool IsUsableRoot(const char* root) {
  size_t length = strlen(root);
  return length >= 3 && length <= 246 && IsCharAlphaA(root[0]) && root[1] == ':' &&
         root[2] == '\\';
}

// The current directory (the executable's, from start-up on), or an empty text when it
// cannot serve as a root.
void CurrentDirectoryAsRoot(char (&root)[PathSize]) {
  char current[256] = {};
  DWORD n = GetCurrentDirectoryA(sizeof current, current);
  if (n == 0 || n >= sizeof current || !IsUsableRoot(current)) current[0] = '\0';
  memcpy(root, current, sizeof current);
  root[sizeof current] = '\0';
}

bool LetterPresent(uint8_t letter) { return (GetLogicalDrives() >> letter) & 1; }

void WaitUntilLetterGone(uint8_t letter) {
  DWORD start = GetTickCount();
  while (LetterPresent(letter) && GetTickCount() - start < kLetterGoneWaitMs) Sleep(10);
}

// 1 when text names the folder prefix itself or something below it (letter case ignored,
// as the file system does).
int IsAtOrBelow(const char* text, const char* prefix) {
  int n = lstrlenA(prefix);
  if (lstrlenA(text) < n) return 0;
  if (CompareStringA(LOCALE_SYSTEM_DEFAULT, NORM_IGNORECASE, text, n, prefix, n) != CSTR_EQUAL) {
    return 0;
  }
  return text[n] == '\0' || text[n] == '\\';
}

// The exit's message for a drive whose release failed: with the mark its changes could not
// be written back and wait in its folder; without it the folder could not be emptied.
int FormatReleaseFailure(const DriveTable& table, uint8_t letter, char (&text)[512]) {
  char drive = static_cast<char>('A' + letter);
  if (!(table.slots[letter].flags & WriteBackPending)) {
    return FormatBounded(text, sizeof text,
                         "仮想ドライブ%c:で、テンポラリフォルダ削除エラーが発生しました。\n"
                         "手動でテンポラリフォルダを削除してください。",
                         drive);
  }
  char folder[PathSize] = {};
  table.FormatDriveFolder(letter, folder);
  return FormatBounded(text, sizeof text,
                       "仮想ドライブ%c:の内容を圧縮ファイルに書き戻せませんでした。\n"
                       "変更はテンポラリフォルダ%sに残してあります。",
                       drive, folder);
}

}  // namespace

int DriveTable::RestoreState() {
  if (!LoadDLL()) return 0;
  for (DriveSlot& slot : slots) {
    slot.archivePath[0] = '\0';
    slot.flags = 0;
    slot.intervalMinutes = 1;
    slot.timerId = 0;
  }
  unrestoredPending = 0;

  // A settings file counts as absent only when it is really not there; one that exists but
  // cannot be read now (held open, no rights) is left exactly as it is, at exit too.
  HANDLE file = CreateFileA(kSettingsName, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    CurrentDirectoryAsRoot(TempRoot);
    memcpy(PendingTempRoot, TempRoot, sizeof TempRoot);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) stateRestored = 1;
    return 1;
  }
  CloseHandle(file);

  settings.SetPath(kSettingsName, ExecutableDirectory);
  char root[256];
  if (!settings.ReadString(kRootSection, "PATH", root, sizeof root) || !IsUsableRoot(root) ||
      !PathIsDirectoryA(root)) {
    CurrentDirectoryAsRoot(TempRoot);
  } else {
    memcpy(TempRoot, root, sizeof root);
  }

  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    char section[4];
    FormatBounded(section, sizeof section, "%c:", 'A' + letter);
    char path[256];
    if (!settings.ReadString(section, "FILEPATH", path, sizeof path)) continue;
    SlotFlags flags = static_cast<SlotFlags>(settings.ReadInt(section, "FLAG"));
    uint16_t interval = static_cast<uint16_t>(settings.ReadInt(section, "UPTIME"));

    DriveSlot& slot = slots[letter];
    int created = CreateVirtualDrive(letter, TempRoot);
    if (!created && !(flags & WriteBackPending)) continue;
    memcpy(slot.archivePath, path, sizeof path);
    slot.flags = flags;
    slot.intervalMinutes = interval;
    if (!created) {
      // Its folder still holds changes the archive lacks: keep the drive in the settings
      // file, and its kind, so that it can be written back once the letter is free again.
      unrestoredPending |= 1u << letter;
      slot.archiveKind = Check(path);
      continue;
    }
    BindArchive(letter, path, 0);
  }

  memcpy(PendingTempRoot, TempRoot, sizeof TempRoot);
  stateRestored = 1;
  return 1;
}

void DriveTable::SaveAndShutdown(int showMessages) {
  if (shutDownDone) return;
  shutDownDone = 1;
  auto tell = [this, showMessages](const char* text) {
    if (!showMessages) return;
    if (messageSink != nullptr) {
      messageSink(text);
    } else {
      MessageBoxA(nullptr, text, kCaption, MB_OK);
    }
  };

  RefreshDriveKinds();

  // The new settings file is written beside the old one and replaces it only when it is
  // complete; the old one stays if anything goes wrong. Without a restored state (a failed
  // start, an unreadable file) the file is not touched at all.
  char finalPath[sizeof settings.path] = {};
  char draftPath[sizeof settings.path] = {};
  int saving = 0;
  if (stateRestored) {
    settings.SetPath(kSettingsName, ExecutableDirectory);
    saving = settings.ready && CopyBounded(finalPath, sizeof finalPath, settings.path) &&
             FormatBounded(draftPath, sizeof draftPath, "%s.new", finalPath);
    if (saving) {
      DeleteFileA(draftPath);
      settings.SetPath(draftPath, GivenPath);
      saving = settings.WriteString(kRootSection, "PATH", PendingTempRoot);
    }
  }

  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    DriveSlot& slot = slots[letter];
    char section[4];
    FormatBounded(section, sizeof section, "%c:", 'A' + letter);

    if (kinds[letter] != DriveKind::Virtual) {
      // A drive that could not be re-created at start-up keeps its section while its
      // folder still holds changes the archive lacks.
      if (saving && ((unrestoredPending >> letter) & 1) && (slot.flags & WriteBackPending)) {
        saving = settings.WriteString(section, "FILEPATH", slot.archivePath) &&
                 settings.WriteInt(section, "UPTIME", slot.intervalMinutes) &&
                 settings.WriteInt(section, "FLAG", slot.flags & ~kRunTimeMarks);
      }
      continue;
    }

    if (saving) {
      saving = settings.WriteString(section, "FILEPATH", slot.archivePath) &&
               settings.WriteInt(section, "UPTIME", slot.intervalMinutes);
    }
    if (!ReleaseArchive(letter, 0)) {
      char text[512];
      if (FormatReleaseFailure(*this, letter, text)) tell(text);
    }
    // A failed release restarts the timer; the drive is going away.
    StopUpdateTimer(letter);
    slot.flags &= ~kRunTimeMarks;
    if (saving) saving = settings.WriteInt(section, "FLAG", slot.flags);
    if (RemoveVirtualDrive(letter)) WaitUntilLetterGone(letter);
  }

  int moveFailed = 0;
  if (stateRestored && strcmp(TempRoot, PendingTempRoot) != 0 && !MoveTempRoot()) {
    moveFailed = 1;
    // The drive folders are still under the old root: the next run must look there.
    if (saving) saving = settings.WriteString(kRootSection, "PATH", TempRoot);
  }
  if (stateRestored) {
    if (saving) {
      saving = MoveFileExA(draftPath, finalPath,
                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    }
    if (!saving && draftPath[0] != '\0') DeleteFileA(draftPath);
    settings.SetPath(kSettingsName, ExecutableDirectory);
  }
  if (moveFailed) tell("テンポラリフォルダの移動に失敗しました。");

  ReleaseDLL();
  RemoveAllVirtualDrives();
  // Timers of drives removed during the run are not released by anything else.
  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    if (slots[letter].timerId != 0) StopUpdateTimer(letter);
  }
}

void DriveTable::SetPendingTempRoot(const char* text) {
  char driveFolders[PathSize];
  int accepted = text != nullptr && IsUsableRoot(text) && PathIsDirectoryA(text);
  // The chosen root must outlive the exit: not on a drive that is about to be unmapped, and
  // not inside the folders that are about to be moved.
  if (accepted) {
    char drive = text[0];
    if (drive >= 'a' && drive <= 'z') drive = static_cast<char>(drive - 'a' + 'A');
    if (drive >= 'A' && drive <= 'Z' && kinds[drive - 'A'] == DriveKind::Virtual) accepted = 0;
  }
  if (accepted && IsUsableRoot(TempRoot) &&
      FormatBounded(driveFolders, sizeof driveFolders, "%s\\Drive", TempRoot) &&
      IsAtOrBelow(text, driveFolders)) {
    accepted = 0;
  }
  if (accepted) {
    CopyBounded(PendingTempRoot, sizeof PendingTempRoot, text);
  } else {
    memcpy(PendingTempRoot, TempRoot, sizeof TempRoot);
  }
}

int DriveTable::MoveTempRoot() {
  if (!IsUsableRoot(TempRoot) || !IsUsableRoot(PendingTempRoot)) return 0;
  // Lists for the shell end with two NULs: leave the last byte to spare.
  char from[PathSize] = {};
  char to[PathSize] = {};
  if (!FormatBounded(from, sizeof from - 1, "%s\\Drive", TempRoot) ||
      !FormatBounded(to, sizeof to - 1, "%s\\Drive", PendingTempRoot)) {
    return 0;
  }
  // An existing "Drive" there would receive the old one inside it instead of being replaced.
  if (GetFileAttributesA(to) != INVALID_FILE_ATTRIBUTES) return 0;
  // No drive folder was ever made under the old root: nothing to move.
  if (GetFileAttributesA(from) == INVALID_FILE_ATTRIBUTES) return 1;
  SHFILEOPSTRUCTA operation = {};
  operation.wFunc = FO_MOVE;
  operation.pFrom = from;
  operation.pTo = to;
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
  return SHFileOperationA(&operation) == 0 ? 1 : 0;
}
