// Packing a 7z: the files go into solid blocks of about SevenZipBlockTarget bytes each,
// compressed on several threads ahead of the writer. Over an old archive, every block whose
// files are all unchanged (same names, sizes and CRCs, the CRCs computed from the files on
// the drive) is copied as it is; the drive's other files are compressed into new blocks.
// Entries of the old archive not present under the root are kept: inside a copied block
// with it, from any other block decoded by libarchive and compressed again.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "core_internal.h"
#include "sevenzip.h"

namespace {

// A block larger than this (one large file) is compressed by the writer itself, its packed
// bytes going to the archive as they come; the workers hold theirs in memory.
constexpr uint64_t StreamedBlock = 64u * 1024 * 1024;
// What libarchive's writer gave files and folders: the archive bit and a Unix mode.
constexpr uint32_t FileAttributes = 0x8020u | (0100644u << 16);
constexpr uint32_t FolderAttributes = 0x8010u | (040755u << 16);
constexpr size_t CopyChunk = 1024 * 1024;

SevenZipItem ItemOf(const SourceItem& source, const std::u16string& name) {
  SevenZipItem item;
  item.name = name;
  item.hasStream = !source.folder && source.size > 0;
  item.directory = source.folder;
  item.size = source.folder ? 0 : static_cast<uint64_t>(source.size);
  item.timed = 1;
  item.mtime = SevenZipTime(source.seconds, source.nanoseconds);
  item.attributed = 1;
  item.attributes = source.folder ? FolderAttributes : FileAttributes;
  return item;
}

struct NewBlock {
  std::vector<size_t> files;  // indices into the listing
  uint64_t bytes = 0;
};

// Files in listing order, so that a block holds neighbours; a file larger than the target
// gets a block of its own.
std::vector<NewBlock> PlanBlocks(const std::vector<SourceItem>& items,
                                 const std::vector<size_t>& files) {
  std::vector<NewBlock> blocks;
  for (size_t i : files) {
    uint64_t size = static_cast<uint64_t>(items[i].size);
    if (blocks.empty() ||
        (!blocks.back().files.empty() && blocks.back().bytes + size > SevenZipBlockTarget)) {
      blocks.emplace_back();
    }
    blocks.back().files.push_back(i);
    blocks.back().bytes += size;
  }
  return blocks;
}

// What a pack works from: the listing with the names it stores.
struct Listing {
  const std::vector<SourceItem>& items;
  std::vector<std::u16string> names;
};

// Compresses a block's files. drain, when given, takes the packed bytes as they grow.
int CompressBlock(const Listing& listing, const NewBlock& block, Lzma2Encoder* encoder,
                  std::vector<char>* buffer, SevenZipFolder* folder,
                  const std::function<int()>& drain) {
  if (!encoder->Start(block.bytes)) return 0;
  folder->items.clear();
  for (size_t i : block.files) {
    SevenZipItem item = ItemOf(listing.items[i], listing.names[i]);
    uint32_t crc = 0;
    if (!ReadListedFile(listing.items[i], buffer, [&](const char* data, size_t size) {
          crc = lzma_crc32(reinterpret_cast<const uint8_t*>(data), size, crc);
          return encoder->Feed(data, size) && (!drain || drain());
        })) {
      return 0;
    }
    item.crcDefined = 1;
    item.crc = crc;
    folder->items.push_back(std::move(item));
  }
  if (!encoder->Finish() || (drain && !drain())) return 0;
  encoder->Describe(block.bytes, folder);
  return 1;
}

enum class BlockState { Waiting, Ready, Failed, Streamed };

struct BlockJob {
  BlockState state = BlockState::Waiting;
  SevenZipFolder folder;
  std::vector<unsigned char> packed;
};

// The workers compress blocks ahead of the writer, at most a few more than there are
// workers, and the writer takes them in order.
struct ParallelBlocks {
  const Listing* listing = nullptr;
  const std::vector<NewBlock>* blocks = nullptr;
  std::vector<BlockJob> jobs;
  std::mutex lock;
  std::condition_variable changed;
  size_t next = 0;
  size_t written = 0;
  size_t ahead = 0;
  bool stop = false;
  std::vector<std::thread> threads;

