// The central directory of a ZIP and the local records it points to, read by the core
// itself: where an update finds the entries it copies as they are, and their new offsets.
#include <zlib.h>

#include <algorithm>
#include <fstream>

#include "entry_names.h"
#include "zip/learned_crcs.h"
#include "zip/zip_directory.h"
#include "zip/zip_format.h"

namespace {

// A directory larger than this is not read: the code page stays, and an update goes through
// libarchive.
constexpr uint64_t LargestDirectory = 64u * 1024 * 1024;

void PutLittle(unsigned char* p, int bytes, uint64_t value) {
  for (int i = 0; i < bytes; ++i, value >>= 8) p[i] = static_cast<unsigned char>(value);
}

bool ReadAt(std::ifstream& in, uint64_t offset, size_t size, std::vector<unsigned char>* out) {
  out->resize(size);
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  return size == 0 || static_cast<bool>(in.read(reinterpret_cast<char*>(out->data()),
                                                static_cast<std::streamsize>(size)));
}

// A plain file libarchive would extract: not a folder, link or device, and not under the
// strong encryption no reader here decrypts.
bool IsPlainFile(const CentralRecord& r) {
  if (r.flags & ZipStrongEncryptionFlag) return false;
  if (r.nameSize > 0 && (r.name[r.nameSize - 1] == '/' || r.name[r.nameSize - 1] == '\\')) {
    return false;
  }
  uint64_t attributes = Little(r.header + 38, 4);
  if (r.header[5] == 3) {
    uint64_t type = (attributes >> 16) & 0170000;
    return type == 0 || type == 0100000;
  }
  return !(attributes & 0x10);
}

// The length of the data descriptor after an entry's data: the one of the four forms (with
// or without its signature, 32- or 64-bit sizes) whose values are the central record's,
// 64-bit sizes first when the local header has a ZIP64 field. 0 when none is.
size_t DescriptorLength(const std::vector<unsigned char>& bytes, bool zip64, uint32_t crc,
                        uint64_t compressed, uint64_t size) {
  for (int width : {zip64 ? 8 : 4, zip64 ? 4 : 8}) {
    for (size_t skip : {4, 0}) {
      size_t length = skip + 4 + 2 * static_cast<size_t>(width);
      if (bytes.size() < length) continue;
      const unsigned char* p = bytes.data();
      if (skip > 0 && Little(p, 4) != ZipDescriptorSignature) continue;
      p += skip;
      if (Little(p, 4) == crc && Little(p + 4, width) == compressed &&
          Little(p + 4 + width, width) == size) {
        return length;
      }
    }
  }
  return 0;
}

// Reads the local record of an entry, which must end by limit, and checks it against the
// central record: same name, same UTF-8 flag, the data descriptor the header announces. Sets
// the entry's name and length.
bool ReadLocalRecord(std::ifstream& in, const CentralRecord& r, uint64_t limit,
                     bool unflaggedUtf8, ZipStoredEntry* entry) {
  std::vector<unsigned char> header;
  uint64_t room = limit - entry->offset;
  if (room < ZipLocalSize + r.nameSize) return false;
  size_t wanted = ZipLocalSize + r.nameSize + r.extraSize + 64;
  if (!ReadAt(in, entry->offset, static_cast<size_t>(std::min<uint64_t>(wanted, room)), &header) ||
      Little(header.data(), 4) != ZipLocalSignature) {
    return false;
  }
  uint16_t flags = static_cast<uint16_t>(Little(&header[6], 2));
  size_t nameSize = static_cast<size_t>(Little(&header[26], 2));
  size_t extraSize = static_cast<size_t>(Little(&header[28], 2));
  if (nameSize != r.nameSize || !std::equal(r.name, r.name + nameSize, header.data() + ZipLocalSize) ||
      (flags & ZipUtf8Flag) != (r.flags & ZipUtf8Flag)) {
    return false;
  }
  uint64_t headerSize = ZipLocalSize + nameSize + extraSize;
  if (headerSize > room) return false;
  if (header.size() < headerSize) {
    std::vector<unsigned char> rest;
    if (!ReadAt(in, entry->offset + header.size(),
                static_cast<size_t>(headerSize - header.size()), &rest)) {
      return false;
    }
    header.insert(header.end(), rest.begin(), rest.end());
  }
  const unsigned char* extra = header.data() + ZipLocalSize + nameSize;
  if (!ExtractedName(r, extra, extraSize, unflaggedUtf8, &entry->name, &entry->storedAsShown)) {
    entry->name.clear();
  }
  if (room - headerSize < entry->compressed) return false;
  entry->dataOffset = entry->offset + headerSize;
  if (entry->method == ZipAesMarker) {
    size_t want = static_cast<size_t>(std::min<uint64_t>(AesStampBytes, entry->compressed));
    std::vector<unsigned char> head;
    if (header.size() >= headerSize + want) {
      head.assign(header.begin() + headerSize, header.begin() + headerSize + want);
    } else if (!ReadAt(in, entry->dataOffset, want, &head)) {
      return false;
    }
    entry->stamp = AesStamp(head.data(), head.size(), entry->compressed);
  }
  uint64_t dataEnd = entry->offset + headerSize + entry->compressed;
  entry->length = dataEnd - entry->offset;
  if (!(flags & ZipDescriptorFlag)) return true;
  bool zip64 = false;
  ForEachExtraField(extra, extraSize, ZipZip64Tag,
                    [&](const unsigned char*, size_t) { zip64 = true; });
  std::vector<unsigned char> descriptor;
  size_t length = 0;
  if (ReadAt(in, dataEnd, static_cast<size_t>(std::min<uint64_t>(24, limit - dataEnd)),
             &descriptor)) {
    length = DescriptorLength(descriptor, zip64, entry->crc, entry->compressed, entry->size);
  }
  entry->length += length;
  return length > 0;
}

}  // namespace

