// Reading an old 7z archive's header: its blocks, where their packed streams lie, and the
// names, sizes and CRCs of the items in them, so that an update can copy the blocks whose
// files are unchanged. Written here rather than taken from the LZMA SDK: its header reader
// needs about 5,000 lines of its own support code and decoders besides, where this needs a
// few hundred and decodes a packed header with liblzma. libarchive reads these headers too,
// but tells nothing about blocks and packed streams.
#include <algorithm>
#include <memory>

#include "core_internal.h"
#include "sevenzip.h"

namespace {

enum : unsigned char {
  End = 0x00, Header = 0x01, ArchiveProperties = 0x02, AdditionalStreamsInfo = 0x03,
  MainStreamsInfo = 0x04, FilesInfo = 0x05, PackInfo = 0x06, UnpackInfo = 0x07,
  SubStreamsInfo = 0x08, Size = 0x09, Crc = 0x0A, Folder = 0x0B, CodersUnpackSize = 0x0C,
  NumUnpackStream = 0x0D, EmptyStream = 0x0E, EmptyFile = 0x0F, Anti = 0x10, Name = 0x11,
  MTime = 0x14, WinAttributes = 0x15, EncodedHeader = 0x17, Dummy = 0x19
};

// A header larger than this is not read: the process has 2 GB of addresses in all.
constexpr uint64_t LargestHeader = 128u * 1024 * 1024;
constexpr uint64_t MostStreamsPerCoder = 32;

// Coders whose blocks may be copied: what 7-Zip writes by default and libarchive reads.
// Encryption, and methods libarchive cannot decode, send the archive back to libarchive.
const uint64_t KnownCoders[] = {
    0x00,        // copy
    0x03,        // delta
    0x21,        // LZMA2
    0x030101,    // LZMA
    0x03030103,  // x86 branch converter
    0x0303011B,  // x86 branch converter with four streams
    0x03030501,  // ARM branch converter
    0x030401,    // PPMd
    0x040108,    // deflate
    0x040202,    // bzip2
};

struct Cursor {
  const unsigned char* p;
  const unsigned char* end;
  bool ok = true;

  size_t Left() const { return ok ? static_cast<size_t>(end - p) : 0; }
  unsigned Byte() {
    if (p >= end) {
      ok = false;
      return 0;
    }
    return *p++;
  }
  uint64_t Fixed(int count) {
    uint64_t v = 0;
    for (int i = 0; i < count; ++i) v |= static_cast<uint64_t>(Byte()) << (8 * i);
    return v;
  }
  uint64_t Number() {
    unsigned first = Byte(), mask = 0x80;
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) {
      if ((first & mask) == 0) return v + (static_cast<uint64_t>(first & (mask - 1)) << (8 * i));
      v |= static_cast<uint64_t>(Byte()) << (8 * i);
      mask >>= 1;
    }
    return v;
  }
  // A count of things that take at least a byte each further on: no more than the header
  // could hold, so that a damaged count never makes us allocate much.
  size_t Count() {
    uint64_t n = Number();
    if (n > Left()) ok = false;
    return ok ? static_cast<size_t>(n) : 0;
  }
  void Skip(uint64_t n) {
    if (n > Left()) {
      ok = false;
      return;
    }
    p += n;
  }
  std::vector<int> Bits(size_t n) {
    std::vector<int> bits(n);
    unsigned v = 0;
    for (size_t i = 0; i < n; ++i) {
      if (i % 8 == 0) v = Byte();
      bits[i] = (v >> (7 - i % 8)) & 1;
    }
    return bits;
  }
  // "All are defined", or one bit for each.
  std::vector<int> Defined(size_t n) {
    if (Byte() != 0) return std::vector<int>(n, 1);
    return Bits(n);
  }
};

struct FolderRecord {
  SevenZipFolder folder;
  size_t packStreams = 0;
  size_t mainOutput = 0;  // the output no other coder takes
  int crcDefined = 0;
  uint32_t crc = 0;
  size_t substreams = 1;
  uint64_t Unpacked() const { return folder.unpackSizes[mainOutput]; }
};

struct Streams {
  uint64_t packPosition = 0;
  std::vector<uint64_t> packSizes;
  std::vector<FolderRecord> folders;
  std::vector<uint64_t> sizes;  // of the substreams, block after block
  std::vector<int> crcDefined;
  std::vector<uint32_t> crcs;
};

