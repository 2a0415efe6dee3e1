// Extraction: every safe entry of an archive written below the target folder, a ZIP's
// entries shared out between several readers.
#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>
#include <unordered_set>

#include "archive_input.h"
#include "entry_names.h"
#include "platform_services.h"
#include "worker_pool.h"

namespace {

// Windows opens longer paths only with the "\\?\" prefix, and creates folders only up to
// 12 characters shorter (room for an 8.3 name).
constexpr size_t LongestFilePath = 259;
constexpr size_t LongestFolderPath = 247;
// A reader that fails this many entries in a row is stuck, not just unlucky.
constexpr int FailuresInARowLimit = 100;

enum class Outcome { Done, Skipped, Failed, Fatal };

struct FolderTime {
  NativeString path;
  size_t depth;
  int64_t seconds;
  int32_t nanoseconds;
};

bool IsHardLink(archive_entry* entry) {
  // Either form is there when a hard link is set, even one that cannot be decoded.
  return archive_entry_hardlink(entry) != nullptr || archive_entry_hardlink_w(entry) != nullptr;
}

void RemoveFile(const NativeString& path) {
  std::error_code error;
  std::filesystem::remove(std::filesystem::path(path), error);
}

// One reader's writing of entries below the target folder.
struct Extraction {
  archive* reader = nullptr;
  unsigned worker = 0;  // tells the temporary names of parallel extractions apart
  NativeString base;  // the target folder, with a trailing separator
  std::unordered_set<NativeString> knownFolders;
  std::vector<FolderTime> folderTimes;
  std::vector<char> buffer = std::vector<char>(BlockSize);
  unsigned siblingCounter = 0;

  // Makes sure the first count components exist as folders below the target. A link or
  // junction on the way makes the entry unsafe: it could lead out of the folder.
  Outcome PrepareFolders(const std::vector<NativeString>& components, size_t count) {
    NativeString path = base;
    for (size_t i = 0; i < count; ++i) {
      path += components[i];
      if (path.size() > LongestFolderPath) return Outcome::Skipped;
      // Created without looking first; only a name that is taken is looked at.
      if (knownFolders.count(path) == 0 && !MakeFolder(path)) {
        switch (ProbePath(path)) {
          case PathKind::Folder:
            break;
          case PathKind::Link:
            return Outcome::Skipped;
          default:
            return Outcome::Failed;
        }
      }
      knownFolders.insert(path);
      path += Separator;
    }
    return Outcome::Done;
  }

  // A new file with a free name beside a file, for the content that is then moved over it;
  // false when none can be made. The target folder may be given with '/', so either
  // separator ends the folder: a bare name would put the temporary file in the current
  // folder, perhaps on another volume, where moving it over the file fails.
  bool CreateSibling(const NativeString& path, NewFile* file, NativeString* sibling) {
    const NativeChar separators[] = {'/', '\\', 0};
    NativeString folder = path.substr(0, path.find_last_of(separators) + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
      *sibling = folder;
      std::string name =
          ".vessiko-" + std::to_string(worker) + "-" + std::to_string(++siblingCounter) + ".tmp";
      for (char c : name) *sibling += c;
      bool exists = false;
      if (file->Create(*sibling, &exists)) return true;
      // Only a name that is really taken is worth another one.
      if (!exists || ProbePath(*sibling) == PathKind::Missing) break;
    }
    return false;
  }

  Outcome WriteData(NewFile* file) {
    int status = ReadEntryData(reader, &buffer, [file](const char* data, size_t size) {
      return file->Write(data, size);
    });
    if (status == ARCHIVE_OK) return Outcome::Done;
    return status == ARCHIVE_FATAL ? Outcome::Fatal : Outcome::Failed;
  }

  Outcome CopyExtracted(const NativeString& from, NewFile* file) {
    std::ifstream in(std::filesystem::path(from), std::ios::binary);
    if (!in) return Outcome::Failed;
    while (in) {
      in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      if (in.gcount() > 0 && !file->Write(buffer.data(), static_cast<size_t>(in.gcount()))) {
        return Outcome::Failed;
      }
    }
    return in.bad() ? Outcome::Failed : Outcome::Done;
  }

