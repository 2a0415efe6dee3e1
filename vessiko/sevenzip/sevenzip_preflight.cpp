// A 7z header looked at before extraction: encryption, the coders and filter chains libarchive
// cannot decode (or decodes wrongly), and the data the items hold.
#include <algorithm>
#include <string>

#include "archive_input.h"
#include "sevenzip/sevenzip_format.h"
#include "sevenzip/streams_info.h"

namespace {

// Coders libarchive decodes, besides those of sevenzip_format.h, and some it does not, by the
// names 7-Zip gives them.
enum MoreCoders : uint64_t {
  SevenZipPpcCoder = 0x03030205, SevenZipIa64Coder = 0x03030401,
  SevenZipArmThumbCoder = 0x03030701, SevenZipSparcCoder = 0x03030805,
  SevenZipArm64Coder = 0x0A, SevenZipRiscvCoder = 0x0B, SevenZipDeflate64Coder = 0x040109,
  SevenZipSwap2Coder = 0x020302, SevenZipSwap4Coder = 0x020304,
  SevenZipZstdCoder = 0x04F71101, SevenZipBrotliCoder = 0x04F71102,
  SevenZipLz4Coder = 0x04F71104,
};

std::string CoderName(uint64_t id) {
  switch (id) {
    case SevenZipCopyCoder: return "Copy";
    case SevenZipDeltaCoder: return "Delta";
    case SevenZipLzma2Coder: return "LZMA2";
    case SevenZipLzmaCoder: return "LZMA";
    case SevenZipPpmdCoder: return "PPMd";
    case SevenZipX86Coder: return "x86";
    case SevenZipBcj2Coder: return "BCJ2";
    case SevenZipArmCoder: return "ARM";
    case SevenZipArmThumbCoder: return "ARMT";
    case SevenZipPpcCoder: return "PPC";
    case SevenZipSparcCoder: return "SPARC";
    case SevenZipIa64Coder: return "IA64";
    case SevenZipArm64Coder: return "ARM64";
    case SevenZipRiscvCoder: return "RISCV";
    case SevenZipDeflateCoder: return "Deflate";
    case SevenZipDeflate64Coder: return "Deflate64";
    case SevenZipBzip2Coder: return "BZip2";
    case SevenZipSwap2Coder: return "Swap2";
    case SevenZipSwap4Coder: return "Swap4";
    case SevenZipZstdCoder: return "Zstandard";
    case SevenZipBrotliCoder: return "Brotli";
    case SevenZipLz4Coder: return "LZ4";
    default: {
      char hex[20];
      snprintf(hex, sizeof hex, "%llX", static_cast<unsigned long long>(id));
      return hex;
    }
  }
}

bool IsCompressor(uint64_t id) {
  return id == SevenZipCopyCoder || id == SevenZipLzmaCoder || id == SevenZipLzma2Coder ||
         id == SevenZipPpmdCoder || id == SevenZipBzip2Coder || id == SevenZipDeflateCoder;
}
bool IsLzma(uint64_t id) { return id == SevenZipLzmaCoder || id == SevenZipLzma2Coder; }

// Whether libarchive decodes a block of these coders correctly. It runs the x86 filter
// after any compressor but, with PPMd, wrongly for some data; the other branch filters and
// Delta only through liblzma, so after LZMA or LZMA2; BCJ2 in 7-Zip's own layout of four.
bool Decodable(const std::vector<uint64_t>& ids) {
  if (ids.size() == 1) return IsCompressor(ids[0]);
  if (ids.size() == 2) {
    uint64_t filter = ids[0], compressor = ids[1];
    if (!IsCompressor(compressor)) std::swap(filter, compressor);
    if (!IsCompressor(compressor)) return false;
    switch (filter) {
      case SevenZipX86Coder: return compressor != SevenZipPpmdCoder;
      case SevenZipArmCoder: case SevenZipArmThumbCoder: case SevenZipPpcCoder:
      case SevenZipSparcCoder: case SevenZipIa64Coder: case SevenZipDeltaCoder:
        return IsLzma(compressor);
      default: return false;
    }
  }
  if (ids.size() == 4 && std::count(ids.begin(), ids.end(), SevenZipBcj2Coder) == 1) {
    return std::all_of(ids.begin(), ids.end(), [](uint64_t id) {
      return id == SevenZipBcj2Coder || IsLzma(id) || id == SevenZipCopyCoder;
    });
  }
  return false;
}

// "PPMd + x86": the compressor first, as 7-Zip lists a block's methods.
NativeString ChainName(const std::vector<uint64_t>& ids) {
  std::vector<uint64_t> ordered(ids);
  std::stable_partition(ordered.begin(), ordered.end(), IsCompressor);
  std::string name;
  for (uint64_t id : ordered) name += (name.empty() ? "" : " + ") + CoderName(id);
  return NativeString(name.begin(), name.end());
}

}  // namespace

bool InspectSevenZip(const NativeString& path, Inspection* inspection) {
  *inspection = Inspection();
  std::vector<unsigned char> header;
  uint64_t fileSize = 0;
  switch (LoadSevenZipHeader(path, &header, &fileSize)) {
    case HeaderLoad::Unreadable: return false;
    case HeaderLoad::NoItems: inspection->read = 1; return true;
    case HeaderLoad::Encrypted:
      inspection->read = 1;
      inspection->refusal = ReasonPasswordProtected;
      return true;
    case HeaderLoad::Read: break;
  }
  Streams streams;
  Cursor rest{nullptr, nullptr};
  if (!ReadMainStreams(header, &streams, &rest)) return false;
  inspection->read = 1;
  for (uint64_t size : streams.sizes) AddSize(size, &inspection->size);
  for (const BlockRecord& record : streams.blocks) {
    const std::vector<uint64_t>& ids = record.coderIds;
    if (std::find(ids.begin(), ids.end(), SevenZipAesCoder) != ids.end()) {
      inspection->refusal = ReasonPasswordProtected;
      return true;
    }
    if (!Decodable(ids)) {
      inspection->refusal = ReasonUnsupportedMethod;
      inspection->subject = ChainName(ids);
      return true;
    }
  }
  return true;
}