  void Start(const Listing* l, const std::vector<NewBlock>* b, unsigned count) {
    listing = l;
    blocks = b;
    jobs.resize(b->size());
    ahead = count + 1;
    for (unsigned k = 0; k < count; ++k) threads.emplace_back([this] { Work(); });
  }

  bool TakeNext(size_t* i) {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return stop || next >= jobs.size() || next < written + ahead; });
    if (stop || next >= jobs.size()) return false;
    *i = next++;
    return true;
  }

  void Work() {
    Lzma2Encoder encoder;
    std::vector<char> buffer(BlockSize);
    size_t i = 0;
    while (TakeNext(&i)) {
      const NewBlock& block = (*blocks)[i];
      BlockJob job;
      job.state = BlockState::Streamed;
      if (block.bytes <= StreamedBlock) {
        job.state = CompressBlock(*listing, block, &encoder, &buffer, &job.folder, nullptr)
                        ? BlockState::Ready
                        : BlockState::Failed;
        job.packed.swap(encoder.packed);
      }
      {
        std::lock_guard<std::mutex> guard(lock);
        jobs[i] = std::move(job);
      }
      changed.notify_all();
    }
  }

  BlockState Await(size_t i) {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return jobs[i].state != BlockState::Waiting; });
    return jobs[i].state;
  }

  void Done(size_t i) {
    {
      std::lock_guard<std::mutex> guard(lock);
      written = i + 1;
      jobs[i] = BlockJob();
      jobs[i].state = BlockState::Ready;
    }
    changed.notify_all();
  }

  ~ParallelBlocks() {
    {
      std::lock_guard<std::mutex> guard(lock);
      stop = true;
    }
    changed.notify_all();
    for (std::thread& t : threads) t.join();
  }
};

// CRCs of listed files, read on all workers; ok is 0 for a file not readable as listed.
void ComputeCrcs(const std::vector<SourceItem>& items, const std::vector<size_t>& which,
                 std::vector<uint32_t>* crcs, std::vector<int>* ok) {
  crcs->assign(items.size(), 0);
  ok->assign(items.size(), 0);
  std::atomic<size_t> next(0);
  auto work = [&] {
    std::vector<char> buffer(BlockSize);
    for (size_t k = next++; k < which.size(); k = next++) {
      size_t i = which[k];
      uint32_t crc = 0;
      (*ok)[i] = ReadListedFile(items[i], &buffer, [&crc](const char* data, size_t size) {
        crc = lzma_crc32(reinterpret_cast<const uint8_t*>(data), size, crc);
        return 1;
      });
      (*crcs)[i] = crc;
    }
  };
  std::vector<std::thread> threads;
  for (unsigned k = 1; k < WorkerCount(); ++k) threads.emplace_back(work);
  work();
  for (std::thread& t : threads) t.join();
}

// Entries of the old archive compressed again, on this thread, straight into the archive.
struct KeptBlocks {
  explicit KeptBlocks(SevenZipWriter* w) : writer(w) {}
  SevenZipWriter* writer;
  Lzma2Encoder encoder;
  SevenZipFolder folder;
  uint64_t unpacked = 0;
  bool open = false;
  std::vector<char> buffer = std::vector<char>(BlockSize);

  int Drain() {
    if (!writer->WritePacked(encoder.packed.data(), encoder.packed.size())) return 0;
    encoder.drained += encoder.packed.size();
    encoder.packed.clear();
    return 1;
  }

