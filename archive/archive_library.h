// The archive library Vessiko.dll as the program calls it. The library is loaded at run
// time from the executable's folder; until LoadDLL has succeeded every call fails
// harmlessly (0, or an empty text).
#pragma once

#include <cstdint>

// Kinds and masks are unsigned everywhere: a signed kind shifted right would smear bit 31
// into bit 30, which the library reads as "pack".
using ArchiveKind = uint32_t;
using FormatMask = uint32_t;

// The library extracts with the kind Check returned and packs with that kind shifted right
// by one bit.
constexpr ArchiveKind PackingKind(ArchiveKind kind) { return kind >> 1; }
// Added to a packing kind: the new archive holds exactly what is under the folder. The
// library still replaces the old archive only once the new one is complete.
constexpr ArchiveKind FreshArchive = 0x20000000;
// 1 when the library can write the kind's format, as its mask says.
constexpr int CanPack(ArchiveKind kind, FormatMask mask) {
  return (PackingKind(kind) & mask) != 0;
}
// 1 when the kind is known and names a format the library can only read. A kind of 0 (the
// archive was not recognised) and a mask of 0 (no library) prove nothing.
constexpr int IsReadOnlyFormat(ArchiveKind kind, FormatMask mask) {
  return mask != 0 && kind != 0 && !CanPack(kind, mask);
}

// 1 when the library and all six of its functions were found and its own LoadDLL agreed.
int LoadDLL();
// Lets the library tidy up and unloads it; harmless when nothing is loaded.
void ReleaseDLL();
ArchiveKind Check(const char* archivePath);
int Pac(const char* archivePath, const char* folder, ArchiveKind kind);
FormatMask GetDLLType();
// The display name of a format; valid until the next call into the library.
const char* GetDLLStr(int index);
