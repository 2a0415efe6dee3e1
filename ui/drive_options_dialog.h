// The drive options dialog: the write-back options and the update interval of one virtual
// drive. It edits the settings draft's row that SelectedRow names; OK stores its choices
// into the draft, and nothing reaches the drive table before the settings dialog's OK.
#pragma once

#include <windows.h>

#include "drive_table.h"
#include "up_down_control.h"

// The working copy of the draft row's flags while the dialog is open. Every bit is
// carried, also those the dialog does not show (the run-time marks, bits without a name).
extern SlotFlags WorkingFlags;

// The interval's up-down control, built on the dialog's first use and kept until the
// process ends.
UpDownControl& IntervalUpDown();

INT_PTR CALLBACK DriveOptionsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
