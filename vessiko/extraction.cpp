// Extraction: every safe entry of an archive written below the target folder, a ZIP's
// entries shared out between several readers, and nothing written before its directory
// has said that the archive can be extracted and fits on the disk.
#include <algorithm>
#include <atomic>
#include <thread>

#include "archive_input.h"
#include "call_report.h"
#include "entry_names.h"
#include "entry_writer.h"
#include "worker_pool.h"
#include "zip/deflate64.h"

namespace {

// A reader that fails this many entries in a row is stuck, not just unlucky.
constexpr int FailuresInARowLimit = 100;

// One reader's share of an extraction. With several readers each extracts the entries whose
// names fall to it; names are folded first, so the entries that land on one file stay in
// archive order and the last one wins, as with one reader.
struct EntryRun {
  archive* reader = nullptr;  // borrowed; Run opens its own when null
  int firstStatus = ARCHIVE_OK;
  archive_entry* first = nullptr;  // the header the borrowed reader has read already
  unsigned worker = 0;
  unsigned workers = 1;
  std::atomic<int>* stopped = nullptr;
  int result = 1;
  std::vector<size_t> deferred;  // indices of hard links, for after all readers

  unsigned OwnerOf(archive_entry* entry) {
    std::vector<NativeString> components;
    if (!SplitEntryPath(reader, entry, &components)) return 0;
    return static_cast<unsigned>(std::hash<NativeString>()(PresenceKey(components)) % workers);
  }

  // Whether this reader leaves the entry to another, or until all readers are done.
  bool PassesOver(archive_entry* entry, size_t index) {
    if (workers == 1) return false;
    if (IsHardLink(entry)) {
      if (worker == 0) deferred.push_back(index);
      return true;
    }
    return OwnerOf(entry) != worker;
  }

  void Run(const NativeString& archivePath, EntryWriter* writer) {
    ReaderHandle own;
    if (reader == nullptr) {
      if (!OpenReader(&own, archivePath)) {
        result = 0;
        return;
      }
      reader = own.object;
      firstStatus = archive_read_next_header(reader, &first);
    }
    writer->reader = reader;
    int failedInARow = 0;
    int status = firstStatus;
    archive_entry* entry = first;
    for (size_t index = 0;; ++index) {
      if (index > 0) status = archive_read_next_header(reader, &entry);
      if (status == ARCHIVE_EOF || stopped->load()) break;
      if (status == ARCHIVE_FATAL || status == ARCHIVE_RETRY) {
        NoteFailure(ReasonDamaged);
        result = 0;
        break;
      }
      if (status == ARCHIVE_FAILED) {
        // This entry cannot be read; the next one may be, unless the reader is stuck.
        NoteFailure(ReasonDamaged);
        result = 0;
        if (++failedInARow == FailuresInARowLimit) break;
        continue;
      }
      failedInARow = 0;
      if (PassesOver(entry, index)) continue;
      writer->index = index;
      Outcome outcome = writer->ExtractEntry(entry);
      if (outcome == Outcome::Skipped) NoteLeftOut(1);
      if (outcome == Outcome::Fatal) {
        result = 0;
        stopped->store(1);
        break;
      }
      if (outcome == Outcome::Failed) result = 0;
    }
    writer->reader = nullptr;
    reader = nullptr;
  }
};

// The readers of one extraction: the first borrows the reader that recognised the archive,
// the others open their own.
struct ReaderTeam {
  std::vector<EntryWriter> writers;
  std::vector<EntryRun> runs;
  std::atomic<int> stopped{0};

  ReaderTeam(const NativeString& base, unsigned workers) : writers(workers), runs(workers) {
    for (unsigned k = 0; k < workers; ++k) {
      writers[k].base = base;
      writers[k].worker = k;
      runs[k].worker = k;
      runs[k].workers = workers;
      runs[k].stopped = &stopped;
    }
  }

  void Run(const NativeString& archivePath, archive* reader, int firstStatus,
           archive_entry* first) {
    runs[0].reader = reader;
    runs[0].firstStatus = firstStatus;
    runs[0].first = first;
    std::vector<std::thread> threads;
    for (unsigned k = 1; k < runs.size(); ++k) {
      threads.emplace_back([this, &archivePath, k] { runs[k].Run(archivePath, &writers[k]); });
    }
    runs[0].Run(archivePath, &writers[0]);
    for (std::thread& t : threads) t.join();
  }

  int Result() const {
    for (const EntryRun& run : runs) {
      if (!run.result) return 0;
    }
    return 1;
  }

