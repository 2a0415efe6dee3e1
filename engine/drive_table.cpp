#include "drive_table.h"

#include <shellapi.h>

#include <cstring>

#include "bounded_text.h"
#include "drive_letter.h"
#include "file_handle.h"

DWORD letterWaitLimitMs = 10000;
DriveTable* timerTable = nullptr;

namespace {

// Starts one of the batch files beside the executable, hidden; 1 when the shell started it.
int RunBatch(const char* file, const char* parameters) {
  INT_PTR result = reinterpret_cast<INT_PTR>(
      ShellExecuteA(nullptr, "open", file, parameters, nullptr, SW_HIDE));
  return result >= 32 ? 1 : 0;
}

}  // namespace

int IsUsableRoot(const char* root) {
  // The longest derived path is the emptying pattern: the root, 12 more characters and the
  // second NUL the shell wants, in 260 bytes.
  constexpr size_t LongestRoot = 246;
  if (root == nullptr) return 0;
  size_t length = strlen(root);
  return length >= 3 && length <= LongestRoot && IsCharAlphaA(root[0]) && root[1] == ':' &&
         root[2] == '\\';
}

int FormatDrivePath(const char* root, int letter, char* buffer, size_t size) {
  if (!IsUsableRoot(root) || letter >= LetterCount) return 0;
  if (letter == AllDriveFolders) return FormatBounded(buffer, size, "%s\\Drive", root);
  if (letter < 0) return 0;
  return FormatBounded(buffer, size, "%s\\Drive\\%c", root, 'A' + letter);
}

DriveTable::DriveTable()
    : kinds(), slots(), TempRoot(), PendingTempRoot(), settings(), stateRestored(0),
      uncleanEnd(0), restoreQueue(), savedDrives(), savedNextRoot(), savedValid(0),
      mappedLetters(0), unrestoredPending(0), shutDownDone(0), baselines(), passwords(),
      offeredPassword(), offeredArchive(), passwordWithheld(0), withheldDrives() {
  for (DriveKind& kind : kinds) kind = DriveKind::Free;
  timerTable = this;
  RefreshDriveKinds();
}

DriveTable::~DriveTable() {
  SaveAndShutdown();
  if (timerTable == this) timerTable = nullptr;
}

void DriveTable::RefreshDriveKinds() {
  DWORD present = GetLogicalDrives();
  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    if (kinds[letter] == DriveKind::Virtual) continue;
    kinds[letter] = DriveKind::Free;
    if (!((present >> letter) & 1)) continue;
    char root[4] = {static_cast<char>('A' + letter), ':', '\\', '\0'};
    switch (GetDriveTypeA(root)) {
      case DRIVE_REMOVABLE: kinds[letter] = DriveKind::Removable; break;
      case DRIVE_FIXED: kinds[letter] = DriveKind::Fixed; break;
      case DRIVE_REMOTE: kinds[letter] = DriveKind::Remote; break;
      case DRIVE_CDROM: kinds[letter] = DriveKind::CdRom; break;
      case DRIVE_RAMDISK: kinds[letter] = DriveKind::RamDisk; break;
      default: kinds[letter] = DriveKind::Unclassified; break;
    }
  }
}

int DriveTable::FormatDriveFolder(uint8_t letter, char (&buffer)[PathSize]) const {
  return FormatDrivePath(TempRoot, letter, buffer, sizeof buffer);
}

int DriveTable::CreateVirtualDrive(uint8_t letter, const char* root) {
  if (letter >= LetterCount || kinds[letter] != DriveKind::Free) return 0;
  // The stored kind may be stale: a medium may have arrived since the last refresh.
  if (LetterPresent(letter)) return 0;
  char folder[PathSize];
  if (!FormatDrivePath(root, letter, folder, sizeof folder)) return 0;
  // Not checked: the batch file reports a folder it cannot map by not mapping it.
  CreateDirectoryPath(folder);

  char parameters[PathSize + 8];
  if (!FormatBounded(parameters, sizeof parameters, "%c: \"%s\"", 'A' + letter, folder)) return 0;
  if (!RunBatch("CDRV.BAT", parameters)) return 0;

  DWORD start = GetTickCount();
  while (!LetterPresent(letter)) {
    if (GetTickCount() - start >= letterWaitLimitMs) {
      // Undo a mapping that might still arrive late, so the letter is not left behind.
      char drive[3] = {static_cast<char>('A' + letter), ':', '\0'};
      RunBatch("DDRV.BAT", drive);
      return 0;
    }
    Sleep(1);
  }
  kinds[letter] = DriveKind::Virtual;
  mappedLetters |= 1u << letter;
  SaveSettings();
  return 1;
}

int DriveTable::RemoveVirtualDrive(uint8_t letter) {
  if (letter >= LetterCount || kinds[letter] != DriveKind::Virtual) return 0;
  char drive[3] = {static_cast<char>('A' + letter), ':', '\0'};
  if (!RunBatch("DDRV.BAT", drive)) return 0;
  kinds[letter] = DriveKind::Free;
  mappedLetters &= ~(1u << letter);
  // A removed drive's section goes, also one kept for a password not given.
  passwordWithheld &= ~(1u << letter);
  ForgetPassword(letter);
  SaveSettings();
  return 1;
}

void DriveTable::RemoveAllVirtualDrives() {
  for (uint8_t letter = 0; letter < LetterCount; ++letter) RemoveVirtualDrive(letter);
}
