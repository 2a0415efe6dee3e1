// A ZIP's central directory as the core reads it itself: where an update finds the entries it
// copies as they are, and how the archive's names without the UTF-8 flag are to be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "vessiko_core.h"
#include "zip/zip_encryption.h"

// True for a ZIP whose names without the UTF-8 flag (other than plain ASCII, and other than
// those an Info-ZIP Unicode path field names) are all strict UTF-8, and there is one.
bool UnflaggedZipNamesAreUtf8(const NativeString& path);

// An entry of an existing ZIP, as an update copies it: its local record (header, data and
// data descriptor) byte for byte, and its central record with a new offset.
struct ZipStoredEntry {
  std::vector<unsigned char> central;  // the central record as stored
  NativeString name;  // as extracted, components joined with '/'; empty when never extracted
  NativeString key;   // the presence key of name; empty when never present
  uint64_t offset = 0;  // of the local record
  uint64_t length = 0;  // of the local record
  uint64_t dataOffset = 0;  // where its data begins
  unsigned method = 0;
  uint64_t compressed = 0;
  uint64_t size = 0;
  uint32_t crc = 0;
  // An AE-2 entry stores no CRC-32: known only when this process learned it (learned_crcs.h).
  bool crcKnown = true;
  std::string stamp;  // of a WinZip AES entry, its AesStamp
  // Not a folder, link or device, nor under PKWARE's strong encryption. Encrypted entries
  // count: an update over an encrypted archive copies them encrypted, as they are.
  bool plainFile = false;
  // The stored name is the name the drive shows: one read decomposed is not, and its entry
  // is never copied for the drive's file, whose name is composed.
  bool storedAsShown = true;
};

// The entries of a ZIP in the order of their local records, named as libarchive names them;
// false when the directory or a local record is not what this reader can vouch for (a
// program stub, several disks, records that overlap or disagree with the directory).
bool ReadZipEntries(const NativeString& path, std::vector<ZipStoredEntry>* entries);
// How the entries of a ZIP are encrypted, as its central directory says (behind a stub too);
// None when it has no directory this reader finds.
ZipCipher ZipArchiveCipher(const NativeString& path);
// A stored entry's central record with the offset its local record gets in a new archive,
// moved into the ZIP64 field when it needs 64 bits; false when the record cannot hold it.
bool RelocatedCentralRecord(const std::vector<unsigned char>& record, uint64_t offset,
                            std::vector<unsigned char>* relocated);

// ---- Shared by the directory reader and the reading of its names ----

// A little-endian value of 1 to 8 bytes.
inline uint64_t Little(const unsigned char* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// Where the central directory lies, as the end records say.
struct DirectoryPlace {
  uint64_t start = 0;     // where it begins in the file
  uint64_t recorded = 0;  // where the end record says it begins
  uint64_t count = 0;     // how many records the end record announces
  bool split = false;     // the archive claims several disks
};

// The central directory's bytes; false when the file is no ZIP that says where it is.
bool ReadCentralDirectory(std::ifstream& in, std::vector<unsigned char>* directory,
                          DirectoryPlace* place);
// The same for the ZIP at path, for a reader that needs nothing else of the file.
bool ReadCentralDirectory(const NativeString& path, std::vector<unsigned char>* directory,
                          DirectoryPlace* place);

// One record of a central directory, pointing into the directory's bytes.
struct CentralRecord {
  const unsigned char* header = nullptr;
  size_t size = 0;  // all of it: the fixed part, name, extra field and comment
  uint16_t flags = 0;
  const unsigned char* name = nullptr;
  size_t nameSize = 0;
  const unsigned char* extra = nullptr;
  size_t extraSize = 0;
};

// The records in the directory's order, up to the first one that is cut short or is none;
// false when that left bytes over.
bool SplitDirectory(const std::vector<unsigned char>& directory,
                    std::vector<CentralRecord>* records);

// The data of the extra fields with the tag, in their order, up to the first field that runs
// past the end.
template <typename Visit>
void ForEachExtraField(const unsigned char* extra, size_t extraSize, uint16_t tag,
                       const Visit& visit) {
  for (size_t at = 0; at + 4 <= extraSize;) {
    size_t size = static_cast<size_t>(Little(extra + at + 2, 2));
    if (at + 4 + size > extraSize) return;
    if (Little(extra + at, 2) == tag) visit(extra + at + 4, size);
    at += 4 + size;
  }
}

// The sizes and the offset of a central record, from its ZIP64 field where the 32-bit fields
// are full; false when that field lacks a value it should hold.
bool RecordValues(const CentralRecord& r, uint64_t* size, uint64_t* compressed,
                  uint64_t* offset);

// Whether the records' names without the UTF-8 flag are all strict UTF-8 (see above).
bool UnflaggedNamesAreUtf8(const std::vector<CentralRecord>& records);
// The name libarchive gives a stored name, as a native string composed as the drive shows
// it, its components joined with '/'; false when it is never extracted (unsafe, empty or
// undecodable). The local header's extra field is the one libarchive reads.
bool ExtractedName(const CentralRecord& r, const unsigned char* localExtra, size_t localExtraSize,
                   bool unflaggedUtf8, NativeString* joined, bool* asStored);