bool RecordValues(const CentralRecord& r, uint64_t* size, uint64_t* compressed,
                  uint64_t* offset) {
  *compressed = Little(r.header + 20, 4);
  *size = Little(r.header + 24, 4);
  *offset = Little(r.header + 42, 4);
  uint64_t* values[] = {size, compressed, offset};
  size_t needed = 0;
  for (uint64_t* value : values) needed += *value == ZipFull32 ? 8 : 0;
  if (needed == 0) return true;
  bool complete = false;
  ForEachExtraField(r.extra, r.extraSize, ZipZip64Tag, [&](const unsigned char* data, size_t length) {
    if (complete || length < needed) return;
    for (uint64_t* value : values) {
      if (*value != ZipFull32) continue;
      *value = Little(data, 8);
      data += 8;
    }
    complete = true;
  });
  return complete;
}

bool ReadCentralDirectory(std::ifstream& in, std::vector<unsigned char>* directory,
                          DirectoryPlace* place) {
  in.seekg(0, std::ios::end);
  if (!in) return false;
  uint64_t fileSize = static_cast<uint64_t>(in.tellg());
  if (fileSize < ZipEndSize) return false;
  // The end record sits in the last 22 bytes plus a comment of at most 65,535.
  uint64_t tailStart = fileSize > ZipEndSize + 0xFFFF ? fileSize - ZipEndSize - 0xFFFF : 0;
  std::vector<unsigned char> tail;
  if (!ReadAt(in, tailStart, static_cast<size_t>(fileSize - tailStart), &tail)) return false;
  size_t end = tail.size() - ZipEndSize + 1;
  do {
    --end;
  } while (end > 0 && Little(&tail[end], 4) != ZipEndSignature);
  if (Little(&tail[end], 4) != ZipEndSignature) return false;
  uint64_t endOffset = tailStart + end;
  place->split = Little(&tail[end + 4], 2) != 0 || Little(&tail[end + 6], 2) != 0;
  place->count = Little(&tail[end + 10], 2);
  uint64_t size = Little(&tail[end + 12], 4);
  place->recorded = Little(&tail[end + 16], 4);
  if ((size == ZipFull32 || place->recorded == ZipFull32 || place->count == 0xFFFF) && end >= 20 &&
      Little(&tail[end - 20], 4) == ZipEnd64LocatorSignature) {
    std::vector<unsigned char> end64;
    if (!ReadAt(in, Little(&tail[end - 12], 8), 56, &end64) ||
        Little(end64.data(), 4) != ZipEnd64Signature) {
      return false;
    }
    place->count = Little(&end64[32], 8);
    size = Little(&end64[40], 8);
    place->recorded = Little(&end64[48], 8);
    endOffset -= 20 + 56;
  }
  if (size > LargestDirectory || size > endOffset) return false;
  // Behind a program stub the recorded offset does not count the stub: the directory
  // ends where the end records begin.
  place->start = endOffset - size;
  return ReadAt(in, place->start, static_cast<size_t>(size), directory);
}