  Outcome ExtractFolder(const std::vector<NativeString>& components, const NativeString& path,
                        archive_entry* entry) {
    if (path.size() > LongestFolderPath) return Outcome::Skipped;
    Outcome outcome = PrepareFolders(components, components.size());
    if (outcome == Outcome::Done && archive_entry_mtime_is_set(entry)) {
      folderTimes.push_back({path, components.size(), archive_entry_mtime(entry),
                             static_cast<int32_t>(archive_entry_mtime_nsec(entry))});
    }
    return outcome;
  }

  // The file a hard link copies, which must be a file extracted here; empty when there is
  // none.
  NativeString LinkSource(archive_entry* entry, const NativeString& path) {
    NativeString hardlink;
    std::vector<NativeString> target;
    if (!EntryHardlinkName(entry, NamesMayBeUtf8Bytes(reader), &hardlink) ||
        !SplitEntryName(hardlink, &target) || target.empty()) {
      return NativeString();
    }
    NativeString source = base + JoinComponents(target, target.size(), Separator);
    if (source == path || ProbePath(source) != PathKind::File) return NativeString();
    return source;
  }

  // Writes the file's content, the entry's data or a copy of the file a hard link names,
  // and its time, through one handle. A new name is created at once; whatever has the name
  // already is looked at only then. A link there is never written through, a folder cannot
  // become a file, and an existing file is replaced, not written into: a hard link, or a link
  // the platform does not show as one (Wine's view of a Unix link to a file), would carry the
  // content out of the folder.
  Outcome WriteFile(const NativeString& path, const NativeString& linkSource,
                    archive_entry* entry) {
    NewFile file;
    NativeString written = path;
    bool exists = false;
    if (!file.Create(path, &exists)) {
      if (!exists) return Outcome::Failed;
      PathKind kind = ProbePath(path);
      if (kind == PathKind::Link) return Outcome::Skipped;
      if (kind != PathKind::File || !CreateSibling(path, &file, &written)) return Outcome::Failed;
    }
    Outcome outcome = linkSource.empty() ? WriteData(&file) : CopyExtracted(linkSource, &file);
    if (outcome == Outcome::Done && archive_entry_mtime_is_set(entry)) {
      file.SetModifiedTime(archive_entry_mtime(entry),
                           static_cast<int32_t>(archive_entry_mtime_nsec(entry)));
    }
    if (!file.Close() && outcome == Outcome::Done) outcome = Outcome::Failed;
    if (outcome == Outcome::Done && written != path && !MoveOver(written, path)) {
      outcome = Outcome::Failed;
    }
    // A half-written file would later be packed over the good entry.
    if (outcome != Outcome::Done) RemoveFile(written);
    return outcome;
  }

  Outcome ExtractEntry(archive_entry* entry) {
    std::vector<NativeString> components;
    if (!SplitEntryPath(reader, entry, &components)) return Outcome::Skipped;
    NativeString path = base + JoinComponents(components, components.size(), Separator);
    bool linked = IsHardLink(entry);
    bool linkWithoutData =
        linked && (!archive_entry_size_is_set(entry) || archive_entry_size(entry) == 0);
    auto type = archive_entry_filetype(entry);
    if (type == AE_IFDIR && !linked) return ExtractFolder(components, path, entry);
    // Symbolic links are not made: on Windows they need privileges, and a link could lead
    // later entries out of the folder. The archive keeps them when it is packed again.
    if (!linkWithoutData && type != AE_IFREG) return Outcome::Skipped;
    if (path.size() > LongestFilePath) return Outcome::Skipped;

    NativeString linkSource;
    if (linkWithoutData) {
      linkSource = LinkSource(entry, path);
      if (linkSource.empty()) return Outcome::Skipped;
    }
    Outcome outcome = PrepareFolders(components, components.size() - 1);
    if (outcome == Outcome::Done) outcome = WriteFile(path, linkSource, entry);
    return outcome;
  }

