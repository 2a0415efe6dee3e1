// The 7z container as the library writes it: a start header, the packed streams of the
// blocks, and the header that describes them, itself packed with LZMA2 (names in UTF-16
// would otherwise take more room than a corpus of small text files compresses to).
// Written by hand because libarchive's writer decides its own blocks and compresses while
// it writes, on one thread, and has no way to take packed bytes copied from an old archive.
#include <algorithm>

#include "sevenzip/container_writer.h"
#include "sevenzip/lzma2_pieces.h"
#include "sevenzip/sevenzip_format.h"

namespace {

struct Bytes {
  std::string b;
  void Byte(unsigned v) { b.push_back(static_cast<char>(v)); }
  void Fixed(uint64_t v, int count) {
    for (int i = 0; i < count; ++i) Byte(static_cast<unsigned>(v >> (8 * i)) & 0xFF);
  }
  // The first byte's leading one bits count the bytes that follow it.
  void Number(uint64_t v) {
    unsigned first = 0, mask = 0x80;
    int extra = 0;
    for (; extra < 8; ++extra) {
      if (v < (1ULL << (7 * (extra + 1)))) {
        first |= static_cast<unsigned>(v >> (8 * extra));
        break;
      }
      first |= mask;
      mask >>= 1;
    }
    Byte(first & 0xFF);
    Fixed(v, extra);
  }
  // Booleans packed from the highest bit down.
  void Bits(const std::vector<int>& bits) {
    for (size_t i = 0; i < bits.size(); i += 8) {
      unsigned v = 0;
      for (size_t k = 0; k < 8 && i + k < bits.size(); ++k) v |= (bits[i + k] ? 0x80u : 0) >> k;
      Byte(v);
    }
  }
  void Property(unsigned id, const Bytes& data) {
    Byte(id);
    Number(data.b.size());
    b += data.b;
  }
};

bool AllSet(const std::vector<int>& bits) {
  return std::all_of(bits.begin(), bits.end(), [](int bit) { return bit != 0; });
}

// Attributes where an item has none: what 7-Zip would have given it.
uint32_t AttributesOf(const SevenZipItem& item) {
  if (item.attributed) return item.attributes;
  return !item.hasStream && item.directory ? SevenZipFolderAttribute : SevenZipArchiveAttribute;
}

void WriteStreamsInfo(Bytes* h, const std::vector<SevenZipBlock>& blocks) {
  h->Byte(SevenZipPackInfo);
  h->Number(0);
  size_t packStreams = 0;
  for (const SevenZipBlock& f : blocks) packStreams += f.packSizes.size();
  h->Number(packStreams);
  h->Byte(SevenZipSize);
  for (const SevenZipBlock& f : blocks) {
    for (uint64_t size : f.packSizes) h->Number(size);
  }
  h->Byte(SevenZipEnd);

  h->Byte(SevenZipUnpackInfo);
  h->Byte(SevenZipBlockRecords);
  h->Number(blocks.size());
  h->Byte(0);
  for (const SevenZipBlock& f : blocks) h->b += f.coders;
  h->Byte(SevenZipCodersUnpackSize);
  for (const SevenZipBlock& f : blocks) {
    for (uint64_t size : f.unpackSizes) h->Number(size);
  }
  h->Byte(SevenZipEnd);

  h->Byte(SevenZipSubStreamsInfo);
  bool single = true, multiple = false;
  std::vector<int> crcs;
  for (const SevenZipBlock& f : blocks) {
    single = single && f.items.size() == 1;
    multiple = multiple || f.items.size() > 1;
    for (const SevenZipItem& item : f.items) crcs.push_back(item.crcDefined);
  }
  if (!single) {
    h->Byte(SevenZipNumUnpackStream);
    for (const SevenZipBlock& f : blocks) h->Number(f.items.size());
  }
  if (multiple) {
    h->Byte(SevenZipSize);
    for (const SevenZipBlock& f : blocks) {
      for (size_t i = 0; i + 1 < f.items.size(); ++i) h->Number(f.items[i].size);
    }
  }
  h->Byte(SevenZipCrc);
  h->Byte(AllSet(crcs) ? 1 : 0);
  if (!AllSet(crcs)) h->Bits(crcs);
  for (const SevenZipBlock& f : blocks) {
    for (const SevenZipItem& item : f.items) {
      if (item.crcDefined) h->Fixed(item.crc, 4);
    }
  }
  h->Byte(SevenZipEnd);
  h->Byte(SevenZipEnd);
}

void WriteFilesInfo(Bytes* h, const std::vector<const SevenZipItem*>& items) {
  h->Byte(SevenZipFilesInfo);
  h->Number(items.size());
  std::vector<int> emptyStream, emptyFile, timed;
  for (const SevenZipItem* item : items) {
    emptyStream.push_back(!item->hasStream);
    if (!item->hasStream) emptyFile.push_back(!item->directory);
    timed.push_back(item->timed);
  }
  Bytes p;
  if (!emptyFile.empty()) {
    p.Bits(emptyStream);
    h->Property(SevenZipEmptyStream, p);
    if (std::any_of(emptyFile.begin(), emptyFile.end(), [](int bit) { return bit != 0; })) {
      p.b.clear();
      p.Bits(emptyFile);
      h->Property(SevenZipEmptyFile, p);
    }
  }
  p.b.clear();
  p.Byte(0);
  for (const SevenZipItem* item : items) {
    for (char16_t c : item->name) p.Fixed(c, 2);
    p.Fixed(0, 2);
  }
  h->Property(SevenZipName, p);
  if (std::any_of(timed.begin(), timed.end(), [](int bit) { return bit != 0; })) {
    p.b.clear();
    p.Byte(AllSet(timed) ? 1 : 0);
    if (!AllSet(timed)) p.Bits(timed);
    p.Byte(0);
    for (const SevenZipItem* item : items) {
      if (item->timed) p.Fixed(item->mtime, 8);
    }
    h->Property(SevenZipMTime, p);
  }
  // Every item gets attributes: libarchive reads the list of defined ones from the wrong
  // place when not all are.
  p.b.clear();
  p.Byte(1);
  p.Byte(0);
  for (const SevenZipItem* item : items) p.Fixed(AttributesOf(*item), 4);
  h->Property(SevenZipWinAttributes, p);
  h->Byte(SevenZipEnd);
}

}  // namespace

