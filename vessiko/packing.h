// Packing: what a pack collects from the tree under the root, and what the format writers
// share: reading a listed file, and walking the old archive's absent entries.
#pragma once

#include <functional>
#include <unordered_set>
#include <vector>

#include "archive_input.h"
#include "zip/zip_encryption.h"

struct SourceItem {
  NativeString path;      // full native path
  NativeString relative;  // below the root, '/' separators
  NativeString key;
  int folder;
  int64_t size;
  int64_t seconds;
  int32_t nanoseconds;
  int identityKnown;  // identity and change time as FolderItem has them
  uint64_t volume;
  uint64_t fileIndex;
  int changeKnown;
  int64_t changeTime;
};

// Collects everything under a folder, sorted by name within each folder, leaving out links
// and the excluded paths (case folded); 0 when a folder cannot be listed in full.
int CollectItems(const NativeString& folder, const std::vector<NativeString>& excluded,
                 std::vector<SourceItem>* items);

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

class SeenFiles;

// Packs the items into a 7z. The blocks of previous (when not empty) whose files are all
// unchanged are copied; unless fresh, its entries not present under the root are kept. The
// record seen tells files unchanged since the last pack and learns what this one packs.
int WriteSevenZip(const NativeString& output, const std::vector<SourceItem>& items,
                  const NativeString& previous, int fresh, SeenFiles* seen);

// Fills the list of what is to be packed; 0 when it cannot be listed in full.
using ItemCollector = std::function<int(std::vector<SourceItem>* items)>;
// Packs what collect lists into a ZIP, and unless fresh the absent entries of previous (the
// old archive, or empty). The old entries whose files are unchanged are copied as they are;
// what is written anew is encrypted with cipher and the archive password. The record seen
// as for WriteSevenZip.
int WriteZip(const NativeString& output, const ItemCollector& collect,
             const NativeString& previous, int fresh, ZipCipher cipher, SeenFiles* seen);
