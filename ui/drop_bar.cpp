#include "drop_bar.h"

#include <shellapi.h>

#include <cstring>

#include "application.h"
#include "bounded_text.h"
#include "messages.h"
#include "password_dialog.h"

uint8_t DropBarLetters[LetterCount + 1] = {DropBarListEnd};

namespace {

// The dropped file's path: at most 255 characters and the terminator.
constexpr UINT DropPathSize = 256;

int ListedCount() {
  int n = 0;
  while (DropBarLetters[n] != DropBarListEnd) ++n;
  return n;
}

// The listed letter whose icon covers column x of the bar, or DropBarListEnd. Note that
// x / 32 would turn -31..-1 into the first icon.
uint8_t LetterAtColumn(LONG x) {
  if (x < 0 || x >= DropBarIconSize * ListedCount()) return DropBarListEnd;
  return DropBarLetters[x / DropBarIconSize];
}

// The path absolute, with long names, in upper case, so that two spellings of one place
// compare equal byte for byte.
void CanonicalPath(const char* path, char (&result)[MAX_PATH]) {
  char full[MAX_PATH];
  DWORD length = GetFullPathNameA(path, sizeof full, full, nullptr);
  if (length == 0 || length >= sizeof full) CopyBounded(full, sizeof full, path);
  length = GetLongPathNameA(full, result, sizeof result);
  if (length == 0 || length >= sizeof result) CopyBounded(result, sizeof result, full);
  // Upper-cases whole characters of the code page, never the trail byte of a double-byte one.
  CharUpperBuffA(result, lstrlenA(result));
}

bool InsideFolder(const char* path, const char* folder) {
  size_t length = strlen(folder);
  while (length > 0 && folder[length - 1] == '\\') --length;
  return length > 0 && strncmp(path, folder, length) == 0 &&
         (path[length] == '\\' || path[length] == '\0');
}

// An archive on the drive itself, or in the folder behind it, would be deleted by the
// release that comes before the bind.
bool ArchiveInsideDrive(uint8_t letter, const char* path) {
  char archive[MAX_PATH];
  CanonicalPath(path, archive);
  const char driveName[3] = {static_cast<char>('A' + letter), ':', '\0'};
  if (InsideFolder(archive, driveName)) return true;
  char folder[PathSize];
  if (!driveTable.FormatDriveFolder(letter, folder)) return false;
  char canonicalFolder[MAX_PATH];
  CanonicalPath(folder, canonicalFolder);
  return InsideFolder(archive, canonicalFolder);
}

void ReplaceArchive(HWND bar, uint8_t letter, const char* path) {
  // The settings dialog can run while the bar is open and may have removed the drive.
  if (driveTable.kinds[letter] != DriveKind::Virtual) return;
  if (ArchiveInsideDrive(letter, path)) {
    ShowDriveMessage(bar, ArchiveInsideDriveText, letter);
    return;
  }
  // An archive the library cannot open, or one that does not fit, must not cost the drive
  // its archive.
  passwordOwner = bar;
  BindCheck check = driveTable.CanBindArchive(letter, path);
  passwordOwner = nullptr;
  if (check == BindCancelled) return;
  if (check != BindAllowed) {
    ShowArchiveProblem(bar, ArchiveProblem::Refused, letter, path, driveTable.reports[letter]);
    return;
  }
  if (!driveTable.ReleaseArchive(letter, 1)) {
    // Changes that could not be written back are still in the folder, which the new
    // archive must not overwrite.
    if (driveTable.ChangesHeldBack(letter)) {
      ShowKeptChanges(bar, letter, KeptChanges::DropRefused, driveTable.reports[letter]);
      return;
    }
    // Only the emptying failed: the new archive is extracted over what remained.
    ShowDriveMessage(bar, FolderNotEmptiedText, letter);
  }
  if (!driveTable.BindArchive(letter, path, 1)) {
    ShowArchiveProblem(bar, ArchiveProblem::ExtractionFailed, letter, path,
                       driveTable.reports[letter]);
  }
}

INT_PTR OnInitDialog(HWND bar) {
  int n = 0;
  for (uint8_t letter = 0; letter < LetterCount; ++letter) {
    if (driveTable.kinds[letter] == DriveKind::Virtual) DropBarLetters[n++] = letter;
  }
  DropBarLetters[n] = DropBarListEnd;
  if (n == 0) {
    EndDialog(bar, 0);
    return 0;
  }
  RECT workArea = {};
  SystemParametersInfoA(SPI_GETWORKAREA, 0, &workArea, 0);
  int width = DropBarIconSize * n;
  SetWindowPos(bar, HWND_TOPMOST, workArea.right - width, workArea.bottom - DropBarIconSize,
               width, DropBarIconSize, 0);
  return 1;
}

void OnPaint(HWND bar) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(bar, &paint);
  for (int k = 0; DropBarLetters[k] != DropBarListEnd; ++k) {
    BitBlt(dc, DropBarIconSize * k, 0, DropBarIconSize, DropBarIconSize, iconStrip.memoryDc,
           DropBarIconSize * DropBarLetters[k], 0, SRCCOPY);
  }
  EndPaint(bar, &paint);
}

void OnDropFiles(HWND bar, HDROP drop) {
  // Only the first file counts. A longer path would come back cut short, naming another
  // file or none: such a drop is ignored.
  char path[DropPathSize] = "";
  UINT length = DragQueryFileA(drop, 0, nullptr, 0);
  bool havePath = length > 0 && length < DropPathSize &&
                  DragQueryFileA(drop, 0, path, DropPathSize) == length;

  // The icon under the cursor; when the cursor has left the icons by now, the icon under
  // the drop point; otherwise none.
  POINT cursor = cursorPoint.Locate(bar, -1, -1);
  uint8_t letter = LetterAtColumn(cursor.x);
  if (letter == DropBarListEnd) {
    POINT dropPoint = {-1, -1};
    DragQueryPoint(drop, &dropPoint);
    letter = LetterAtColumn(dropPoint.x);
  }
  DragFinish(drop);

  if (havePath && letter != DropBarListEnd) ReplaceArchive(bar, letter, path);
  EndDialog(bar, 0);
}

}  // namespace

INT_PTR CALLBACK DropBarProc(HWND window, UINT message, WPARAM wParam, LPARAM) {
  switch (message) {
    case WM_INITDIALOG:
      return OnInitDialog(window);
    case WM_PAINT:
      OnPaint(window);
      return 0;
    case WM_LBUTTONDOWN:
      EndDialog(window, 0);
      return 1;
    case WM_DROPFILES:
      OnDropFiles(window, reinterpret_cast<HDROP>(wParam));
      return 0;
    default:
      return 0;
  }
}
