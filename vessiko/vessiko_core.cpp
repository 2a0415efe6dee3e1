#include "vessiko_core.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <type_traits>
#include <unordered_set>

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
      for (char c : ".vessiko-" + std::to_string(++siblingCounter) + ".tmp") candidate += c;
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

    // Either form is there when a hard link is set, even one that cannot be decoded.
    bool linked =
        archive_entry_hardlink(entry) != nullptr || archive_entry_hardlink_w(entry) != nullptr;
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
    case FormatZip:
      // Non-ASCII names in UTF-8 with the flag that says so: any code page is read right.
      return archive_write_set_format_zip(a) == ARCHIVE_OK &&
             archive_write_set_options(a, "zip:hdrcharset=UTF-8") == ARCHIVE_OK;
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
  Extraction extraction;
  extraction.base = WithSeparator(folder);
  if (ProbePath(extraction.base) == PathKind::Missing) {
    NativeString trimmed = folder;
    while (trimmed.size() > 1 && IsSeparator(trimmed.back())) trimmed.pop_back();
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(trimmed), error);
  }
  PathKind target = ProbePath(extraction.base);
  if (target != PathKind::Folder && target != PathKind::Link) return 0;

  ReaderHandle reader;
  if (reader.a == nullptr) return 0;
  SupportReading(reader.a);
  if (OpenForReading(reader.a, archivePath.c_str()) != ARCHIVE_OK) return 0;
  extraction.reader = reader.a;

  int result = 1;
  int failedInARow = 0;
  for (;;) {
    archive_entry* entry = nullptr;
    int status = archive_read_next_header(reader.a, &entry);
    if (status == ARCHIVE_EOF) break;
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
    Outcome outcome = extraction.ExtractEntry(entry);
    if (outcome == Outcome::Fatal) {
      result = 0;
      break;
    }
    if (outcome == Outcome::Failed) result = 0;
  }
  extraction.ApplyFolderTimes();
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
