// The streams part of a 7z header: where the packed streams lie, the blocks' coders and
// sizes, and the substreams each block holds with their CRCs; read through a cursor that
// never runs past the header's end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sevenzip/sevenzip_archive.h"

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

// A block as the streams information describes it.
struct BlockRecord {
  SevenZipBlock block;
  std::vector<uint64_t> coderIds;  // in the record's order
  size_t packStreams = 0;
  size_t mainOutput = 0;  // the output no other coder takes
  int crcDefined = 0;
  uint32_t crc = 0;
  size_t substreams = 1;
  uint64_t Unpacked() const { return block.unpackSizes[mainOutput]; }
};

struct Streams {
  uint64_t packPosition = 0;
  std::vector<uint64_t> packSizes;
  std::vector<BlockRecord> blocks;
  std::vector<uint64_t> sizes;  // of the substreams, block after block
  std::vector<int> crcDefined;
  std::vector<uint32_t> crcs;
};

// Reads streams information up to its end mark; false when it holds what this reader leaves
// to libarchive (external data) or is damaged. Coders of any kind are read.
bool ReadStreamsInfo(Cursor* c, Streams* s);
// Whether every coder of the block is one whose blocks an update may copy.
bool KnownCoders(const BlockRecord& record);

// A 7z header read from the file and decoded, for the update's reader and for the look at an
// archive before extraction.
enum class HeaderLoad { Read, NoItems, Encrypted, Unreadable };
HeaderLoad LoadSevenZipHeader(const NativeString& path, std::vector<unsigned char>* header,
                              uint64_t* fileSize);
// The streams of a loaded header, with the cursor left at what follows them; false when the
// header holds additional streams or is damaged.
bool ReadMainStreams(const std::vector<unsigned char>& header, Streams* streams, Cursor* rest);
