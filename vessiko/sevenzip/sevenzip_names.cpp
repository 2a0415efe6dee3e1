// Names and times as 7z stores them: UTF-16 names with '/' between components, and times in
// 100-nanosecond ticks since 1601.
#include <algorithm>

#include "entry_names.h"
#include "platform_services.h"
#include "sevenzip/sevenzip_archive.h"
#include "sevenzip/sevenzip_format.h"

uint64_t SevenZipTime(int64_t seconds, int32_t nanoseconds) {
  uint64_t ticks = 0;
  return TicksSince1601(seconds, nanoseconds, &ticks) ? ticks : 0;
}

namespace {

// Native names to wide text and back: UTF-16 on Windows; elsewhere the native names are
// UTF-8 and wide text is UTF-32.
[[maybe_unused]] bool WideOf(const std::wstring& native, std::wstring* wide) {
  *wide = native;
  return true;
}
[[maybe_unused]] bool WideOf(const std::string& native, std::wstring* wide) {
  if (std::all_of(native.begin(), native.end(), [](char c) { return CodeOf(c) < 0x80; })) {
    wide->assign(native.begin(), native.end());
    return true;
  }
  return DecodeUtf8(native.c_str(), wide);
}
[[maybe_unused]] bool NativeOf(const std::wstring& wide, std::wstring* native) {
  *native = wide;
  return ComposeName(native);
}
[[maybe_unused]] bool NativeOf(const std::wstring& wide, std::string* native) {
  return EncodeUtf8(wide.c_str(), native);
}

}  // namespace

void AppendUtf16(const wchar_t* wide, std::u16string* stored) {
  for (; *wide != L'\0'; ++wide) {
    uint32_t code = static_cast<uint32_t>(*wide);
    if (code >= 0x10000) {
      code -= 0x10000;
      stored->push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      stored->push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      stored->push_back(static_cast<char16_t>(code));
    }
  }
}

bool StoredSevenZipName(const NativeString& relative, std::u16string* stored) {
  stored->clear();
  std::wstring wide;
  if (!WideOf(relative, &wide)) return false;
  AppendUtf16(wide.c_str(), stored);
  return true;
}

bool NativeSevenZipName(const std::u16string& stored, NativeString* name) {
  std::wstring wide;
  for (size_t i = 0; i < stored.size(); ++i) {
    uint32_t unit = stored[i];
    // A wide character of 32 bits takes a pair of surrogates as one.
    if (sizeof(wchar_t) == 4 && unit >= 0xD800 && unit < 0xDC00 && i + 1 < stored.size() &&
        stored[i + 1] >= 0xDC00 && stored[i + 1] < 0xE000) {
      unit = 0x10000 + ((unit - 0xD800) << 10) + (stored[++i] - 0xDC00);
    }
    if (unit == 0) return false;
    wide.push_back(static_cast<wchar_t>(unit));
  }
  return NativeOf(wide, name);
}
