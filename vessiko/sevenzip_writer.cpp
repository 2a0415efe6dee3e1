// The 7z container as the library writes it: a start header, the packed streams of the
// blocks, and the header that describes them, itself packed with LZMA2 (names in UTF-16
// would otherwise take more room than a corpus of small text files compresses to).
// Written by hand because libarchive's writer decides its own blocks and compresses while
// it writes, on one thread, and has no way to take packed bytes copied from an old archive.
#include <algorithm>

#include "core_internal.h"
#include "sevenzip.h"

namespace {

// Header property ids.
enum : unsigned char {
  End = 0x00, Header = 0x01, MainStreamsInfo = 0x04, FilesInfo = 0x05, PackInfo = 0x06,
  UnpackInfo = 0x07, SubStreamsInfo = 0x08, Size = 0x09, Crc = 0x0A, Folder = 0x0B,
  CodersUnpackSize = 0x0C, NumUnpackStream = 0x0D, EmptyStream = 0x0E, EmptyFile = 0x0F,
  Name = 0x11, MTime = 0x14, WinAttributes = 0x15, EncodedHeader = 0x17
};

constexpr unsigned char Signature[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
// 1601-01-01 to 1970-01-01 in 100-nanosecond ticks.
constexpr uint64_t EpochTicks = 116444736000000000ULL;
constexpr int Preset = 5;

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
  return !item.hasStream && item.directory ? 0x10 : 0x20;
}

void WriteStreamsInfo(Bytes* h, const std::vector<SevenZipFolder>& folders) {
  h->Byte(PackInfo);
  h->Number(0);
  size_t packStreams = 0;
  for (const SevenZipFolder& f : folders) packStreams += f.packSizes.size();
  h->Number(packStreams);
  h->Byte(Size);
  for (const SevenZipFolder& f : folders) {
    for (uint64_t size : f.packSizes) h->Number(size);
  }
  h->Byte(End);

  h->Byte(UnpackInfo);
  h->Byte(Folder);
  h->Number(folders.size());
  h->Byte(0);
  for (const SevenZipFolder& f : folders) h->b += f.coders;
  h->Byte(CodersUnpackSize);
  for (const SevenZipFolder& f : folders) {
    for (uint64_t size : f.unpackSizes) h->Number(size);
  }
  h->Byte(End);

  h->Byte(SubStreamsInfo);
  bool single = true, multiple = false;
  std::vector<int> crcs;
  for (const SevenZipFolder& f : folders) {
    single = single && f.items.size() == 1;
    multiple = multiple || f.items.size() > 1;
    for (const SevenZipItem& item : f.items) crcs.push_back(item.crcDefined);
  }
  if (!single) {
    h->Byte(NumUnpackStream);
    for (const SevenZipFolder& f : folders) h->Number(f.items.size());
  }
  if (multiple) {
    h->Byte(Size);
    for (const SevenZipFolder& f : folders) {
      for (size_t i = 0; i + 1 < f.items.size(); ++i) h->Number(f.items[i].size);
    }
  }
  h->Byte(Crc);
  h->Byte(AllSet(crcs) ? 1 : 0);
  if (!AllSet(crcs)) h->Bits(crcs);
  for (const SevenZipFolder& f : folders) {
    for (const SevenZipItem& item : f.items) {
      if (item.crcDefined) h->Fixed(item.crc, 4);
    }
  }
  h->Byte(End);
  h->Byte(End);
}

void WriteFilesInfo(Bytes* h, const std::vector<const SevenZipItem*>& items) {
  h->Byte(FilesInfo);
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
    h->Property(EmptyStream, p);
    if (std::any_of(emptyFile.begin(), emptyFile.end(), [](int bit) { return bit != 0; })) {
      p.b.clear();
      p.Bits(emptyFile);
      h->Property(EmptyFile, p);
    }
  }
  p.b.clear();
  p.Byte(0);
  for (const SevenZipItem* item : items) {
    for (char16_t c : item->name) p.Fixed(c, 2);
    p.Fixed(0, 2);
  }
  h->Property(Name, p);
  if (std::any_of(timed.begin(), timed.end(), [](int bit) { return bit != 0; })) {
    p.b.clear();
    p.Byte(AllSet(timed) ? 1 : 0);
    if (!AllSet(timed)) p.Bits(timed);
    p.Byte(0);
    for (const SevenZipItem* item : items) {
      if (item->timed) p.Fixed(item->mtime, 8);
    }
    h->Property(MTime, p);
  }
  // Every item gets attributes: libarchive reads the list of defined ones from the wrong
  // place when not all are.
  p.b.clear();
  p.Byte(1);
  p.Byte(0);
  for (const SevenZipItem* item : items) p.Fixed(AttributesOf(*item), 4);
  h->Property(WinAttributes, p);
  h->Byte(End);
}

}  // namespace

