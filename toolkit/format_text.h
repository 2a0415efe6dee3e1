// printf-style formatting into one process-wide buffer, for the short texts the dialogs
// show ("%c:", "%c:の情報").
#pragma once

// The shared buffer: the text of the last FormatText call.
extern char formatTextBuffer[1024];

// Formats into formatTextBuffer and returns it; the text stays valid until the next call.
// Never writes past the buffer: a result longer than 1023 bytes is cut at the buffer's end
// (never inside a double-byte character).
const char* FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
