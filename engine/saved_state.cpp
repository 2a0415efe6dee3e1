// The saved state: re-creating the saved drives at start-up, and the exit sequence that
// writes the settings file, releases and unmaps every drive and moves the temporary root.
#include "drive_table.h"

#include <shellapi.h>
#include <shlwapi.h>

#include <cstring>

#include "bounded_text.h"
#include "drive_letter.h"
#include "folder_walk.h"

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

// Marks that the program is running: written with every save while it runs and left out
// by the exit's last one, so a file that still has it tells of a run that never reached its
// exit. An older program ignores the section.
const char SessionSection[] = "Session";
const char RunningKey[] = "RUNNING";
// The root chosen for the next run, saved while running so that a crash does not lose the
// choice; PATH keeps naming the root the drive folders are under until the exit moves them.
const char NextRootKey[] = "NEXTPATH";

// Writes the whole settings file: into a file beside it, which replaces it only when
// complete, so the old file stays whatever goes wrong. 1 when it was replaced.
int WriteSettingsFile(ProfileFile& settings, const char* root, const char* nextRoot,
                      const SavedDrive (&drives)[LetterCount], int running) {
  settings.SetPath(SettingsName, ExecutableDirectory);
  char finalPath[sizeof settings.path];
  char draftPath[sizeof settings.path];
  int written = settings.ready && CopyBounded(finalPath, sizeof finalPath, settings.path) &&
                FormatBounded(draftPath, sizeof draftPath, "%s.new", finalPath);
  if (!written) return 0;
  DeleteFileA(draftPath);
  settings.SetPath(draftPath, GivenPath);
  written = settings.WriteString(RootSection, "PATH", root);
  if (written && nextRoot != nullptr && strcmp(root, nextRoot) != 0) {
    written = settings.WriteString(RootSection, NextRootKey, nextRoot);
  }
  for (uint8_t letter = 0; written && letter < LetterCount; ++letter) {
    const SavedDrive& drive = drives[letter];
    if (!drive.saved) continue;
    char section[4];
    FormatSection(letter, section);
    written = settings.WriteString(section, "FILEPATH", drive.archivePath) &&
              settings.WriteInt(section, "UPTIME", drive.intervalMinutes) &&
              settings.WriteInt(section, "FLAG", drive.flags & ~RunTimeMarks);
  }
  if (written && running) written = settings.WriteInt(SessionSection, RunningKey, 1);
  if (written) {
    written = MoveFileExA(draftPath, finalPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  }
  if (!written) DeleteFileA(draftPath);
  settings.SetPath(SettingsName, ExecutableDirectory);
  return written;
}

void SaveSlot(const DriveSlot& slot, SavedDrive* drive) {
  drive->saved = 1;
  CopyBounded(drive->archivePath, sizeof drive->archivePath, slot.archivePath);
  drive->intervalMinutes = slot.intervalMinutes;
  drive->flags = slot.flags & ~RunTimeMarks;
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
  passwordWithheld = 0;
  uncleanEnd = 0;
  memset(restoreQueue, 0, sizeof restoreQueue);
  if (!ReadSavedDrives()) {
    SaveSettings();
    return 1;
  }
  // From here on every change is saved as it happens; drives still in the queue are
  // saved as they were read.
  stateRestored = 1;
  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    if (restoreQueue[letter].saved) RestoreDrive(letter);
  }
  SaveSettings();
  return 1;
}

int DriveTable::ReadSavedDrives() {
  // A settings file counts as absent only when it is really not there; one that exists but
  // cannot be read now (held open, no rights) is left exactly as it is, at exit too.
  HANDLE file = CreateFileA(SettingsName, GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    CurrentDirectoryAsRoot(TempRoot);
    memcpy(PendingTempRoot, TempRoot, sizeof TempRoot);
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) stateRestored = 1;
    return 0;
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
  memcpy(PendingTempRoot, TempRoot, sizeof TempRoot);
  if (settings.ReadString(RootSection, NextRootKey, root, sizeof root)) SetPendingTempRoot(root);
  uncleanEnd = settings.ReadInt(SessionSection, RunningKey) != 0;

  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    char section[4];
    FormatSection(letter, section);
    SavedDrive& saved = restoreQueue[letter];
    char path[256];
    if (!settings.ReadString(section, "FILEPATH", path, sizeof path)) continue;
    saved.saved = 1;
    memcpy(saved.archivePath, path, sizeof path);
    saved.flags = static_cast<SlotFlags>(settings.ReadInt(section, "FLAG"));
    saved.intervalMinutes = static_cast<uint16_t>(settings.ReadInt(section, "UPTIME"));
  }
  return 1;
}

void DriveTable::RestoreDrive(uint8_t letter) {
  const SavedDrive saved = restoreQueue[letter];
  DriveSlot& slot = slots[letter];
  int created = TakeOverMapping(letter) || CreateVirtualDrive(letter, TempRoot);
  if (created || (saved.flags & WriteBackPending)) {
    memcpy(slot.archivePath, saved.archivePath, sizeof slot.archivePath);
    slot.flags = saved.flags;
    slot.intervalMinutes = saved.intervalMinutes;
  }
  restoreQueue[letter].saved = 0;
  if (!created) {
    // Its folder still holds changes the archive lacks: keep the drive in the settings
    // file, and its kind, so that it can be written back once the letter is free again.
    if (saved.flags & WriteBackPending) {
      unrestoredPending |= 1u << letter;
      slot.archiveKind = Check(slot.archivePath);
    }
    SaveSettings();
    return;
  }
  if (!RecoverDriveFolder(letter)) BindArchive(letter, slot.archivePath, 0);
}