bool ReadFolder(Cursor* c, FolderRecord* record) {
  const unsigned char* start = c->p;
  size_t coders = c->Count();
  if (coders == 0 || coders > 8) return false;
  uint64_t inputs = 0, outputs = 0;
  for (size_t i = 0; i < coders && c->ok; ++i) {
    unsigned flags = c->Byte();
    // Bit 7 once announced alternative methods, which no writer uses any more.
    if (flags & 0xC0) return false;
    uint64_t id = 0;
    for (unsigned k = 0; k < (flags & 0x0F); ++k) id = id << 8 | c->Byte();
    if (std::find(std::begin(KnownCoders), std::end(KnownCoders), id) == std::end(KnownCoders)) {
      return false;
    }
    uint64_t in = 1, out = 1;
    if (flags & 0x10) {
      in = c->Number();
      out = c->Number();
    }
    if (in == 0 || out == 0 || in > MostStreamsPerCoder || out > MostStreamsPerCoder) return false;
    if (flags & 0x20) c->Skip(c->Number());
    inputs += in;
    outputs += out;
  }
  std::vector<int> bound(static_cast<size_t>(outputs), 0);
  for (uint64_t pair = 0; pair + 1 < outputs && c->ok; ++pair) {
    uint64_t in = c->Number(), out = c->Number();
    if (in >= inputs || out >= outputs || bound[out]) return false;
    bound[out] = 1;
  }
  if (inputs < outputs) return false;
  record->packStreams = static_cast<size_t>(inputs - outputs + 1);
  if (record->packStreams > 1) {
    for (size_t i = 0; i < record->packStreams; ++i) {
      if (c->Number() >= inputs) return false;
    }
  }
  record->mainOutput = static_cast<size_t>(std::find(bound.begin(), bound.end(), 0) - bound.begin());
  record->folder.coders.assign(reinterpret_cast<const char*>(start), c->p - start);
  record->folder.unpackSizes.resize(static_cast<size_t>(outputs));
  return c->ok;
}

bool ReadDigests(Cursor* c, size_t n, std::vector<int>* defined, std::vector<uint32_t>* crcs) {
  *defined = c->Defined(n);
  crcs->assign(n, 0);
  for (size_t i = 0; i < n; ++i) {
    if ((*defined)[i]) (*crcs)[i] = static_cast<uint32_t>(c->Fixed(4));
  }
  return c->ok;
}

bool ReadPackInfo(Cursor* c, Streams* s) {
  s->packPosition = c->Number();
  s->packSizes.assign(c->Count(), 0);
  for (unsigned id = c->Byte(); id != End; id = c->Byte()) {
    if (!c->ok) return false;
    if (id == Size) {
      for (uint64_t& size : s->packSizes) size = c->Number();
    } else if (id == Crc) {
      std::vector<int> defined;
      std::vector<uint32_t> crcs;
      if (!ReadDigests(c, s->packSizes.size(), &defined, &crcs)) return false;
    } else {
      return false;
    }
  }
  return c->ok;
}

bool ReadUnpackInfo(Cursor* c, Streams* s) {
  if (c->Byte() != Folder) return false;
  s->folders.resize(c->Count());
  if (c->Byte() != 0) return false;  // folders kept in another stream
  for (FolderRecord& record : s->folders) {
    if (!ReadFolder(c, &record)) return false;
  }
  if (c->Byte() != CodersUnpackSize) return false;
  for (FolderRecord& record : s->folders) {
    for (uint64_t& size : record.folder.unpackSizes) size = c->Number();
  }
  for (unsigned id = c->Byte(); id != End; id = c->Byte()) {
    if (id != Crc || !c->ok) return false;
    std::vector<int> defined;
    std::vector<uint32_t> crcs;
    if (!ReadDigests(c, s->folders.size(), &defined, &crcs)) return false;
    for (size_t i = 0; i < s->folders.size(); ++i) {
      s->folders[i].crcDefined = defined[i];
      s->folders[i].crc = crcs[i];
    }
  }
  return c->ok;
}

