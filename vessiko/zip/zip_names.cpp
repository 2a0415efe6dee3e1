// The names of a ZIP's entries as the central directory stores them: whether the names
// without the UTF-8 flag are UTF-8 at all, and the name libarchive gives each entry.
// Windows writes unflagged names in the code page; Info-ZIP on Linux and macOS's own
// compressor write UTF-8 without saying so. The archive's central directory decides, for the
// whole archive at once: one name read one way and its neighbour the other would be worse
// than either.
#include <zlib.h>

#include <algorithm>

#include "entry_names.h"
#include "platform_services.h"
#include "zip/zip_directory.h"
#include "zip/zip_format.h"

namespace {

bool IsAsciiBytes(const unsigned char* p, size_t size) {
  for (size_t i = 0; i < size; ++i) {
    if (p[i] >= 0x80) return false;
  }
  return true;
}

// The UTF-8 name of an Info-ZIP Unicode path field whose checksum matches the stored name:
// it names the entry, whatever the stored bytes are. The last such field wins, as in
// libarchive. False when there is none.
bool UnicodePath(const unsigned char* name, size_t nameSize, const unsigned char* extra,
                 size_t extraSize, std::string* path) {
  bool found = false;
  uint32_t crc = static_cast<uint32_t>(crc32(0, name, static_cast<uInt>(nameSize)));
  ForEachExtraField(extra, extraSize, ZipUnicodePathTag, [&](const unsigned char* data, size_t size) {
    if (size >= 5 && Little(data + 1, 4) == crc) {
      path->assign(reinterpret_cast<const char*>(data + 5), size - 5);
      found = true;
    }
  });
  return found;
}

[[maybe_unused]] bool ComposeNative(std::wstring* name) { return ComposeName(name); }
[[maybe_unused]] bool ComposeNative(std::string*) { return true; }

}  // namespace

bool UnflaggedNamesAreUtf8(const std::vector<CentralRecord>& records) {
  bool seen = false;
  std::string ignored;
  for (const CentralRecord& r : records) {
    if (!(r.flags & ZipUtf8Flag) && !IsAsciiBytes(r.name, r.nameSize) &&
        !UnicodePath(r.name, r.nameSize, r.extra, r.extraSize, &ignored)) {
      std::string bytes(reinterpret_cast<const char*>(r.name), r.nameSize);
      std::wstring decoded;
      if (bytes.find('\0') != std::string::npos || !DecodeUtf8(bytes.c_str(), &decoded)) {
        return false;
      }
      seen = true;
    }
  }
  return seen;
}

bool ExtractedName(const CentralRecord& r, const unsigned char* localExtra, size_t localExtraSize,
                   bool unflaggedUtf8, NativeString* joined, bool* asStored) {
  std::string bytes;
  bool utf8 = true;
  if (!UnicodePath(r.name, r.nameSize, localExtra, localExtraSize, &bytes)) {
    bytes.assign(reinterpret_cast<const char*>(r.name), r.nameSize);
    utf8 = (r.flags & ZipUtf8Flag) || unflaggedUtf8;
  }
  // libarchive takes a name up to its first NUL.
  bytes.resize(std::min(bytes.size(), bytes.find('\0')));
  NativeString name;
  std::vector<NativeString> components;
  if (!DecodeZipName(bytes, utf8, &name)) return false;
  NativeString decoded = name;
  if (!ComposeNative(&name) || !SplitEntryName(name, &components) || components.empty()) {
    return false;
  }
  *asStored = name == decoded;
  *joined = JoinComponents(components, components.size(), '/');
  return true;
}

bool UnflaggedZipNamesAreUtf8(const NativeString& path) {
  std::vector<unsigned char> directory;
  DirectoryPlace place;
  if (!ReadCentralDirectory(path, &directory, &place)) return false;
  std::vector<CentralRecord> records;
  SplitDirectory(directory, &records);
  return UnflaggedNamesAreUtf8(records);
}

