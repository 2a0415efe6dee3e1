// Binding archives to virtual drives, releasing them, and writing a drive's contents back
// into its archive (on a timer, at a release, at exit).
#include "drive_table.h"

#include <shellapi.h>

#include <cstring>

#include "bounded_text.h"
#include "folder_walk.h"
#include "file_handle.h"

namespace {

// Wine's shell stops deleting at the first read-only file (Windows deletes it), so the
// attribute is cleared first. Junctions and other reparse points are neither changed nor
// entered: what they point to lies outside the drive folder.
void ClearReadOnlyBelow(const char* folder) {
  FolderWalk walk(folder);
  while (walk.Next()) {
    const WIN32_FIND_DATAA& data = walk.data;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
    char child[PathSize];
    if (!FormatBounded(child, sizeof child, "%s\\%s", folder, data.cFileName)) continue;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
      SetFileAttributesA(child, data.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY);
    }
    if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ClearReadOnlyBelow(child);
  }
}

// The bytes of the files below the folder, which emptying it gives back; junctions and other
// reparse points are not entered.
uint64_t FolderBytes(const char* folder) {
  uint64_t total = 0;
  FolderWalk walk(folder);
  while (walk.Next()) {
    const WIN32_FIND_DATAA& data = walk.data;
    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) continue;
    char child[PathSize];
    if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      total += (uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
    } else if (FormatBounded(child, sizeof child, "%s\\%s", folder, data.cFileName)) {
      total += FolderBytes(child);
    }
  }
  return total;
}

// The drive folder with a trailing backslash, as the library takes it for both directions.
int FormatDriveTarget(const DriveTable& table, uint8_t letter, char (&buffer)[PathSize]) {
  char folder[PathSize];
  if (!table.FormatDriveFolder(letter, folder)) return 0;
  return FormatBounded(buffer, sizeof buffer, "%s\\", folder);
}

// The library's Check with a password for this call only: the library is never left holding
// one between calls.
ArchiveKind CheckWithPassword(const char* path, const char* password) {
  SetPassword(password);
  ArchiveKind kind = Check(path);
  SetPassword(nullptr);
  return kind;
}

// Packs the drive folder into the drive's archive. With timed, a folder that still matches
// the listing kept at the last extraction or write-back is not packed: that is the timer's
// case only; a release, the exit and the settings dialog always pack.
int WriteBack(DriveTable& table, uint8_t letter, int timed) {
  if (letter >= LetterCount) return 0;
  DriveSlot& slot = table.slots[letter];
  // Packed from the folder behind the letter, not from the letter: a mapping that vanished
  // or a letter taken by another device must never end up in the archive.
  char folder[PathSize];
  char source[PathSize];
  if (!table.FormatDriveFolder(letter, folder) || !FormatDriveTarget(table, letter, source)) {
    return 0;
  }
  // Taken before packing: a change made while the library packs is newer than the
  // archive, so it must not end up in the baseline.
  FolderListing current;
  TakeFolderListing(folder, &current);
  FolderListing& baseline = table.baselines[letter];
  if (timed && !(slot.flags & WriteBackPending) && SameFolderListing(current, baseline)) {
    return 1;
  }
  ArchiveKind packing = PackingKind(slot.archiveKind);
  if (slot.flags & DeleteBeforeRepack) packing |= FreshBit;
  LibraryReport& report = table.reports[letter];
  report = LibraryReport();
  // Part of an archive is never packed over it.
  if (!(slot.flags & ExtractionUnfinished) && CanPack(slot.archiveKind, GetDLLType())) {
    if (!CanOpenExclusively(slot.archivePath)) {
      report.reason = GetFileAttributesA(slot.archivePath) == INVALID_FILE_ATTRIBUTES
                          ? ReasonArchiveMissing
                          : ReasonArchiveInUse;
    } else {
      int packed = table.RunPac(LibraryWork::WritingBack, letter, slot.archivePath, source,
                                packing);
      report = LastReport();
      // A kept folder was shown at start-up without the archive's password: its first
      // write-back asks for it.
      if (!packed && report.reason == ReasonPasswordNeeded && table.passwords[letter][0] == '\0' &&
          table.AskPassword(letter, slot.archivePath, PasswordTries, table.passwords[letter])) {
        packed = table.RunPac(LibraryWork::WritingBack, letter, slot.archivePath, source, packing);
        report = LastReport();
      }
      if (packed) {
        slot.flags &= ~WriteBackPending;
        baseline = current;
        table.SaveSettings();
        return 1;
      }
    }
  }
  // A failed tick leaves the changes in the folder: the mark keeps them from being
  // extracted over, and the user hears of it once, not at every tick.
  if (timed && slot.archivePath[0] != '\0' && !(slot.flags & WriteBackPending) &&
      !(slot.flags & ExtractionUnfinished) && !IsReadOnlyFormat(slot.archiveKind, GetDLLType()) &&
      FolderHoldsSomething(folder)) {
    slot.flags |= WriteBackPending;
    table.SaveSettings();
    if (table.noticeSink != nullptr) {
      table.noticeSink(EngineNotice::TimedWriteBackFailed, letter, folder, report);
    }
  }
  return 0;
}

