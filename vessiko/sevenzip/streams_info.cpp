// Reading the streams part of a 7z header: pack information, the blocks' coder records and
// unpack sizes, and the substreams of each block.
#include <algorithm>

#include "sevenzip/sevenzip_format.h"
#include "sevenzip/streams_info.h"

namespace {

constexpr uint64_t MostStreamsPerCoder = 32;

bool ReadBlock(Cursor* c, BlockRecord* record) {
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
    record->coderIds.push_back(id);
    uint64_t in = 1, out = 1;
    if (flags & SevenZipComplexCoder) {
      in = c->Number();
      out = c->Number();
    }
    if (in == 0 || out == 0 || in > MostStreamsPerCoder || out > MostStreamsPerCoder) return false;
    if (flags & SevenZipCoderProperties) c->Skip(c->Number());
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
  record->block.coders.assign(reinterpret_cast<const char*>(start), c->p - start);
  record->block.unpackSizes.resize(static_cast<size_t>(outputs));
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
  for (unsigned id = c->Byte(); id != SevenZipEnd; id = c->Byte()) {
    if (!c->ok) return false;
    if (id == SevenZipSize) {
      for (uint64_t& size : s->packSizes) size = c->Number();
    } else if (id == SevenZipCrc) {
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
  if (c->Byte() != SevenZipBlockRecords) return false;
  s->blocks.resize(c->Count());
  if (c->Byte() != 0) return false;  // blocks kept in another stream
  for (BlockRecord& record : s->blocks) {
    if (!ReadBlock(c, &record)) return false;
  }
  if (c->Byte() != SevenZipCodersUnpackSize) return false;
  for (BlockRecord& record : s->blocks) {
    for (uint64_t& size : record.block.unpackSizes) size = c->Number();
  }
  for (unsigned id = c->Byte(); id != SevenZipEnd; id = c->Byte()) {
    if (id != SevenZipCrc || !c->ok) return false;
    std::vector<int> defined;
    std::vector<uint32_t> crcs;
    if (!ReadDigests(c, s->blocks.size(), &defined, &crcs)) return false;
    for (size_t i = 0; i < s->blocks.size(); ++i) {
      s->blocks[i].crcDefined = defined[i];
      s->blocks[i].crc = crcs[i];
    }
  }
  return c->ok;
}

bool ReadSubStreamsInfo(Cursor* c, Streams* s) {
  unsigned id = c->Byte();
  if (id == SevenZipNumUnpackStream) {
    size_t total = 0;
    for (BlockRecord& record : s->blocks) {
      record.substreams = c->Count();
      total += record.substreams;
      // Each needs at least a name's terminator in the file list that follows.
      if (total > c->Left()) return false;
    }
    id = c->Byte();
  }
  s->sizes.clear();
  for (const BlockRecord& record : s->blocks) {
    if (record.substreams == 0) continue;
    uint64_t sum = 0;
    for (size_t k = 1; k < record.substreams && id == SevenZipSize; ++k) {
      uint64_t size = c->Number();
      if (!c->ok || size > record.Unpacked() - sum) return false;
      sum += size;
      s->sizes.push_back(size);
    }
    if (id != SevenZipSize && record.substreams > 1) return false;
    s->sizes.push_back(record.Unpacked() - sum);
  }
  if (id == SevenZipSize) id = c->Byte();
  // CRCs are listed only for substreams whose block does not give them already.
  size_t listed = 0;
  for (const BlockRecord& record : s->blocks) {
    if (record.substreams != 1 || !record.crcDefined) listed += record.substreams;
  }
  std::vector<int> defined(listed, 0);
  std::vector<uint32_t> crcs(listed, 0);
  for (; id != SevenZipEnd; id = c->Byte()) {
    if (id != SevenZipCrc || !c->ok || !ReadDigests(c, listed, &defined, &crcs)) return false;
  }
  s->crcDefined.clear();
  s->crcs.clear();
  size_t next = 0;
  for (const BlockRecord& record : s->blocks) {
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

}  // namespace

bool KnownCoders(const BlockRecord& record) {
  // What 7-Zip writes by default and libarchive reads. Encryption, and methods libarchive
  // cannot decode, send the archive back to libarchive.
  static const uint64_t known[] = {
      SevenZipCopyCoder, SevenZipDeltaCoder, SevenZipLzma2Coder,   SevenZipLzmaCoder,
      SevenZipX86Coder,  SevenZipBcj2Coder,  SevenZipArmCoder,     SevenZipPpmdCoder,
      SevenZipDeflateCoder, SevenZipBzip2Coder,
  };
  for (uint64_t id : record.coderIds) {
    if (std::find(std::begin(known), std::end(known), id) == std::end(known)) return false;
  }
  return true;
}

bool ReadStreamsInfo(Cursor* c, Streams* s) {
  bool substreams = false;
  for (unsigned id = c->Byte(); id != SevenZipEnd; id = c->Byte()) {
    if (!c->ok) return false;
    bool read = false;
    switch (id) {
      case SevenZipPackInfo: read = ReadPackInfo(c, s); break;
      case SevenZipUnpackInfo: read = ReadUnpackInfo(c, s); break;
      case SevenZipSubStreamsInfo: read = substreams = ReadSubStreamsInfo(c, s); break;
      default: return false;
    }
    if (!read) return false;
  }
  if (!substreams) {
    for (const BlockRecord& record : s->blocks) {
      s->sizes.push_back(record.Unpacked());
      s->crcDefined.push_back(record.crcDefined);
      s->crcs.push_back(record.crc);
    }
  }
  size_t packStreams = 0;
  for (const BlockRecord& record : s->blocks) packStreams += record.packStreams;
  return c->ok && packStreams == s->packSizes.size();
}

