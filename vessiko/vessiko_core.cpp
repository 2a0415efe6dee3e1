#include "vessiko_core.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>
#include <unordered_set>

#include "zip_writer.h"

namespace {

constexpr size_t BlockSize = 64 * 1024;
constexpr NativeChar Separator = std::filesystem::path::preferred_separator;

// Windows opens longer paths only with the "\\?\" prefix, and creates folders only up to
// 12 characters shorter (room for an 8.3 name).
constexpr size_t LongestFilePath = 259;
constexpr size_t LongestFolderPath = 247;
constexpr size_t LongestComponent = 255;

const char* const DisplayNames[FormatIndexLimit] = {
    "ZIP", "7-Zip", "TAR", "TAR+GZIP", "TAR+BZIP2", "TAR+XZ", "", "", "", "", "", "", "", "",
    "", "", "LZH", "RAR", "CAB", "ISO9660", "CPIO", "AR", "WARC", "TAR+Z", "TAR+LZMA",
    "TAR+LZIP", "SFX", "OTHER", "", "", "", ""};

// libarchive takes names as UTF-16 on Windows (the locale's multibyte text would lose
// characters outside the code page) and as the locale's bytes elsewhere; overloads pick the
// variant that matches the native string.
[[maybe_unused]] int OpenForReading(archive* a, const wchar_t* name) {
  return archive_read_open_filename_w(a, name, BlockSize);
}
[[maybe_unused]] int OpenForReading(archive* a, const char* name) {
  return archive_read_open_filename(a, name, BlockSize);
}
[[maybe_unused]] int OpenForWriting(archive* a, const wchar_t* name) {
  return archive_write_open_filename_w(a, name);
}
[[maybe_unused]] int OpenForWriting(archive* a, const char* name) {
  return archive_write_open_filename(a, name);
}

// Decodes strict UTF-8 that is not plain ASCII into UTF-16; false for anything else.
bool DecodeUtf8(const char* text, std::wstring* out) {
  out->clear();
  bool wide = false;
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0;) {
    unsigned c = *p++;
    int more = 0;
    unsigned least = 0;
    if (c < 0x80) {
      more = 0;
    } else if (c >= 0xC2 && c <= 0xDF) {
      more = 1, least = 0x80, c &= 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      more = 2, least = 0x800, c &= 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      more = 3, least = 0x10000, c &= 0x07;
    } else {
      return false;
    }
    for (int i = 0; i < more; ++i, ++p) {
      if ((*p & 0xC0) != 0x80) return false;
      c = (c << 6) | (*p & 0x3F);
    }
    if (more > 0) {
      if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
      wide = true;
    }
    if (c >= 0x10000) {
      out->push_back(static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10)));
      out->push_back(static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out->push_back(static_cast<wchar_t>(c));
    }
  }
  return wide;
}

// Entry names as native strings. Where a format does not say how its names are encoded
// (tar without pax names, cpio, LZH, ...), they are the bytes of the system that made the
// archive: UTF-8 on today's Linux and macOS, the code page on Windows. Bytes that are
// strict UTF-8 are read as UTF-8; anything else in the code page. Read in the code page,
// a Linux tar's names would be garbled, and packing would store them garbled for good.
struct WideNames {
  static bool Pick(const wchar_t* decoded, const char* bytes, std::wstring* name) {
    if (bytes != nullptr && DecodeUtf8(bytes, name)) return true;
    if (decoded == nullptr) return false;
    *name = decoded;
    return true;
  }
  static bool Path(archive_entry* e, bool guessUtf8, std::wstring* name) {
    return Pick(archive_entry_pathname_w(e), guessUtf8 ? archive_entry_pathname(e) : nullptr,
                name);
  }
  static bool Hardlink(archive_entry* e, bool guessUtf8, std::wstring* name) {
    return Pick(archive_entry_hardlink_w(e), guessUtf8 ? archive_entry_hardlink(e) : nullptr,
                name);
  }
  static void SetPath(archive_entry* e, const wchar_t* name) {
    archive_entry_copy_pathname_w(e, name);
  }
};
// Elsewhere names stay the bytes they are.
struct ByteNames {
  static bool Copy(const char* bytes, std::string* name) {
    if (bytes == nullptr) return false;
    *name = bytes;
    return true;
  }
  static bool Path(archive_entry* e, bool, std::string* name) {
    return Copy(archive_entry_pathname(e), name);
  }
  static bool Hardlink(archive_entry* e, bool, std::string* name) {
    return Copy(archive_entry_hardlink(e), name);
  }
  static void SetPath(archive_entry* e, const char* name) { archive_entry_copy_pathname(e, name); }
};
using Names = std::conditional_t<std::is_same_v<NativeChar, wchar_t>, WideNames, ByteNames>;

struct ReaderHandle {
  archive* a = archive_read_new();
  ~ReaderHandle() {
    if (a != nullptr) archive_read_free(a);
  }
};

struct WriterHandle {
  archive* a = archive_write_new();
  ~WriterHandle() {
    if (a != nullptr) archive_write_free(a);
  }
};

struct EntryHandle {
  archive_entry* e = archive_entry_new();
  ~EntryHandle() {
    if (e != nullptr) archive_entry_free(e);
  }
};

// Every format and filter libarchive can read without running another program. mtree is
// left out on purpose: its entries may name arbitrary files of this machine as contents.
void SupportReading(archive* a) {
  archive_read_support_filter_gzip(a);
  archive_read_support_filter_bzip2(a);
  archive_read_support_filter_xz(a);
  archive_read_support_filter_lzma(a);
  archive_read_support_filter_lzip(a);
  archive_read_support_filter_compress(a);
  archive_read_support_filter_uu(a);
  archive_read_support_format_zip(a);
  archive_read_support_format_7zip(a);
  archive_read_support_format_tar(a);
  archive_read_support_format_lha(a);
  archive_read_support_format_rar(a);
  archive_read_support_format_rar5(a);
  archive_read_support_format_cab(a);
  archive_read_support_format_iso9660(a);
  archive_read_support_format_cpio(a);
  archive_read_support_format_ar(a);
  archive_read_support_format_warc(a);
}