uint64_t SevenZipTime(int64_t seconds, int32_t nanoseconds) {
  int64_t ticks = seconds * 10000000 + nanoseconds / 100 + static_cast<int64_t>(EpochTicks);
  return ticks < 0 ? 0 : static_cast<uint64_t>(ticks);
}

int Lzma2Encoder::Start(uint64_t expectedSize, const std::vector<unsigned char>* prime) {
  if (lzma_lzma_preset(&options, Preset)) return 0;
  options.pb = 0;
  // A dictionary larger than the data costs memory and gains nothing.
  uint64_t wanted = expectedSize + (prime != nullptr ? prime->size() : 0);
  uint64_t dictionary = 4096;
  while (dictionary < wanted && dictionary < SevenZipDictionary) dictionary *= 2;
  options.dict_size = static_cast<uint32_t>(dictionary);
  options.preset_dict = prime != nullptr && !prime->empty() ? prime->data() : nullptr;
  options.preset_dict_size =
      options.preset_dict != nullptr ? static_cast<uint32_t>(prime->size()) : 0;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  packed.clear();
  drained = 0;
  int started = lzma_raw_encoder(&stream, filters) == LZMA_OK;
  options.preset_dict = nullptr;  // the coder copied what it needs
  options.preset_dict_size = 0;
  return started;
}

int Lzma2Encoder::Feed(const void* data, size_t size) {
  stream.next_in = static_cast<const uint8_t*>(data);
  stream.avail_in = size;
  while (stream.avail_in > 0) {
    size_t used = packed.size();
    packed.resize(used + std::max<size_t>(64 * 1024, size / 2));
    stream.next_out = packed.data() + used;
    stream.avail_out = packed.size() - used;
    lzma_ret ret = lzma_code(&stream, LZMA_RUN);
    packed.resize(packed.size() - stream.avail_out);
    if (ret != LZMA_OK) return 0;
  }
  return 1;
}

int Lzma2Encoder::Finish() {
  stream.next_in = nullptr;
  stream.avail_in = 0;
  for (;;) {
    size_t used = packed.size();
    packed.resize(used + 64 * 1024);
    stream.next_out = packed.data() + used;
    stream.avail_out = packed.size() - used;
    lzma_ret ret = lzma_code(&stream, LZMA_FINISH);
    packed.resize(packed.size() - stream.avail_out);
    if (ret == LZMA_STREAM_END) return 1;
    if (ret != LZMA_OK) return 0;
  }
}

int Lzma2Encoder::FinishPiece() {
  if (!Finish() || packed.empty() || packed.back() != 0) return 0;
  packed.pop_back();
  return 1;
}

uint8_t Lzma2DictionaryProperty(uint32_t dictionary) {
  lzma_options_lzma options = {};
  options.dict_size = std::max<uint32_t>(dictionary, LZMA_DICT_SIZE_MIN);
  lzma_filter filter = {LZMA_FILTER_LZMA2, &options};
  uint8_t property = 40;
  lzma_properties_encode(&filter, &property);
  return property;
}

uint32_t Lzma2Dictionary(uint8_t property) {
  if (property > 40) return 0;
  if (property == 40) return UINT32_MAX;
  return (2u | (property & 1u)) << (property / 2 + 11);
}

