// The archive library's core: recognising, extracting and packing archives with libarchive
// and the library's own ZIP and 7z writers. Portable C++: paths are the platform's native
// strings (UTF-16 on Windows), and what the standard library cannot give portably comes
// from the platform file (platform_services.h), which on Windows also holds the exports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "archive_protocol.h"

using NativeChar = std::filesystem::path::value_type;
using NativeString = std::filesystem::path::string_type;

// A time in seconds since 1970 (an archive's, which may be anything) as 100-nanosecond ticks
// since 1601, the count Windows and 7z keep; false when it lies before 1601 or beyond what a
// signed 64-bit count holds.
inline bool TicksSince1601(int64_t seconds, int32_t nanoseconds, uint64_t* ticks) {
  constexpr int64_t Epoch = 11644473600LL, PerSecond = 10000000LL;
  constexpr int64_t Latest = (INT64_MAX - PerSecond) / PerSecond - Epoch;
  if (seconds < -Epoch || seconds > Latest) return false;
  int64_t fraction = nanoseconds < 0 ? 0 : (nanoseconds > 999999999 ? 999999999 : nanoseconds);
  *ticks = static_cast<uint64_t>((seconds + Epoch) * PerSecond + fraction / 100);
  return true;
}

FormatMask WritableFormatMask();
// The short display name of a format; "" for an index without one.
const char* FormatDisplayName(int index);

struct PacRequest {
  int extract = 0;  // 1: extract the archive into the folder; 0: pack the folder
  int format = -1;  // the format index
  int fresh = 0;    // packing only: leave the old archive's entries out
};

// 1 and the request for an extraction kind of a known format or a packing kind of a
// writable one; 0 for every other kind, both bits 31 and 30 set included.
int DecodePacKind(ArchiveKind kind, PacRequest* request);

// The extraction kind of the archive, recognised by its content; 0 for an empty path, a
// missing file, a folder, or a file whose first header cannot be read.
ArchiveKind CheckArchive(const NativeString& archive);

// Extracts every safe entry into the folder (created when missing), with folders and
// modification times; existing files are overwritten. Unsafe entries are skipped: absolute,
// drive-qualified and UNC names, ".." components, links, names Windows cannot hold.
// 0 when the archive cannot be read through to its end or an entry cannot be written.
int ExtractArchive(const NativeString& archive, const NativeString& folder);

// Writes a new archive of a writable format into output: everything under root (folders
// included, names relative to it, links and junctions neither stored nor followed) and,
// unless fresh, every entry of the previous archive (when that file exists) whose name is
// not present under root. 0 when anything could not be read or written; the caller then
// discards output.
int WriteArchive(const NativeString& output, const NativeString& previous,
                 const NativeString& root, int format, int fresh);
