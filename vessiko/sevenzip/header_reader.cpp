// Reading an old 7z archive's header: its blocks, where their packed streams lie, and the
// names, sizes and CRCs of the items in them, so that an update can copy the blocks whose
// files are unchanged. Written here rather than taken from the LZMA SDK, whose header reader
// brings much support code and decoders of its own (the bench's notes compare the sizes);
// this one decodes a packed header with liblzma. libarchive reads these headers too, but
// tells nothing about blocks and packed streams.
#include <lzma.h>

#include <algorithm>
#include <fstream>
#include <memory>

#include "sevenzip/sevenzip_format.h"
#include "sevenzip/streams_info.h"

namespace {

// A header larger than this is not read. The process is large-address-aware, but on 32-bit
// Windows it still has 2 GB of addresses in all, and a header is held several times over
// (packed, unpacked, read into its tables): the 4 GB of 64-bit Windows are headroom only.
constexpr uint64_t LargestHeader = 128u * 1024 * 1024;

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
  if (s.blocks.size() != 1 || s.packSizes.size() != 1) return 0;
  const BlockRecord& record = s.blocks[0];
  Cursor c{reinterpret_cast<const unsigned char*>(record.block.coders.data()),
           reinterpret_cast<const unsigned char*>(record.block.coders.data()) +
               record.block.coders.size()};
  if (c.Number() != 1) return 0;
  unsigned flags = c.Byte();
  uint64_t id = 0;
  for (unsigned k = 0; k < (flags & 0x0F); ++k) id = id << 8 | c.Byte();
  std::string properties;
  if (flags & SevenZipCoderProperties) {
    uint64_t n = c.Number();
    if (n > c.Left()) return 0;
    properties.assign(reinterpret_cast<const char*>(c.p), static_cast<size_t>(n));
  }
  uint64_t unpacked = record.Unpacked();
  std::vector<unsigned char> packed;
  if (flags & SevenZipComplexCoder || unpacked > LargestHeader || s.packSizes[0] > LargestHeader ||
      !file->Read(SevenZipStartHeaderSize + s.packPosition, s.packSizes[0], &packed)) {
    return 0;
  }
  if (id == SevenZipCopyCoder) {
    if (packed.size() != unpacked) return 0;
    *header = std::move(packed);
  } else {
    lzma_filter filters[2] = {{id == SevenZipLzma2Coder ? LZMA_FILTER_LZMA2 : LZMA_FILTER_LZMA1, nullptr},
                              {LZMA_VLI_UNKNOWN, nullptr}};
    if ((id != SevenZipLzma2Coder && id != SevenZipLzmaCoder) ||
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

// A property with a value of bytes for each item that has one: "all have one" or a bit for
// each, a mark that the values are stored elsewhere (never here), then the values.
template <typename Store>
bool ReadDefinedValues(Cursor* p, size_t n, int bytes, const Store& store) {
  std::vector<int> defined = p->Defined(n);
  if (p->Byte() != 0) return false;
  for (size_t i = 0; i < n; ++i) store(i, defined[i], defined[i] ? p->Fixed(bytes) : 0);
  return true;
}

bool ReadFilesInfo(Cursor* c, FileList* files) {
  size_t n = c->Count();
  files->items.resize(n);
  files->emptyStream.assign(n, 0);
  for (unsigned id = c->Byte(); id != SevenZipEnd; id = c->Byte()) {
    uint64_t size = c->Number();
    if (!c->ok || size > c->Left()) return false;
    Cursor p{c->p, c->p + size};
    c->Skip(size);
    size_t empties =
        static_cast<size_t>(std::count(files->emptyStream.begin(), files->emptyStream.end(), 1));
    switch (id) {
      case SevenZipEmptyStream:
        files->emptyStream = p.Bits(n);
        files->emptyFile.assign(n, 0);
        break;
      case SevenZipEmptyFile:
        files->emptyFile = p.Bits(empties);
        break;
      case SevenZipAnti: {
        // Anti-items delete on extraction: what they mean here is left to libarchive.
        std::vector<int> anti = p.Bits(empties);
        if (std::count(anti.begin(), anti.end(), 1) != 0) return false;
        break;
      }
      case SevenZipName:
        if (!ReadNames(&p, &files->items)) return false;
        break;
      case SevenZipMTime:
        if (!ReadDefinedValues(&p, n, 8, [&](size_t i, int defined, uint64_t value) {
              files->items[i].timed = defined;
              files->items[i].mtime = value;
            })) {
          return false;
        }
        break;
      case SevenZipWinAttributes:
        if (!ReadDefinedValues(&p, n, 4, [&](size_t i, int defined, uint64_t value) {
              files->items[i].attributed = defined;
              files->items[i].attributes = static_cast<uint32_t>(value);
            })) {
          return false;
        }
        break;
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
  uint64_t offset = SevenZipStartHeaderSize + s.packPosition;
  size_t pack = 0, substream = 0, empty = 0, block = 0, inBlock = 0;
  for (const BlockRecord& record : s.blocks) {
    SevenZipBlock b = record.block;
    b.packOffset = offset;
    b.packSizes.assign(s.packSizes.begin() + pack, s.packSizes.begin() + pack + record.packStreams);
    for (uint64_t size : b.packSizes) offset += size;
    pack += record.packStreams;
    archive->blocks.push_back(std::move(b));
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
    while (block < s.blocks.size() && inBlock == s.blocks[block].substreams) {
      ++block;
      inBlock = 0;
    }
    if (block == s.blocks.size()) return false;
    item.size = s.sizes[substream];
    item.crcDefined = s.crcDefined[substream];
    item.crc = s.crcs[substream];
    ++substream;
    ++inBlock;
    archive->order.push_back({static_cast<int>(block), archive->blocks[block].items.size()});
    archive->blocks[block].items.push_back(std::move(item));
  }
  return substream == s.sizes.size();
}

}  // namespace

HeaderLoad LoadSevenZipHeader(const NativeString& path, std::vector<unsigned char>* header,
                              uint64_t* fileSize) {
  FileReader file;
  file.in.open(std::filesystem::path(path), std::ios::binary);
  if (!file.in || !file.in.seekg(0, std::ios::end)) return HeaderLoad::Unreadable;
  file.size = *fileSize = static_cast<uint64_t>(file.in.tellg());
  std::vector<unsigned char> start;
  if (!file.Read(0, SevenZipStartHeaderSize, &start) ||
      std::char_traits<char>::compare(reinterpret_cast<const char*>(start.data()),
                                      SevenZipSignature, sizeof SevenZipSignature) != 0 ||
      start[sizeof SevenZipSignature] != SevenZipMajorVersion) {
    return HeaderLoad::Unreadable;
  }
  Cursor s{start.data() + 8, start.data() + SevenZipStartHeaderSize};
  uint32_t startCrc = static_cast<uint32_t>(s.Fixed(4));
  uint64_t nextOffset = s.Fixed(8), nextSize = s.Fixed(8);
  uint32_t nextCrc = static_cast<uint32_t>(s.Fixed(4));
  if (lzma_crc32(start.data() + 12, 20, 0) != startCrc) return HeaderLoad::Unreadable;
  if (nextSize == 0) return HeaderLoad::NoItems;
  if (nextSize > LargestHeader || nextOffset > file.size ||
      !file.Read(SevenZipStartHeaderSize + nextOffset, nextSize, header) ||
      lzma_crc32(header->data(), header->size(), 0) != nextCrc) {
    return HeaderLoad::Unreadable;
  }
  // A packed header describes where the real one lies; 7-Zip packs it once.
  for (int round = 0;; ++round) {
    Cursor c{header->data(), header->data() + header->size()};
    unsigned id = c.Byte();
    if (id == SevenZipHeader) return HeaderLoad::Read;
    Streams packed;
    std::vector<unsigned char> decoded;
    if (id != SevenZipEncodedHeader || round == 2 || !ReadStreamsInfo(&c, &packed)) {
      return HeaderLoad::Unreadable;
    }
    for (const BlockRecord& record : packed.blocks) {
      const std::vector<uint64_t>& ids = record.coderIds;
      if (std::find(ids.begin(), ids.end(), SevenZipAesCoder) != ids.end()) {
        return HeaderLoad::Encrypted;
      }
    }
    if (!DecodeHeader(&file, packed, &decoded)) return HeaderLoad::Unreadable;
    *header = std::move(decoded);
  }
}

bool ReadMainStreams(const std::vector<unsigned char>& header, Streams* streams, Cursor* rest) {
  Cursor c{header.data() + 1, header.data() + header.size()};
  const unsigned char* before = c.p;
  unsigned id = c.Byte();
  if (id == SevenZipArchiveProperties) {
    for (unsigned type = c.Byte(); type != 0 && c.ok; type = c.Byte()) c.Skip(c.Number());
    before = c.p;
    id = c.Byte();
  }
  if (id == SevenZipAdditionalStreamsInfo) return false;
  if (id == SevenZipMainStreamsInfo) {
    if (!ReadStreamsInfo(&c, streams)) return false;
  } else {
    c.p = before;  // no streams: the files follow
  }
  *rest = c;
  return c.ok;
}

int ReadSevenZipHeader(const NativeString& path, SevenZipArchive* archive) {
  *archive = SevenZipArchive();
  std::vector<unsigned char> header;
  uint64_t fileSize = 0;
  HeaderLoad load = LoadSevenZipHeader(path, &header, &fileSize);
  if (load == HeaderLoad::NoItems) return 1;
  if (load != HeaderLoad::Read) return 0;

  Cursor c{nullptr, nullptr};
  Streams streams;
  FileList files;
  if (!ReadMainStreams(header, &streams, &c)) return 0;
  for (const BlockRecord& record : streams.blocks) {
    if (!KnownCoders(record)) return 0;
  }
  unsigned id = c.Byte();
  if (id == SevenZipFilesInfo) {
    if (!ReadFilesInfo(&c, &files)) return 0;
    id = c.Byte();
  }
  if (id != SevenZipEnd || !c.ok) return 0;
  // Every packed stream lies inside the file, before the header.
  uint64_t packedEnd = streams.packPosition;
  for (uint64_t size : streams.packSizes) {
    if (size > fileSize) return 0;
    packedEnd += size;
  }
  if (streams.packPosition > fileSize || packedEnd > fileSize) return 0;
  return Distribute(streams, &files, archive) ? 1 : 0;
}