unsigned CodeOf(NativeChar c) { return static_cast<std::make_unsigned_t<NativeChar>>(c); }

bool IsSeparator(NativeChar c) { return c == '/' || c == '\\'; }

NativeString WithSeparator(const NativeString& folder) {
  NativeString path = folder;
  if (!path.empty() && !IsSeparator(path.back())) path += Separator;
  return path;
}

// Case folding for the comparison of names: ASCII, Latin-1, Greek, Cyrillic and the
// full-width Latin letters, the letters whose case Windows file systems ignore in practice.
unsigned FoldCode(unsigned c) {
  if (c >= 'a' && c <= 'z') return c - 0x20;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
  if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return c - 0x20;
  if (c >= 0x430 && c <= 0x44F) return c - 0x20;
  if (c >= 0x450 && c <= 0x45F) return c - 0x50;
  if (c >= 0xFF41 && c <= 0xFF5A) return c - 0x20;
  return c;
}

NativeString FoldCase(const NativeString& text) {
  NativeString folded = text;
  for (NativeChar& c : folded) {
    unsigned code = CodeOf(c);
    // Bytes of a multibyte text are left alone apart from ASCII.
    if (sizeof(NativeChar) == 1 && code >= 0x80) continue;
    c = static_cast<NativeChar>(FoldCode(code));
  }
  return folded;
}

bool IsReservedDeviceName(const NativeString& component) {
  // Windows ignores an extension and trailing spaces: "con .txt" is the console too.
  size_t end = component.find('.');
  if (end == NativeString::npos) end = component.size();
  while (end > 0 && component[end - 1] == ' ') --end;
  if (end < 3 || end > 7) return false;
  char stem[8] = {};
  for (size_t i = 0; i < end; ++i) {
    unsigned code = CodeOf(component[i]);
    if (code >= 0x80) return false;
    stem[i] = static_cast<char>(code >= 'a' && code <= 'z' ? code - 0x20 : code);
  }
  static const char* const reserved[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* name : reserved) {
    if (std::char_traits<char>::length(name) == end &&
        std::char_traits<char>::compare(stem, name, end) == 0) {
      return true;
    }
  }
  if (end == 4 && (std::char_traits<char>::compare(stem, "COM", 3) == 0 ||
                   std::char_traits<char>::compare(stem, "LPT", 3) == 0)) {
    return stem[3] >= '0' && stem[3] <= '9';
  }
  return false;
}

bool IsHoldableComponent(const NativeString& component) {
  if (component.size() > LongestComponent) return false;
  for (NativeChar c : component) {
    unsigned code = CodeOf(c);
    if (code < 0x20) return false;
    switch (code) {
      case '<': case '>': case ':': case '"': case '|': case '?': case '*':
        return false;
      default:
        break;
    }
  }
  // Windows drops trailing dots and spaces, so "a." would land on "a".
  NativeChar last = component.back();
  if (last == '.' || last == ' ') return false;
  return !IsReservedDeviceName(component);
}

// The components an entry name extracts to, below the target folder; false for an unsafe
// name. '\' separates like '/': archives made on Windows use it, and so do attacks.
bool SplitEntryName(const NativeString& name, std::vector<NativeString>* components) {
  components->clear();
  if (name.empty()) return false;
  // Absolute, and with a second separator UNC.
  if (IsSeparator(name[0])) return false;
  NativeString current;
  for (const NativeChar* p = name.c_str();; ++p) {
    if (*p != 0 && !IsSeparator(*p)) {
      current += *p;
      continue;
    }
    if (current == NativeString(1, '.') || current.empty()) {
      // "a//b" and "./a" name the same place as "a/b" and "a".
    } else if (current == NativeString(2, '.')) {
      return false;
    } else if (!IsHoldableComponent(current)) {
      // Drive-qualified names end up here too: ':' cannot be held.
      return false;
    } else {
      components->push_back(current);
    }
    current.clear();
    if (*p == 0) break;
  }
  return true;
}

NativeString JoinComponents(const std::vector<NativeString>& components, size_t count,
                            NativeChar separator) {
  NativeString joined;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) joined += separator;
    joined += components[i];
  }
  return joined;
}

// The key under which a name counts as present: '/' separators, letter case folded.
NativeString PresenceKey(const std::vector<NativeString>& components) {
  return FoldCase(JoinComponents(components, components.size(), '/'));
}

int StartsWith(const NativeString& path, const char* signature, size_t length) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  char head[8] = {};
  if (length > sizeof head || !in.read(head, static_cast<std::streamsize>(length))) return 0;
  return std::char_traits<char>::compare(head, signature, length) == 0;
}

// The format index of an archive whose first header was read, or -1.
int ClassifyArchive(archive* a, const NativeString& path) {
  int filters = archive_filter_count(a);
  int compression = filters == 1 ? ARCHIVE_FILTER_NONE : -1;
  if (filters == 2) compression = archive_filter_code(a, 0);
  switch (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) {
    case ARCHIVE_FORMAT_ZIP:
      if (compression != ARCHIVE_FILTER_NONE) return FormatOther;
      return StartsWith(path, "PK", 2) ? FormatZip : FormatSelfExtracting;
    case ARCHIVE_FORMAT_7ZIP:
      if (compression != ARCHIVE_FILTER_NONE) return FormatOther;
      return StartsWith(path, "7z\xBC\xAF\x27\x1C", 6) ? FormatSevenZip : FormatSelfExtracting;
    case ARCHIVE_FORMAT_TAR:
      switch (compression) {
        case ARCHIVE_FILTER_NONE: return FormatTar;
        case ARCHIVE_FILTER_GZIP: return FormatTarGzip;
        case ARCHIVE_FILTER_BZIP2: return FormatTarBzip2;
        case ARCHIVE_FILTER_XZ: return FormatTarXz;
        case ARCHIVE_FILTER_COMPRESS: return FormatTarCompress;
        case ARCHIVE_FILTER_LZMA: return FormatTarLzma;
        case ARCHIVE_FILTER_LZIP: return FormatTarLzip;
        default: return FormatOther;
      }
    case ARCHIVE_FORMAT_LHA: return FormatLzh;
    case ARCHIVE_FORMAT_RAR: return FormatRar;
    case ARCHIVE_FORMAT_RAR_V5: return FormatRar;
    case ARCHIVE_FORMAT_CAB: return FormatCab;
    case ARCHIVE_FORMAT_ISO9660: return FormatIso9660;
    case ARCHIVE_FORMAT_CPIO: return FormatCpio;
    case ARCHIVE_FORMAT_AR: return FormatAr;
    case ARCHIVE_FORMAT_WARC: return FormatWarc;
    default: return -1;
  }
}