bool SplitDirectory(const std::vector<unsigned char>& directory,
                    std::vector<CentralRecord>* records) {
  size_t at = 0;
  while (at + ZipCentralSize <= directory.size()) {
    CentralRecord r;
    r.header = &directory[at];
    if (Little(r.header, 4) != ZipCentralSignature) break;
    r.flags = static_cast<uint16_t>(Little(r.header + 8, 2));
    r.nameSize = static_cast<size_t>(Little(r.header + 28, 2));
    r.extraSize = static_cast<size_t>(Little(r.header + 30, 2));
    r.size = ZipCentralSize + r.nameSize + r.extraSize + static_cast<size_t>(Little(r.header + 32, 2));
    if (at + r.size > directory.size()) break;
    r.name = r.header + ZipCentralSize;
    r.extra = r.name + r.nameSize;
    records->push_back(r);
    at += r.size;
  }
  return at == directory.size();
}

bool ReadZipEntries(const NativeString& path, std::vector<ZipStoredEntry>* entries) {
  entries->clear();
  // Unbuffered: every local record is one small read far from the last, and a buffer would
  // fill itself with the data in between.
  std::ifstream in;
  in.rdbuf()->pubsetbuf(nullptr, 0);
  in.open(std::filesystem::path(path), std::ios::binary);
  std::vector<unsigned char> directory;
  DirectoryPlace place;
  if (!in || !ReadCentralDirectory(in, &directory, &place)) return false;
  std::vector<CentralRecord> records;
  // Behind a program stub the offsets do not say where the entries are.
  if (place.split || place.start != place.recorded || !SplitDirectory(directory, &records) ||
      records.size() != place.count) {
    return false;
  }
  bool unflaggedUtf8 = UnflaggedNamesAreUtf8(records);
  std::vector<size_t> order;
  for (const CentralRecord& r : records) {
    ZipStoredEntry entry;
    if (!RecordValues(r, &entry.size, &entry.compressed, &entry.offset)) return false;
    entry.crc = static_cast<uint32_t>(Little(r.header + 16, 4));
    entry.method = static_cast<unsigned>(Little(r.header + 10, 2));
    entry.plainFile = IsPlainFile(r);
    if (entry.method == ZipAesMarker) {
      // Of WinZip's AES entries only AE-1 stores the CRC-32; AE-2 leaves 0 there.
      entry.crcKnown = false;
      ForEachExtraField(r.extra, r.extraSize, ZipAesTag,
                        [&](const unsigned char* data, size_t size) {
                          if (size >= 2 && Little(data, 2) == ZipAe1) entry.crcKnown = true;
                        });
    }
    entry.central.assign(r.header, r.header + r.size);
    entries->push_back(std::move(entry));
    order.push_back(order.size());
  }
  // libarchive reads the entries in the order of their local records, and one record named
  // twice only once.
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
    return (*entries)[a].offset < (*entries)[b].offset;
  });
  std::vector<ZipStoredEntry> sorted;
  for (size_t k = 0; k < order.size(); ++k) {
    size_t i = order[k];
    if (k > 0 && (*entries)[i].offset == (*entries)[order[k - 1]].offset) continue;
    // The records must not overlap: each ends before the next begins.
    uint64_t limit = place.start;
    for (size_t next = k + 1; next < order.size(); ++next) {
      if ((*entries)[order[next]].offset != (*entries)[i].offset) {
        limit = (*entries)[order[next]].offset;
        break;
      }
    }
    if ((*entries)[i].offset >= limit ||
        !ReadLocalRecord(in, records[i], limit, unflaggedUtf8, &(*entries)[i])) {
      entries->clear();
      return false;
    }
    ZipStoredEntry& entry = (*entries)[i];
    if (!entry.name.empty()) {
      std::vector<NativeString> components;
      SplitEntryName(entry.name, &components);
      entry.key = PresenceKey(components);
    }
    sorted.push_back(std::move(entry));
  }
  *entries = std::move(sorted);
  return true;
}