  // Hard links copy a file another reader may have been writing: they come last, in
  // archive order, read by a reader of their own.
  int ExtractDeferredLinks(const NativeString& archivePath) {
    std::vector<size_t> deferred;
    for (const EntryRun& run : runs) deferred.insert(deferred.end(), run.deferred.begin(),
                                                     run.deferred.end());
    if (deferred.empty() || stopped.load()) return 1;
    std::sort(deferred.begin(), deferred.end());
    ReaderHandle again;
    if (!OpenReader(&again, archivePath)) return 0;
    EntryWriter& writer = writers[0];
    writer.reader = again.object;
    int result = 1;
    size_t index = 0;
    for (size_t wanted : deferred) {
      archive_entry* entry = nullptr;
      int status = ARCHIVE_OK;
      while (index <= wanted) {
        status = archive_read_next_header(again.object, &entry);
        if (status < ARCHIVE_WARN) break;
        ++index;
      }
      if (status < ARCHIVE_WARN) {
        NoteFailure(ReasonDamaged);
        return 0;
      }
      writer.index = wanted;
      Outcome outcome = writer.ExtractEntry(entry);
      if (outcome == Outcome::Skipped) NoteLeftOut(1);
      if (outcome == Outcome::Failed || outcome == Outcome::Fatal) result = 0;
      if (outcome == Outcome::Fatal) break;
    }
    writer.reader = nullptr;
    return result;
  }

  void ApplyFolderTimes() {
    for (size_t k = 1; k < writers.size(); ++k) {
      std::vector<FolderTime>& times = writers[k].folderTimes;
      writers[0].folderTimes.insert(writers[0].folderTimes.end(), times.begin(),
                                        times.end());
    }
    writers[0].ApplyFolderTimes();
  }
};

// The target folder with a trailing separator, created when missing; false when it is no
// folder.
bool PrepareTarget(const NativeString& folder, NativeString* base) {
  if (folder.empty()) return false;
  *base = WithSeparator(folder);
  if (ProbePath(*base) == PathKind::Missing) {
    NativeString trimmed = folder;
    while (trimmed.size() > 1 && IsSeparator(trimmed.back())) trimmed.pop_back();
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(trimmed), error);
  }
  PathKind target = ProbePath(*base);
  return target == PathKind::Folder || target == PathKind::Link;
}

// ZIP entries are independent and its central directory lets a reader skip an entry
// without reading its data, so several readers share the entries out. Solid formats
// decompress everything before any entry and stay with one reader.
unsigned ReaderCount(archive* reader, const NativeString& archivePath, int firstStatus) {
  bool zip = (firstStatus == ARCHIVE_OK || firstStatus == ARCHIVE_WARN) &&
             ClassifyArchive(reader, archivePath) == FormatZip;
  return zip ? WorkerCount() : 1;
}

}  // namespace

int ExtractArchive(const NativeString& archivePath, const NativeString& folder) {
  ReaderHandle reader;
  if (!OpenArchive(&reader, archivePath)) return 0;
  NativeString base;
  if (!PrepareTarget(folder, &base)) {
    NoteFailure(ReasonWriteFailed, folder);
    return 0;
  }
  archive_entry* first = nullptr;
  int firstStatus = archive_read_next_header(reader.object, &first);
  // What the directory tells is known before a byte is written.
  Inspection inspection;
  std::vector<ZipStoredEntry> zipEntries;
  if (InspectArchive(reader.object, archivePath, &inspection)) {
    if (Refused(archivePath, inspection)) return 0;
    uint64_t free = 0;
    if (FreeSpace(base, &free) && inspection.size > free) {
      NoteNoRoom(inspection.size, free);
      return 0;
    }
    // Deflate64 entries the library decodes itself; of encrypted ones it learns the CRC-32
    // that AE-2 entries do not store.
    if ((inspection.deflate64 || inspection.encrypted) &&
        !ReadZipEntries(archivePath, &zipEntries) && inspection.deflate64) {
      NoteFailure(ReasonUnsupportedMethod, NativeString(Deflate64Name, Deflate64Name + 9));
      return 0;
    }
  }
  ReaderTeam team(base, ReaderCount(reader.object, archivePath, firstStatus));
  for (EntryWriter& writer : team.writers) {
    writer.needed = inspection.size;
    writer.archivePath = archivePath;
    if (!zipEntries.empty()) writer.zipEntries = &zipEntries;
  }
  team.Run(archivePath, reader.object, firstStatus, first);
  int result = team.Result();
  if (!team.ExtractDeferredLinks(archivePath)) result = 0;
  team.ApplyFolderTimes();
  return result;
}