// ZIP says with a flag which names are UTF-8 (the others are in the code page); 7z and RAR5
// always use Unicode.
bool NamesMayBeUtf8Bytes(archive* a) {
  switch (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) {
    case ARCHIVE_FORMAT_ZIP:
    case ARCHIVE_FORMAT_7ZIP:
    case ARCHIVE_FORMAT_RAR_V5:
      return false;
    default:
      return true;
  }
}

// The components of an entry's name; false when it has none or is unsafe.
bool SplitEntryPath(archive* a, archive_entry* entry, std::vector<NativeString>* components) {
  NativeString name;
  return Names::Path(entry, NamesMayBeUtf8Bytes(a), &name) && SplitEntryName(name, components) &&
         !components->empty();
}

bool IsHardLink(archive_entry* entry) {
  // Either form is there when a hard link is set, even one that cannot be decoded.
  return archive_entry_hardlink(entry) != nullptr || archive_entry_hardlink_w(entry) != nullptr;
}

// ---- Extraction ----

enum class Outcome { Done, Skipped, Failed, Fatal };

struct FolderTime {
  NativeString path;
  size_t depth;
  int64_t seconds;
  int32_t nanoseconds;
};

struct Extraction {
  archive* reader = nullptr;
  unsigned worker = 0;  // tells the temporary names of parallel extractions apart
  NativeString base;  // the target folder, with a trailing separator
  std::unordered_set<NativeString> knownFolders;
  std::vector<FolderTime> folderTimes;
  std::vector<char> buffer = std::vector<char>(BlockSize);
  unsigned siblingCounter = 0;

  // Makes sure the first count components exist as folders below the target. A link or
  // junction on the way makes the entry unsafe: it could lead out of the folder.
  Outcome PrepareFolders(const std::vector<NativeString>& components, size_t count) {
    NativeString path = base;
    for (size_t i = 0; i < count; ++i) {
      path += components[i];
      if (path.size() > LongestFolderPath) return Outcome::Skipped;
      if (knownFolders.count(path) == 0) {
        switch (ProbePath(path)) {
          case PathKind::Folder:
            break;
          case PathKind::Missing: {
            std::error_code error;
            std::filesystem::create_directory(std::filesystem::path(path), error);
            if (ProbePath(path) != PathKind::Folder) return Outcome::Failed;
            break;
          }
          case PathKind::Link:
            return Outcome::Skipped;
          default:
            return Outcome::Failed;
        }
        knownFolders.insert(path);
      }
      path += Separator;
    }
    return Outcome::Done;
  }

  // Checks the place of a file about to be written: a link there is never written
  // through, a folder there cannot become a file. An existing file is to be replaced.
  Outcome PrepareFile(const NativeString& path, bool* existing) {
    *existing = false;
    switch (ProbePath(path)) {
      case PathKind::Missing:
        return Outcome::Done;
      case PathKind::File:
        *existing = true;
        return Outcome::Done;
      case PathKind::Link:
        return Outcome::Skipped;
      default:
        return Outcome::Failed;
    }
  }

  // A free name beside a file, for the new content that is then moved over it; empty when
  // none is found.
  NativeString SiblingName(const NativeString& path) {
    NativeString folder = path.substr(0, path.find_last_of(Separator) + 1);
    for (int attempt = 0; attempt < 100; ++attempt) {
      NativeString candidate = folder;
      std::string name =
          ".vessiko-" + std::to_string(worker) + "-" + std::to_string(++siblingCounter) + ".tmp";
      for (char c : name) candidate += c;
      PathKind kind = ProbePath(candidate);
      if (kind == PathKind::Missing) return candidate;
      if (kind == PathKind::Unknown) break;
    }
    return NativeString();
  }

