// Every text the program shows the user, and the one way it shows them: a message box
// with the caption "Tembrook" and an OK button.
#pragma once

#include <windows.h>

#include <cstdint>

#include "drive_table.h"
#include "tray_icon.h"

// The program's name: message-box caption, main window title and tray tip.
extern const char* const ApplicationName;

// Texts shown as they stand.
extern const char* const AlreadyRunningText;
extern const char* const CannotStartText;
extern const char* const DriveImageMissingText;
extern const char* const DriveImageUnreadableText;
extern const char* const AlreadyVirtualText;
extern const char* const NotUsableText;
extern const char* const NotInUseText;
extern const char* const CreateFailedText;
extern const char* const RemoveFailedText;
// Display names of the drive kinds, indexed by the kind's value.
extern const char* const DriveKindNames[8];
// The settings dialog: its lists' headings, a virtual drive's state, the folder browser's
// title.
extern const char* const FormatListHeading;
extern const char* const DriveListHeadings[4];
extern const char* const UpdateOnText;
extern const char* const UpdateOffText;
extern const char* const UpdatePendingText;
extern const char* const ChooseRootTitle;
// The drive options dialog's group caption: "%c" is the letter.
extern const char* const DriveGroupCaption;
// The tray icon's tip while the library works: the program, the letter, what it does.
extern const char* const BusyTipFormat;
extern const char* const ExtractingText;
extern const char* const WritingBackText;
// The password dialog: "%c" is the drive's letter; the line shown after a wrong password.
extern const char* const PasswordPromptText;
extern const char* const WrongPasswordText;
// Texts that name a drive: "%c" is its letter.
extern const char* const ArchiveInsideDriveText;
extern const char* const FolderNotEmptiedText;

// What was done about a drive whose changes could not be written back.
enum class KeptChanges {
  DropRefused,     // the dropped archive was not opened
  RemovalRefused,  // the drive was not removed
  AtExit,          // the changes stay in the drive folder
};

// What went wrong with a dropped archive: refused before the drive was touched, or its
// extraction failed after the drive's archive was let go (the drive is then empty).
enum class ArchiveProblem { Refused, ExtractionFailed };

// Shows the text; owner null gives a box with no owner.
void ShowMessage(HWND owner, const char* text);
// Shows a text that names a drive.
void ShowDriveMessage(HWND owner, const char* format, uint8_t letter);
// Tells that the drive's changes could not be written back, why where the library said, and
// what was done instead. folder: the drive folder, named in the exit's text.
void ShowKeptChanges(HWND owner, uint8_t letter, KeptChanges what, const LibraryReport& why,
                     const char* folder = "");
// Names the archive and the drive, and why where the library said.
void ShowArchiveProblem(HWND owner, ArchiveProblem problem, uint8_t letter, const char* path,
                        const LibraryReport& why);
// The engine's notices (its sink): the exit's in boxes with no owner, a failed timed
// write-back and entries left out in balloons from the tray icon; each with the reason or
// the count the drive's report gives.
void ShowEngineNotice(EngineNotice notice, uint8_t letter, const char* folder,
                      const LibraryReport& report);

// The icon that shows the balloons and the busy tip; the shell sets it once the icon exists.
// Null shows neither.
extern TrayIcon* noticeIcon;

// When set, texts go here instead of a message box or balloon (tests, and anything that
// must not wait on a box). A balloon's owner is HWND_MESSAGE.
extern void (*messageSink)(HWND owner, const char* text);
