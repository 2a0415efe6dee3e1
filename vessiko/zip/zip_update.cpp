// The ZIP update: the files compressed on several threads ahead of the writer, which puts
// them in order, then the old archive's absent entries. A write-back packs the whole drive
// after a user changed one document, so the entries of the old archive whose files are
// unchanged, and the absent ones, are copied as they are; only what changed is compressed.
// A file is unchanged when the record of the last pack vouches for it, or else when its
// CRC-32 is its entry's: modification times alone never decide it.
// Over an encrypted archive what is written anew is encrypted with its method and password.
#include <fstream>
#include <thread>
#include <unordered_map>

#include "call_report.h"
#include "entry_names.h"
#include "packing.h"
#include "seen_files.h"
#include "worker_pool.h"
#include "zip/learned_crcs.h"
#include "zip/zip_directory.h"
#include "zip/zip_writer.h"

namespace {

// Files up to this size are read and compressed whole by the workers; larger ones are
// compressed while they are written, so memory stays bounded on a 32-bit process.
constexpr int64_t InMemoryLimit = 4 * 1024 * 1024;
// How many bytes of files the workers may hold ahead of the writer.
constexpr int64_t InFlightBudget = 32 * 1024 * 1024;

// The stored name of a path below the root.
int ZipNameOf(const NativeString& relative, ZipItem* item) {
  bool ascii = true;
  for (NativeChar c : relative) ascii = ascii && CodeOf(c) < 0x80;
  if (ascii) {
    item->name.assign(relative.begin(), relative.end());
    item->utf8 = 0;
    return 1;
  }
  EntryHandle entry;
  archive_entry* e = entry.object;
  if (e == nullptr) return 0;
  SetEntryPathName(e, relative);
  return StoredText(archive_entry_pathname_w(e), archive_entry_pathname_utf8(e),
                    archive_entry_pathname(e), &item->name, &item->utf8);
}

int ZipItemOf(const SourceItem& source, ZipItem* item) {
  if (!ZipNameOf(source.relative, item)) return 0;
  item->folder = source.folder;
  item->mode = source.folder ? 040755 : 0100644;
  item->seconds = source.seconds;
  item->timed = 1;
  return 1;
}

// Reads a listed file whole into data; 0 when it is not as long as listed.
int ReadWholeFile(const SourceItem& source, std::vector<char>* buffer, std::vector<char>* data) {
  data->clear();
  data->reserve(static_cast<size_t>(source.size));
  return ReadListedFile(source, buffer, [data](const char* bytes, size_t size) {
    data->insert(data->end(), bytes, bytes + size);
    return 1;
  });
}

// The CRC-32 of a listed file read in chunks; 0 when it is not as long as listed.
int ListedFileCrc(const SourceItem& source, std::vector<char>* buffer, uint32_t* crc) {
  uLong value = crc32(0, nullptr, 0);
  int read = ReadListedFile(source, buffer, [&value](const char* bytes, size_t size) {
    value = crc32(value, reinterpret_cast<const Bytef*>(bytes), static_cast<uInt>(size));
    return 1;
  });
  *crc = static_cast<uint32_t>(value);
  return read;
}

// A sink that compresses data into the writer's streamed entry.
DataSink StreamSink(ZipWriter* writer) {
  return [writer](const char* data, size_t size) { return writer->StreamData(data, size); };
}

int StreamListedFile(ZipWriter* writer, const SourceItem& source, const ZipItem& item,
                     Deflater* deflater, std::vector<char>* buffer) {
  return writer->BeginStreamed(item, source.size, deflater) &&
         ReadListedFile(source, buffer, StreamSink(writer)) && writer->EndStreamed();
}

// Unchanged: the file has the size and CRC-32 of its old entry, which is copied instead.
enum class JobState { Failed, Ready, Streamed, Unchanged };

struct PackJob {
  JobState state = JobState::Failed;
  PreparedData data;
};

// What a worker compresses with.
struct PackScratch {
  Deflater deflater;
  std::vector<char> buffer = std::vector<char>(BlockSize);
  std::vector<char> data;
};

// Only files read whole count against the budget of bytes held ahead of the writer.
int64_t MemoryCost(const SourceItem& item) {
  return item.folder || item.size > InMemoryLimit ? 0 : item.size;
}

// Reads and compresses one listed file on a worker. stored: the old entry it may be
// unchanged from, or null. A file the record knows unchanged is not opened at all: held open
// by another program without sharing, it still goes into the archive.
void PrepareFile(const SourceItem& item, const ZipStoredEntry* stored, const SeenFiles& seen,
                 PackScratch* scratch, PackJob* job) {
  job->state = JobState::Ready;
  uint32_t crc = 0;
  if (item.folder) {
    // Nothing to read.
  } else if (stored != nullptr && seen.Unchanged(item, stored->crc)) {
    job->state = JobState::Unchanged;
  } else if (item.size > InMemoryLimit) {
    // Read once for the checksum; compressed later, while written, only when it changed.
    job->state = JobState::Streamed;
    if (stored != nullptr) {
      if (!ListedFileCrc(item, &scratch->buffer, &crc)) {
        job->state = JobState::Failed;
      } else if (crc == stored->crc) {
        job->state = JobState::Unchanged;
      }
    }
  } else if (!ReadWholeFile(item, &scratch->buffer, &scratch->data)) {
    job->state = JobState::Failed;
  } else if (stored != nullptr &&
             crc32(0, reinterpret_cast<const Bytef*>(scratch->data.data()),
                   static_cast<uInt>(scratch->data.size())) == stored->crc) {
    job->state = JobState::Unchanged;
  } else if (!PrepareData(&scratch->deflater, scratch->data.data(), scratch->data.size(),
                          &job->data)) {
    job->state = JobState::Failed;
  }
}

// The writer's side of a pack: the entries it has written, what it compresses with, and the
// old archive it copies from.
struct ZipPacking {
  explicit ZipPacking(SeenFiles* record) : seen(*record) {}
  ZipEncryption encryption;
  SeenFiles& seen;
  ZipWriter writer;
  Deflater deflater;
  std::vector<char> buffer = std::vector<char>(BlockSize);
  std::vector<char> data;
  std::unordered_set<NativeString> present;
  std::vector<ZipStoredEntry> old;
  ZipCopySource source;
  bool copying = false;  // the old archive's entries can be copied as they are
  NativeString archivePath;  // the old archive's, under which AE-2 CRC-32s are learned