  Outcome WriteData(const NativeString& path) {
    Outcome outcome = Outcome::Done;
    {
      std::ofstream out(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
      if (!out) return Outcome::Failed;
      for (;;) {
        la_ssize_t n = archive_read_data(reader, buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0) {
          outcome = n == ARCHIVE_FATAL ? Outcome::Fatal : Outcome::Failed;
          break;
        }
        if (!out.write(buffer.data(), n)) {
          outcome = Outcome::Failed;
          break;
        }
      }
      out.close();
      if (outcome == Outcome::Done && out.fail()) outcome = Outcome::Failed;
    }
    // A half-written file would later be packed over the good entry.
    if (outcome != Outcome::Done) {
      std::error_code error;
      std::filesystem::remove(std::filesystem::path(path), error);
    }
    return outcome;
  }

  Outcome CopyExtracted(const NativeString& from, const NativeString& to) {
    bool copied = false;
    {
      std::ifstream in(std::filesystem::path(from), std::ios::binary);
      std::ofstream out(std::filesystem::path(to), std::ios::binary | std::ios::trunc);
      if (!out) return Outcome::Failed;
      copied = static_cast<bool>(in);
      while (copied && in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        if (in.gcount() > 0 && !out.write(buffer.data(), in.gcount())) copied = false;
      }
      out.close();
      copied = copied && !in.bad() && !out.fail();
    }
    if (!copied) {
      std::error_code error;
      std::filesystem::remove(std::filesystem::path(to), error);
    }
    return copied ? Outcome::Done : Outcome::Failed;
  }

  Outcome ExtractEntry(archive_entry* entry) {
    std::vector<NativeString> components;
    if (!SplitEntryPath(reader, entry, &components)) return Outcome::Skipped;
    NativeString path = base + JoinComponents(components, components.size(), Separator);
    int64_t seconds = archive_entry_mtime(entry);
    int32_t nanoseconds = static_cast<int32_t>(archive_entry_mtime_nsec(entry));
    int timed = archive_entry_mtime_is_set(entry);

    bool linked = IsHardLink(entry);
    bool linkWithoutData =
        linked && (!archive_entry_size_is_set(entry) || archive_entry_size(entry) == 0);
    auto type = archive_entry_filetype(entry);

    if (type == AE_IFDIR && !linked) {
      if (path.size() > LongestFolderPath) return Outcome::Skipped;
      Outcome outcome = PrepareFolders(components, components.size());
      if (outcome == Outcome::Done && timed) {
        folderTimes.push_back({path, components.size(), seconds, nanoseconds});
      }
      return outcome;
    }
    // Symbolic links are not made: on Windows they need privileges, and a link could lead
    // later entries out of the folder. The archive keeps them when it is packed again.
    if (!linkWithoutData && type != AE_IFREG) return Outcome::Skipped;
    if (path.size() > LongestFilePath) return Outcome::Skipped;

    NativeString source;
    if (linkWithoutData) {
      // A hard link becomes a copy of its target, which must be a file extracted here.
      NativeString hardlink;
      std::vector<NativeString> target;
      if (!Names::Hardlink(entry, NamesMayBeUtf8Bytes(reader), &hardlink) ||
          !SplitEntryName(hardlink, &target) || target.empty()) {
        return Outcome::Skipped;
      }
      source = base + JoinComponents(target, target.size(), Separator);
      if (source == path || ProbePath(source) != PathKind::File) return Outcome::Skipped;
    }

    bool existing = false;
    Outcome outcome = PrepareFolders(components, components.size() - 1);
    if (outcome == Outcome::Done) outcome = PrepareFile(path, &existing);
    if (outcome != Outcome::Done) return outcome;
    // An existing file is replaced, not written into: a hard link, or a link the platform
    // does not show as one (Wine's view of a Unix link to a file), would carry the content
    // out of the folder.
    NativeString written = existing ? SiblingName(path) : path;
    if (written.empty()) return Outcome::Failed;
    outcome = linkWithoutData ? CopyExtracted(source, written) : WriteData(written);
    if (outcome == Outcome::Done && existing && !MoveOver(written, path)) {
      std::error_code error;
      std::filesystem::remove(std::filesystem::path(written), error);
      outcome = Outcome::Failed;
    }
    if (outcome == Outcome::Done && timed) SetModifiedTime(path, seconds, nanoseconds);
    return outcome;
  }

  // Folders get their times last, deepest first: writing inside a folder changes its time.
  void ApplyFolderTimes() {
    std::stable_sort(folderTimes.begin(), folderTimes.end(),
                     [](const FolderTime& a, const FolderTime& b) { return a.depth > b.depth; });
    for (const FolderTime& t : folderTimes) SetModifiedTime(t.path, t.seconds, t.nanoseconds);
  }
};

unsigned WorkerCount() {
  unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : std::min(n, 4u);
}

// One reader's share of an extraction. With several readers each extracts the entries whose
// names fall to it; names are folded first, so the entries that land on one file stay in
// archive order and the last one wins, as with one reader.
struct EntryRun {
  archive* reader = nullptr;  // borrowed; Run opens its own when null
  int firstStatus = ARCHIVE_OK;
  archive_entry* first = nullptr;  // the header the borrowed reader has read already
  unsigned worker = 0;
  unsigned workers = 1;
  std::atomic<int>* stopped = nullptr;
  int result = 1;
  std::vector<size_t> deferred;  // indices of hard links, for after all readers

  unsigned OwnerOf(archive_entry* entry) {
    std::vector<NativeString> components;
    if (!SplitEntryPath(reader, entry, &components)) return 0;
    return static_cast<unsigned>(std::hash<NativeString>()(PresenceKey(components)) % workers);
  }