// A saved drive whose archive's password was not given: mapped, never bound to the archive,
// so that no write-back can reach it; its section stays as it was read, for the next start.
void WithholdArchive(DriveTable& table, uint8_t letter) {
  DriveSlot& slot = table.slots[letter];
  SavedDrive& kept = table.withheldDrives[letter];
  kept.saved = 1;
  memcpy(kept.archivePath, slot.archivePath, sizeof kept.archivePath);
  kept.intervalMinutes = slot.intervalMinutes;
  kept.flags = slot.flags & ~RunTimeMarks;
  table.passwordWithheld |= 1u << letter;
  table.ForgetPassword(letter);
  slot.archivePath[0] = '\0';
  slot.archiveKind = 0;
  slot.flags &= ~(WriteBackPending | ExtractionUnfinished);
}

}  // namespace

BindCheck DriveTable::CanBindArchive(uint8_t letter, const char* path) {
  if (letter >= LetterCount) return BindRefused;
  LibraryReport& report = reports[letter];
  SecureZeroMemory(offeredPassword, sizeof offeredPassword);
  offeredArchive[0] = '\0';
  ArchiveKind kind = Check(path);
  report = LastReport();
  if (kind == 0 && report.reason == ReasonPasswordNeeded && passwordSink != nullptr &&
      PasswordsSupported()) {
    kind = AskPassword(letter, path, 0, offeredPassword);
    if (kind == 0 && report.reason == ReasonPasswordNeeded) return BindCancelled;
    if (kind != 0 && !CopyBounded(offeredArchive, sizeof offeredArchive, path)) kind = 0;
  }
  if (kind == 0) return BindRefused;
  // The data must fit in the room the disk has, with what the drive's own folder gives back
  // once it is emptied for the new archive; a disk whose room cannot be told is left to the
  // extraction, which stops when it is full.
  char folder[PathSize], target[PathSize];
  ULARGE_INTEGER free;
  if (report.sized && FormatDriveFolder(letter, folder) &&
      FormatDriveTarget(*this, letter, target) &&
      GetDiskFreeSpaceExA(target, &free, nullptr, nullptr)) {
    uint64_t room = free.QuadPart + FolderBytes(folder);
    if (report.size > room) {
      report = LibraryReport();
      report.reason = ReasonNoRoom;
      report.needed = LastReport().size;
      report.available = room;
      return BindRefused;
    }
  }
  return BindAllowed;
}

ArchiveKind DriveTable::AskPassword(uint8_t letter, const char* path, int tries,
                                    char (&buffer)[PasswordSize]) {
  LibraryReport& report = reports[letter];
  report = LibraryReport();
  report.reason = ReasonPasswordNeeded;
  if (passwordSink == nullptr || !PasswordsSupported()) return 0;
  for (int tried = 0; tries == 0 || tried < tries; ++tried) {
    int wrong = report.reason == ReasonWrongPassword;
    SecureZeroMemory(buffer, sizeof buffer);
    if (!passwordSink(letter, path, wrong, buffer, sizeof buffer)) {
      report = LibraryReport();
      report.reason = ReasonPasswordNeeded;
      break;
    }
    buffer[sizeof buffer - 1] = '\0';
    ArchiveKind kind = CheckWithPassword(path, buffer);
    report = LastReport();
    if (kind != 0) return kind;
    // Refused for another reason than the password: asking again changes nothing.
    if (report.reason != ReasonWrongPassword) break;
  }
  SecureZeroMemory(buffer, sizeof buffer);
  return 0;
}

void DriveTable::ForgetPassword(uint8_t letter) {
  if (letter < LetterCount) SecureZeroMemory(passwords[letter], sizeof passwords[letter]);
}

