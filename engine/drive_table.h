// The engine's one object: what each of the 26 drive letters is, and for the letters this
// program mapped (virtual drives) which archive is bound and with which options.
// The engine never touches a window: the user interface calls these operations and shows
// what they return.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "archive_library.h"
#include "folder_listing.h"
#include "profile_file.h"

enum class DriveKind : uint16_t {
  Free = 0,
  Unclassified = 1,
  Removable = 2,
  Fixed = 3,
  Remote = 4,
  CdRom = 5,
  RamDisk = 6,
  Virtual = 7,
};

using SlotFlags = uint16_t;
// The low byte holds the write-back options; the high byte keeps the folder and holds the
// marks.
constexpr SlotFlags WriteBackOptions = 0x00FF;
constexpr SlotFlags ReflectToArchive = 0x0001;
constexpr SlotFlags TimedUpdate = 0x0002;
constexpr SlotFlags UpdateOnChange = 0x0004;  // stored, shown and saved; nothing acts on it
constexpr SlotFlags DeleteBeforeRepack = 0x0008;
constexpr SlotFlags KeepFolderOnExit = 0x0100;
// Persistent mark: the last wanted write-back failed, so the drive folder holds changes
// the archive lacks. Nothing may extract over or empty such a folder without packing it.
constexpr SlotFlags WriteBackPending = 0x0200;
// Persistent mark: an extraction into the drive folder began and has not finished, so the
// folder holds part of an archive and nothing the user made. Such a folder is never packed;
// the next start empties it and extracts again.
constexpr SlotFlags ExtractionUnfinished = 0x0400;
constexpr SlotFlags UnusedRuntimeMark = 0x1000;  // never set; cleared before saving
constexpr SlotFlags TimerRunning = 0x2000;       // run-time mark; cleared before saving
// Marks that mean something only while the program runs: never saved.
constexpr SlotFlags RunTimeMarks = UnusedRuntimeMark | TimerRunning;
// Bits the table keeps whatever a dialog's draft says: the run-time marks, and the persistent
// marks, which can change under an open dialog (a timed write-back fails or succeeds).
constexpr SlotFlags TableOwnedFlags = RunTimeMarks | WriteBackPending | ExtractionUnfinished;

constexpr int LetterCount = 26;
constexpr int PathSize = 260;
// A password as typed, with its terminating NUL.
constexpr int PasswordSize = 128;
// How often a start-up or a write-back asks for a password before it gives up.
constexpr int PasswordTries = 3;

// What CanBindArchive found.
enum BindCheck {
  BindRefused = 0,    // reports[letter] says why
  BindAllowed = 1,
  BindCancelled = 2,  // the user did not give the archive's password: nothing to tell
};

struct DriveSlot {
  char archivePath[PathSize];
  SlotFlags flags;
  ArchiveKind archiveKind;
  uint16_t intervalMinutes;
  uint32_t timerId;
};

// How long CreateVirtualDrive waits for a letter to appear. Tests may shorten it.
extern DWORD letterWaitLimitMs;

// A temporary root must be absolute ("X:\...") and short enough that every path derived
// from it fits in its buffer.
int IsUsableRoot(const char* root);

// Under a usable root, the folder of one drive ("%s\Drive\%c"), or with AllDriveFolders
// the folder that holds them all ("%s\Drive"). 0 when the root is unusable or the path does
// not fit in size bytes.
constexpr int AllDriveFolders = -1;
int FormatDrivePath(const char* root, int letter, char* buffer, size_t size);

// What the engine has to tell the user; the shell words it. The folder is the drive folder
// where it matters, otherwise empty.
enum class EngineNotice {
  FolderNotEmptied,      // at exit: the drive folder could not be emptied
  ChangesKept,           // at exit: the changes could not be written back and stay in the folder
  RootNotMoved,          // at exit: the drive folders could not be moved to the new root
  TimedWriteBackFailed,  // a timed write-back failed; told once until one succeeds
  EntriesLeftOut,        // a bind left entries out (the report counts them); they stay in
                         // the archive
};

// What the library is doing for a drive while the program waits for it.
enum class LibraryWork { Extracting, WritingBack };