void Lzma2Encoder::Describe(uint64_t unpackSize, SevenZipFolder* folder) const {
  // One coder: LZMA2 (id 21) with its one-byte dictionary size.
  lzma_filter filter = {LZMA_FILTER_LZMA2, const_cast<lzma_options_lzma*>(&options)};
  uint8_t property = 40;
  lzma_properties_encode(&filter, &property);
  folder->coders = std::string("\x01\x21\x21\x01", 4) + static_cast<char>(property);
  folder->unpackSizes = {unpackSize};
  folder->packSizes = {drained + packed.size()};
}

Lzma2Encoder::~Lzma2Encoder() { lzma_end(&stream); }

int SevenZipWriter::Open(const NativeString& path) {
  out.rdbuf()->pubsetbuf(outBuffer.data(), static_cast<std::streamsize>(outBuffer.size()));
  out.open(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  position = 0;
  // The start header is written last, when it knows where the header is.
  char start[32] = {};
  return out.is_open() && out.write(start, sizeof start) ? 1 : 0;
}

int SevenZipWriter::WritePacked(const void* data, size_t size) {
  if (size == 0) return 1;
  if (!out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size))) return 0;
  position += size;
  return 1;
}

void SevenZipWriter::AddFolder(SevenZipFolder folder) { folders.push_back(std::move(folder)); }

int SevenZipWriter::Close(const std::vector<SevenZipItem>& empties) {
  // Folders before the files in them, as 7-Zip lists them: an extractor that meets a folder
  // after its files sets the folder's time before those files are written.
  std::vector<const SevenZipItem*> items;
  for (const SevenZipItem& item : empties) items.push_back(&item);
  for (const SevenZipFolder& f : folders) {
    for (const SevenZipItem& item : f.items) items.push_back(&item);
  }

  Bytes next;  // what the start header points to
  if (!items.empty()) {
    Bytes header;
    header.Byte(Header);
    if (!folders.empty()) {
      header.Byte(MainStreamsInfo);
      WriteStreamsInfo(&header, folders);
    }
    WriteFilesInfo(&header, items);
    header.Byte(End);

    Lzma2Encoder encoder;
    if (!encoder.Start(header.b.size()) || !encoder.Feed(header.b.data(), header.b.size()) ||
        !encoder.Finish()) {
      return 0;
    }
    uint64_t headerPosition = position;
    if (!WritePacked(encoder.packed.data(), encoder.packed.size())) return 0;
    SevenZipFolder folder;
    encoder.Describe(header.b.size(), &folder);
    next.Byte(EncodedHeader);
    next.Byte(PackInfo);
    next.Number(headerPosition);
    next.Number(1);
    next.Byte(Size);
    next.Number(encoder.packed.size());
    next.Byte(End);
    next.Byte(UnpackInfo);
    next.Byte(Folder);
    next.Number(1);
    next.Byte(0);
    next.b += folder.coders;
    next.Byte(CodersUnpackSize);
    next.Number(header.b.size());
    next.Byte(Crc);
    next.Byte(1);
    next.Fixed(lzma_crc32(reinterpret_cast<const uint8_t*>(header.b.data()), header.b.size(), 0),
               4);
    next.Byte(End);
    next.Byte(End);
  }
  uint64_t nextOffset = next.b.empty() ? 0 : position;
  if (!WritePacked(next.b.data(), next.b.size())) return 0;

  Bytes tail;
  tail.Fixed(nextOffset, 8);
  tail.Fixed(next.b.size(), 8);
  tail.Fixed(lzma_crc32(reinterpret_cast<const uint8_t*>(next.b.data()), next.b.size(), 0), 4);
  Bytes start;
  for (unsigned char c : Signature) start.Byte(c);
  start.Byte(0);
  start.Byte(4);
  start.Fixed(lzma_crc32(reinterpret_cast<const uint8_t*>(tail.b.data()), tail.b.size(), 0), 4);
  start.b += tail.b;
  if (!out.seekp(0) || !out.write(start.b.data(), static_cast<std::streamsize>(start.b.size()))) {
    return 0;
  }
  out.close();
  return out.fail() ? 0 : 1;
}