  void OpenOld(const NativeString& previous) {
    archivePath = previous;
    copying = !previous.empty() && ReadZipEntries(previous, &old) && source.Open(previous);
    for (ZipStoredEntry& entry : old) {
      if (!entry.crcKnown) {
        entry.crcKnown = LearnedEntryCrc(archivePath, entry.name, entry.stamp, &entry.crc);
      }
    }
  }

  // A file of an AES pack written anew: what its data was is known now, and spares the next
  // update of an unchanged file writing it again.
  void LearnWritten(const SourceItem& source) {
    const ZipCentralRecord& r = writer.records.back();
    if (!r.aes) return;
    const std::vector<unsigned char>& header = writer.entryCipher.header;
    LearnEntryCrc(archivePath, source.relative,
                  AesStamp(header.data(), header.size(), r.compressed), r.crc);
  }

  // Per listed file, the old entry it may be unchanged from: the one extracted under its key
  // (the last of that key), a plain file of the same size. The name must be the same to the
  // letter, or a file renamed only in case would get its old name back.
  std::vector<const ZipStoredEntry*> Candidates(const std::vector<SourceItem>& items) const {
    std::vector<const ZipStoredEntry*> candidates(items.size(), nullptr);
    if (!copying) return candidates;
    std::unordered_map<NativeString, const ZipStoredEntry*> extracted;
    for (const ZipStoredEntry& entry : old) {
      if (!entry.key.empty()) extracted[entry.key] = &entry;
    }
    for (size_t i = 0; i < items.size(); ++i) {
      const SourceItem& item = items[i];
      auto found = extracted.find(item.key);
      if (item.folder || found == extracted.end()) continue;
      const ZipStoredEntry* entry = found->second;
      if (entry->plainFile && entry->crcKnown && entry->storedAsShown &&
          static_cast<int64_t>(entry->size) == item.size && entry->name == item.relative) {
        candidates[i] = entry;
      }
    }
    return candidates;
  }

  int CopyStored(const ZipStoredEntry& entry) {
    std::vector<unsigned char> central;
    return RelocatedCentralRecord(entry.central, writer.position, &central) &&
           writer.AddCopied(&source, entry.offset, entry.length, std::move(central));
  }

  int CopyAbsent() {
    for (const ZipStoredEntry& entry : old) {
      if (!entry.key.empty() && present.count(entry.key) != 0) continue;
      if (!CopyStored(entry)) return 0;
    }
    return 1;
  }