  // An entry whose data libarchive reads next; its CRC, when the header gave one, must
  // come out again.
  int Add(SevenZipItem item, archive* reader, archive_entry* entry) {
    if (!open) {
      if (!encoder.Start(SevenZipBlockTarget)) return 0;
      folder = SevenZipFolder();
      unpacked = 0;
      open = true;
    }
    uint64_t size = 0;
    uint32_t crc = 0;
    auto sink = [&](const char* data, size_t n) {
      size += n;
      crc = lzma_crc32(reinterpret_cast<const uint8_t*>(data), n, crc);
      return encoder.Feed(data, n) && (encoder.packed.size() < CopyChunk || Drain());
    };
    if (archive_entry_filetype(entry) == AE_IFLNK) {
      // libarchive hands a link's data over as its target.
      const char* target = archive_entry_symlink(entry);
      if (target == nullptr || !sink(target, std::char_traits<char>::length(target))) return 0;
    } else if (ReadEntryData(reader, &buffer, sink) != ARCHIVE_OK) {
      return 0;
    }
    if ((item.crcDefined && crc != item.crc) || (item.hasStream && size != item.size)) return 0;
    item.hasStream = 1;
    item.size = size;
    item.crcDefined = 1;
    item.crc = crc;
    folder.items.push_back(std::move(item));
    unpacked += size;
    return unpacked < SevenZipBlockTarget || Close();
  }

  int Close() {
    if (!open) return 1;
    open = false;
    if (!encoder.Finish() || !Drain()) return 0;
    encoder.Describe(unpacked, &folder);
    writer->AddFolder(std::move(folder));
    return 1;
  }
};

int CopyPacked(std::ifstream* in, const SevenZipFolder& folder, SevenZipWriter* writer) {
  uint64_t left = 0;
  for (uint64_t size : folder.packSizes) left += size;
  std::vector<char> chunk(CopyChunk);
  in->clear();
  if (!in->seekg(static_cast<std::streamoff>(folder.packOffset))) return 0;
  while (left > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, chunk.size()));
    if (!in->read(chunk.data(), static_cast<std::streamsize>(n)) ||
        !writer->WritePacked(chunk.data(), n)) {
      return 0;
    }
    left -= n;
  }
  return 1;
}

// An entry libarchive read, as the header of the new archive describes it.
int ItemOfEntry(archive_entry* entry, SevenZipItem* item) {
  const wchar_t* wide = archive_entry_pathname_w(entry);
  if (wide == nullptr || wide[0] == L'\0') return 0;
  std::wstring name = wide;
  while (!name.empty() && name.back() == L'/') name.pop_back();
  AppendUtf16(name.c_str(), &item->name);
  unsigned mode = archive_entry_mode(entry);
  int type = archive_entry_filetype(entry);
  if (type != AE_IFDIR && type != AE_IFREG && type != AE_IFLNK) return 0;
  item->directory = type == AE_IFDIR;
  item->timed = archive_entry_mtime_is_set(entry);
  item->mtime = SevenZipTime(archive_entry_mtime(entry),
                             static_cast<int32_t>(archive_entry_mtime_nsec(entry)));
  item->attributed = 1;
  item->attributes = (item->directory ? 0x8010u : 0x8020u) | (mode & 0xFFFFu) << 16 |
                     ((mode & 0222) == 0 ? 1u : 0u);
  return 1;
}

struct SevenZipPacking {
  Listing listing;
  int fresh;
  SevenZipWriter writer;
  std::vector<SevenZipItem> empties;
  std::unordered_map<NativeString, size_t> present;  // listing index by presence key
  std::vector<int> used;  // a file whose data a copied block holds

  SevenZipPacking(const std::vector<SourceItem>& items, int f) : listing{items, {}}, fresh(f) {}

  int Prepare() {
    listing.names.resize(listing.items.size());
    used.assign(listing.items.size(), 0);
    for (size_t i = 0; i < listing.items.size(); ++i) {
      const SourceItem& source = listing.items[i];
      if (!StoredSevenZipName(source.relative, &listing.names[i])) return 0;
      present.emplace(source.key, i);
      if (source.folder || source.size == 0) empties.push_back(ItemOf(source, listing.names[i]));
    }
    return 1;
  }

  // The listing index of the drive's item of the same name, or -1 when the old item is
  // absent (its name is unsafe, or it is not under the root).
  long PresentIndex(const SevenZipItem& item) {
    NativeString name;
    std::vector<NativeString> components;
    if (!NativeSevenZipName(item.name, &name) || !SplitEntryName(name, &components)) return -1;
    auto found = present.find(PresenceKey(components));
    return found == present.end() ? -1 : static_cast<long>(found->second);
  }

