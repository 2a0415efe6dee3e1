// Keeping the old archive's absent entries in a 7z update: empties from its header, and data
// decoded by libarchive and compressed again, on this thread, straight into the archive.
#include "sevenzip/kept_entries.h"

#include "sevenzip/lzma2_pieces.h"
#include "sevenzip/sevenzip_format.h"

namespace {

// Entries of the old archive compressed again, on this thread, straight into the archive.
struct KeptBlocks {
  explicit KeptBlocks(SevenZipWriter* w) : writer(w) {}
  SevenZipWriter* writer;
  Lzma2Encoder encoder;
  SevenZipBlock block;
  uint64_t unpacked = 0;
  bool open = false;
  std::vector<char> buffer = std::vector<char>(BlockSize);

  // An entry whose data libarchive reads next; its CRC, when the header gave one, must
  // come out again.
  int Add(SevenZipItem item, archive* reader, archive_entry* entry) {
    if (!open) {
      if (!encoder.Start(SevenZipPieceTarget)) return 0;
      block = SevenZipBlock();
      unpacked = 0;
      open = true;
    }
    uint64_t size = 0;
    uint32_t crc = 0;
    auto sink = [&](const char* data, size_t n) {
      size += n;
      crc = lzma_crc32(reinterpret_cast<const uint8_t*>(data), n, crc);
      return encoder.Feed(data, n) &&
             (encoder.packed.size() < SevenZipCopyChunk || writer->TakePacked(&encoder));
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
    block.items.push_back(std::move(item));
    unpacked += size;
    return unpacked < SevenZipPieceTarget || Close();
  }

  int Close() {
    if (!open) return 1;
    open = false;
    if (!encoder.Finish() || !writer->TakePacked(&encoder)) return 0;
    encoder.Describe(unpacked, &block);
    writer->AddBlock(std::move(block));
    return 1;
  }
};

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
  item->attributes = SevenZipUnixExtension |
                     (item->directory ? SevenZipFolderAttribute : SevenZipArchiveAttribute) |
                     (mode & 0xFFFFu) << 16 | ((mode & 0222) == 0 ? SevenZipReadOnlyAttribute : 0u);
  return 1;
}

}  // namespace

int KeepAbsent(const NativeString& previous, const SevenZipArchive& old, SevenZipPlan* plan,
               SevenZipWriter* writer) {
  std::vector<int> needed(old.order.size(), 0);
  size_t left = 0;
  for (size_t k = 0; k < old.order.size(); ++k) {
    const SevenZipArchive::Place& place = old.order[k];
    if (place.block < 0) {
      const SevenZipItem& item = old.empties[place.index];
      if (plan->PresentIndex(item) < 0) plan->empties.push_back(item);
    } else {
      needed[k] = plan->keptLater[static_cast<size_t>(place.block)][place.index];
      left += static_cast<size_t>(needed[k]);
    }
  }
  if (left == 0) return 1;
  ReaderHandle reader;
  if (!OpenReader(&reader, previous)) return 0;
  KeptBlocks kept(writer);
  for (size_t k = 0; left > 0; ++k) {
    archive_entry* entry = nullptr;
    if (k >= needed.size() || archive_read_next_header(reader.object, &entry) < ARCHIVE_WARN) {
      return 0;
    }
    if (!needed[k]) continue;
    const SevenZipArchive::Place& place = old.order[k];
    if (!kept.Add(old.blocks[static_cast<size_t>(place.block)].items[place.index],
                  reader.object, entry)) {
      return 0;
    }
    --left;
  }
  return kept.Close();
}

int KeepAbsentThroughLibarchive(const NativeString& previous, SevenZipPlan* plan,
                                SevenZipWriter* writer) {
  std::unordered_set<NativeString> keys;
  for (const auto& entry : plan->present) keys.insert(entry.first);
  KeptBlocks kept(writer);
  return ForEachAbsentEntry(previous, keys,
                            [&](archive* reader, archive_entry* entry) {
                              SevenZipItem item;
                              if (!ItemOfEntry(entry, &item)) return 0;
                              if (item.directory || (archive_entry_filetype(entry) == AE_IFREG &&
                                                     archive_entry_size_is_set(entry) &&
                                                     archive_entry_size(entry) == 0)) {
                                plan->empties.push_back(std::move(item));
                                return 1;
                              }
                              return kept.Add(std::move(item), reader, entry);
                            }) &&
         kept.Close();
}
