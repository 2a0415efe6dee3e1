// What passes between the program and Vessiko.dll besides the six functions' signatures: the
// archive kinds, the format mask and the library's format indices. The program, the library
// and their tests all include this one header.
#pragma once

#include <cstdint>

// Kinds and masks are unsigned everywhere: a signed kind shifted right would smear bit 31
// into bit 30, which the library reads as "pack".
using ArchiveKind = uint32_t;
using FormatMask = uint32_t;

// Format indices: bit i of the format mask, and the index GetDLLStr names. The writable
// formats are bits 0..5 of the mask; read-only formats use 16..27 and are never in it.
constexpr int FormatZip = 0;
constexpr int FormatSevenZip = 1;
constexpr int FormatTar = 2;
constexpr int FormatTarGzip = 3;
constexpr int FormatTarBzip2 = 4;
constexpr int FormatTarXz = 5;
constexpr int WritableFormatCount = 6;
constexpr int FormatLzh = 16;
constexpr int FormatRar = 17;
constexpr int FormatCab = 18;
constexpr int FormatIso9660 = 19;
constexpr int FormatCpio = 20;
constexpr int FormatAr = 21;
constexpr int FormatWarc = 22;
constexpr int FormatTarCompress = 23;
constexpr int FormatTarLzma = 24;
constexpr int FormatTarLzip = 25;
// A ZIP or 7z behind a program stub: packing would drop the stub, so it is only read.
constexpr int FormatSelfExtracting = 26;
// Any other layering libarchive reads (a ZIP inside gzip, a tar compressed twice, ...).
constexpr int FormatOther = 27;
constexpr int FormatIndexLimit = 32;

// Check returns the extraction kind of format i, ExtractBit | 1 << (i + 1); Pac extracts
// with it as it is. Shifted right by one bit it becomes the packing kind PackBit | 1 << i,
// to which FreshBit may be added: the new archive then holds exactly what is under the
// folder (the library still replaces the old archive only once the new one is complete).
// Any other kind, both mode bits set included, makes Pac fail.
constexpr ArchiveKind ExtractBit = 0x80000000u;
constexpr ArchiveKind PackBit = 0x40000000u;
constexpr ArchiveKind FreshBit = 0x20000000u;

constexpr ArchiveKind ExtractionKind(int format) { return ExtractBit | (1u << (format + 1)); }
constexpr ArchiveKind PackingKind(ArchiveKind kind) { return kind >> 1; }

// 1 when the library can write the kind's format, as its mask says.
constexpr int CanPack(ArchiveKind kind, FormatMask mask) {
  return (PackingKind(kind) & mask) != 0;
}
// 1 when the kind is known and names a format the library can only read. A kind of 0 (the
// archive was not recognised) and a mask of 0 (no library) prove nothing.
constexpr int IsReadOnlyFormat(ArchiveKind kind, FormatMask mask) {
  return mask != 0 && kind != 0 && !CanPack(kind, mask);
}

// ---- Reports: why a call failed, and what else it noticed ----
// Check and Pac end by setting the calling thread's last-error value to ReportCode(reason):
// an application-defined code (bit 29 set, the library's facility in bits 16..27), with a
// reason of 0 when the call has nothing to complain of. GetDLLStr(ReportIndex) then gives the
// details as "key=value" lines in the system code page, valid until the next call. A library
// that sets no such code gives no reasons; the program then shows its generic texts.
enum LibraryReason : uint32_t {
  ReasonNone = 0,
  ReasonNotAnArchive = 1,       // not a format the library reads
  ReasonDamaged = 2,            // subject: the entry where it is known
  ReasonPasswordProtected = 3,  // encrypted data or names the library cannot decrypt
  ReasonUnsupportedMethod = 4,  // subject: the method's name
  ReasonFileUnreadable = 5,     // subject: the file on the drive (held by another program)
  ReasonNoRoom = 6,             // needed and available: bytes
  ReasonArchiveInUse = 7,       // the archive is held by another program
  ReasonArchiveReadOnly = 8,
  ReasonPathTooLong = 9,        // subject: the path
  ReasonWriteFailed = 10,       // the archive or a file could not be written
  ReasonArchiveMissing = 11,
  ReasonWrongPassword = 12,     // the password given does not decrypt the archive's data
  ReasonPasswordNeeded = 13,    // encrypted ZIP entries the library decrypts with a password
  ReasonCount = 14,
};
constexpr uint32_t ReportFacility = 0x20560000u;
constexpr uint32_t ReportCode(LibraryReason reason) { return ReportFacility | reason; }
constexpr int ReportIndex = 32;
// The keys of the report's lines. leftout: entries an extraction did not write (unsafe
// names, names Windows cannot hold, links), which stay in the archive; size: the data of all
// entries of the archive Check looked at, where its directory tells.
constexpr const char* ReportReasonKey = "reason";
constexpr const char* ReportSubjectKey = "subject";
constexpr const char* ReportNeededKey = "needed";
constexpr const char* ReportAvailableKey = "available";
constexpr const char* ReportLeftOutKey = "leftout";
constexpr const char* ReportSizeKey = "size";
