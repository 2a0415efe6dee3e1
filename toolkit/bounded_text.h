// Bounded formatting for every derived path and text: a result that does not fit is
// refused, never cut short or written past its buffer.
#pragma once

#include <cstddef>

// Formats printf-style into a buffer of the given size, which is zero-filled first (so a
// result that leaves room keeps the double NUL the shell's path lists need). Returns 1
// when the whole text and its terminator fit, 0 otherwise (the buffer then holds an empty
// text).
int FormatBounded(char* buffer, size_t size, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Copies a text into a buffer of the given size; 1 when it fit, 0 (empty buffer) otherwise.
int CopyBounded(char* buffer, size_t size, const char* text);
