// Writing an archive's entries below the target folder: each entry's folders made, its file
// created anew and written through one handle (or, for a Deflate64 entry of a ZIP, decoded
// by the library itself), a half-written file removed, the folders' times set last.
#include "entry_writer.h"

#include <zlib.h>

#include <algorithm>

#include "call_report.h"
#include "entry_names.h"
#include "worker_pool.h"
#include "zip/deflate64.h"
#include "zip/learned_crcs.h"
#include "zip/zip_format.h"

namespace {

// Windows opens longer paths only with the "\\?\" prefix, and creates folders only up to
// 12 characters shorter (room for an 8.3 name).
constexpr size_t LongestFilePath = 259;
constexpr size_t LongestFolderPath = 247;

void RemoveFile(const NativeString& path) {
  std::error_code error;
  std::filesystem::remove(std::filesystem::path(path), error);
}

}  // namespace

bool IsHardLink(archive_entry* entry) {
  // Either form is there when a hard link is set, even one that cannot be decoded.
  return archive_entry_hardlink(entry) != nullptr || archive_entry_hardlink_w(entry) != nullptr;
}

Outcome EntryWriter::PrepareFolders(const std::vector<NativeString>& components,
                                    size_t count) {
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
          NoteFailure(ReasonWriteFailed, path);
          return Outcome::Failed;
      }
    }
    knownFolders.insert(path);
    path += Separator;
  }
  return Outcome::Done;
}

bool EntryWriter::CreateSibling(const NativeString& path, NewFile* file,
                                NativeString* sibling) {
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

const ZipStoredEntry* EntryWriter::StoredEntry(archive_entry* entry) const {
  if (zipEntries == nullptr) return nullptr;
  std::vector<NativeString> components;
  if (index >= zipEntries->size() || !SplitEntryPath(reader, entry, &components)) return nullptr;
  const ZipStoredEntry& stored = (*zipEntries)[index];
  // The directory's order is libarchive's: anything else is a damaged archive.
  return stored.key == PresenceKey(components) ? &stored : nullptr;
}

Outcome EntryWriter::WriteData(NewFile* file, archive_entry* entry, const NativeString& path) {
  const ZipStoredEntry* stored = StoredEntry(entry);
  // An AE-2 entry keeps its CRC-32 to itself: the data's is learned for later updates.
  bool learn = stored != nullptr && !stored->crcKnown;
  uLong crc = crc32(0, nullptr, 0);
  int written = 1;
  DataSink sink = [file, &written, learn, &crc](const char* data, size_t size) {
    if (learn) crc = crc32(crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size));
    written = file->Write(data, size);
    return written;
  };
  int status = ARCHIVE_OK;
  if (stored != nullptr && stored->method == ZipDeflate64) {
    if (!zipData.is_open()) zipData.open(std::filesystem::path(archivePath), std::ios::binary);
    status = ReadDeflate64(&zipData, *stored, &buffer, sink) ? ARCHIVE_OK : ARCHIVE_FAILED;
  } else {
    status = ReadEntryData(reader, &buffer, sink);
  }
  if (status == ARCHIVE_OK) {
    if (learn) LearnEntryCrc(archivePath, stored->name, stored->stamp, static_cast<uint32_t>(crc));
    return Outcome::Done;
  }
  if (!written) {
    if (!file->full) {
      NoteFailure(ReasonWriteFailed, path);
      return Outcome::Failed;
    }
    // A full disk fails every entry after this one too.
    uint64_t free = 0;
    FreeSpace(base, &free);
    NoteNoRoom(needed, free);
    return Outcome::Fatal;
  }
  NoteFailure(ReasonDamaged, EntryName(entry));
  return status == ARCHIVE_FATAL ? Outcome::Fatal : Outcome::Failed;
}

NativeString EntryWriter::EntryName(archive_entry* entry) const {
  NativeString name;
  EntryPathName(entry, NamesMayBeUtf8Bytes(reader), &name);
  return name;
}

Outcome EntryWriter::CopyExtracted(const NativeString& from, NewFile* file) {
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

Outcome EntryWriter::ExtractFolder(const std::vector<NativeString>& components,
                                   const NativeString& path, archive_entry* entry) {
  if (path.size() > LongestFolderPath) return Outcome::Skipped;
  Outcome outcome = PrepareFolders(components, components.size());
  if (outcome == Outcome::Done && archive_entry_mtime_is_set(entry)) {
    folderTimes.push_back({path, components.size(), archive_entry_mtime(entry),
                           static_cast<int32_t>(archive_entry_mtime_nsec(entry))});
  }
  return outcome;
}

NativeString EntryWriter::LinkSource(archive_entry* entry, const NativeString& path) {
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

Outcome EntryWriter::WriteFile(const NativeString& path, const NativeString& linkSource,
                               archive_entry* entry) {
  NewFile file;
  NativeString written = path;
  bool exists = false;
  if (!file.Create(path, &exists)) {
    PathKind kind = exists ? ProbePath(path) : PathKind::Unknown;
    if (kind == PathKind::Link) return Outcome::Skipped;
    if (kind != PathKind::File || !CreateSibling(path, &file, &written)) {
      NoteFailure(ReasonWriteFailed, path);
      return Outcome::Failed;
    }
  }
  Outcome outcome =
      linkSource.empty() ? WriteData(&file, entry, path) : CopyExtracted(linkSource, &file);
  if (outcome == Outcome::Done && archive_entry_mtime_is_set(entry)) {
    file.SetModifiedTime(archive_entry_mtime(entry),
                         static_cast<int32_t>(archive_entry_mtime_nsec(entry)));
  }
  if ((!file.Close() && outcome == Outcome::Done) ||
      (outcome == Outcome::Done && written != path && !MoveOver(written, path))) {
    NoteFailure(ReasonWriteFailed, path);
    outcome = Outcome::Failed;
  }
  // A half-written file would later be packed over the good entry.
  if (outcome != Outcome::Done) RemoveFile(written);
  return outcome;
}

Outcome EntryWriter::ExtractEntry(archive_entry* entry) {
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

void EntryWriter::ApplyFolderTimes() {
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
