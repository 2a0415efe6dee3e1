// What the library saw of the files it packed, kept for as long as the process lives, by
// archive: a later pack over the archive, while it is still the file the library left,
// knows a file unchanged from its identity, size and both times, without opening it (every
// open is a round trip to wineserver under Wine, and a virus scan on Windows). Identity, size
// and both times unchanged since the library last saw the file, or else the CRC-32, decide
// unchanged; modification times alone never do.
#pragma once

#include <cstdint>
#include <memory>
#include <unordered_map>

#include "packing.h"
#include "platform_services.h"

struct SeenFile {
  uint64_t volume = 0;
  uint64_t fileIndex = 0;
  int64_t size = 0;
  int64_t seconds = 0;
  int32_t nanoseconds = 0;
  int64_t changeTime = 0;
  uint32_t crc = 0;  // of the content the archive's entry of the file holds
};

// The files of one archive, by presence key, and the archive as the library left it.
struct SeenArchive {
  FolderItem archive;
  std::unordered_map<NativeString, SeenFile> files;
};

// One pack's use of the record: what the last pack over the same archive saw, and what
// this one sees, which replaces it once the new archive is complete.
class SeenFiles {
 public:
  // Looks the record up before the tree is listed: an archive changed, replaced or moved by
  // anyone else since is read as a stranger and its record dropped, so an entry is never
  // copied from an archive the record does not describe.
  explicit SeenFiles(const NativeString& previous);
  // Whether the file is, to all its file system tells, what it was when the library last saw
  // it with content of that CRC-32. Safe to ask from several threads.
  bool Unchanged(const SourceItem& item, uint32_t crc) const;
  // The file went into the new archive with content of that CRC-32 (the writer's thread).
  void Saw(const SourceItem& item, uint32_t crc);
  // The new archive at output is complete: it will replace the old one under its path.
  void Keep(const NativeString& output);

 private:
  NativeString key_;  // the archive's path, case folded
  std::shared_ptr<const SeenArchive> last_;
  SeenArchive next_;
  int64_t listedAt_ = 0;
};