// One drive as the settings file records it.
struct SavedDrive {
  int saved;  // 0: the letter has no section
  char archivePath[PathSize];
  uint16_t intervalMinutes;
  SlotFlags flags;  // run-time marks cleared
};

class DriveTable {
 public:
  DriveKind kinds[LetterCount];
  DriveSlot slots[LetterCount];
  char TempRoot[PathSize];
  char PendingTempRoot[PathSize];
  ProfileFile settings;

  // Set by RestoreState once the settings file was read (or found absent): without it
  // nothing writes the settings file or moves the temporary root.
  int stateRestored;
  // The settings file says the last run did not reach its exit: a drive folder holding
  // changes is then kept and written back rather than extracted over.
  int uncleanEnd;
  // Saved drives read at start-up and not re-created yet; the settings file keeps them.
  SavedDrive restoreQueue[LetterCount];
  // What the settings file records as last written while running, and whether it was.
  SavedDrive savedDrives[LetterCount];
  char savedNextRoot[PathSize];
  int savedValid;
  // Letters this process mapped (bit i = letter i); without stateRestored only these
  // are unmapped at the shut-down.
  uint32_t mappedLetters;
  // Saved drives that could not be re-created at start-up while their changes were still
  // waiting in their folders (bit i = letter i); their sections are kept at the next save.
  uint32_t unrestoredPending;
  // The shut-down runs at most once per process.
  int shutDownDone;
  // Per letter, the drive folder's listing right after the last extraction or successful
  // write-back; the timed write-back skips packing while the folder still matches it.
  FolderListing baselines[LetterCount];
  // Per letter, why its last bind or write-back failed as the library told it (reason
  // ReasonNone where it did not say), or, after a bind, what the extraction noticed.
  LibraryReport reports[LetterCount];
  // Where the engine's notices go: the shell installs its message boxes and balloon, tests
  // their own record. Null shows nothing: the engine never touches a window. report: the
  // drive's, which says why or how many.
  void (*noticeSink)(EngineNotice notice, uint8_t letter, const char* folder,
                     const LibraryReport& report) = nullptr;
  // Per letter, the password of the encrypted ZIP bound to it, empty for none. Kept here only,
  // only while that archive is bound, overwritten when it is let go; the library is given it
  // for each call and takes it back after.
  char passwords[LetterCount][PasswordSize];
  // The password a drop's check accepted, for the bind of that archive which follows.
  char offeredPassword[PasswordSize];
  char offeredArchive[PathSize];
  // Saved drives whose archive's password was not given at start-up (bit i = letter i):
  // mapped but not bound, so nothing is written over their archives; their sections are
  // kept as they were read, and the next start asks again.
  uint32_t passwordWithheld;
  SavedDrive withheldDrives[LetterCount];
  // Asks the user for an archive's password (wrong: the last one given did not open it);
  // 1 with the password in buffer, 0 when the user gave none. Null: nobody can be asked, and
  // such archives are refused.
  int (*passwordSink)(uint8_t letter, const char* archive, int wrong, char* buffer,
                      size_t size) = nullptr;
  // Told before (busy 1) and after (busy 0) each call that extracts or packs, so that the
  // shell can say what the program is doing while it blocks. Null tells nobody.
  void (*workSink)(LibraryWork work, uint8_t letter, int busy) = nullptr;

  // The library's Pac for a drive, told to the work sink around it.
  int RunPac(LibraryWork work, uint8_t letter, const char* archive, const char* folder,
             ArchiveKind kind);

  DriveTable();
  ~DriveTable();  // SaveAndShutdown
  DriveTable(const DriveTable&) = delete;
  DriveTable& operator=(const DriveTable&) = delete;

  // Drive letters.
  void RefreshDriveKinds();
  int CreateVirtualDrive(uint8_t letter, const char* root);
  int RemoveVirtualDrive(uint8_t letter);
  void RemoveAllVirtualDrives();