  // Which old blocks hold nothing but files that are on the drive unchanged and, unless
  // fresh, entries that are absent.
  std::vector<int> BlocksToCopy(const SevenZipArchive& old) {
    std::vector<int> copy(old.folders.size(), 0);
    std::vector<std::vector<size_t>> claims(old.folders.size());
    std::vector<int> claimed(listing.items.size(), 0);
    std::vector<size_t> toCheck;
    for (size_t f = 0; f < old.folders.size(); ++f) {
      copy[f] = !old.folders[f].items.empty();
      std::vector<size_t> taken;
      for (const SevenZipItem& item : old.folders[f].items) {
        long i = PresentIndex(item);
        if (i < 0) {
          copy[f] = copy[f] && !fresh;
          claims[f].push_back(SIZE_MAX);
          continue;
        }
        const SourceItem& source = listing.items[static_cast<size_t>(i)];
        copy[f] = copy[f] && !source.folder && !claimed[static_cast<size_t>(i)] &&
                  item.crcDefined && static_cast<uint64_t>(source.size) == item.size &&
                  listing.names[static_cast<size_t>(i)] == item.name;
        if (copy[f]) {
          claimed[static_cast<size_t>(i)] = 1;
          taken.push_back(static_cast<size_t>(i));
        }
        claims[f].push_back(static_cast<size_t>(i));
      }
      // A block that is compressed again leaves its files to another copy of the same name.
      if (!copy[f]) {
        for (size_t i : taken) claimed[i] = 0;
      } else {
        for (size_t i : claims[f]) {
          if (i != SIZE_MAX) toCheck.push_back(i);
        }
      }
    }
    std::vector<uint32_t> crcs;
    std::vector<int> readable;
    ComputeCrcs(listing.items, toCheck, &crcs, &readable);
    for (size_t f = 0; f < old.folders.size(); ++f) {
      for (size_t k = 0; k < claims[f].size() && copy[f]; ++k) {
        size_t i = claims[f][k];
        copy[f] = i == SIZE_MAX || (readable[i] && crcs[i] == old.folders[f].items[k].crc);
      }
      for (size_t k = 0; k < claims[f].size() && copy[f]; ++k) {
        if (claims[f][k] != SIZE_MAX) used[claims[f][k]] = 1;
      }
    }
    return copy;
  }

  int CopyBlocks(const NativeString& previous, const SevenZipArchive& old,
                 const std::vector<int>& copy) {
    std::ifstream in(std::filesystem::path(previous), std::ios::binary);
    if (!in) return 0;
    for (size_t f = 0; f < old.folders.size(); ++f) {
      if (!copy[f]) continue;
      SevenZipFolder folder = old.folders[f];
      for (SevenZipItem& item : folder.items) {
        long i = PresentIndex(item);
        if (i < 0) continue;
        SevenZipItem fromDrive = ItemOf(listing.items[static_cast<size_t>(i)], item.name);
        fromDrive.crcDefined = 1;
        fromDrive.crc = item.crc;
        item = std::move(fromDrive);
      }
      if (!CopyPacked(&in, folder, &writer)) return 0;
      writer.AddFolder(std::move(folder));
    }
    return 1;
  }

  int CompressNew() {
    std::vector<size_t> files;
    for (size_t i = 0; i < listing.items.size(); ++i) {
      const SourceItem& source = listing.items[i];
      if (!source.folder && source.size > 0 && !used[i]) files.push_back(i);
    }
    std::vector<NewBlock> blocks = PlanBlocks(listing.items, files);
    ParallelBlocks parallel;
    parallel.Start(&listing, &blocks,
                   static_cast<unsigned>(std::min<size_t>(WorkerCount(), blocks.size())));
    Lzma2Encoder encoder;
    std::vector<char> buffer(BlockSize);
    for (size_t b = 0; b < blocks.size(); ++b) {
      BlockState state = parallel.Await(b);
      if (state == BlockState::Failed) return 0;
      if (state == BlockState::Streamed) {
        SevenZipFolder folder;
        auto drain = [&] {
          if (encoder.packed.size() < CopyChunk) return 1;
          int ok = writer.WritePacked(encoder.packed.data(), encoder.packed.size());
          encoder.drained += encoder.packed.size();
          encoder.packed.clear();
          return ok;
        };
        if (!CompressBlock(listing, blocks[b], &encoder, &buffer, &folder, drain) ||
            !writer.WritePacked(encoder.packed.data(), encoder.packed.size())) {
          return 0;
        }
        writer.AddFolder(std::move(folder));
      } else {
        BlockJob& job = parallel.jobs[b];
        if (!writer.WritePacked(job.packed.data(), job.packed.size())) return 0;
        writer.AddFolder(std::move(job.folder));
      }
      parallel.Done(b);
    }
    return 1;
  }

