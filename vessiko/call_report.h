// What the current call of the library has to tell beside its result: the first failure's
// reason and what it concerns, and what an extraction or a check noticed. Calls come one at
// a time; the workers of one call may note things side by side.
#pragma once

#include <cstdint>

#include "vessiko_core.h"

struct CallReport {
  LibraryReason reason = ReasonNone;
  NativeString subject;
  uint64_t needed = 0, available = 0;  // with ReasonNoRoom
  uint64_t leftOut = 0;                // entries an extraction did not write
  int sized = 0;                       // the archive's directory told its size
  uint64_t size = 0;
};

// Begins the report of a new call.
void StartReport();
// The first failure noted counts: later ones follow from it.
void NoteFailure(LibraryReason reason, const NativeString& subject = NativeString());
void NoteNoRoom(uint64_t needed, uint64_t available);
void NoteLeftOut(uint64_t count);
void NoteArchiveSize(uint64_t size);
// Whether a failure has been noted in this call.
bool FailureNoted();
CallReport CurrentReport();
