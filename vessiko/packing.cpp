// Packing: what is under the root written with libarchive's writer (tar) or the library's
// own ZIP and 7z writers, followed by the old archive's absent entries.
#include <algorithm>
#include <fstream>

#include "call_report.h"
#include "entry_names.h"
#include "packing.h"
#include "platform_services.h"
#include "seen_files.h"
#include "zip/zip_directory.h"

namespace {

int ConfigureWriter(archive* a, int format) {
  switch (format) {
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

// A sink that hands data on to the writer's current entry.
DataSink WriterSink(archive* writer) {
  return [writer](const char* data, size_t size) {
    return archive_write_data(writer, data, size) == static_cast<la_ssize_t>(size) ? 1 : 0;
  };
}

int WriteSourceItem(archive* writer, const SourceItem& item, std::vector<char>* buffer) {
  EntryHandle entry;
  if (entry.object == nullptr) return 0;
  SetEntryPathName(entry.object, item.relative);
  archive_entry_set_filetype(entry.object, item.folder ? AE_IFDIR : AE_IFREG);
  archive_entry_set_perm(entry.object, item.folder ? 0755 : 0644);
  archive_entry_set_size(entry.object, item.folder ? 0 : item.size);
  archive_entry_set_mtime(entry.object, item.seconds, item.nanoseconds);
  if (archive_write_header(writer, entry.object) < ARCHIVE_WARN) return 0;
  if (!item.folder && !ReadListedFile(item, buffer, WriterSink(writer))) return 0;
  return archive_write_finish_entry(writer) >= ARCHIVE_WARN;
}

bool HasName(archive_entry* entry) {
  const char* name = archive_entry_pathname(entry);
  const wchar_t* wide = archive_entry_pathname_w(entry);
  return (name != nullptr && name[0] != '\0') || (wide != nullptr && wide[0] != L'\0');
}

// An absent entry copied as it is, header and data.
int CopyEntry(archive* writer, archive* reader, archive_entry* entry, std::vector<char>* buffer) {
  // A writer refuses a nameless entry as fatal, and a fatal writer is freed without its
  // output buffers (libarchive skips the close): fail before it sees the entry.
  if (!HasName(entry)) return 0;
  if (archive_write_header(writer, entry) < ARCHIVE_WARN) return 0;
  if (ReadEntryData(reader, buffer, WriterSink(writer)) != ARCHIVE_OK) return 0;
  return archive_write_finish_entry(writer) >= ARCHIVE_WARN;
}

// tar through libarchive's writer.
int WriteWithLibarchive(const NativeString& output, const std::vector<SourceItem>& items,
                        const NativeString& previous, int format) {
  WriterHandle writer;
  if (writer.object == nullptr || !ConfigureWriter(writer.object, format)) return 0;
  if (!OpenWriter(&writer, output)) return 0;
  std::vector<char> buffer(BlockSize);
  std::unordered_set<NativeString> present;
  for (const SourceItem& item : items) {
    if (!WriteSourceItem(writer.object, item, &buffer)) return 0;
    present.insert(item.key);
  }
  if (!previous.empty() &&
      !ForEachAbsentEntry(previous, present, [&](archive* reader, archive_entry* entry) {
        return CopyEntry(writer.object, reader, entry, &buffer);
      })) {
    return 0;
  }
  return archive_write_close(writer.object) == ARCHIVE_OK;
}

// The old archive whose absent entries are kept: empty when there is none to read (fresh,
// or no archive yet); false when its place cannot be told or holds a folder.
bool PreviousToRead(const NativeString& previous, int fresh, NativeString* toRead) {
  toRead->clear();
  if (fresh || previous.empty()) return true;
  PathKind kind = ProbePath(previous);
  if (kind == PathKind::Unknown || kind == PathKind::Folder) return false;
  if (kind != PathKind::Missing) *toRead = previous;
  return true;
}

// Nothing of an encrypted archive is written back in the clear. An encrypted ZIP is packed
// over, as a ZIP, only with a password that opens it, and what is written anew is encrypted
// with the archive's method (cipher); an encrypted 7z is never packed over. False, with the
// reason noted, when the pack is refused.
bool EncryptionAllowed(const NativeString& previous, int format, ZipCipher* cipher) {
  *cipher = ZipCipher::None;
  if (!IsArchiveFile(previous)) return true;
  Inspection zip, sevenZip;
  if (InspectSevenZip(previous, &sevenZip) && sevenZip.refusal == ReasonPasswordProtected) {
    NoteFailure(ReasonPasswordProtected, previous);
    return false;
  }
  if (!InspectZip(previous, &zip)) return true;
  *cipher = ZipArchiveCipher(previous);
  if (*cipher == ZipCipher::None && zip.refusal != ReasonPasswordProtected) return true;
  // PKWARE's strong encryption no reader here decrypts, and only a ZIP is encrypted.
  if (zip.refusal == ReasonPasswordProtected || format != FormatZip) {
    NoteFailure(ReasonPasswordProtected, previous);
    return false;
  }
  if (!HavePassword() || !PasswordOpens(previous)) {
    NoteFailure(HavePassword() ? ReasonWrongPassword : ReasonPasswordNeeded, previous);
    return false;
  }
  return true;
}

}  // namespace

int ReadListedFile(const SourceItem& item, std::vector<char>* buffer, const DataSink& sink) {
  std::ifstream in(std::filesystem::path(item.path), std::ios::binary);
  if (!in) {
    // Held by another program without sharing, or kept from us.
    NoteFailure(ReasonFileUnreadable, item.path);
    return 0;
  }
  int64_t left = item.size;
  while (left > 0) {
    std::streamsize want = static_cast<std::streamsize>(
        std::min<int64_t>(left, static_cast<int64_t>(buffer->size())));
    if (!in.read(buffer->data(), want)) {
      // Shorter than listed: it changed while it was packed.
      NoteFailure(ReasonFileUnreadable, item.path);
      return 0;
    }
    if (!sink(buffer->data(), static_cast<size_t>(want))) return 0;
    left -= want;
  }
  // Longer than listed: it is being written to.
  if (in.peek() == std::char_traits<char>::eof()) return 1;
  NoteFailure(ReasonFileUnreadable, item.path);
  return 0;
}

int ForEachAbsentEntry(const NativeString& previous,
                       const std::unordered_set<NativeString>& present,
                       const AbsentEntryAction& action) {
  ReaderHandle reader;
  if (!OpenArchive(&reader, previous)) return 0;
  for (;;) {
    archive_entry* entry = nullptr;
    int status = archive_read_next_header(reader.object, &entry);
    if (status == ARCHIVE_EOF) return 1;
    if (status < ARCHIVE_WARN) {
      // The old archive is damaged: its entries could not all be kept.
      NoteFailure(ReasonDamaged, previous);
      return 0;
    }
    std::vector<NativeString> components;
    if (SplitEntryPath(reader.object, entry, &components) &&
        present.count(PresenceKey(components)) != 0) {
      continue;
    }
    if (!action(reader.object, entry)) return 0;
  }
}

int WriteArchive(const NativeString& output, const NativeString& previous,
                 const NativeString& root, int format, int fresh) {
  if (output.empty() || root.empty() || format < 0 || format >= WritableFormatCount) return 0;
  NativeString base = WithSeparator(root);
  PathKind rootKind = ProbePath(base);
  if (rootKind != PathKind::Folder && rootKind != PathKind::Link) {
    NoteFailure(ReasonFileUnreadable, root);
    return 0;
  }

  // The archive and the new file are never packed into themselves.
  std::vector<NativeString> excluded = {FoldCase(output)};
  if (!previous.empty()) excluded.push_back(FoldCase(previous));
  NativeString toRead;
  ZipCipher cipher = ZipCipher::None;
  if (!PreviousToRead(previous, fresh, &toRead) || !EncryptionAllowed(previous, format, &cipher)) {
    return 0;
  }
  ItemCollector collect = [&base, &excluded](std::vector<SourceItem>* items) {
    return CollectItems(base, excluded, items);
  };
  // Looked up before the tree is listed; what this pack sees replaces it once the new archive
  // is complete (a tar learns nothing: it is written whole every time).
  SeenFiles seen(previous);
  int written = 0;
  if (format == FormatZip) {
    // A fresh ZIP holds none of the old entries, but still copies the unchanged ones.
    written = WriteZip(output, collect, fresh && IsArchiveFile(previous) ? previous : toRead,
                       fresh, cipher, &seen);
  } else {
    std::vector<SourceItem> items;
    if (!collect(&items)) return 0;
    if (format == FormatSevenZip) {
      // A fresh archive still copies the old one's unchanged blocks, when it can be read.
      NativeString blocksFrom = toRead;
      if (fresh && !PreviousToRead(previous, 0, &blocksFrom)) blocksFrom.clear();
      written = WriteSevenZip(output, items, blocksFrom, fresh, &seen);
    } else {
      written = WriteWithLibarchive(output, items, toRead, format);
    }
  }
  if (written) seen.Keep(output);
  return written;
}
