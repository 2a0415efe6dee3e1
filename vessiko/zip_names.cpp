// How a ZIP's names without the UTF-8 flag are to be read. Windows writes them in the code
// page; Info-ZIP on Linux and macOS's own compressor write UTF-8 without saying so. The
// archive's central directory decides, for the whole archive at once: one name read one way
// and its neighbour the other would be worse than either.
#include <zlib.h>

#include <fstream>

#include "core_internal.h"

namespace {

constexpr uint32_t EndSignature = 0x06054b50;
constexpr uint32_t End64LocatorSignature = 0x07064b50;
constexpr uint32_t End64Signature = 0x06064b50;
constexpr uint32_t CentralSignature = 0x02014b50;
constexpr size_t EndSize = 22;
constexpr size_t CentralSize = 46;
constexpr uint16_t Utf8Flag = 0x0800;
constexpr uint16_t UnicodePathTag = 0x7075;
// A directory larger than this is not read for the decision (the code page stays).
constexpr uint64_t LargestDirectory = 64u * 1024 * 1024;

uint64_t Little(const unsigned char* p, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

bool ReadAt(std::ifstream& in, uint64_t offset, size_t size, std::vector<unsigned char>* out) {
  out->resize(size);
  in.clear();
  in.seekg(static_cast<std::streamoff>(offset));
  return size == 0 || static_cast<bool>(in.read(reinterpret_cast<char*>(out->data()),
                                                static_cast<std::streamsize>(size)));
}

// The central directory's bytes; false when the file is no ZIP that says where it is.
bool ReadCentralDirectory(const NativeString& path, std::vector<unsigned char>* directory) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary | std::ios::ate);
  if (!in) return false;
  uint64_t fileSize = static_cast<uint64_t>(in.tellg());
  if (fileSize < EndSize) return false;
  // The end record sits in the last 22 bytes plus a comment of at most 65,535.
  uint64_t tailStart = fileSize > EndSize + 0xFFFF ? fileSize - EndSize - 0xFFFF : 0;
  std::vector<unsigned char> tail;
  if (!ReadAt(in, tailStart, static_cast<size_t>(fileSize - tailStart), &tail)) return false;
  size_t end = tail.size() - EndSize + 1;
  do {
    --end;
  } while (end > 0 && Little(&tail[end], 4) != EndSignature);
  if (Little(&tail[end], 4) != EndSignature) return false;
  uint64_t endOffset = tailStart + end;
  uint64_t size = Little(&tail[end + 12], 4);
  uint64_t offset = Little(&tail[end + 16], 4);
  if ((size == 0xFFFFFFFF || offset == 0xFFFFFFFF) && end >= 20 &&
      Little(&tail[end - 20], 4) == End64LocatorSignature) {
    std::vector<unsigned char> end64;
    if (!ReadAt(in, Little(&tail[end - 12], 8), 56, &end64) ||
        Little(end64.data(), 4) != End64Signature) {
      return false;
    }
    size = Little(&end64[40], 8);
    offset = Little(&end64[48], 8);
    endOffset -= 20 + 56;
  }
  if (size > LargestDirectory || size > endOffset) return false;
  // Behind a program stub the recorded offset does not count the stub: the directory
  // ends where the end records begin.
  return ReadAt(in, endOffset - size, static_cast<size_t>(size), directory);
}

bool IsAsciiBytes(const unsigned char* p, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (p[i] >= 0x80) return false;
  }
  return true;
}

// An Info-ZIP Unicode path field whose checksum matches the stored name: it names the
// entry, whatever the stored bytes are.
bool HasUnicodePath(const unsigned char* name, size_t nameSize, const unsigned char* extra,
                    size_t extraSize) {
  for (size_t at = 0; at + 4 <= extraSize;) {
    uint64_t tag = Little(extra + at, 2);
    size_t size = static_cast<size_t>(Little(extra + at + 2, 2));
    if (at + 4 + size > extraSize) break;
    if (tag == UnicodePathTag && size >= 5) {
      uint32_t stored = static_cast<uint32_t>(Little(extra + at + 5, 4));
      return stored == crc32(0, name, static_cast<uInt>(nameSize));
    }
    at += 4 + size;
  }
  return false;
}

}  // namespace

bool UnflaggedZipNamesAreUtf8(const NativeString& path) {
  std::vector<unsigned char> directory;
  if (!ReadCentralDirectory(path, &directory)) return false;
  bool seen = false;
  for (size_t at = 0; at + CentralSize <= directory.size();) {
    const unsigned char* header = &directory[at];
    if (Little(header, 4) != CentralSignature) break;
    uint64_t flags = Little(header + 8, 2);
    size_t nameSize = static_cast<size_t>(Little(header + 28, 2));
    size_t extraSize = static_cast<size_t>(Little(header + 30, 2));
    size_t commentSize = static_cast<size_t>(Little(header + 32, 2));
    size_t next = at + CentralSize + nameSize + extraSize + commentSize;
    if (next > directory.size()) break;
    const unsigned char* name = header + CentralSize;
    if (!(flags & Utf8Flag) && !IsAsciiBytes(name, nameSize) &&
        !HasUnicodePath(name, nameSize, name + nameSize, extraSize)) {
      std::string bytes(reinterpret_cast<const char*>(name), nameSize);
      std::wstring decoded;
      if (bytes.find('\0') != std::string::npos || !DecodeUtf8(bytes.c_str(), &decoded)) {
        return false;
      }
      seen = true;
    }
    at = next;
  }
  return seen;
}
