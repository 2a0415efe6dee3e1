// Archive input: opening an archive with every format and filter the library reads, telling
// what an archive is, and reading an entry's data.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "vessiko_core.h"

// How much the core reads or writes at a time.
constexpr size_t BlockSize = 64 * 1024;

// One libarchive object, freed with the function that belongs to it.
template <typename Object, auto Create, auto Free>
struct LibarchiveHandle {
  Object* const object = Create();
  LibarchiveHandle() = default;
  LibarchiveHandle(const LibarchiveHandle&) = delete;
  LibarchiveHandle& operator=(const LibarchiveHandle&) = delete;
  ~LibarchiveHandle() {
    if (object != nullptr) Free(object);
  }
};
using ReaderHandle = LibarchiveHandle<archive, archive_read_new, archive_read_free>;
using WriterHandle = LibarchiveHandle<archive, archive_write_new, archive_write_free>;
using EntryHandle = LibarchiveHandle<archive_entry, archive_entry_new, archive_entry_free>;

// The password ZIP entries are decrypted with, as the program gave it (bytes as typed, in
// its code page); empty: none. Kept only until replaced, and overwritten then.
void SetArchivePassword(const char* password);
bool HavePassword();
// The password itself, for the entries an update encrypts.
const std::string& ArchivePassword();
// Decrypts the smallest encrypted entry with the password and checks it (its CRC, or the AES
// authentication code): a check byte alone lets one wrong password in 256 through.
bool PasswordOpens(const NativeString& path);

// Opens an archive with every format and filter the library reads, with the password where
// one was given; 0 when it cannot.
int OpenReader(ReaderHandle* reader, const NativeString& path);
int OpenWriter(WriterHandle* writer, const NativeString& path);

// The format index of an archive whose first header was read, or -1.
int ClassifyArchive(archive* a, const NativeString& path);
// A file or a link to one; a folder is no archive.
bool IsArchiveFile(const NativeString& path);
// OpenReader for an archive to extract or check, noting why it cannot be opened.
int OpenArchive(ReaderHandle* reader, const NativeString& path);

// What an archive's own directory (a ZIP's central directory, a 7z header) says before
// anything is extracted: whether every entry can be, and how much data they hold.
struct Inspection {
  int read = 0;  // the directory was read; without it nothing is known
  uint64_t size = 0;
  LibraryReason refusal = ReasonNone;  // why some entry cannot be extracted
  NativeString subject;
  int deflate64 = 0;  // a ZIP entry uses Deflate64, which the library decodes itself
  int encrypted = 0;  // ZIP entries are encrypted, and a password was given
};
// Adds a size the directory tells to a total, which a hostile directory must not wrap.
inline void AddSize(uint64_t size, uint64_t* total) {
  *total = size > UINT64_MAX - *total ? UINT64_MAX : *total + size;
}
// Looks at the directory of an archive of the format (ZIP and 7z, behind a stub too); false
// and nothing read for other formats and for a directory this reader cannot find.
bool InspectZip(const NativeString& path, Inspection* inspection);
bool InspectSevenZip(const NativeString& path, Inspection* inspection);
// The inspection of an opened archive whose first header was read (or failed to be), by its
// format. False when nothing could be read.
bool InspectArchive(archive* reader, const NativeString& path, Inspection* inspection);
// Notes the inspection's refusal, if it has one; a password that does not decrypt the
// encrypted entries refuses too.
bool Refused(const NativeString& path, const Inspection& inspection);

// Takes data chunk by chunk; 0 refuses it.
using DataSink = std::function<int(const char* data, size_t size)>;
// Hands an entry's data to sink. ARCHIVE_OK when all of it was taken; the reader's failure
// (ARCHIVE_FATAL among them), or ARCHIVE_FAILED when the sink refused.
int ReadEntryData(archive* reader, std::vector<char>* buffer, const DataSink& sink);
