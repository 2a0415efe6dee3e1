// The password dialog: asks for the password of an encrypted archive, naming the drive and
// the archive, and says so when the last one given was wrong. The password is typed hidden
// and handed straight to the drive table; the dialog keeps no copy.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

// The dialog's owner: the drop bar while a drop asks; null (no owner) at start-up and for a
// write-back.
extern HWND passwordOwner;

// The drive table's password sink: runs the dialog; 1 with the password in buffer, 0 when
// the user cancelled.
int AskArchivePassword(uint8_t letter, const char* archive, int wrong, char* buffer,
                       size_t size);

INT_PTR CALLBACK PasswordDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
