#include "format_text.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

char formatTextBuffer[1024] = {};

namespace {

// Length of the longest prefix of text[0..length) that ends on a character boundary of
// the system code page, so a cut never leaves the lead byte of a double-byte character
// without its trail byte.
size_t WholeCharacters(const char* text, size_t length) {
  size_t i = 0;
  while (i < length) {
    size_t step = IsDBCSLeadByte(static_cast<BYTE>(text[i])) ? 2 : 1;
    if (i + step > length) break;
    i += step;
  }
  return i;
}

}  // namespace

const char* FormatText(const char* format, ...) {
  const size_t size = sizeof formatTextBuffer;
  va_list args;
  va_start(args, format);
  int n = vsnprintf(formatTextBuffer, size, format, args);
  va_end(args);
  // The C library may leave a cut text without its terminator (and report -1), or report
  // the length the whole text would have had.
  if (n < 0 || static_cast<size_t>(n) >= size) {
    formatTextBuffer[size - 1] = '\0';
    formatTextBuffer[WholeCharacters(formatTextBuffer, strlen(formatTextBuffer))] = '\0';
  }
  return formatTextBuffer;
}
