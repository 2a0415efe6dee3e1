// A ZIP's central directory looked at before extraction: encrypted entries, methods the
// library cannot decode, records that overlap in the file, and the data they all hold.
#include <algorithm>
#include <string>

#include "archive_input.h"
#include "platform_services.h"
#include "zip/zip_directory.h"
#include "zip/zip_format.h"

namespace {

bool Decodable(unsigned method) {
  switch (method) {
    case ZipStored: case ZipDeflated: case ZipDeflate64: case ZipBzip2: case ZipLzma: case ZipXz:
    case ZipPpmd:
      return true;
    default:
      return false;
  }
}

// The names other tools give the methods the library cannot decode; a number otherwise.
std::string MethodName(unsigned method) {
  switch (method) {
    case 1: return "Shrink";
    case 2: case 3: case 4: case 5: return "Reduce";
    case 6: return "Implode";
    case 10: return "PKWARE DCL Implode";
    case 16: return "IBM z/OS CMPSC";
    case 18: return "IBM TERSE";
    case 19: return "IBM LZ77";
    case 93: return "Zstandard";
    case 94: return "MP3";
    case 96: return "JPEG";
    case 97: return "WavPack";
    default: return std::to_string(method);
  }
}

NativeString Native(const std::string& ascii) { return NativeString(ascii.begin(), ascii.end()); }

// The entry's name for a message, as libarchive would read it, or its bytes in the code page.
NativeString NameOf(const CentralRecord& r, bool unflaggedUtf8) {
  NativeString name;
  bool asStored = true;
  if (ExtractedName(r, r.extra, r.extraSize, unflaggedUtf8, &name, &asStored)) return name;
  std::string bytes(reinterpret_cast<const char*>(r.name), r.nameSize);
  DecodeZipName(bytes, (r.flags & ZipUtf8Flag) != 0, &name);
  return name;
}

struct Span {
  uint64_t offset, end;
  size_t record;
};

}  // namespace

bool InspectZip(const NativeString& path, Inspection* inspection) {
  *inspection = Inspection();
  std::vector<unsigned char> directory;
  DirectoryPlace place;
  std::vector<CentralRecord> records;
  if (!ReadCentralDirectory(path, &directory, &place) || place.split ||
      !SplitDirectory(directory, &records) || records.size() != place.count) {
    return false;
  }
  inspection->read = 1;
  bool unflaggedUtf8 = UnflaggedNamesAreUtf8(records);
  std::vector<Span> spans;
  for (size_t i = 0; i < records.size(); ++i) {
    const CentralRecord& r = records[i];
    uint64_t size = 0, compressed = 0, offset = 0;
    if (!RecordValues(r, &size, &compressed, &offset)) {
      inspection->refusal = ReasonDamaged;
      inspection->subject = NameOf(r, unflaggedUtf8);
      return true;
    }
    AddSize(size, &inspection->size);
    unsigned method = static_cast<unsigned>(Little(r.header + 10, 2));
    if (method == ZipDeflate64) inspection->deflate64 = 1;
    LibraryReason refusal = ReasonNone;
    NativeString subject = NameOf(r, unflaggedUtf8);
    bool encrypted = (r.flags & ZipEncryptedFlag) || method == ZipAesMarker;
    if (r.flags & ZipStrongEncryptionFlag) {
      // PKWARE's strong encryption is another thing again, which no reader here decrypts.
      refusal = ReasonPasswordProtected;
    } else if (encrypted && !HavePassword()) {
      refusal = ReasonPasswordNeeded;
    } else if (encrypted) {
      inspection->encrypted = 1;
    } else if (!Decodable(method)) {
      refusal = ReasonUnsupportedMethod;
      subject = Native(MethodName(method));
    }
    if (refusal != ReasonNone && inspection->refusal == ReasonNone) {
      inspection->refusal = refusal;
      inspection->subject = subject;
    }
    // The smallest a local record can be: its fixed part, the name and the data.
    spans.push_back({offset, offset + ZipLocalSize + r.nameSize + compressed, i});
  }
  // Each record ends before the next begins, and the last before the directory: records
  // that share their bytes would write one entry's data many times over.
  std::sort(spans.begin(), spans.end(),
            [](const Span& a, const Span& b) { return a.offset < b.offset; });
  for (size_t k = 0; k < spans.size(); ++k) {
    uint64_t limit = k + 1 < spans.size() ? spans[k + 1].offset : place.recorded;
    if (spans[k].end > limit || spans[k].end < spans[k].offset) {
      inspection->refusal = ReasonDamaged;
      inspection->subject = NameOf(records[spans[k].record], unflaggedUtf8);
      break;
    }
  }
  return true;
}