  // Folders get their times last, deepest first: writing inside a folder changes its time.
  // Under Wine each time costs several round trips to its server, so the workers share
  // out the folders of each depth. The entries of one folder, whatever the case of their
  // names, fall to one worker in archive order, and the last one's time stays.
  void ApplyFolderTimes() {
    std::stable_sort(folderTimes.begin(), folderTimes.end(),
                     [](const FolderTime& a, const FolderTime& b) { return a.depth > b.depth; });
    for (size_t begin = 0, end = 0; begin < folderTimes.size(); begin = end) {
      while (end < folderTimes.size() && folderTimes[end].depth == folderTimes[begin].depth) ++end;
      RunOnWorkers([this, begin, end](unsigned worker, unsigned workers) {
        for (size_t i = begin; i < end; ++i) {
          const FolderTime& t = folderTimes[i];
          if (std::hash<NativeString>()(FoldCase(t.path)) % workers != worker) continue;
          SetModifiedTime(t.path, t.seconds, t.nanoseconds);
        }
      });
    }
  }
};

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

  void Run(const NativeString& archivePath, Extraction* extraction) {
    ReaderHandle own;
    if (reader == nullptr) {
      if (!OpenReader(&own, archivePath)) {
        result = 0;
        return;
      }
      reader = own.object;
      firstStatus = archive_read_next_header(reader, &first);
    }
    extraction->reader = reader;
    int failedInARow = 0;
    int status = firstStatus;
    archive_entry* entry = first;
    for (size_t index = 0;; ++index) {
      if (index > 0) status = archive_read_next_header(reader, &entry);
      if (status == ARCHIVE_EOF || stopped->load()) break;
      if (status == ARCHIVE_FATAL || status == ARCHIVE_RETRY) {
        result = 0;
        break;
      }
      if (status == ARCHIVE_FAILED) {
        // This entry cannot be read; the next one may be, unless the reader is stuck.
        result = 0;
        if (++failedInARow == FailuresInARowLimit) break;
        continue;
      }
      failedInARow = 0;
      if (PassesOver(entry, index)) continue;
      Outcome outcome = extraction->ExtractEntry(entry);
      if (outcome == Outcome::Fatal) {
        result = 0;
        stopped->store(1);
        break;
      }
      if (outcome == Outcome::Failed) result = 0;
    }
    extraction->reader = nullptr;
    reader = nullptr;
  }
};

// The readers of one extraction: the first borrows the reader that recognised the archive,
// the others open their own.
struct ReaderTeam {
  std::vector<Extraction> extractions;
  std::vector<EntryRun> runs;
  std::atomic<int> stopped{0};

  ReaderTeam(const NativeString& base, unsigned workers) : extractions(workers), runs(workers) {
    for (unsigned k = 0; k < workers; ++k) {
      extractions[k].base = base;
      extractions[k].worker = k;
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
      threads.emplace_back([this, &archivePath, k] { runs[k].Run(archivePath, &extractions[k]); });
    }
    runs[0].Run(archivePath, &extractions[0]);
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
    Extraction& extraction = extractions[0];
    extraction.reader = again.object;
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
      if (status < ARCHIVE_WARN) return 0;
      Outcome outcome = extraction.ExtractEntry(entry);
      if (outcome == Outcome::Failed || outcome == Outcome::Fatal) result = 0;
      if (outcome == Outcome::Fatal) break;
    }
    extraction.reader = nullptr;
    return result;
  }

  void ApplyFolderTimes() {
    for (size_t k = 1; k < extractions.size(); ++k) {
      std::vector<FolderTime>& times = extractions[k].folderTimes;
      extractions[0].folderTimes.insert(extractions[0].folderTimes.end(), times.begin(),
                                        times.end());
    }
    extractions[0].ApplyFolderTimes();
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
  NativeString base;
  if (!IsArchiveFile(archivePath) || !PrepareTarget(folder, &base)) return 0;
  ReaderHandle reader;
  if (!OpenReader(&reader, archivePath)) return 0;
  archive_entry* first = nullptr;
  int firstStatus = archive_read_next_header(reader.object, &first);
  ReaderTeam team(base, ReaderCount(reader.object, archivePath, firstStatus));
  team.Run(archivePath, reader.object, firstStatus, first);
  int result = team.Result();
  if (!team.ExtractDeferredLinks(archivePath)) result = 0;
  team.ApplyFolderTimes();
  return result;
}