  int WriteListed(const std::vector<SourceItem>& items) {
    // Fixed before the workers start.
    const std::vector<const ZipStoredEntry*> stored = Candidates(items);
    OrderedWork<PackJob, PackScratch> compression;
    compression.Start(
        items.size(), WorkerCount(), InFlightBudget,
        [&](size_t i, PackScratch* scratch, PackJob* job) {
          PrepareFile(items[i], stored[i], seen, scratch, job);
        },
        [&](size_t i) { return MemoryCost(items[i]); });
    for (size_t i = 0; i < items.size(); ++i) {
      const SourceItem& source = items[i];
      const PackJob& job = compression.Await(i);
      ZipItem item;
      if (job.state == JobState::Failed || !ZipItemOf(source, &item)) return 0;
      int written = 0;
      if (source.folder) {
        written = writer.AddFolder(item);
      } else if (job.state == JobState::Unchanged) {
        written = CopyStored(*stored[i]);
        if (written) seen.Saw(source, stored[i]->crc);
      } else {
        written = job.state == JobState::Streamed
                      ? StreamListedFile(&writer, source, item, &deflater, &buffer)
                      : writer.AddPrepared(item, job.data);
        if (written) {
          LearnWritten(source);
          seen.Saw(source, writer.records.back().crc);
        }
      }
      if (!written) return 0;
      compression.Done(i);
      present.insert(source.key);
    }
    return 1;
  }

  // A symbolic link keeps its target as its data, stored.
  int AddLink(const ZipItem& item, archive_entry* entry) {
    std::string target;
    int flagged = 0;
    if (!StoredText(archive_entry_symlink_w(entry), archive_entry_symlink_utf8(entry),
                    archive_entry_symlink(entry), &target, &flagged)) {
      return 0;
    }
    PreparedData prepared;
    prepared.bytes.assign(target.begin(), target.end());
    prepared.size = target.size();
    prepared.crc = static_cast<uint32_t>(crc32(
        0, reinterpret_cast<const Bytef*>(target.data()), static_cast<uInt>(target.size())));
    return writer.AddPrepared(item, prepared);
  }

  // A file's data compressed whole when it is small enough, else while it is written.
  int AddFile(const ZipItem& item, archive* reader, archive_entry* entry) {
    int64_t size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
    if (size >= 0 && size <= InMemoryLimit) {
      data.clear();
      PreparedData prepared;
      return ReadEntryData(reader, &buffer, [this](const char* bytes, size_t n) {
               data.insert(data.end(), bytes, bytes + n);
               return 1;
             }) == ARCHIVE_OK &&
             PrepareData(&deflater, data.data(), data.size(), &prepared) &&
             writer.AddPrepared(item, prepared);
    }
    return writer.BeginStreamed(item, size, &deflater) &&
           ReadEntryData(reader, &buffer, StreamSink(&writer)) == ARCHIVE_OK &&
           writer.EndStreamed();
  }

  // An entry of the old archive, compressed (and encrypted) as the new ones are.
  int AddAbsent(archive* reader, archive_entry* entry) {
    // An encrypted entry the archive's directory did not show is not written in the clear.
    if (archive_entry_is_data_encrypted(entry) && encryption.cipher == ZipCipher::None) {
      NoteFailure(ReasonPasswordProtected, archivePath);
      return 0;
    }
    ZipItem item;
    if (!StoredText(archive_entry_pathname_w(entry), archive_entry_pathname_utf8(entry),
                    archive_entry_pathname(entry), &item.name, &item.utf8)) {
      return 0;
    }
    item.mode = archive_entry_mode(entry);
    item.seconds = archive_entry_mtime(entry);
    item.timed = archive_entry_mtime_is_set(entry);
    switch (archive_entry_filetype(entry)) {
      case AE_IFDIR:
        item.folder = 1;
        while (!item.name.empty() && item.name.back() == '/') item.name.pop_back();
        return writer.AddFolder(item);
      case AE_IFLNK:
        return AddLink(item, entry);
      case AE_IFREG:
        return AddFile(item, reader, entry);
      default:
        // Devices, pipes and sockets have no place in a ZIP.
        return 0;
    }
  }
};

}  // namespace

int WriteZip(const NativeString& output, const ItemCollector& collect,
             const NativeString& previous, int fresh, ZipCipher cipher, SeenFiles* seen) {
  ZipPacking packing(seen);
  if (!packing.encryption.Start(cipher, &ArchivePassword())) {
    // This platform cannot encrypt: nothing is written in the clear instead.
    NoteFailure(ReasonPasswordProtected, previous);
    return 0;
  }
  if (cipher != ZipCipher::None) packing.writer.encryption = &packing.encryption;
  std::vector<SourceItem> items;
  // The old archive's directory is read while the tree is listed.
  std::thread old([&packing, &previous] { packing.OpenOld(previous); });
  int listed = collect(&items);
  old.join();
  if (!listed || !packing.writer.Open(output) || !packing.WriteListed(items)) return 0;
  if (!fresh && !previous.empty()) {
    // An old archive this reader cannot vouch for is read through libarchive, and its
    // absent entries compressed again.
    int kept = packing.copying ? packing.CopyAbsent()
                               : ForEachAbsentEntry(previous, packing.present,
                                                    [&](archive* reader, archive_entry* entry) {
                                                      return packing.AddAbsent(reader, entry);
                                                    });
    if (!kept) return 0;
  }
  return packing.writer.Close();
}