int DriveTable::BindArchive(uint8_t letter, const char* path, int force) {
  if (letter >= LetterCount) return 0;
  DriveSlot& slot = slots[letter];
  char stored[PathSize];
  char folder[PathSize];
  char target[PathSize];
  if (!CopyBounded(stored, sizeof stored, path) || !FormatDriveFolder(letter, folder) ||
      !FormatDriveTarget(*this, letter, target)) {
    return 0;
  }
  // The password the drop's check accepted is this archive's.
  if (offeredArchive[0] != '\0' && strcmp(offeredArchive, path) == 0) {
    memcpy(passwords[letter], offeredPassword, sizeof offeredPassword);
  }
  SecureZeroMemory(offeredPassword, sizeof offeredPassword);
  offeredArchive[0] = '\0';
  ArchiveKind kind = CheckWithPassword(path, passwords[letter]);
  reports[letter] = LastReport();

  // Without force, a kept folder and one holding changes not yet written back are shown as
  // they are; but an empty or vanished folder is filled again, so that a later write-back
  // can never pack an empty drive over the archive.
  bool spare = !force && (slot.flags & (KeepFolderOnExit | WriteBackPending)) &&
               FolderHoldsSomething(folder);
  if (kind == 0 && reports[letter].reason == ReasonPasswordNeeded &&
      kinds[letter] == DriveKind::Virtual) {
    // Shown as it is, a kept folder needs no password until its first write-back.
    kind = spare ? ExtractionKind(FormatZip)
                 : AskPassword(letter, path, PasswordTries, passwords[letter]);
    if (kind == 0) {
      WithholdArchive(*this, letter);
      return 1;
    }
  }
  if (kind == 0 || kinds[letter] != DriveKind::Virtual) {
    ForgetPassword(letter);
    return 1;
  }
  passwordWithheld &= ~(1u << letter);
  if (!spare) {
    // Saved before the first file is written, so that an extraction cut off at any point
    // is known at the next start.
    slot.flags |= ExtractionUnfinished;
    SaveSettings();
    if (!RunPac(LibraryWork::Extracting, letter, path, target, kind)) {
      // A drive half filled would look like the whole archive: it is left empty, the mark
      // kept only if even that fails, so that the next start tries again.
      reports[letter] = LastReport();
      EmptyDriveFolder(letter);
      ForgetPassword(letter);
      return 0;
    }
    reports[letter] = LastReport();
    slot.flags &= ~(WriteBackPending | ExtractionUnfinished);
    TakeFolderListing(folder, &baselines[letter]);
    if (reports[letter].leftOut > 0 && noticeSink != nullptr) {
      noticeSink(EngineNotice::EntriesLeftOut, letter, folder, reports[letter]);
    }
  } else {
    // What the folder holds now may differ from the archive: the first tick packs.
    baselines[letter].taken = 0;
  }
  // Also when nothing was extracted: the kept folder can then be written back.
  slot.archiveKind = kind;
  if (slot.flags & TimedUpdate) StartUpdateTimer(letter);
  memcpy(slot.archivePath, stored, sizeof stored);
  SaveSettings();
  return 1;
}

int DriveTable::ReleaseArchive(uint8_t letter, int force) {
  if (letter >= LetterCount) return 0;
  DriveSlot& slot = slots[letter];
  if (slot.flags & TimedUpdate) StopUpdateTimer(letter);

  if (!SecureChanges(letter)) {
    // The folder holds the only copy of the drive's changes: keep it, and the archive it
    // belongs to, until a write-back succeeds.
    if (slot.flags & TimedUpdate) StartUpdateTimer(letter);
    return 0;
  }

  if ((slot.flags & KeepFolderOnExit) && !force) return 1;
  if (!EmptyDriveFolder(letter)) return 0;
  slot.archiveKind = 0;
  baselines[letter].taken = 0;
  slot.archivePath[0] = '\0';
  ForgetPassword(letter);
  SaveSettings();
  return 1;
}

int DriveTable::RunPac(LibraryWork work, uint8_t letter, const char* archive,
                       const char* folder, ArchiveKind kind) {
  if (workSink != nullptr) workSink(work, letter, 1);
  SetPassword(passwords[letter]);
  int result = Pac(archive, folder, kind);
  SetPassword(nullptr);
  if (workSink != nullptr) workSink(work, letter, 0);
  return result;
}

int DriveTable::WriteBackArchive(uint8_t letter) { return WriteBack(*this, letter, 0); }

