// Writing the entries of an archive below the target folder, one reader's share: folders,
// files through one handle each, hard links as copies, folder times last. Links are never
// made, and nothing is written through one.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <cstdint>
#include <fstream>
#include <unordered_set>
#include <vector>

#include "archive_input.h"
#include "platform_services.h"
#include "zip/zip_directory.h"

enum class Outcome { Done, Skipped, Failed, Fatal };

struct FolderTime {
  NativeString path;
  size_t depth;
  int64_t seconds;
  int32_t nanoseconds;
};

// Whether an entry is a hard link.
bool IsHardLink(archive_entry* entry);

// One reader's writing of entries below the target folder.
struct EntryWriter {
  archive* reader = nullptr;
  unsigned worker = 0;  // tells the temporary names of parallel extractions apart
  NativeString base;  // the target folder, with a trailing separator
  std::unordered_set<NativeString> knownFolders;
  std::vector<FolderTime> folderTimes;
  std::vector<char> buffer = std::vector<char>(BlockSize);
  unsigned siblingCounter = 0;
  uint64_t needed = 0;  // the data of all entries, where the archive's directory told it
  // A ZIP holding Deflate64 entries, which libarchive cannot decode, or encrypted ones: its
  // entries in the reader's order, and the archive read directly for Deflate64 data.
  const std::vector<ZipStoredEntry>* zipEntries = nullptr;
  NativeString archivePath;
  std::ifstream zipData;
  size_t index = 0;  // of the entry being extracted, in the reader's order

  // Makes sure the first count components exist as folders below the target. A link or
  // junction on the way makes the entry unsafe: it could lead out of the folder.
  Outcome PrepareFolders(const std::vector<NativeString>& components, size_t count);
  // A new file with a free name beside a file, for the content that is then moved over it;
  // false when none can be made. The target folder may be given with '/', so either
  // separator ends the folder: a bare name would put the temporary file in the current
  // folder, perhaps on another volume, where moving it over the file fails.
  bool CreateSibling(const NativeString& path, NewFile* file, NativeString* sibling);
  // The stored entry of zipEntries the reader is at, or null.
  const ZipStoredEntry* StoredEntry(archive_entry* entry) const;
  // The entry's data into the file: a failure notes whether the data was damaged or the
  // file could not be written (a full disk fails everything after it too).
  Outcome WriteData(NewFile* file, archive_entry* entry, const NativeString& path);
  NativeString EntryName(archive_entry* entry) const;
  Outcome CopyExtracted(const NativeString& from, NewFile* file);
  Outcome ExtractFolder(const std::vector<NativeString>& components, const NativeString& path,
                        archive_entry* entry);
  // The file a hard link copies, which must be a file extracted here; empty when there is
  // none.
  NativeString LinkSource(archive_entry* entry, const NativeString& path);
  // Writes the file's content, the entry's data or a copy of the file a hard link names,
  // and its time, through one handle. A new name is created at once; whatever has the name
  // already is looked at only then. A link there is never written through, a folder cannot
  // become a file, and an existing file is replaced, not written into: a hard link, or a link
  // the platform does not show as one (Wine's view of a Unix link to a file), would carry the
  // content out of the folder.
  Outcome WriteFile(const NativeString& path, const NativeString& linkSource,
                    archive_entry* entry);
  Outcome ExtractEntry(archive_entry* entry);
  // Folders get their times last, deepest first: writing inside a folder changes its time.
  // Under Wine each time costs several round trips to its server, so the workers share
  // out the folders of each depth. The entries of one folder, whatever the case of their
  // names, fall to one worker in archive order, and the last one's time stays.
  void ApplyFolderTimes();
};