  void Run(const NativeString& archivePath, Extraction* extraction) {
    ReaderHandle own;
    if (reader == nullptr) {
      if (own.a == nullptr) {
        result = 0;
        return;
      }
      SupportReading(own.a);
      if (OpenForReading(own.a, archivePath.c_str()) != ARCHIVE_OK) {
        result = 0;
        return;
      }
      reader = own.a;
      firstStatus = archive_read_next_header(reader, &first);
    }
    extraction->reader = reader;
    int failedInARow = 0;
    int status = firstStatus;
    archive_entry* entry = first;
    for (size_t index = 0;; ++index) {
      if (index > 0) status = archive_read_next_header(reader, &entry);
      if (status == ARCHIVE_EOF || stopped->load()) break;
      if (status == ARCHIVE_FATAL || status == ARCHIVE_RETRY) {
        result = 0;
        break;
      }
      if (status == ARCHIVE_FAILED) {
        // This entry cannot be read; the next one may be, unless the reader is stuck.
        result = 0;
        if (++failedInARow == 100) break;
        continue;
      }
      failedInARow = 0;
      if (workers > 1) {
        if (IsHardLink(entry)) {
          if (worker == 0) deferred.push_back(index);
          continue;
        }
        if (OwnerOf(entry) != worker) continue;
      }
      Outcome outcome = extraction->ExtractEntry(entry);
      if (outcome == Outcome::Fatal) {
        result = 0;
        stopped->store(1);
        break;
      }
      if (outcome == Outcome::Failed) result = 0;
    }
    extraction->reader = nullptr;
    reader = nullptr;
  }
};

// ---- Packing ----

struct SourceItem {
  NativeString path;      // full native path
  NativeString relative;  // below the root, '/' separators
  NativeString key;
  int folder;
  int64_t size;
  int64_t seconds;
  int32_t nanoseconds;
};

// Collects everything under a folder, sorted by name within each folder. Links and
// junctions are left out and never entered.
int CollectItems(const NativeString& folder, const NativeString& prefix,
                 const std::vector<NativeString>& excluded, std::vector<SourceItem>* items) {
  std::vector<FolderItem> listing;
  if (!ListFolder(folder, &listing)) return 0;
  std::sort(listing.begin(), listing.end(),
            [](const FolderItem& a, const FolderItem& b) { return a.name < b.name; });
  for (const FolderItem& item : listing) {
    if (item.link) continue;
    NativeString path = WithSeparator(folder) + item.name;
    if (std::find(excluded.begin(), excluded.end(), FoldCase(path)) != excluded.end()) continue;
    NativeString relative = prefix + item.name;
    items->push_back({path, relative, FoldCase(relative), item.folder, item.size,
                      item.modifiedSeconds, item.modifiedNanoseconds});
    if (item.folder && !CollectItems(path, relative + NativeString(1, '/'), excluded, items)) {
      return 0;
    }
  }
  return 1;
}

int ConfigureWriter(archive* a, int format) {
  switch (format) {
    case FormatSevenZip:
      return archive_write_set_format_7zip(a) == ARCHIVE_OK;
    case FormatTar:
    case FormatTarGzip:
    case FormatTarBzip2:
    case FormatTarXz:
      if (archive_write_set_format_pax_restricted(a) != ARCHIVE_OK) return 0;
      if (format == FormatTarGzip) return archive_write_add_filter_gzip(a) == ARCHIVE_OK;
      if (format == FormatTarBzip2) return archive_write_add_filter_bzip2(a) == ARCHIVE_OK;
      if (format == FormatTarXz) return archive_write_add_filter_xz(a) == ARCHIVE_OK;
      return 1;
    default:
      return 0;
  }
}

int WriteSourceItem(archive* writer, const SourceItem& item, std::vector<char>* buffer) {
  EntryHandle entry;
  if (entry.e == nullptr) return 0;
  Names::SetPath(entry.e, item.relative.c_str());
  archive_entry_set_filetype(entry.e, item.folder ? AE_IFDIR : AE_IFREG);
  archive_entry_set_perm(entry.e, item.folder ? 0755 : 0644);
  archive_entry_set_size(entry.e, item.folder ? 0 : item.size);
  archive_entry_set_mtime(entry.e, item.seconds, item.nanoseconds);
  if (archive_write_header(writer, entry.e) < ARCHIVE_WARN) return 0;
  if (!item.folder) {
    std::ifstream in(std::filesystem::path(item.path), std::ios::binary);
    if (!in) return 0;
    int64_t left = item.size;
    while (left > 0) {
      std::streamsize want = static_cast<std::streamsize>(
          std::min<int64_t>(left, static_cast<int64_t>(buffer->size())));
      if (!in.read(buffer->data(), want)) return 0;  // shorter than listed: it changed
      if (archive_write_data(writer, buffer->data(), static_cast<size_t>(want)) != want) return 0;
      left -= want;
    }
    // Longer than listed: it is being written to, and a cut copy must not be stored.
    if (in.peek() != std::char_traits<char>::eof()) return 0;
  }
  return archive_write_finish_entry(writer) >= ARCHIVE_WARN;
}

bool HasName(archive_entry* entry) {
  const char* name = archive_entry_pathname(entry);
  const wchar_t* wide = archive_entry_pathname_w(entry);
  return (name != nullptr && name[0] != '\0') || (wide != nullptr && wide[0] != L'\0');
}

// Copies the entries of the previous archive whose names are not present under the root.
// An entry the drive could not show (skipped as unsafe, a link) is never present.
int CopyAbsentEntries(archive* writer, const NativeString& previous,
                      const std::unordered_set<NativeString>& present, std::vector<char>* buffer) {
  ReaderHandle reader;
  if (reader.a == nullptr) return 0;
  SupportReading(reader.a);
  if (OpenForReading(reader.a, previous.c_str()) != ARCHIVE_OK) return 0;
  for (;;) {
    archive_entry* entry = nullptr;
    int status = archive_read_next_header(reader.a, &entry);
    if (status == ARCHIVE_EOF) return 1;
    if (status < ARCHIVE_WARN) return 0;
    std::vector<NativeString> components;
    if (SplitEntryPath(reader.a, entry, &components) &&
        present.count(PresenceKey(components)) != 0) {
      continue;
    }
    // A writer refuses a nameless entry as fatal, and a fatal writer is freed without its
    // output buffers (libarchive skips the close): fail before it sees the entry.
    if (!HasName(entry)) return 0;
    if (archive_write_header(writer, entry) < ARCHIVE_WARN) return 0;
    for (;;) {
      la_ssize_t n = archive_read_data(reader.a, buffer->data(), buffer->size());
      if (n == 0) break;
      if (n < 0) return 0;
      if (archive_write_data(writer, buffer->data(), static_cast<size_t>(n)) != n) return 0;
    }
    if (archive_write_finish_entry(writer) < ARCHIVE_WARN) return 0;
  }
}

// ---- Packing ZIP: entries compressed on several threads, written in order ----

// Files up to this size are read and compressed whole by the workers; larger ones are
// compressed while they are written, so memory stays bounded on a 32-bit process.
constexpr int64_t InMemoryLimit = 4 * 1024 * 1024;
// How many bytes of files the workers may hold ahead of the writer.
constexpr int64_t InFlightBudget = 32 * 1024 * 1024;

bool IsAscii(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// UTF-16 (or UTF-32) to UTF-8; false for a lone surrogate, which no UTF-8 reader would
// give back as the same name.
bool EncodeUtf8(const wchar_t* text, std::string* out) {
  out->clear();
  for (const wchar_t* p = text; *p != 0; ++p) {
    uint32_t c = static_cast<uint32_t>(*p);
    if (c >= 0xD800 && c <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<uint32_t>(p[1]) - 0xDC00);
      ++p;
    } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      return false;
    }
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out->push_back(static_cast<char>(0xC0 | (c >> 6)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out->push_back(static_cast<char>(0xE0 | (c >> 12)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out->push_back(static_cast<char>(0xF0 | (c >> 18)));
      out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return true;
}

// A text of an entry as it is stored in a ZIP: UTF-8, flagged when it is not plain ASCII.
// Windows gives the UTF-16 form, which holds every name; elsewhere libarchive converts the
// locale's bytes, and bytes that are no text in the locale are stored as they are.
int StoredText(const wchar_t* wide, const char* utf8, const char* bytes, std::string* text,
               int* flagged) {
  if (sizeof(NativeChar) != 1) {
    if (wide == nullptr || !EncodeUtf8(wide, text)) return 0;
  } else if (utf8 != nullptr) {
    *text = utf8;
  } else if (bytes != nullptr) {
    *text = bytes;
    *flagged = 0;
    return 1;
  } else {
    return 0;
  }
  *flagged = !IsAscii(*text);
  return 1;
}

// The stored name of a path below the root.
int ZipNameOf(const NativeString& relative, ZipItem* item) {
  bool ascii = true;
  for (NativeChar c : relative) ascii = ascii && CodeOf(c) < 0x80;
  if (ascii) {
    item->name.assign(relative.begin(), relative.end());
    item->utf8 = 0;
    return 1;
  }
  EntryHandle entry;
  if (entry.e == nullptr) return 0;
  Names::SetPath(entry.e, relative.c_str());
  return StoredText(archive_entry_pathname_w(entry.e), archive_entry_pathname_utf8(entry.e),
                    archive_entry_pathname(entry.e), &item->name, &item->utf8);
}

// Reads a file that must still have the size it was listed with: a file that changed in
// between is being written to, and a cut copy must not be stored.
int ReadListedFile(const NativeString& path, int64_t size, std::vector<char>* data) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  if (!in) return 0;
  data->resize(static_cast<size_t>(size));
  if (size > 0 && !in.read(data->data(), static_cast<std::streamsize>(size))) return 0;
  return in.peek() == std::char_traits<char>::eof();
}

int StreamListedFile(ZipWriter* writer, const SourceItem& source, const ZipItem& item,
                     Deflater* deflater, std::vector<char>* buffer) {
  std::ifstream in(std::filesystem::path(source.path), std::ios::binary);
  if (!in || !writer->BeginStreamed(item, source.size, deflater)) return 0;
  int64_t left = source.size;
  while (left > 0) {
    std::streamsize want = static_cast<std::streamsize>(
        std::min<int64_t>(left, static_cast<int64_t>(buffer->size())));
    if (!in.read(buffer->data(), want)) return 0;
    if (!writer->StreamData(buffer->data(), static_cast<size_t>(want))) return 0;
    left -= want;
  }
  if (in.peek() != std::char_traits<char>::eof()) return 0;
  return writer->EndStreamed();
}

enum class JobState { Waiting, Ready, Failed, Streamed };

struct PackJob {
  JobState state = JobState::Waiting;
  PreparedData data;
};

// The workers read and compress the listed files ahead of the writer, within a budget of
// bytes held; the writer takes the results in listing order.
struct ParallelCompression {
  const std::vector<SourceItem>* items = nullptr;
  std::vector<PackJob> jobs;
  std::mutex lock;
  std::condition_variable changed;
  size_t next = 0;
  int64_t inFlight = 0;
  bool stop = false;
  std::vector<std::thread> threads;

  static int64_t Cost(const SourceItem& item) {
    return item.folder || item.size > InMemoryLimit ? 0 : item.size;
  }

  void Start(const std::vector<SourceItem>* list, unsigned count) {
    items = list;
    jobs.resize(list->size());
    for (unsigned k = 0; k < count; ++k) threads.emplace_back([this] { Work(); });
  }

  void Work() {
    Deflater deflater;
    std::vector<char> data;
    for (;;) {
      size_t i = 0;
      {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait(guard, [&] {
          return stop || next >= items->size() || inFlight == 0 ||
                 inFlight + Cost((*items)[next]) <= InFlightBudget;
        });
        if (stop || next >= items->size()) return;
        i = next++;
        inFlight += Cost((*items)[i]);
      }
      const SourceItem& item = (*items)[i];
      PreparedData prepared;
      JobState state = JobState::Ready;
      if (!item.folder && item.size > InMemoryLimit) {
        state = JobState::Streamed;
      } else if (!item.folder &&
                 (!ReadListedFile(item.path, item.size, &data) ||
                  !PrepareData(&deflater, data.data(), data.size(), &prepared))) {
        state = JobState::Failed;
      }
      {
        std::lock_guard<std::mutex> guard(lock);
        jobs[i].data = std::move(prepared);
        jobs[i].state = state;
      }
      changed.notify_all();
    }
  }

  // Waits for job i; its data is the caller's until Done.
  JobState Await(size_t i) {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return jobs[i].state != JobState::Waiting; });
    return jobs[i].state;
  }

  void Done(size_t i) {
    {
      std::lock_guard<std::mutex> guard(lock);
      inFlight -= Cost((*items)[i]);
      jobs[i].data = PreparedData();
    }
    changed.notify_all();
  }

  ~ParallelCompression() {
    {
      std::lock_guard<std::mutex> guard(lock);
      stop = true;
    }
    changed.notify_all();
    for (std::thread& t : threads) t.join();
  }
};

int ZipItemOf(const SourceItem& source, ZipItem* item) {
  if (!ZipNameOf(source.relative, item)) return 0;
  item->folder = source.folder;
  item->mode = source.folder ? 040755 : 0100644;
  item->seconds = source.seconds;
  item->timed = 1;
  return 1;
}

// Copies the entries of the previous archive whose names are not present under the root,
// compressed as the new ones are. An entry the drive could not show (skipped as unsafe, a
// link) is never present.
int CopyAbsentEntriesToZip(ZipWriter* writer, const NativeString& previous,
                           const std::unordered_set<NativeString>& present, Deflater* deflater,
                           std::vector<char>* buffer) {
  ReaderHandle reader;
  if (reader.a == nullptr) return 0;
  SupportReading(reader.a);
  if (OpenForReading(reader.a, previous.c_str()) != ARCHIVE_OK) return 0;
  std::vector<char> data;
  for (;;) {
    archive_entry* entry = nullptr;
    int status = archive_read_next_header(reader.a, &entry);
    if (status == ARCHIVE_EOF) return 1;
    if (status < ARCHIVE_WARN) return 0;
    std::vector<NativeString> components;
    if (SplitEntryPath(reader.a, entry, &components) &&
        present.count(PresenceKey(components)) != 0) {
      continue;
    }
    ZipItem item;
    if (!StoredText(archive_entry_pathname_w(entry), archive_entry_pathname_utf8(entry),
                    archive_entry_pathname(entry), &item.name, &item.utf8)) {
      return 0;
    }
    auto type = archive_entry_filetype(entry);
    item.mode = archive_entry_mode(entry);
    item.seconds = archive_entry_mtime(entry);
    item.timed = archive_entry_mtime_is_set(entry);
    if (type == AE_IFDIR) {
      item.folder = 1;
      while (!item.name.empty() && item.name.back() == '/') item.name.pop_back();
      if (!writer->AddFolder(item)) return 0;
      continue;
    }
    PreparedData prepared;
    if (type == AE_IFLNK) {
      // A symbolic link keeps its target as its data, stored.
      std::string target;
      int flagged = 0;
      if (!StoredText(archive_entry_symlink_w(entry), archive_entry_symlink_utf8(entry),
                      archive_entry_symlink(entry), &target, &flagged)) {
        return 0;
      }
      prepared.bytes.assign(target.begin(), target.end());
      prepared.size = target.size();
      prepared.crc = static_cast<uint32_t>(crc32(
          0, reinterpret_cast<const Bytef*>(target.data()), static_cast<uInt>(target.size())));
      if (!writer->AddPrepared(item, prepared)) return 0;
      continue;
    }
    // Devices, pipes and sockets have no place in a ZIP.
    if (type != AE_IFREG) return 0;
    int64_t size = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
    if (size >= 0 && size <= InMemoryLimit) {
      data.clear();
      for (;;) {
        la_ssize_t n = archive_read_data(reader.a, buffer->data(), buffer->size());
        if (n == 0) break;
        if (n < 0) return 0;
        data.insert(data.end(), buffer->data(), buffer->data() + n);
      }
      if (!PrepareData(deflater, data.data(), data.size(), &prepared) ||
          !writer->AddPrepared(item, prepared)) {
        return 0;
      }
      continue;
    }
    if (!writer->BeginStreamed(item, size, deflater)) return 0;
    for (;;) {
      la_ssize_t n = archive_read_data(reader.a, buffer->data(), buffer->size());
      if (n == 0) break;
      if (n < 0) return 0;
      if (!writer->StreamData(buffer->data(), static_cast<size_t>(n))) return 0;
    }
    if (!writer->EndStreamed()) return 0;
  }
}

int WriteZip(const NativeString& output, const std::vector<SourceItem>& items,
             const NativeString& previous) {
  ZipWriter writer;
  if (!writer.Open(output)) return 0;
  Deflater deflater;
  std::vector<char> buffer(BlockSize);
  std::unordered_set<NativeString> present;
  {
    ParallelCompression compression;
    compression.Start(&items, WorkerCount());
    for (size_t i = 0; i < items.size(); ++i) {
      const SourceItem& source = items[i];
      JobState state = compression.Await(i);
      ZipItem item;
      if (state == JobState::Failed || !ZipItemOf(source, &item)) return 0;
      int written = 0;
      if (source.folder) {
        written = writer.AddFolder(item);
      } else if (state == JobState::Streamed) {
        written = StreamListedFile(&writer, source, item, &deflater, &buffer);
      } else {
        written = writer.AddPrepared(item, compression.jobs[i].data);
      }
      if (!written) return 0;
      compression.Done(i);
      present.insert(source.key);
    }
  }
  if (!previous.empty() &&
      !CopyAbsentEntriesToZip(&writer, previous, present, &deflater, &buffer)) {
    return 0;
  }
  return writer.Close();
}

// The archive itself may be a link; a folder is no archive.
bool IsArchiveFile(const NativeString& path) {
  PathKind kind = ProbePath(path);
  return kind == PathKind::File || kind == PathKind::Link;
}

}  // namespace

uint32_t WritableFormatMask() { return (1u << WritableFormatCount) - 1; }

const char* FormatDisplayName(int index) {
  if (index < 0 || index >= FormatIndexLimit) return "";
  return DisplayNames[index];
}

uint32_t ExtractionKind(int index) {
  if (FormatDisplayName(index)[0] == '\0') return 0;
  return ExtractBit | (1u << (index + 1));
}

int DecodePacKind(uint32_t kind, PacRequest* request) {
  *request = PacRequest();
  uint32_t modes = kind & (ExtractBit | PackBit);
  if (modes == ExtractBit) {
    uint32_t bits = kind & ~ExtractBit;
    for (int i = 0; i < FormatIndexLimit - 1; ++i) {
      if (bits == (1u << (i + 1)) && ExtractionKind(i) == kind) {
        request->extract = 1;
        request->format = i;
        return 1;
      }
    }
    return 0;
  }
  if (modes == PackBit) {
    uint32_t bits = kind & ~(PackBit | FreshBit);
    for (int i = 0; i < WritableFormatCount; ++i) {
      if (bits == (1u << i)) {
        request->format = i;
        request->fresh = (kind & FreshBit) != 0;
        return 1;
      }
    }
  }
  return 0;
}

uint32_t CheckArchive(const NativeString& archivePath) {
  if (archivePath.empty() || !IsArchiveFile(archivePath)) return 0;
  ReaderHandle reader;
  if (reader.a == nullptr) return 0;
  SupportReading(reader.a);
  if (OpenForReading(reader.a, archivePath.c_str()) != ARCHIVE_OK) return 0;
  archive_entry* entry = nullptr;
  int status = archive_read_next_header(reader.a, &entry);
  int format = -1;
  if (status == ARCHIVE_OK || status == ARCHIVE_WARN) {
    format = ClassifyArchive(reader.a, archivePath);
  } else if (status == ARCHIVE_EOF) {
    // An archive without entries counts only where a signature says so: a block of zeros
    // would pass for an empty tar.
    format = ClassifyArchive(reader.a, archivePath);
    if (format != FormatZip && format != FormatSevenZip) format = -1;
  }
  return format < 0 ? 0 : ExtractionKind(format);
}

int ExtractArchive(const NativeString& archivePath, const NativeString& folder) {
  if (archivePath.empty() || folder.empty() || !IsArchiveFile(archivePath)) return 0;
  NativeString base = WithSeparator(folder);
  if (ProbePath(base) == PathKind::Missing) {
    NativeString trimmed = folder;
    while (trimmed.size() > 1 && IsSeparator(trimmed.back())) trimmed.pop_back();
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(trimmed), error);
  }
  PathKind target = ProbePath(base);
  if (target != PathKind::Folder && target != PathKind::Link) return 0;

