// The archive library Vessiko.dll as the program calls it. The library is loaded at run
// time from the executable's folder; until LoadDLL has succeeded every call fails
// harmlessly (0, or an empty text).
#pragma once

#include <cstdint>

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

// What the library told of its last Check or Pac: the reason of a failure (ReasonNone when it
// gave none, or succeeded), what the reason concerns, and what an extraction noticed.
struct LibraryReport {
  LibraryReason reason;
  char subject[520];
  uint64_t needed, available;  // with ReasonNoRoom
  uint64_t leftOut;            // entries an extraction did not write
  int sized;                   // Check read the archive's directory: size is its data
  uint64_t size;
};
// Hands the library the password for encrypted ZIP entries (null: none); 0 when the library
// takes no passwords (it lacks the export, or none is loaded).
int SetPassword(const char* password);
// 1 when the loaded library takes passwords.
int PasswordsSupported();

// The report of the last Check or Pac; valid until the next one.
const LibraryReport& LastReport();
