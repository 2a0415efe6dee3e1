// What the parts of the archive core share: entry names (the security boundary: every name
// an archive brings passes through SplitEntryName before anything is written), the reading
// of archives, and the tree a pack collects. Private to the core and its fuzzer; the
// platform files and the command line use vessiko_core.h.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "vessiko_core.h"

constexpr size_t BlockSize = 64 * 1024;
constexpr NativeChar Separator = std::filesystem::path::preferred_separator;

// ---- Entry names (entry_names.cpp) ----

// Decodes strict UTF-8 that is not plain ASCII into UTF-16; false for anything else.
bool DecodeUtf8(const char* text, std::wstring* out);
// UTF-16 (or UTF-32) to UTF-8; false for a lone surrogate, which no UTF-8 reader would
// give back as the same name.
bool EncodeUtf8(const wchar_t* text, std::string* out);

// A text of an entry as it is stored in a ZIP: UTF-8, flagged when it is not plain ASCII.
int StoredText(const wchar_t* wide, const char* utf8, const char* bytes, std::string* text,
               int* flagged);

// An entry's name and hard-link target as native strings; false when the entry has none.
// guessUtf8: the format does not say how its names are encoded.
bool EntryPathName(archive_entry* entry, bool guessUtf8, NativeString* name);
bool EntryHardlinkName(archive_entry* entry, bool guessUtf8, NativeString* name);
void SetEntryPathName(archive_entry* entry, const NativeString& name);

// A character's code, for a byte too never negative.
unsigned CodeOf(NativeChar c);
bool IsSeparator(NativeChar c);
NativeString WithSeparator(const NativeString& folder);
// Letter case folded the way Windows file systems ignore it in practice.
NativeString FoldCase(const NativeString& text);

// The components an entry name extracts to, below the target folder; false for an unsafe
// name: absolute, drive-qualified or UNC, "..", or a component Windows cannot hold.
bool SplitEntryName(const NativeString& name, std::vector<NativeString>* components);
NativeString JoinComponents(const std::vector<NativeString>& components, size_t count,
                            NativeChar separator);
// The key under which a name counts as present: '/' separators, letter case folded.
NativeString PresenceKey(const std::vector<NativeString>& components);

// Whether the reader's format leaves the encoding of its names unsaid.
bool NamesMayBeUtf8Bytes(archive* a);
// The components of an entry's name; false when it has none or is unsafe.
bool SplitEntryPath(archive* a, archive_entry* entry, std::vector<NativeString>* components);

// ---- A ZIP's central directory (zip_names.cpp) ----

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
  uint64_t compressed = 0;
  uint64_t size = 0;
  uint32_t crc = 0;
  bool plainFile = false;  // not a folder, link or device, not encrypted
  // The stored name is the name the drive shows: one read decomposed is not, and its entry
  // is never copied for the drive's file, whose name is composed.
  bool storedAsShown = true;
};

// The entries of a ZIP in the order of their local records, named as libarchive names them;
// false when the directory or a local record is not what this reader can vouch for (a
// program stub, several disks, records that overlap or disagree with the directory).
bool ReadZipEntries(const NativeString& path, std::vector<ZipStoredEntry>* entries);
// A stored entry's central record with the offset its local record gets in a new archive,
// moved into the ZIP64 field when it needs 64 bits; false when the record cannot hold it.
bool RelocatedCentralRecord(const std::vector<unsigned char>& record, uint64_t offset,
                            std::vector<unsigned char>* relocated);

// ---- Archive input (archive_input.cpp) ----

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

// Opens an archive with every format and filter the library reads; 0 when it cannot.
int OpenReader(ReaderHandle* reader, const NativeString& path);
int OpenWriter(WriterHandle* writer, const NativeString& path);

// The format index of an archive whose first header was read, or -1.
int ClassifyArchive(archive* a, const NativeString& path);
// A file or a link to one; a folder is no archive.
bool IsArchiveFile(const NativeString& path);

// Takes data chunk by chunk; 0 refuses it.
using DataSink = std::function<int(const char* data, size_t size)>;
// Hands an entry's data to sink. ARCHIVE_OK when all of it was taken; the reader's failure
// (ARCHIVE_FATAL among them), or ARCHIVE_FAILED when the sink refused.
int ReadEntryData(archive* reader, std::vector<char>* buffer, const DataSink& sink);

// How many threads extract a ZIP, list a tree to pack, or compress the files of a pack.
unsigned WorkerCount();
// Runs work on WorkerCount() threads, this one among them, and waits for all.
void RunOnWorkers(const std::function<void(unsigned worker, unsigned workers)>& work);

// ---- Packing (packing.cpp, zip_packing.cpp) ----

struct SourceItem {
  NativeString path;      // full native path
  NativeString relative;  // below the root, '/' separators
  NativeString key;
  int folder;
  int64_t size;
  int64_t seconds;
  int32_t nanoseconds;
};

// Reads a listed file in chunks; 0 when it is not exactly as long as listed (it is being
// written to, and a cut copy must not be stored) or the sink fails.
int ReadListedFile(const SourceItem& item, std::vector<char>* buffer, const DataSink& sink);

// What is done with one entry of the old archive that is not present under the root; 0
// fails the pack.
using AbsentEntryAction = std::function<int(archive* reader, archive_entry* entry)>;
// Walks the entries of the previous archive whose names are not present under the root. An
// entry the drive could not show (skipped as unsafe, a link) is never present.
int ForEachAbsentEntry(const NativeString& previous,
                       const std::unordered_set<NativeString>& present,
                       const AbsentEntryAction& action);

// Packs the items into a 7z. The blocks of previous (when not empty) whose files are all
// unchanged are copied; unless fresh, its entries not present under the root are kept.
int WriteSevenZip(const NativeString& output, const std::vector<SourceItem>& items,
                  const NativeString& previous, int fresh);

// Fills the list of what is to be packed; 0 when it cannot be listed in full.
using ItemCollector = std::function<int(std::vector<SourceItem>* items)>;
// Packs what collect lists into a ZIP, and unless fresh the absent entries of previous (the
// old archive, or empty). The old entries whose files are unchanged are copied as they are.
int WriteZip(const NativeString& output, const ItemCollector& collect,
             const NativeString& previous, int fresh);