bool ReadSubStreamsInfo(Cursor* c, Streams* s) {
  unsigned id = c->Byte();
  if (id == NumUnpackStream) {
    size_t total = 0;
    for (FolderRecord& record : s->folders) {
      record.substreams = c->Count();
      total += record.substreams;
      // Each needs at least a name's terminator in the file list that follows.
      if (total > c->Left()) return false;
    }
    id = c->Byte();
  }
  s->sizes.clear();
  for (const FolderRecord& record : s->folders) {
    if (record.substreams == 0) continue;
    uint64_t sum = 0;
    for (size_t k = 1; k < record.substreams && id == Size; ++k) {
      uint64_t size = c->Number();
      if (!c->ok || size > record.Unpacked() - sum) return false;
      sum += size;
      s->sizes.push_back(size);
    }
    if (id != Size && record.substreams > 1) return false;
    s->sizes.push_back(record.Unpacked() - sum);
  }
  if (id == Size) id = c->Byte();
  // CRCs are listed only for substreams whose block does not give them already.
  size_t listed = 0;
  for (const FolderRecord& record : s->folders) {
    if (record.substreams != 1 || !record.crcDefined) listed += record.substreams;
  }
  std::vector<int> defined(listed, 0);
  std::vector<uint32_t> crcs(listed, 0);
  for (; id != End; id = c->Byte()) {
    if (id != Crc || !c->ok || !ReadDigests(c, listed, &defined, &crcs)) return false;
  }
  s->crcDefined.clear();
  s->crcs.clear();
  size_t next = 0;
  for (const FolderRecord& record : s->folders) {
    if (record.substreams == 1 && record.crcDefined) {
      s->crcDefined.push_back(1);
      s->crcs.push_back(record.crc);
      continue;
    }
    for (size_t k = 0; k < record.substreams; ++k, ++next) {
      s->crcDefined.push_back(defined[next]);
      s->crcs.push_back(crcs[next]);
    }
  }
  return c->ok;
}

bool ReadStreamsInfo(Cursor* c, Streams* s) {
  bool substreams = false;
  for (unsigned id = c->Byte(); id != End; id = c->Byte()) {
    if (!c->ok) return false;
    bool read = false;
    switch (id) {
      case PackInfo: read = ReadPackInfo(c, s); break;
      case UnpackInfo: read = ReadUnpackInfo(c, s); break;
      case SubStreamsInfo: read = substreams = ReadSubStreamsInfo(c, s); break;
      default: return false;
    }
    if (!read) return false;
  }
  if (!substreams) {
    for (const FolderRecord& record : s->folders) {
      s->sizes.push_back(record.Unpacked());
      s->crcDefined.push_back(record.crcDefined);
      s->crcs.push_back(record.crc);
    }
  }
  size_t packStreams = 0;
  for (const FolderRecord& record : s->folders) packStreams += record.packStreams;
  return c->ok && packStreams == s->packSizes.size();
}

struct FileReader {
  std::ifstream in;
  uint64_t size = 0;
  int Read(uint64_t offset, uint64_t count, std::vector<unsigned char>* bytes) {
    if (offset > size || count > size - offset) return 0;
    bytes->resize(static_cast<size_t>(count));
    in.clear();
    in.seekg(static_cast<std::streamoff>(offset));
    return count == 0 || in.read(reinterpret_cast<char*>(bytes->data()),
                                 static_cast<std::streamsize>(count))
               ? 1
               : 0;
  }
};