  ReaderHandle reader;
  if (reader.a == nullptr) return 0;
  SupportReading(reader.a);
  if (OpenForReading(reader.a, archivePath.c_str()) != ARCHIVE_OK) return 0;
  archive_entry* first = nullptr;
  int firstStatus = archive_read_next_header(reader.a, &first);

  // ZIP entries are independent and its central directory lets a reader skip an entry
  // without reading its data, so several readers share the entries out. Solid formats
  // decompress everything before any entry and stay with one reader.
  unsigned workers = 1;
  if ((firstStatus == ARCHIVE_OK || firstStatus == ARCHIVE_WARN) &&
      ClassifyArchive(reader.a, archivePath) == FormatZip) {
    workers = WorkerCount();
  }
  std::vector<Extraction> extractions(workers);
  std::vector<EntryRun> runs(workers);
  std::atomic<int> stopped(0);
  for (unsigned k = 0; k < workers; ++k) {
    extractions[k].base = base;
    extractions[k].worker = k;
    runs[k].worker = k;
    runs[k].workers = workers;
    runs[k].stopped = &stopped;
  }
  runs[0].reader = reader.a;
  runs[0].firstStatus = firstStatus;
  runs[0].first = first;
  {
    std::vector<std::thread> threads;
    for (unsigned k = 1; k < workers; ++k) {
      threads.emplace_back([&, k] { runs[k].Run(archivePath, &extractions[k]); });
    }
    runs[0].Run(archivePath, &extractions[0]);
    for (std::thread& t : threads) t.join();
  }
  int result = 1;
  std::vector<size_t> deferred;
  for (unsigned k = 0; k < workers; ++k) {
    result = result && runs[k].result;
    deferred.insert(deferred.end(), runs[k].deferred.begin(), runs[k].deferred.end());
    if (k > 0) {
      extractions[0].folderTimes.insert(extractions[0].folderTimes.end(),
                                        extractions[k].folderTimes.begin(),
                                        extractions[k].folderTimes.end());
    }
  }
  // Hard links copy a file another reader may have been writing: they come last, in order.
  if (!deferred.empty() && !stopped.load()) {
    std::sort(deferred.begin(), deferred.end());
    ReaderHandle again;
    if (again.a == nullptr) return 0;
    SupportReading(again.a);
    if (OpenForReading(again.a, archivePath.c_str()) != ARCHIVE_OK) return 0;
    extractions[0].reader = again.a;
    size_t index = 0;
    for (size_t wanted : deferred) {
      archive_entry* entry = nullptr;
      int status = ARCHIVE_OK;
      while (index <= wanted) {
        status = archive_read_next_header(again.a, &entry);
        if (status < ARCHIVE_WARN) break;
        ++index;
      }
      if (status < ARCHIVE_WARN) {
        result = 0;
        break;
      }
      Outcome outcome = extractions[0].ExtractEntry(entry);
      if (outcome == Outcome::Failed || outcome == Outcome::Fatal) result = 0;
      if (outcome == Outcome::Fatal) break;
    }
  }
  extractions[0].ApplyFolderTimes();
  return result;
}