bool ReadCentralDirectory(const NativeString& path, std::vector<unsigned char>* directory,
                          DirectoryPlace* place) {
  // Unbuffered: the reads are few and far apart.
  std::ifstream in;
  in.rdbuf()->pubsetbuf(nullptr, 0);
  in.open(std::filesystem::path(path), std::ios::binary);
  return in && ReadCentralDirectory(in, directory, place);
}

ZipCipher ZipArchiveCipher(const NativeString& path) {
  std::vector<unsigned char> directory;
  DirectoryPlace place;
  std::vector<CentralRecord> records;
  if (!ReadCentralDirectory(path, &directory, &place)) return ZipCipher::None;
  SplitDirectory(directory, &records);
  ZipCipher cipher = ZipCipher::None;
  for (const CentralRecord& r : records) {
    if (Little(r.header + 10, 2) == ZipAesMarker) return ZipCipher::Aes;
    if (r.flags & ZipEncryptedFlag) cipher = ZipCipher::Traditional;
  }
  return cipher;
}

bool RelocatedCentralRecord(const std::vector<unsigned char>& record, uint64_t offset,
                            std::vector<unsigned char>* relocated) {
  *relocated = record;
  unsigned char* header = relocated->data();
  size_t nameSize = static_cast<size_t>(Little(header + 28, 2));
  size_t extraSize = static_cast<size_t>(Little(header + 30, 2));
  size_t extraStart = ZipCentralSize + nameSize;
  // The ZIP64 field holds, in this order, the values whose 32-bit fields are full.
  size_t before = (Little(header + 24, 4) == ZipFull32 ? 8 : 0) +
                  (Little(header + 20, 4) == ZipFull32 ? 8 : 0);
  size_t field = extraSize;  // where the ZIP64 field begins in the extra field
  ForEachExtraField(header + extraStart, extraSize, ZipZip64Tag,
                    [&](const unsigned char* data, size_t) {
                      if (field == extraSize) field = static_cast<size_t>(data - 4 - header) - extraStart;
                    });
  if (Little(header + 42, 4) == ZipFull32) {
    if (field == extraSize || Little(header + extraStart + field + 2, 2) < before + 8) {
      return false;
    }
    PutLittle(header + extraStart + field + 4 + before, 8, offset);
    return true;
  }
  if (offset < ZipFull32) {
    PutLittle(header + 42, 4, offset);
    return true;
  }
  // The offset moves into the ZIP64 field, made when there is none.
  if (extraSize + (field == extraSize ? 12 : 8) > 0xFFFF) return false;
  unsigned char value[8];
  PutLittle(value, 8, offset);
  std::vector<unsigned char>& r = *relocated;
  if (field == extraSize) {
    unsigned char fresh[4] = {};
    PutLittle(fresh, 2, ZipZip64Tag);
    PutLittle(fresh + 2, 2, 8);
    r.insert(r.begin() + static_cast<std::ptrdiff_t>(extraStart), value, value + 8);
    r.insert(r.begin() + static_cast<std::ptrdiff_t>(extraStart), fresh, fresh + 4);
    extraSize += 12;
  } else {
    size_t at = extraStart + field;
    size_t size = static_cast<size_t>(Little(&r[at + 2], 2));
    if (size < before) return false;
    r.insert(r.begin() + static_cast<std::ptrdiff_t>(at + 4 + before), value, value + 8);
    PutLittle(&r[at + 2], 2, size + 8);
    extraSize += 8;
  }
  PutLittle(&r[30], 2, extraSize);
  PutLittle(&r[42], 4, ZipFull32);
  if (Little(&r[6], 2) < 45) PutLittle(&r[6], 2, 45);
  return true;
}
