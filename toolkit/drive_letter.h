// What every part of the program asks about a drive letter.
#pragma once

#include <windows.h>

// 1 when the drive letter (0 = A:) is present in the system right now.
inline int LetterPresent(int letter) { return (GetLogicalDrives() >> letter) & 1; }

// 1 when the letter (0 = A:) shows exactly the given folder: a mapping onto it.
int LetterShowsFolder(int letter, const char* folder);