  // Archive binding and write-back.
  // Whether the library can open the archive and its data fits on the drive folder's disk;
  // asked before the drive's own archive is let go. An encrypted ZIP's password is asked for
  // until it opens the archive or the user gives up; the bind that follows takes it.
  BindCheck CanBindArchive(uint8_t letter, const char* path);
  // Asks for the password of an archive the library opens only with one, until one opens it
  // (its kind, the password in buffer) or the user gives up or tries runs out (0; tries 0
  // asks without end). reports[letter] says what the last check found.
  ArchiveKind AskPassword(uint8_t letter, const char* path, int tries,
                          char (&buffer)[PasswordSize]);
  // Overwrites a drive's password once its archive is let go.
  void ForgetPassword(uint8_t letter);
  // Binds the archive, extracting it unless a kept folder is shown as it is. An archive the
  // library refuses changes nothing (1: there is nothing to bind); a failed extraction leaves
  // the folder empty and the drive unbound (0). reports[letter] says why, or how many entries
  // were left out.
  int BindArchive(uint8_t letter, const char* path, int force);
  int ReleaseArchive(uint8_t letter, int force);
  int WriteBackArchive(uint8_t letter);
  // 1 when the drive's changes are to be packed into its archive before its folder is let
  // go: its options or the pending mark ask for it, an archive is bound, and its format is
  // not one the library can only read.
  int WriteBackWanted(uint8_t letter) const;
  // Packs the drive's changes where a write-back is wanted, before its folder is emptied or
  // its letter removed. 1 when the folder may be let go (written back, nothing wanted, or
  // nothing in it to lose); 0 when it holds changes that could not be written back: the
  // pending mark is then set.
  int SecureChanges(uint8_t letter);
  // 1 when the drive folder holds changes that a wanted write-back could not save; a failed
  // release of such a drive means "not written back", of any other "not emptied".
  int ChangesHeldBack(uint8_t letter) const;
  // The timer's write-back: like WriteBackArchive, but a drive whose folder has not changed
  // since its baseline (and holds no failed write-back) is not packed; that counts as 1.
  int TimedWriteBack(uint8_t letter);
  int EmptyDriveFolder(uint8_t letter);
  void StartUpdateTimer(uint8_t letter);
  void StopUpdateTimer(uint8_t letter);
  // The timers' callback; it reaches the table registered by the newest live DriveTable.
  static void CALLBACK UpdateTimerProc(HWND window, UINT message, UINT_PTR timerId, DWORD time);

  // Stores a drive's options as the settings dialog applies them (the table keeps its own
  // marks), and starts or stops its timer to match.
  void ApplyOptions(uint8_t letter, SlotFlags flags, uint16_t intervalMinutes);

  // Saved state, start-up and shut-down.
  int RestoreState();
  // Start-up's steps. Reads the settings file into the roots, uncleanEnd and the restore
  // queue; 0 when there is none to read (the root is then the current directory).
  int ReadSavedDrives();
  // Re-creates a queued drive and binds its archive again, or keeps it queued for the next
  // save when its letter is taken and its folder holds changes.
  void RestoreDrive(uint8_t letter);
  // What an interrupted run left in a re-created drive's folder: part of an archive is
  // extracted again from the start (1: the drive is bound); changes the archive may lack
  // are marked to be packed, not extracted over (0: bind as usual).
  int RecoverDriveFolder(uint8_t letter);
  // Rewrites the settings file, atomically, when what it records has changed: the drives,
  // their archives, options and marks, the temporary root. Only a process that restored the
  // state writes it, and only until the shut-down begins (which writes it last).
  void SaveSettings();
  // What the settings file records for the table as it stands.
  void TakeSnapshot(SavedDrive (&drives)[LetterCount]) const;
  // A saved letter still mapped onto its own drive folder (left by a process that was
  // killed) becomes a virtual drive again without being mapped anew; 1 when it did.
  int TakeOverMapping(uint8_t letter);
  // The teardown. With showMessages 0 (the session is ending) nothing waits on a message box
  // or a password dialog.
  void SaveAndShutdown(int showMessages = 1);
  void SetPendingTempRoot(const char* text);
  int MoveTempRoot();

  // The drive folder "%s\Drive\%c" of a letter under TempRoot; 0 when the root is unusable
  // or the path does not fit.
  int FormatDriveFolder(uint8_t letter, char (&buffer)[PathSize]) const;
};

// The table whose timers UpdateTimerProc serves.
extern DriveTable* timerTable;

// The formats the library can write back, by their display names in the library's order,
// copied at once (the library's text lasts only until its next call).
struct WritableFormats {
  int count;
  char names[32][64];
};
void ListWritableFormats(WritableFormats* formats);
