// The archive library Vessiko.dll as the program calls it. The library is loaded at run
// time from the executable's folder; until LoadDLL has succeeded every call fails
// harmlessly (0, or an empty text).
#pragma once

#include "archive_protocol.h"

// 1 when the library and all six of its functions were found and its own LoadDLL agreed.
int LoadDLL();
// Lets the library tidy up and unloads it; harmless when nothing is loaded.
void ReleaseDLL();
ArchiveKind Check(const char* archivePath);
int Pac(const char* archivePath, const char* folder, ArchiveKind kind);
FormatMask GetDLLType();
// The display name of a format; valid until the next call into the library.
const char* GetDLLStr(int index);