int SevenZipWriter::Open(const NativeString& path) {
  out.rdbuf()->pubsetbuf(outBuffer.data(), static_cast<std::streamsize>(outBuffer.size()));
  out.open(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  position = 0;
  // The start header is written last, when it knows where the header is.
  char start[SevenZipStartHeaderSize] = {};
  return out.is_open() && out.write(start, sizeof start) ? 1 : 0;
}

int SevenZipWriter::WritePacked(const void* data, size_t size) {
  if (size == 0) return 1;
  if (!out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size))) return 0;
  position += size;
  return 1;
}

int SevenZipWriter::TakePacked(Lzma2Encoder* encoder) {
  if (!WritePacked(encoder->packed.data(), encoder->packed.size())) return 0;
  encoder->drained += encoder->packed.size();
  encoder->packed.clear();
  return 1;
}

void SevenZipWriter::AddBlock(SevenZipBlock block) { blocks.push_back(std::move(block)); }

int SevenZipWriter::Close(const std::vector<SevenZipItem>& empties) {
  // Folders before the files in them, as 7-Zip lists them: an extractor that meets a folder
  // after its files sets the folder's time before those files are written.
  std::vector<const SevenZipItem*> items;
  for (const SevenZipItem& item : empties) items.push_back(&item);
  for (const SevenZipBlock& f : blocks) {
    for (const SevenZipItem& item : f.items) items.push_back(&item);
  }

  Bytes next;  // what the start header points to
  if (!items.empty()) {
    Bytes header;
    header.Byte(SevenZipHeader);
    if (!blocks.empty()) {
      header.Byte(SevenZipMainStreamsInfo);
      WriteStreamsInfo(&header, blocks);
    }
    WriteFilesInfo(&header, items);
    header.Byte(SevenZipEnd);

    Lzma2Encoder encoder;
    if (!encoder.Start(header.b.size()) || !encoder.Feed(header.b.data(), header.b.size()) ||
        !encoder.Finish()) {
      return 0;
    }
    uint64_t headerPosition = position;
    if (!WritePacked(encoder.packed.data(), encoder.packed.size())) return 0;
    SevenZipBlock block;
    encoder.Describe(header.b.size(), &block);
    next.Byte(SevenZipEncodedHeader);
    next.Byte(SevenZipPackInfo);
    next.Number(headerPosition);
    next.Number(1);
    next.Byte(SevenZipSize);
    next.Number(encoder.packed.size());
    next.Byte(SevenZipEnd);
    next.Byte(SevenZipUnpackInfo);
    next.Byte(SevenZipBlockRecords);
    next.Number(1);
    next.Byte(0);
    next.b += block.coders;
    next.Byte(SevenZipCodersUnpackSize);
    next.Number(header.b.size());
    next.Byte(SevenZipCrc);
    next.Byte(1);
    next.Fixed(lzma_crc32(reinterpret_cast<const uint8_t*>(header.b.data()), header.b.size(), 0),
               4);
    next.Byte(SevenZipEnd);
    next.Byte(SevenZipEnd);
  }
  uint64_t nextOffset = next.b.empty() ? 0 : position;
  if (!WritePacked(next.b.data(), next.b.size())) return 0;

  Bytes tail;
  tail.Fixed(nextOffset, 8);
  tail.Fixed(next.b.size(), 8);
  tail.Fixed(lzma_crc32(reinterpret_cast<const uint8_t*>(next.b.data()), next.b.size(), 0), 4);
  Bytes start;
  for (char c : SevenZipSignature) start.Byte(static_cast<unsigned char>(c));
  start.Byte(SevenZipMajorVersion);
  start.Byte(SevenZipMinorVersion);
  start.Fixed(lzma_crc32(reinterpret_cast<const uint8_t*>(tail.b.data()), tail.b.size(), 0), 4);
  start.b += tail.b;
  if (!out.seekp(0) || !out.write(start.b.data(), static_cast<std::streamsize>(start.b.size()))) {
    return 0;
  }
  out.close();
  return out.fail() ? 0 : 1;
}