int DriveTable::WriteBackWanted(uint8_t letter) const {
  if (letter >= LetterCount) return 0;
  const DriveSlot& slot = slots[letter];
  if (!(slot.flags & (ReflectToArchive | WriteBackPending)) || slot.archivePath[0] == '\0' ||
      (slot.flags & ExtractionUnfinished)) {
    return 0;
  }
  // There is no way to pack a format the library only reads: such a drive is let go as if
  // nothing were wanted, or it could never be released or removed.
  return !IsReadOnlyFormat(slot.archiveKind, GetDLLType());
}

int DriveTable::SecureChanges(uint8_t letter) {
  if (letter >= LetterCount) return 0;
  if (!WriteBackWanted(letter) || WriteBackArchive(letter)) return 1;
  char folder[PathSize];
  DriveSlot& slot = slots[letter];
  if (FormatDriveFolder(letter, folder) && !FolderHoldsSomething(folder)) {
    // An empty or vanished folder has nothing to lose (the archive may have been moved or
    // deleted): it must never hold the drive for good.
    slot.flags &= ~WriteBackPending;
    return 1;
  }
  slot.flags |= WriteBackPending;
  SaveSettings();
  return 0;
}

int DriveTable::ChangesHeldBack(uint8_t letter) const {
  return letter < LetterCount && (slots[letter].flags & WriteBackPending) &&
         WriteBackWanted(letter);
}

int DriveTable::TimedWriteBack(uint8_t letter) { return WriteBack(*this, letter, 1); }

int DriveTable::EmptyDriveFolder(uint8_t letter) {
  if (letter >= LetterCount) return 0;
  char folder[PathSize];
  if (!FormatDriveFolder(letter, folder)) return 0;
  // The shell takes a list of paths ending with two NULs: leave the last byte to spare.
  char pattern[PathSize] = {};
  if (!FormatBounded(pattern, sizeof pattern - 1, "%s\\*.*", folder)) return 0;

  // An empty or missing folder has nothing to delete; the shell may report a pattern that
  // matches nothing as an error.
  if (FolderHoldsSomething(folder)) {
    ClearReadOnlyBelow(folder);
    SHFILEOPSTRUCTA operation = {};
    operation.wFunc = FO_DELETE;
    operation.pFrom = pattern;
    operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION;
    // Some files may be gone even when the shell gives up.
    baselines[letter].taken = 0;
    if (SHFileOperationA(&operation) != 0) return 0;
  }
  // Whatever the folder held, changes or part of an archive, is gone.
  slots[letter].flags &= ~(WriteBackPending | ExtractionUnfinished);
  baselines[letter].taken = 0;
  SaveSettings();
  return 1;
}

void DriveTable::StartUpdateTimer(uint8_t letter) {
  if (letter >= LetterCount) return;
  DriveSlot& slot = slots[letter];
  if ((slot.flags & TimerRunning) || slot.timerId != 0) KillTimer(nullptr, slot.timerId);
  // An interval of 0 (a settings file edited by hand) would fire without pause.
  UINT minutes = slot.intervalMinutes != 0 ? slot.intervalMinutes : 1;
  // Without a window the platform ignores the requested identifier and picks its own.
  slot.timerId = static_cast<uint32_t>(
      SetTimer(nullptr, letter + 100, minutes * 60000u, &DriveTable::UpdateTimerProc));
  slot.flags |= TimerRunning;
}

void DriveTable::StopUpdateTimer(uint8_t letter) {
  if (letter >= LetterCount) return;
  DriveSlot& slot = slots[letter];
  if ((slot.flags & TimerRunning) || slot.timerId != 0) KillTimer(nullptr, slot.timerId);
  slot.timerId = 0;
}

void CALLBACK DriveTable::UpdateTimerProc(HWND, UINT, UINT_PTR timerId, DWORD) {
  DriveTable* table = timerTable;
  if (table == nullptr || timerId == 0) return;
  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    if (table->slots[letter].timerId == timerId) table->TimedWriteBack(letter);
  }
}

void ListWritableFormats(WritableFormats* formats) {
  formats->count = 0;
  FormatMask mask = GetDLLType();
  for (int i = 0; i < 32; ++i) {
    if (!((mask >> i) & 1)) continue;
    // A name too long for its row is shown cut short rather than not at all.
    lstrcpynA(formats->names[formats->count++], GetDLLStr(i), sizeof formats->names[0]);
  }
}
