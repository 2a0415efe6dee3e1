// The one question every part of the program asks about a drive letter.
#pragma once

#include <windows.h>

// 1 when the drive letter (0 = A:) is present in the system right now.
inline int LetterPresent(int letter) { return (GetLogicalDrives() >> letter) & 1; }
