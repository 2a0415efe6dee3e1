#include "bounded_text.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int FormatBounded(char* buffer, size_t size, const char* format, ...) {
  if (buffer == nullptr || size == 0) return 0;
  memset(buffer, 0, size);
  va_list args;
  va_start(args, format);
  int n = vsnprintf(buffer, size, format, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    memset(buffer, 0, size);
    return 0;
  }
  return 1;
}

int CopyBounded(char* buffer, size_t size, const char* text) {
  if (buffer == nullptr || size == 0) return 0;
  size_t length = text ? strlen(text) : 0;
  if (length >= size) {
    buffer[0] = '\0';
    return 0;
  }
  memcpy(buffer, text ? text : "", length + 1);
  return 1;
}
