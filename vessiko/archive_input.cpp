// Archive input: the format table, opening an archive for reading, and telling what an
// archive is by its content.
#include <fstream>

#include "archive_input.h"
#include "call_report.h"
#include "platform_services.h"
#include "sevenzip/sevenzip_format.h"
#include "zip/zip_directory.h"
#include "zip/zip_format.h"

namespace {

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

int StartsWith(const NativeString& path, const char* signature, size_t length) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  char head[8] = {};
  if (length > sizeof head || !in.read(head, static_cast<std::streamsize>(length))) return 0;
  return std::char_traits<char>::compare(head, signature, length) == 0;
}

std::string& Password() {
  static std::string password;
  return password;
}

// Overwritten in a way the compiler may not leave out.
void Wipe(std::string* text) {
  volatile char* p = &(*text)[0];
  for (size_t i = 0; i < text->size(); ++i) p[i] = 0;
  text->clear();
}

}  // namespace

void SetArchivePassword(const char* password) {
  Wipe(&Password());
  if (password != nullptr) Password() = password;
}

bool HavePassword() { return !Password().empty(); }

const std::string& ArchivePassword() { return Password(); }

int OpenReader(ReaderHandle* reader, const NativeString& path) {
  if (reader->object == nullptr) return 0;
  SupportReading(reader->object);
  if (HavePassword() &&
      archive_read_add_passphrase(reader->object, Password().c_str()) != ARCHIVE_OK) {
    return 0;
  }
  // Otherwise ZIP names without the UTF-8 flag are read in the code page.
  if (UnflaggedZipNamesAreUtf8(path) &&
      archive_read_set_format_option(reader->object, "zip", "hdrcharset", "UTF-8") !=
          ARCHIVE_OK) {
    return 0;
  }
  return OpenForReading(reader->object, path.c_str()) == ARCHIVE_OK;
}

int OpenWriter(WriterHandle* writer, const NativeString& path) {
  return writer->object != nullptr && OpenForWriting(writer->object, path.c_str()) == ARCHIVE_OK;
}

FormatMask WritableFormatMask() { return (1u << WritableFormatCount) - 1; }

const char* FormatDisplayName(int index) {
  if (index < 0 || index >= FormatIndexLimit) return "";
  return DisplayNames[index];
}

