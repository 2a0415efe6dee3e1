// The archive library's core: recognising, extracting and packing archives with libarchive.
// Portable C++ on libarchive and the standard library: paths are the platform's native
// strings (UTF-16 on Windows), and the few file-system services the standard library cannot
// give portably (listings that show links and junctions, folder times) come from the
// platform file, which also holds the exported functions.
#pragma once

#include <cstdint>
#include <string>
#include <filesystem>
#include <vector>

using NativeChar = std::filesystem::path::value_type;
using NativeString = std::filesystem::path::string_type;

// Format indices. The writable formats are bits 0..5 of the format mask; read-only formats
// use 16..27 and are never in it.
constexpr int FormatZip = 0;
constexpr int FormatSevenZip = 1;
constexpr int FormatTar = 2;
constexpr int FormatTarGzip = 3;
constexpr int FormatTarBzip2 = 4;
constexpr int FormatTarXz = 5;
constexpr int WritableFormatCount = 6;
constexpr int FormatLzh = 16;
constexpr int FormatRar = 17;
constexpr int FormatCab = 18;
constexpr int FormatIso9660 = 19;
constexpr int FormatCpio = 20;
constexpr int FormatAr = 21;
constexpr int FormatWarc = 22;
constexpr int FormatTarCompress = 23;
constexpr int FormatTarLzma = 24;
constexpr int FormatTarLzip = 25;
// A ZIP or 7z behind a program stub: packing would drop the stub, so it is only read.
constexpr int FormatSelfExtracting = 26;
// Any other layering libarchive reads (a ZIP inside gzip, a tar compressed twice, ...).
constexpr int FormatOther = 27;
constexpr int FormatIndexLimit = 32;

// The extraction kind of format i is ExtractBit | 1 << (i + 1). Shifted right by one it
// becomes the packing kind PackBit | 1 << i, to which FreshBit may be added: the new archive
// then holds exactly what is under the root.
constexpr uint32_t ExtractBit = 0x80000000u;
constexpr uint32_t PackBit = 0x40000000u;
constexpr uint32_t FreshBit = 0x20000000u;

uint32_t WritableFormatMask();
// The short display name of a format; "" for an index without one.
const char* FormatDisplayName(int index);
// The extraction kind of a format index.
uint32_t ExtractionKind(int index);

struct PacRequest {
  int extract = 0;  // 1: extract the archive into the folder; 0: pack the folder
  int format = -1;  // the format index
  int fresh = 0;    // packing only: leave the old archive's entries out
};

// 1 and the request for an extraction kind of a known format or a packing kind of a
// writable one; 0 for every other kind, both bits 31 and 30 set included.
int DecodePacKind(uint32_t kind, PacRequest* request);

// The extraction kind of the archive, recognised by its content; 0 for an empty path, a
// missing file, a folder, or a file whose first header cannot be read.
uint32_t CheckArchive(const NativeString& archive);

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

// ---- Services of the platform file ----

struct FolderItem {
  NativeString name;
  int folder = 0;
  int link = 0;  // a symbolic link, junction or other reparse point: never followed
  int64_t size = 0;
  int64_t modifiedSeconds = 0;  // since 1970-01-01 UTC
  int32_t modifiedNanoseconds = 0;
};

// Every item of a folder except "." and ".."; 0 when the folder cannot be listed in full.
int ListFolder(const NativeString& folder, std::vector<FolderItem>* items);

enum class PathKind { Missing, File, Folder, Link, Unknown };
// What lies at the path, without following a link; Unknown when it cannot be told.
PathKind ProbePath(const NativeString& path);

int SetModifiedTime(const NativeString& path, int64_t seconds, int32_t nanoseconds);
// Creates a folder; 0 when it cannot, among others when the name is taken.
int MakeFolder(const NativeString& path);

// A file created for writing, never one that was there: Create fails when anything has the
// name (a file, a folder, a link) and then says so. Every file-system call is costly under
// Wine, so the data and the time go through the one handle the file was created with.
struct NewFile {
  intptr_t handle = -1;  // the platform's handle or descriptor; -1 when there is none
  NewFile() = default;
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  ~NewFile() { Close(); }
  int Create(const NativeString& path, bool* exists);
  int Write(const char* data, size_t size);
  int SetModifiedTime(int64_t seconds, int32_t nanoseconds);
  // 0 when the file was not open or closing failed.
  int Close();
};
// Moves a file over an existing one, which it replaces (a read-only one too).
int MoveOver(const NativeString& from, const NativeString& to);
// Composes a name (Unicode normalization form C); false when it cannot be.
bool ComposeName(std::wstring* name);
// A ZIP entry's stored name as libarchive reads it: UTF-8, or else the system code page,
// both leniently (what cannot be decoded becomes a replacement character); where names are
// bytes, the bytes as they are. False when nothing can be made of it.
bool DecodeZipName(const std::string& bytes, bool utf8, NativeString* name);