  // The old archive's absent entries outside the copied blocks: empties from its header,
  // data through libarchive, in the header's order.
  int KeepAbsent(const NativeString& previous, const SevenZipArchive& old,
                 const std::vector<int>& copy) {
    std::vector<int> needed(old.order.size(), 0);
    size_t left = 0;
    for (size_t k = 0; k < old.order.size(); ++k) {
      const SevenZipArchive::Place& place = old.order[k];
      if (place.folder < 0) {
        const SevenZipItem& item = old.empties[place.index];
        if (PresentIndex(item) < 0) empties.push_back(item);
      } else if (!copy[static_cast<size_t>(place.folder)]) {
        const SevenZipItem& item = old.folders[static_cast<size_t>(place.folder)].items[place.index];
        needed[k] = PresentIndex(item) < 0;
        left += static_cast<size_t>(needed[k]);
      }
    }
    if (left == 0) return 1;
    ReaderHandle reader;
    if (!OpenReader(&reader, previous)) return 0;
    KeptBlocks kept(&writer);
    for (size_t k = 0; left > 0; ++k) {
      archive_entry* entry = nullptr;
      if (k >= needed.size() || archive_read_next_header(reader.object, &entry) < ARCHIVE_WARN) {
        return 0;
      }
      if (!needed[k]) continue;
      const SevenZipArchive::Place& place = old.order[k];
      if (!kept.Add(old.folders[static_cast<size_t>(place.folder)].items[place.index],
                    reader.object, entry)) {
        return 0;
      }
      --left;
    }
    return kept.Close();
  }

  // The old archive's absent entries as libarchive reads them, for an archive whose header
  // this library does not read itself.
  int KeepAbsentThroughLibarchive(const NativeString& previous) {
    std::unordered_set<NativeString> keys;
    for (const auto& entry : present) keys.insert(entry.first);
    KeptBlocks kept(&writer);
    return ForEachAbsentEntry(previous, keys,
                              [&](archive* reader, archive_entry* entry) {
                                SevenZipItem item;
                                if (!ItemOfEntry(entry, &item)) return 0;
                                if (item.directory || (archive_entry_filetype(entry) == AE_IFREG &&
                                                       archive_entry_size_is_set(entry) &&
                                                       archive_entry_size(entry) == 0)) {
                                  empties.push_back(std::move(item));
                                  return 1;
                                }
                                return kept.Add(std::move(item), reader, entry);
                              }) &&
           kept.Close();
  }
};

}  // namespace

int WriteSevenZip(const NativeString& output, const std::vector<SourceItem>& items,
                  const NativeString& previous, int fresh) {
  SevenZipPacking packing(items, fresh);
  if (!packing.Prepare() || !packing.writer.Open(output)) return 0;
  SevenZipArchive old;
  bool readable = !previous.empty() && ReadSevenZipHeader(previous, &old);
  if (readable) {
    std::vector<int> copy = packing.BlocksToCopy(old);
    if (!packing.CopyBlocks(previous, old, copy) || !packing.CompressNew() ||
        (!fresh && !packing.KeepAbsent(previous, old, copy))) {
      return 0;
    }
  } else {
    if (!packing.CompressNew()) return 0;
    if (!previous.empty() && !fresh && !packing.KeepAbsentThroughLibarchive(previous)) return 0;
  }
  return packing.writer.Close(packing.empties);
}