int WriteArchive(const NativeString& output, const NativeString& previous,
                 const NativeString& root, int format, int fresh) {
  if (output.empty() || root.empty() || format < 0 || format >= WritableFormatCount) return 0;
  NativeString base = WithSeparator(root);
  PathKind rootKind = ProbePath(base);
  if (rootKind != PathKind::Folder && rootKind != PathKind::Link) return 0;

  // The archive and the new file are never packed into themselves.
  std::vector<NativeString> excluded = {FoldCase(output)};
  if (!previous.empty()) excluded.push_back(FoldCase(previous));
  std::vector<SourceItem> items;
  if (!CollectItems(base, NativeString(), excluded, &items)) return 0;

  int readPrevious = 0;
  if (!fresh && !previous.empty()) {
    PathKind previousKind = ProbePath(previous);
    if (previousKind == PathKind::Unknown || previousKind == PathKind::Folder) return 0;
    readPrevious = previousKind != PathKind::Missing;
  }

  if (format == FormatZip) return WriteZip(output, items, readPrevious ? previous : NativeString());

  WriterHandle writer;
  if (writer.a == nullptr || !ConfigureWriter(writer.a, format)) return 0;
  if (OpenForWriting(writer.a, output.c_str()) != ARCHIVE_OK) return 0;
  std::vector<char> buffer(BlockSize);
  std::unordered_set<NativeString> present;
  for (const SourceItem& item : items) {
    if (!WriteSourceItem(writer.a, item, &buffer)) return 0;
    present.insert(item.key);
  }
  if (readPrevious && !CopyAbsentEntries(writer.a, previous, present, &buffer)) return 0;
  return archive_write_close(writer.a) == ARCHIVE_OK;
}