int DriveTable::RecoverDriveFolder(uint8_t letter) {
  DriveSlot& slot = slots[letter];
  if (slot.flags & ExtractionUnfinished) {
    // The folder holds part of an archive and nothing the user made: start over.
    EmptyDriveFolder(letter);
    slot.flags &= ~(ExtractionUnfinished | WriteBackPending);
    BindArchive(letter, slot.archivePath, 1);
    return 1;
  }
  char folder[PathSize];
  if (uncleanEnd && (slot.flags & ReflectToArchive) && FormatDriveFolder(letter, folder) &&
      FolderHoldsSomething(folder)) {
    // The last run ended without its write-back: what the folder holds may be newer than
    // the archive, so it is shown as it is and packed at the next write-back.
    slot.flags |= WriteBackPending;
  }
  return 0;
}

void DriveTable::TakeSnapshot(SavedDrive (&drives)[LetterCount]) const {
  memset(drives, 0, sizeof drives);
  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    const DriveSlot& slot = slots[letter];
    if (restoreQueue[letter].saved) {
      drives[letter] = restoreQueue[letter];
    } else if ((passwordWithheld >> letter) & 1) {
      drives[letter] = withheldDrives[letter];
    } else if (kinds[letter] == DriveKind::Virtual) {
      SaveSlot(slot, &drives[letter]);
    } else if (((unrestoredPending >> letter) & 1) && (slot.flags & WriteBackPending)) {
      // Not re-created at start-up, its changes still wait in its folder.
      SaveSlot(slot, &drives[letter]);
    }
  }
}

void DriveTable::SaveSettings() {
  if (!stateRestored || shutDownDone) return;
  SavedDrive drives[LetterCount];
  TakeSnapshot(drives);
  if (savedValid && memcmp(drives, savedDrives, sizeof drives) == 0 &&
      strcmp(savedNextRoot, PendingTempRoot) == 0) {
    return;
  }
  if (!WriteSettingsFile(settings, TempRoot, PendingTempRoot, drives, 1)) return;
  memcpy(savedDrives, drives, sizeof drives);
  memcpy(savedNextRoot, PendingTempRoot, sizeof savedNextRoot);
  savedValid = 1;
}

int DriveTable::TakeOverMapping(uint8_t letter) {
  char folder[PathSize];
  if (letter >= LetterCount || kinds[letter] == DriveKind::Virtual || !LetterPresent(letter) ||
      !FormatDriveFolder(letter, folder) || !LetterShowsFolder(letter, folder)) {
    return 0;
  }
  kinds[letter] = DriveKind::Virtual;
  mappedLetters |= 1u << letter;
  return 1;
}

void DriveTable::SaveAndShutdown(int showMessages) {
  if (shutDownDone) return;
  shutDownDone = 1;
  // An ending session waits on no dialog either: a write-back that needs a password it was
  // never given keeps its changes in the folder.
  if (!showMessages) passwordSink = nullptr;
  auto tell = [this, showMessages](EngineNotice notice, uint8_t letter, const char* folder) {
    if (showMessages && noticeSink != nullptr) noticeSink(notice, letter, folder, reports[letter]);
  };
  RefreshDriveKinds();

  // The archives as bound, before the releases forget them.
  SavedDrive drives[LetterCount];
  TakeSnapshot(drives);
  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    if (kinds[letter] != DriveKind::Virtual) continue;
    DriveSlot& slot = slots[letter];
    if (!ReleaseArchive(letter, 0)) {
      char folder[PathSize] = {};
      FormatDriveFolder(letter, folder);
      tell(ChangesHeldBack(letter) ? EngineNotice::ChangesKept : EngineNotice::FolderNotEmptied,
           letter, folder);
    }
    // A failed release restarts the timer; the drive is going away.
    StopUpdateTimer(letter);
    slot.flags &= ~RunTimeMarks;
    drives[letter].flags = slot.flags;
    if (RemoveVirtualDrive(letter)) WaitUntilLetterGone(letter);
  }

  int moveFailed = stateRestored && strcmp(TempRoot, PendingTempRoot) != 0 && !MoveTempRoot();
  // After a failed move the drive folders are still under the old root: the next run must
  // look there. Without a restored state (a failed start, an unreadable file) the settings
  // file is left alone.
  if (stateRestored) {
    WriteSettingsFile(settings, moveFailed ? TempRoot : PendingTempRoot, nullptr, drives, 0);
  }
  if (moveFailed) tell(EngineNotice::RootNotMoved, 0, "");

  SecureZeroMemory(passwords, sizeof passwords);
  SecureZeroMemory(offeredPassword, sizeof offeredPassword);
  ReleaseDLL();
  RemoveAllVirtualDrives();
  // Timers of drives removed during the run are not released by anything else.
  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    if (slots[letter].timerId != 0) StopUpdateTimer(letter);
  }
}

void DriveTable::ApplyOptions(uint8_t letter, SlotFlags flags, uint16_t intervalMinutes) {
  if (letter >= LetterCount) return;
  DriveSlot& slot = slots[letter];
  slot.flags = static_cast<SlotFlags>((flags & ~TableOwnedFlags) | (slot.flags & TableOwnedFlags));
  slot.intervalMinutes = intervalMinutes;
  if (flags & TimedUpdate) {
    StartUpdateTimer(letter);
  } else {
    StopUpdateTimer(letter);
  }
  SaveSettings();
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
  SaveSettings();
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