// A packed header: one block of LZMA or LZMA2 (or stored), decoded with liblzma.
int DecodeHeader(FileReader* file, const Streams& s, std::vector<unsigned char>* header) {
  if (s.folders.size() != 1 || s.packSizes.size() != 1) return 0;
  const FolderRecord& record = s.folders[0];
  Cursor c{reinterpret_cast<const unsigned char*>(record.folder.coders.data()),
           reinterpret_cast<const unsigned char*>(record.folder.coders.data()) +
               record.folder.coders.size()};
  if (c.Number() != 1) return 0;
  unsigned flags = c.Byte();
  uint64_t id = 0;
  for (unsigned k = 0; k < (flags & 0x0F); ++k) id = id << 8 | c.Byte();
  std::string properties;
  if (flags & 0x20) {
    uint64_t n = c.Number();
    if (n > c.Left()) return 0;
    properties.assign(reinterpret_cast<const char*>(c.p), static_cast<size_t>(n));
  }
  uint64_t unpacked = record.Unpacked();
  std::vector<unsigned char> packed;
  if (flags & 0x10 || unpacked > LargestHeader || s.packSizes[0] > LargestHeader ||
      !file->Read(32 + s.packPosition, s.packSizes[0], &packed)) {
    return 0;
  }
  if (id == 0x00) {
    if (packed.size() != unpacked) return 0;
    *header = std::move(packed);
  } else {
    lzma_filter filters[2] = {{id == 0x21 ? LZMA_FILTER_LZMA2 : LZMA_FILTER_LZMA1, nullptr},
                              {LZMA_VLI_UNKNOWN, nullptr}};
    if ((id != 0x21 && id != 0x030101) ||
        lzma_properties_decode(&filters[0], nullptr,
                               reinterpret_cast<const uint8_t*>(properties.data()),
                               properties.size()) != LZMA_OK) {
      return 0;
    }
    std::unique_ptr<void, void (*)(void*)> options(filters[0].options, free);
    // The decoder allocates its whole dictionary at once; the header needs no more than
    // its own size.
    auto* lzma = static_cast<lzma_options_lzma*>(filters[0].options);
    lzma->dict_size = static_cast<uint32_t>(
        std::max<uint64_t>(LZMA_DICT_SIZE_MIN, std::min<uint64_t>(lzma->dict_size, unpacked)));
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&stream, filters) != LZMA_OK) return 0;
    header->resize(static_cast<size_t>(unpacked));
    stream.next_in = packed.data();
    stream.avail_in = packed.size();
    stream.next_out = header->data();
    stream.avail_out = header->size();
    lzma_ret ret = LZMA_OK;
    // LZMA may end without an end mark: the header is done when its size is reached.
    while (ret == LZMA_OK && stream.avail_out > 0 && stream.avail_in > 0) {
      ret = lzma_code(&stream, LZMA_RUN);
    }
    lzma_end(&stream);
    if (stream.avail_out != 0 || (ret != LZMA_OK && ret != LZMA_STREAM_END)) return 0;
  }
  return !record.crcDefined || lzma_crc32(header->data(), header->size(), 0) == record.crc;
}

struct FileList {
  std::vector<SevenZipItem> items;
  std::vector<int> emptyStream, emptyFile;
};

bool ReadNames(Cursor* c, std::vector<SevenZipItem>* items) {
  if (c->Byte() != 0) return false;
  for (SevenZipItem& item : *items) {
    for (;;) {
      char16_t unit = static_cast<char16_t>(c->Fixed(2));
      if (!c->ok) return false;
      if (unit == 0) break;
      item.name.push_back(unit);
    }
  }
  return true;
}

bool ReadFilesInfo(Cursor* c, FileList* files) {
  size_t n = c->Count();
  files->items.resize(n);
  files->emptyStream.assign(n, 0);
  for (unsigned id = c->Byte(); id != End; id = c->Byte()) {
    uint64_t size = c->Number();
    if (!c->ok || size > c->Left()) return false;
    Cursor p{c->p, c->p + size};
    c->Skip(size);
    size_t empties =
        static_cast<size_t>(std::count(files->emptyStream.begin(), files->emptyStream.end(), 1));
    switch (id) {
      case EmptyStream:
        files->emptyStream = p.Bits(n);
        files->emptyFile.assign(n, 0);
        break;
      case EmptyFile:
        files->emptyFile = p.Bits(empties);
        break;
      case Anti: {
        // Anti-items delete on extraction: what they mean here is left to libarchive.
        std::vector<int> anti = p.Bits(empties);
        if (std::count(anti.begin(), anti.end(), 1) != 0) return false;
        break;
      }
      case Name:
        if (!ReadNames(&p, &files->items)) return false;
        break;
      case MTime: {
        std::vector<int> defined = p.Defined(n);
        if (p.Byte() != 0) return false;
        for (size_t i = 0; i < n; ++i) {
          files->items[i].timed = defined[i];
          if (defined[i]) files->items[i].mtime = p.Fixed(8);
        }
        break;
      }
      case WinAttributes: {
        std::vector<int> defined = p.Defined(n);
        if (p.Byte() != 0) return false;
        for (size_t i = 0; i < n; ++i) {
          files->items[i].attributed = defined[i];
          if (defined[i]) files->items[i].attributes = static_cast<uint32_t>(p.Fixed(4));
        }
        break;
      }
      default:
        // Other times, the start position and padding say nothing an update needs.
        break;
    }
    if (!p.ok) return false;
  }
  return c->ok;
}

