// The saved state: re-creating the saved drives at start-up, and the exit sequence that
// writes the settings file, releases and unmaps every drive and moves the temporary root.
#include "drive_table.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstring>

#include "bounded_text.h"
#include "drive_letter.h"

namespace {

const char SettingsName[] = "Tembrook.ini";
const char RootSection[] = "Temporally Folder";
// How long the exit waits for an unmapped letter to vanish, so that a quick restart finds
// it free.
constexpr DWORD LetterGoneWaitMs = 2000;

// The current directory (the executable's, from start-up on), or an empty text when it
// cannot serve as a root.
void CurrentDirectoryAsRoot(char (&root)[PathSize]) {
  char current[256] = {};
  DWORD n = GetCurrentDirectoryA(sizeof current, current);
  if (n == 0 || n >= sizeof current || !IsUsableRoot(current)) current[0] = '\0';
  memcpy(root, current, sizeof current);
  root[sizeof current] = '\0';
}

void WaitUntilLetterGone(uint8_t letter) {
  DWORD start = GetTickCount();
  while (LetterPresent(letter) && GetTickCount() - start < LetterGoneWaitMs) Sleep(10);
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

void FormatSection(uint8_t letter, char (&section)[4]) {
  FormatBounded(section, sizeof section, "%c:", 'A' + letter);
}

// The settings file written at exit: the new content goes to a file beside the old one,
// which it replaces only when it is complete; the old one stays if anything goes wrong.
class NewSettingsFile {
 public:
  explicit NewSettingsFile(ProfileFile& settings) : settings_(settings) {}

  void Begin(const char* root) {
    settings_.SetPath(SettingsName, ExecutableDirectory);
    writing_ = settings_.ready && CopyBounded(final_, sizeof final_, settings_.path) &&
               FormatBounded(draft_, sizeof draft_, "%s.new", final_);
    if (!writing_) return;
    DeleteFileA(draft_);
    settings_.SetPath(draft_, GivenPath);
    WriteRoot(root);
  }
  void WriteRoot(const char* root) {
    if (writing_) writing_ = settings_.WriteString(RootSection, "PATH", root);
  }
  void WriteDrive(uint8_t letter, const char* path, uint16_t interval) {
    char section[4];
    FormatSection(letter, section);
    if (writing_) {
      writing_ = settings_.WriteString(section, "FILEPATH", path) &&
                 settings_.WriteInt(section, "UPTIME", interval);
    }
  }
  void WriteFlags(uint8_t letter, SlotFlags flags) {
    char section[4];
    FormatSection(letter, section);
    if (writing_) writing_ = settings_.WriteInt(section, "FLAG", flags & ~RunTimeMarks);
  }
  void Commit() {
    if (writing_) {
      writing_ = MoveFileExA(draft_, final_, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    }
    if (!writing_ && draft_[0] != '\0') DeleteFileA(draft_);
    settings_.SetPath(SettingsName, ExecutableDirectory);
  }

 private:
  ProfileFile& settings_;
  char final_[sizeof settings_.path] = {};
  char draft_[sizeof settings_.path] = {};
  int writing_ = 0;
};

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
  HANDLE file = CreateFileA(SettingsName, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    CurrentDirectoryAsRoot(TempRoot);
    memcpy(PendingTempRoot, TempRoot, sizeof TempRoot);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) stateRestored = 1;
    return 1;
  }
  CloseHandle(file);

  settings.SetPath(SettingsName, ExecutableDirectory);
  char root[256];
  if (!settings.ReadString(RootSection, "PATH", root, sizeof root) || !IsUsableRoot(root) ||
      !PathIsDirectoryA(root)) {
    CurrentDirectoryAsRoot(TempRoot);
  } else {
    memcpy(TempRoot, root, sizeof root);
  }

  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    char section[4];
    FormatSection(letter, section);
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
  auto tell = [this, showMessages](ExitNotice notice, uint8_t letter, const char* folder) {
    if (showMessages && noticeSink != nullptr) noticeSink(notice, letter, folder);
  };
  RefreshDriveKinds();

  // Without a restored state (a failed start, an unreadable file) the settings file and the
  // temporary root are left alone; only what this process mapped is undone.
  NewSettingsFile file(settings);
  if (stateRestored) file.Begin(PendingTempRoot);

  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    DriveSlot& slot = slots[letter];
    if (kinds[letter] != DriveKind::Virtual) {
      // A drive that could not be re-created at start-up keeps its section while its
      // folder still holds changes the archive lacks.
      if (((unrestoredPending >> letter) & 1) && (slot.flags & WriteBackPending)) {
        file.WriteDrive(letter, slot.archivePath, slot.intervalMinutes);
        file.WriteFlags(letter, slot.flags);
      }
      continue;
    }
    // The archive is saved as bound before the release forgets it.
    file.WriteDrive(letter, slot.archivePath, slot.intervalMinutes);
    if (!ReleaseArchive(letter, 0)) {
      char folder[PathSize] = {};
      FormatDriveFolder(letter, folder);
      tell(ChangesHeldBack(letter) ? ExitNotice::ChangesKept : ExitNotice::FolderNotEmptied,
           letter, folder);
    }
    // A failed release restarts the timer; the drive is going away.
    StopUpdateTimer(letter);
    slot.flags &= ~RunTimeMarks;
    file.WriteFlags(letter, slot.flags);
    if (RemoveVirtualDrive(letter)) WaitUntilLetterGone(letter);
  }

  int moveFailed = stateRestored && strcmp(TempRoot, PendingTempRoot) != 0 && !MoveTempRoot();
  // The drive folders are still under the old root: the next run must look there.
  if (moveFailed) file.WriteRoot(TempRoot);
  if (stateRestored) file.Commit();
  if (moveFailed) tell(ExitNotice::RootNotMoved, 0, "");

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
  if (accepted && FormatDrivePath(TempRoot, AllDriveFolders, driveFolders, sizeof driveFolders) &&
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
  // Lists for the shell end with two NULs: leave the last byte to spare.
  char from[PathSize] = {};
  char to[PathSize] = {};
  if (!FormatDrivePath(PendingTempRoot, AllDriveFolders, to, sizeof to - 1)) return 0;
  // No drive folder can lie under a root that was never usable: the new root is taken as
  // it is, so that a bad root can always be replaced.
  if (!IsUsableRoot(TempRoot)) return 1;
  if (!FormatDrivePath(TempRoot, AllDriveFolders, from, sizeof from - 1)) return 0;
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
