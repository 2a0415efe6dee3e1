// The settings dialog: the 26 drive letters and what each one is, creating and removing
// virtual drives, each drive's options (through the drive options dialog), the formats the
// archive library offers and the temporary root for the next run.
//
// Every edit goes to the draft; only OK applies it to the drive table, in one pass over
// the letters A..Z.
#pragma once

#include <windows.h>

#include <cstdint>

#include "drive_table.h"

// The dialog's working copy of the drive table, refilled at each opening. The dialog
// writes only Free and Virtual into kinds; of each slot only archivePath, flags and
// intervalMinutes are used.
class SettingsDraft {
 public:
  DriveKind kinds[LetterCount];
  DriveSlot slots[LetterCount];
};

extern SettingsDraft settingsDraft;

// The drive-list row (equal to the letter index) that the last row command took from the
// list; -1 when nothing was selected. The drive options dialog edits this draft row.
extern int32_t SelectedRow;

// The settings dialog while one is open, null otherwise. A second opening brings this one
// to the front instead of refilling the draft under it.
extern HWND openSettingsDialog;

// Lets the user pick a folder with the shell's folder browser, owned by the main window.
// 1 when a folder was chosen and its path written into the buffer, 0 otherwise.
int ChooseFolder(char (&path)[PathSize]);

INT_PTR CALLBACK SettingsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