// The items handed to their blocks: an item with data takes the next substream.
bool Distribute(const Streams& s, FileList* files, SevenZipArchive* archive) {
  uint64_t offset = 32 + s.packPosition;
  size_t pack = 0, substream = 0, empty = 0, folder = 0, inFolder = 0;
  for (const FolderRecord& record : s.folders) {
    SevenZipFolder f = record.folder;
    f.packOffset = offset;
    f.packSizes.assign(s.packSizes.begin() + pack, s.packSizes.begin() + pack + record.packStreams);
    for (uint64_t size : f.packSizes) offset += size;
    pack += record.packStreams;
    archive->folders.push_back(std::move(f));
  }
  for (size_t i = 0; i < files->items.size(); ++i) {
    SevenZipItem& item = files->items[i];
    item.hasStream = !files->emptyStream[i];
    if (!item.hasStream) {
      item.directory = !files->emptyFile[empty++];
      archive->order.push_back({-1, archive->empties.size()});
      archive->empties.push_back(std::move(item));
      continue;
    }
    while (folder < s.folders.size() && inFolder == s.folders[folder].substreams) {
      ++folder;
      inFolder = 0;
    }
    if (folder == s.folders.size()) return false;
    item.size = s.sizes[substream];
    item.crcDefined = s.crcDefined[substream];
    item.crc = s.crcs[substream];
    ++substream;
    ++inFolder;
    archive->order.push_back({static_cast<int>(folder), archive->folders[folder].items.size()});
    archive->folders[folder].items.push_back(std::move(item));
  }
  return substream == s.sizes.size();
}

}  // namespace

int ScanLzma2Cuts(std::ifstream* in, const SevenZipFolder& folder, std::vector<Lzma2Cut>* cuts,
                  uint64_t* end) {
  cuts->clear();
  if (folder.packSizes.size() != 1 || folder.unpackSizes.size() != 1 ||
      folder.coders.size() != 5 || folder.coders.compare(0, 4, "\x01\x21\x21\x01", 4) != 0 ||
      Lzma2Dictionary(static_cast<uint8_t>(folder.coders[4])) == 0) {
    return 0;
  }
  const uint64_t size = folder.packSizes[0];
  uint64_t at = 0, unpacked = 0;
  *end = size;
  // Each chunk starts with a control byte: 0 ends the stream; 1 and 2 begin stored data (1
  // with a fresh dictionary); from 0x80 on, coded data, from 0xC0 on with fresh state and
  // settings (their byte last in the chunk's header), from 0xE0 on with a fresh dictionary.
  while (at < size) {
    unsigned char h[6] = {};
    std::streamsize want = static_cast<std::streamsize>(std::min<uint64_t>(6, size - at));
    in->clear();
    if (!in->seekg(static_cast<std::streamoff>(folder.packOffset + at)) ||
        !in->read(reinterpret_cast<char*>(h), want)) {
      return 0;
    }
    unsigned control = h[0];
    if (control == 0) {
      *end = at;
      break;
    }
    uint64_t header = control >= 0xC0 ? 6 : control >= 0x80 ? 5 : 3;
    if ((control > 2 && control < 0x80) || static_cast<uint64_t>(want) < header) return 0;
    uint64_t chunk = (static_cast<uint64_t>(control >= 0x80 ? control & 0x1F : 0) << 16 |
                      h[1] << 8 | h[2]) + 1;
    uint64_t packed = control >= 0x80 ? (h[3] << 8 | h[4]) + 1u : chunk;
    if (control >= 0xC0) {
      Lzma2Cut cut;
      cut.packed = at;
      cut.unpacked = unpacked;
      cut.dictionaryReset = control >= 0xE0;
      cut.positionFree = h[5] < 9;  // (pb * 5 + lp) * 9 + lc: no position bits
      cuts->push_back(cut);
    }
    at += header + packed;
    unpacked += chunk;
  }
  return at <= size && unpacked == folder.unpackSizes[0];
}