int DecodePacKind(ArchiveKind kind, PacRequest* request) {
  *request = PacRequest();
  uint32_t modes = kind & (ExtractBit | PackBit);
  if (modes == ExtractBit) {
    uint32_t bits = kind & ~ExtractBit;
    for (int i = 0; i < FormatIndexLimit - 1; ++i) {
      if (bits == (1u << (i + 1)) && FormatDisplayName(i)[0] != '\0') {
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

int ClassifyArchive(archive* a, const NativeString& path) {
  int filters = archive_filter_count(a);
  int compression = filters == 1 ? ARCHIVE_FILTER_NONE : -1;
  if (filters == 2) compression = archive_filter_code(a, 0);
  switch (archive_format(a) & ARCHIVE_FORMAT_BASE_MASK) {
    case ARCHIVE_FORMAT_ZIP:
      if (compression != ARCHIVE_FILTER_NONE) return FormatOther;
      return StartsWith(path, ZipRecordMarker, sizeof ZipRecordMarker) ? FormatZip
                                                                       : FormatSelfExtracting;
    case ARCHIVE_FORMAT_7ZIP:
      if (compression != ARCHIVE_FILTER_NONE) return FormatOther;
      return StartsWith(path, SevenZipSignature, sizeof SevenZipSignature) ? FormatSevenZip
                                                                          : FormatSelfExtracting;
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

bool IsArchiveFile(const NativeString& path) {
  if (path.empty()) return false;
  PathKind kind = ProbePath(path);
  return kind == PathKind::File || kind == PathKind::Link;
}

int OpenArchive(ReaderHandle* reader, const NativeString& path) {
  if (!IsArchiveFile(path)) {
    NoteFailure(!path.empty() && ProbePath(path) == PathKind::Missing ? ReasonArchiveMissing
                                                                      : ReasonNotAnArchive);
    return 0;
  }
  if (OpenReader(reader, path)) return 1;
  // A file that cannot even be opened is held by another program (or kept from us).
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  NoteFailure(in ? ReasonNotAnArchive : ReasonArchiveInUse);
  return 0;
}

bool InspectArchive(archive* reader, const NativeString& path, Inspection* inspection) {
  *inspection = Inspection();
  switch (archive_format(reader) & ARCHIVE_FORMAT_BASE_MASK) {
    case ARCHIVE_FORMAT_ZIP: return InspectZip(path, inspection);
    case ARCHIVE_FORMAT_7ZIP: return InspectSevenZip(path, inspection);
    default:
      // libarchive cannot read the first header of a 7z whose names are encrypted.
      return StartsWith(path, SevenZipSignature, sizeof SevenZipSignature) &&
             InspectSevenZip(path, inspection);
  }
}

bool Refused(const NativeString& path, const Inspection& inspection) {
  if (inspection.refusal != ReasonNone) {
    NoteFailure(inspection.refusal, inspection.subject);
    return true;
  }
  if (inspection.encrypted && !PasswordOpens(path)) {
    NoteFailure(ReasonWrongPassword);
    return true;
  }
  return false;
}

ArchiveKind CheckArchive(const NativeString& archivePath) {
  ReaderHandle reader;
  if (!OpenArchive(&reader, archivePath)) return 0;
  archive_entry* entry = nullptr;
  int status = archive_read_next_header(reader.object, &entry);
  int format = -1;
  if (status == ARCHIVE_OK || status == ARCHIVE_WARN) {
    format = ClassifyArchive(reader.object, archivePath);
  } else if (status == ARCHIVE_EOF) {
    // An archive without entries counts only where a signature says so: a block of zeros
    // would pass for an empty tar.
    format = ClassifyArchive(reader.object, archivePath);
    if (format != FormatZip && format != FormatSevenZip) format = -1;
  }
  Inspection inspection;
  if (InspectArchive(reader.object, archivePath, &inspection)) {
    if (Refused(archivePath, inspection)) return 0;
    NoteArchiveSize(inspection.size);
  }
  if (format < 0) {
    bool marked = StartsWith(archivePath, ZipRecordMarker, sizeof ZipRecordMarker) ||
                   StartsWith(archivePath, SevenZipSignature, sizeof SevenZipSignature);
    NoteFailure(marked ? ReasonDamaged : ReasonNotAnArchive);
    return 0;
  }
  return ExtractionKind(format);
}

bool PasswordOpens(const NativeString& path) {
  // The smallest encrypted file that holds data, found from the headers alone.
  ReaderHandle reader;
  if (!OpenReader(&reader, path)) return false;
  archive_entry* entry = nullptr;
  int64_t smallest = -1, index = 0, chosen = -1;
  for (; archive_read_next_header(reader.object, &entry) >= ARCHIVE_WARN; ++index) {
    int64_t size = archive_entry_size(entry);
    if (archive_entry_is_data_encrypted(entry) && archive_entry_filetype(entry) == AE_IFREG &&
        size > 0 && (smallest < 0 || size < smallest)) {
      smallest = size;
      chosen = index;
    }
  }
  if (chosen < 0) return true;  // nothing to decrypt: nothing can be wrong
  ReaderHandle again;
  if (!OpenReader(&again, path)) return false;
  for (index = 0; index <= chosen; ++index) {
    if (archive_read_next_header(again.object, &entry) < ARCHIVE_WARN) return false;
  }
  std::vector<char> buffer(BlockSize);
  return ReadEntryData(again.object, &buffer, [](const char*, size_t) { return 1; }) == ARCHIVE_OK;
}

int ReadEntryData(archive* reader, std::vector<char>* buffer, const DataSink& sink) {
  for (;;) {
    la_ssize_t n = archive_read_data(reader, buffer->data(), buffer->size());
    if (n == 0) return ARCHIVE_OK;
    if (n < 0) return static_cast<int>(n);
    if (!sink(buffer->data(), static_cast<size_t>(n))) return ARCHIVE_FAILED;
  }
}
