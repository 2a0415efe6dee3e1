// Entry names: how the bytes an archive holds become native names, and which names may be
// extracted at all. Everything an archive names passes through SplitEntryName before a file
// is written, so this is where an archive is kept inside its folder.
#include <type_traits>

#include "entry_names.h"
#include "platform_services.h"

namespace {

// Windows creates no path component longer than this.
constexpr size_t LongestComponent = 255;

const char* const ReservedDeviceNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};

bool IsAscii(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// Entry names as native strings. Where a format does not say how its names are encoded
// (tar without pax names, cpio, LZH, ...), they are the bytes of the system that made the
// archive: UTF-8 on today's Linux and macOS, the code page on Windows. Bytes that are
// strict UTF-8 are read as UTF-8; anything else in the code page. Read in the code page,
// a Linux tar's names would be garbled, and packing would store them garbled for good.
struct WideNames {
  // Decomposed names (macOS writes them: か + U+3099 for が) are composed, as Windows
  // names are and as the user types them.
  static bool Pick(const wchar_t* decoded, const char* bytes, std::wstring* name) {
    if (bytes == nullptr || !DecodeUtf8(bytes, name)) {
      if (decoded == nullptr) return false;
      *name = decoded;
    }
    return ComposeName(name);
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
  for (const char* name : ReservedDeviceNames) {
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

}  // namespace

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

bool EntryPathName(archive_entry* entry, bool guessUtf8, NativeString* name) {
  return Names::Path(entry, guessUtf8, name);
}

bool EntryHardlinkName(archive_entry* entry, bool guessUtf8, NativeString* name) {
  return Names::Hardlink(entry, guessUtf8, name);
}

void SetEntryPathName(archive_entry* entry, const NativeString& name) {
  Names::SetPath(entry, name.c_str());
}

unsigned CodeOf(NativeChar c) { return static_cast<std::make_unsigned_t<NativeChar>>(c); }

bool IsSeparator(NativeChar c) { return c == '/' || c == '\\'; }

NativeString WithSeparator(const NativeString& folder) {
  NativeString path = folder;
  if (!path.empty() && !IsSeparator(path.back())) path += Separator;
  return path;
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

// '\' separates like '/': archives made on Windows use it, and so do attacks.
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

NativeString PresenceKey(const std::vector<NativeString>& components) {
  return FoldCase(JoinComponents(components, components.size(), '/'));
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

bool SplitEntryPath(archive* a, archive_entry* entry, std::vector<NativeString>* components) {
  NativeString name;
  return EntryPathName(entry, NamesMayBeUtf8Bytes(a), &name) &&
         SplitEntryName(name, components) && !components->empty();
}