int ReadSevenZipHeader(const NativeString& path, SevenZipArchive* archive) {
  *archive = SevenZipArchive();
  FileReader file;
  file.in.open(std::filesystem::path(path), std::ios::binary);
  if (!file.in || !file.in.seekg(0, std::ios::end)) return 0;
  file.size = static_cast<uint64_t>(file.in.tellg());
  std::vector<unsigned char> start;
  if (!file.Read(0, 32, &start) || std::char_traits<char>::compare(
                                        reinterpret_cast<const char*>(start.data()),
                                        "7z\xBC\xAF\x27\x1C", 6) != 0 ||
      start[6] != 0) {
    return 0;
  }
  Cursor s{start.data() + 8, start.data() + 32};
  uint32_t startCrc = static_cast<uint32_t>(s.Fixed(4));
  uint64_t nextOffset = s.Fixed(8), nextSize = s.Fixed(8);
  uint32_t nextCrc = static_cast<uint32_t>(s.Fixed(4));
  if (lzma_crc32(start.data() + 12, 20, 0) != startCrc) return 0;
  if (nextSize == 0) return 1;  // no items at all
  std::vector<unsigned char> header;
  if (nextSize > LargestHeader || nextOffset > file.size ||
      !file.Read(32 + nextOffset, nextSize, &header) ||
      lzma_crc32(header.data(), header.size(), 0) != nextCrc) {
    return 0;
  }
  // A packed header describes where the real one lies; 7-Zip packs it once.
  for (int round = 0;; ++round) {
    Cursor c{header.data(), header.data() + header.size()};
    unsigned id = c.Byte();
    if (id == Header) break;
    Streams packed;
    std::vector<unsigned char> decoded;
    if (id != EncodedHeader || round == 2 || !ReadStreamsInfo(&c, &packed) ||
        !DecodeHeader(&file, packed, &decoded)) {
      return 0;
    }
    header = std::move(decoded);
  }

  Cursor c{header.data() + 1, header.data() + header.size()};
  Streams streams;
  FileList files;
  unsigned id = c.Byte();
  if (id == ArchiveProperties) {
    for (unsigned type = c.Byte(); type != 0 && c.ok; type = c.Byte()) c.Skip(c.Number());
    id = c.Byte();
  }
  if (id == AdditionalStreamsInfo) return 0;
  if (id == MainStreamsInfo) {
    if (!ReadStreamsInfo(&c, &streams)) return 0;
    id = c.Byte();
  }
  if (id == FilesInfo) {
    if (!ReadFilesInfo(&c, &files)) return 0;
    id = c.Byte();
  }
  if (id != End || !c.ok) return 0;
  // Every packed stream lies inside the file, before the header.
  uint64_t packedEnd = streams.packPosition;
  for (uint64_t size : streams.packSizes) {
    if (size > file.size) return 0;
    packedEnd += size;
  }
  if (streams.packPosition > file.size || packedEnd > file.size) return 0;
  return Distribute(streams, &files, archive) ? 1 : 0;
}

namespace {

// Native names to wide text and back: UTF-16 on Windows; elsewhere the native names are
// UTF-8 and wide text is UTF-32.
[[maybe_unused]] bool WideOf(const std::wstring& native, std::wstring* wide) {
  *wide = native;
  return true;
}
[[maybe_unused]] bool WideOf(const std::string& native, std::wstring* wide) {
  if (std::all_of(native.begin(), native.end(), [](char c) { return CodeOf(c) < 0x80; })) {
    wide->assign(native.begin(), native.end());
    return true;
  }
  return DecodeUtf8(native.c_str(), wide);
}
[[maybe_unused]] bool NativeOf(const std::wstring& wide, std::wstring* native) {
  *native = wide;
  return ComposeName(native);
}
[[maybe_unused]] bool NativeOf(const std::wstring& wide, std::string* native) {
  return EncodeUtf8(wide.c_str(), native);
}

}  // namespace

void AppendUtf16(const wchar_t* wide, std::u16string* stored) {
  for (; *wide != L'\0'; ++wide) {
    uint32_t code = static_cast<uint32_t>(*wide);
    if (code >= 0x10000) {
      code -= 0x10000;
      stored->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      stored->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      stored->push_back(static_cast<char16_t>(code));
    }
  }
}

bool StoredSevenZipName(const NativeString& relative, std::u16string* stored) {
  stored->clear();
  std::wstring wide;
  if (!WideOf(relative, &wide)) return false;
  AppendUtf16(wide.c_str(), stored);
  return true;
}

bool NativeSevenZipName(const std::u16string& stored, NativeString* name) {
  std::wstring wide;
  for (size_t i = 0; i < stored.size(); ++i) {
    uint32_t unit = stored[i];
    // A wide character of 32 bits takes a pair of surrogates as one.
    if (sizeof(wchar_t) == 4 && unit >= 0xD800 && unit < 0xDC00 && i + 1 < stored.size() &&
        stored[i + 1] >= 0xDC00 && stored[i + 1] < 0xE000) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (stored[++i] - 0xDC00);
    }
    if (unit == 0) return false;
    wide.push_back(static_cast<wchar_t>(unit));
  }
  return NativeOf(wide, name);
}
