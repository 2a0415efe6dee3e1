// The ZIP container as the library writes it: local records, data compressed ahead of time
// or while written (and encrypted, over an encrypted archive), entries copied from another
// archive, and the central directory.
#include "zip/zip_writer.h"

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "zip/zip_format.h"

namespace {

// "Version made by": the high byte names the system whose attributes are stored.
constexpr uint32_t MadeOnUnix = 3 * 256;
// A streamed entry near this size may end up past 4 GiB once deflate has had its say (it
// can grow incompressible data a little), so its local header makes room for ZIP64 sizes.
constexpr int64_t StreamZip64Threshold = 0xFF000000LL;

struct Bytes {
  std::vector<unsigned char> b;
  void U16(uint32_t v) {
    b.push_back(static_cast<unsigned char>(v));
    b.push_back(static_cast<unsigned char>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  void U64(uint64_t v) {
    U32(static_cast<uint32_t>(v));
    U32(static_cast<uint32_t>(v >> 32));
  }
  void Text(const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
};

// MS-DOS date and time in local time, as other ZIP writers store them; clamped to the
// years DOS can hold.
void DosTime(int64_t seconds, uint16_t* time, uint16_t* date) {
  std::tm tm = {};
  std::time_t t = static_cast<std::time_t>(seconds);
  bool known = static_cast<int64_t>(t) == seconds;
#ifdef _WIN32
  known = known && localtime_s(&tm, &t) == 0;
#else
  known = known && localtime_r(&t, &tm) != nullptr;
#endif
  if (!known || tm.tm_year < 80) {
    *time = 0;
    *date = (1 << 5) | 1;  // 1980-01-01
    return;
  }
  if (tm.tm_year > 207) {
    *time = (23 << 11) | (59 << 5) | 29;
    *date = static_cast<uint16_t>((127 << 9) | (12 << 5) | 31);
    return;
  }
  *time = static_cast<uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | (tm.tm_sec / 2));
  *date = static_cast<uint16_t>(((tm.tm_year - 80) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

// The extended timestamp holds the modification time in UTC as 32 bits, which readers
// take as signed or unsigned: only times both read alike are stored.
bool HasTimestamp(const ZipItem& item) {
  return item.timed && item.seconds >= 0 && item.seconds <= 0x7FFFFFFF;
}

std::string StoredName(const ZipItem& item) {
  return item.folder ? item.name + "/" : item.name;
}

void StartRecord(const ZipItem& item, uint64_t offset, ZipCentralRecord* r) {
  r->item = item;
  r->offset = offset;
  DosTime(item.seconds, &r->dosTime, &r->dosDate);
}

int VersionNeeded(const ZipCentralRecord& r, int zip64) {
  if (r.aes) return ZipAesVersionNeeded;
  if (zip64) return 45;
  return r.method == ZipDeflated || (r.flags & ZipEncryptedFlag) ? 20 : 10;
}

// The fields the two headers share.
uint32_t HeaderFlags(const ZipCentralRecord& r) {
  return (r.item.utf8 ? ZipUtf8Flag : 0) | r.flags;
}
uint32_t HeaderMethod(const ZipCentralRecord& r) {
  return r.aes ? static_cast<uint32_t>(ZipAesMarker) : static_cast<uint32_t>(r.method);
}
// AE-2 keeps the CRC-32 to itself: its authentication code checks the data.
uint32_t HeaderCrc(const ZipCentralRecord& r) { return r.aes ? 0 : r.crc; }

// A value of a 32-bit field, or the mark that sends a reader to the ZIP64 field.
uint32_t Field32(uint64_t value) {
  return value >= ZipFull32 ? 0xFFFFFFFFu : static_cast<uint32_t>(value);
}

void AddAesField(const ZipCentralRecord& r, Bytes* extra) {
  if (!r.aes) return;
  extra->U16(ZipAesTag);
  extra->U16(ZipAesFieldSize);
  extra->U16(ZipAe2);
  extra->Text("AE");
  extra->b.push_back(ZipAes256);
  extra->U16(static_cast<uint32_t>(r.method));
}

void AddTimestamp(const ZipItem& item, Bytes* extra) {
  if (!HasTimestamp(item)) return;
  extra->U16(ZipTimestampTag);
  extra->U16(5);
  extra->b.push_back(1);  // modification time only
  extra->U32(static_cast<uint32_t>(item.seconds));
}

// The central directory's extra field: the ZIP64 values that do not fit, and the time.
Bytes CentralExtra(const ZipCentralRecord& r, int zip64) {
  Bytes extra;
  if (zip64) {
    Bytes values;
    if (r.size >= ZipFull32) values.U64(r.size);
    if (r.compressed >= ZipFull32) values.U64(r.compressed);
    if (r.offset >= ZipFull32) values.U64(r.offset);
    extra.U16(ZipZip64Tag);
    extra.U16(static_cast<uint32_t>(values.b.size()));
    extra.b.insert(extra.b.end(), values.b.begin(), values.b.end());
  }
  AddAesField(r, &extra);
  AddTimestamp(r.item, &extra);
  return extra;
}

Bytes CentralHeader(const ZipCentralRecord& r) {
  std::string name = StoredName(r.item);
  int zip64 = r.size >= ZipFull32 || r.compressed >= ZipFull32 || r.offset >= ZipFull32;
  Bytes extra = CentralExtra(r, zip64);
  int needed = VersionNeeded(r, zip64);
  Bytes h;
  h.U32(ZipCentralSignature);
  h.U16(MadeOnUnix + needed);  // the external attributes carry the Unix mode
  h.U16(needed);
  h.U16(HeaderFlags(r));
  h.U16(HeaderMethod(r));
  h.U16(r.dosTime);
  h.U16(r.dosDate);
  h.U32(HeaderCrc(r));
  h.U32(Field32(r.compressed));
  h.U32(Field32(r.size));
  h.U16(static_cast<uint32_t>(name.size()));
  h.U16(static_cast<uint32_t>(extra.b.size()));
  h.U16(0);  // comment
  h.U16(0);  // disk
  h.U16(0);  // internal attributes
  h.U32((r.item.mode << 16) | (r.item.folder ? 0x10 : 0));
  h.U32(Field32(r.offset));
  h.Text(name);
  h.b.insert(h.b.end(), extra.b.begin(), extra.b.end());
  return h;
}

// The records after the central directory: ZIP64 ones when a count, size or offset needs
// them, then the classic end record.
Bytes DirectoryEnd(uint64_t count, uint64_t directoryStart, uint64_t directorySize,
                   uint64_t end64Offset) {
  Bytes end;
  if (count >= 0xFFFF || directoryStart >= ZipFull32 || directorySize >= ZipFull32) {
    end.U32(ZipEnd64Signature);
    end.U64(44);
    end.U16(MadeOnUnix + 45);
    end.U16(45);
    end.U32(0);
    end.U32(0);
    end.U64(count);
    end.U64(count);
    end.U64(directorySize);
    end.U64(directoryStart);
    end.U32(ZipEnd64LocatorSignature);
    end.U32(0);
    end.U64(end64Offset);
    end.U32(1);
  }
  uint32_t count16 = count >= 0xFFFF ? 0xFFFF : static_cast<uint32_t>(count);
  end.U32(ZipEndSignature);
  end.U16(0);
  end.U16(0);
  end.U16(count16);
  end.U16(count16);
  end.U32(Field32(directorySize));
  end.U32(Field32(directoryStart));
  end.U16(0);
  return end;
}

}  // namespace

int ZipWriter::Open(const NativeString& path) {
  out.open(std::filesystem::path(path), std::ios::binary | std::ios::trunc);
  position = 0;
  pending = 0;
  return out.is_open() ? 1 : 0;
}

int ZipWriter::Write(const void* data, size_t size) {
  // The stream hands every write of 1 KiB or more to the system at once, which would be a
  // call for each copied entry: small writes are gathered here.
  if (pending + size > outBuffer.size() && !Flush()) return 0;
  if (size >= outBuffer.size()) {
    if (!out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size))) return 0;
  } else if (size > 0) {
    std::copy_n(static_cast<const char*>(data), size, outBuffer.data() + pending);
    pending += size;
  }
  position += size;
  return 1;
}

int ZipWriter::Flush() {
  if (pending > 0 && !out.write(outBuffer.data(), static_cast<std::streamsize>(pending))) return 0;
  pending = 0;
  return 1;
}

int ZipWriter::WriteLocalHeader(const ZipCentralRecord& r, int zip64) {
  std::string name = StoredName(r.item);
  Bytes extra;
  if (zip64) {
    extra.U16(ZipZip64Tag);
    extra.U16(16);
    extra.U64(r.size);
    extra.U64(r.compressed);
  }
  AddAesField(r, &extra);
  AddTimestamp(r.item, &extra);
  Bytes h;
  h.U32(ZipLocalSignature);
  h.U16(VersionNeeded(r, zip64));
  h.U16(HeaderFlags(r));
  h.U16(HeaderMethod(r));
  h.U16(r.dosTime);
  h.U16(r.dosDate);
  h.U32(HeaderCrc(r));
  h.U32(zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(r.compressed));
  h.U32(zip64 ? 0xFFFFFFFFu : static_cast<uint32_t>(r.size));
  h.U16(static_cast<uint32_t>(name.size()));
  h.U16(static_cast<uint32_t>(extra.b.size()));
  h.Text(name);
  h.b.insert(h.b.end(), extra.b.begin(), extra.b.end());
  return Write(h.b.data(), h.b.size());
}

int ZipWriter::AddFolder(const ZipItem& item) {
  ZipCentralRecord r;
  StartRecord(item, position, &r);
  if (!WriteLocalHeader(r, 0)) return 0;
  records.push_back(std::move(r));
  return 1;
}

int ZipWriter::AddPrepared(const ZipItem& item, const PreparedData& data) {
  ZipCentralRecord r;
  StartRecord(item, position, &r);
  r.crc = data.crc;
  r.size = data.size;
  r.method = data.method;
  if (!StartEncryption(&r, static_cast<unsigned char>(data.crc >> 24))) return 0;
  r.compressed = data.bytes.size() + entryCipher.Overhead();
  int zip64 = r.size >= ZipFull32 || r.compressed >= ZipFull32;
  if (!WriteLocalHeader(r, zip64) || !Write(entryCipher.header.data(), entryCipher.header.size()) ||
      !WriteEntryData(data.bytes.data(), data.bytes.size()) || !EndEncryption()) {
    return 0;
  }
  records.push_back(std::move(r));
  return 1;
}

int ZipWriter::BeginStreamed(const ZipItem& item, int64_t expectedSize, Deflater* deflater) {
  if (!deflater->ready || deflateReset(&deflater->stream) != Z_OK) return 0;
  streamDeflater = deflater;
  streaming = ZipCentralRecord();
  StartRecord(item, position, &streaming);
  streaming.method = ZipDeflated;
  streamZip64 = expectedSize < 0 || expectedSize >= StreamZip64Threshold;
  streamChunk.resize(ZipChunkSize);
  // The traditional header ends with a byte of the CRC-32, which is not known before the
  // data: with a data descriptor readers check the DOS time's high byte instead.
  if (encryption != nullptr && encryption->cipher == ZipCipher::Traditional) {
    streaming.flags |= ZipDescriptorFlag;
  }
  return StartEncryption(&streaming, static_cast<unsigned char>(streaming.dosTime >> 8)) &&
         WriteLocalHeader(streaming, streamZip64) &&
         Write(entryCipher.header.data(), entryCipher.header.size());
}

int ZipWriter::StreamData(const char* data, size_t size) {
  z_stream& z = streamDeflater->stream;
  streaming.crc = static_cast<uint32_t>(
      crc32(streaming.crc, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
  streaming.size += size;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  z.avail_in = static_cast<uInt>(size);
  while (z.avail_in > 0) {
    z.next_out = streamChunk.data();
    z.avail_out = static_cast<uInt>(streamChunk.size());
    if (deflate(&z, Z_NO_FLUSH) == Z_STREAM_ERROR) return 0;
    size_t produced = streamChunk.size() - z.avail_out;
    if (!WriteEntryData(streamChunk.data(), produced)) return 0;
    streaming.compressed += produced;
  }
  return 1;
}

int ZipWriter::EndStreamed() {
  z_stream& z = streamDeflater->stream;
  z.next_in = nullptr;
  z.avail_in = 0;
  for (;;) {
    z.next_out = streamChunk.data();
    z.avail_out = static_cast<uInt>(streamChunk.size());
    int status = deflate(&z, Z_FINISH);
    if (status != Z_OK && status != Z_STREAM_END) return 0;
    size_t produced = streamChunk.size() - z.avail_out;
    if (!WriteEntryData(streamChunk.data(), produced)) return 0;
    streaming.compressed += produced;
    if (status == Z_STREAM_END) break;
  }
  if (!EndEncryption()) return 0;
  streaming.compressed += entryCipher.Overhead();
  if (!streamZip64 && (streaming.size >= ZipFull32 || streaming.compressed >= ZipFull32)) return 0;
  if (streaming.flags & ZipDescriptorFlag) {
    Bytes descriptor;
    descriptor.U32(ZipDescriptorSignature);
    descriptor.U32(streaming.crc);
    if (streamZip64) {
      descriptor.U64(streaming.compressed);
      descriptor.U64(streaming.size);
    } else {
      descriptor.U32(static_cast<uint32_t>(streaming.compressed));
      descriptor.U32(static_cast<uint32_t>(streaming.size));
    }
    if (!Write(descriptor.b.data(), descriptor.b.size())) return 0;
  }
  // The sizes and the checksum are known only now: write the local header again over the
  // first one, which has the same length.
  std::streamoff end = static_cast<std::streamoff>(position);
  uint64_t saved = position;
  if (!Flush() || !out.seekp(static_cast<std::streamoff>(streaming.offset)) ||
      !WriteLocalHeader(streaming, streamZip64) || !Flush() || !out.seekp(end)) {
    return 0;
  }
  position = saved;
  records.push_back(std::move(streaming));
  return 1;
}

int ZipWriter::StartEncryption(ZipCentralRecord* record, unsigned char check) {
  entryCipher.cipher = ZipCipher::None;
  entryCipher.header.clear();
  if (encryption == nullptr || encryption->cipher == ZipCipher::None) return 1;
  record->flags |= ZipEncryptedFlag;
  record->aes = encryption->cipher == ZipCipher::Aes;
  return entryCipher.Begin(*encryption, check);
}

int ZipWriter::WriteEntryData(const unsigned char* data, size_t size) {
  if (entryCipher.cipher == ZipCipher::None) return Write(data, size);
  cipherChunk.resize(ZipChunkSize);
  for (size_t done = 0; done < size;) {
    size_t n = std::min(size - done, cipherChunk.size());
    std::copy_n(data + done, n, cipherChunk.data());
    if (!entryCipher.Encrypt(cipherChunk.data(), n) || !Write(cipherChunk.data(), n)) return 0;
    done += n;
  }
  return 1;
}

int ZipWriter::EndEncryption() {
  std::vector<unsigned char> trailer;
  return entryCipher.End(&trailer) && Write(trailer.data(), trailer.size());
}

int ZipCopySource::Open(const NativeString& path) {
  in.rdbuf()->pubsetbuf(inBuffer.data(), static_cast<std::streamsize>(inBuffer.size()));
  in.open(std::filesystem::path(path), std::ios::binary);
  position = 0;
  return in.is_open() ? 1 : 0;
}

int ZipWriter::AddCopied(ZipCopySource* source, uint64_t offset, uint64_t length,
                         std::vector<unsigned char> central) {
  if (offset > source->position && offset - source->position <= ZipChunkSize) {
    // A short step forward, past the record of a folder written anew, say: a seek would
    // throw away the buffered bytes and read them again.
    if (!source->in.ignore(static_cast<std::streamsize>(offset - source->position))) return 0;
  } else if (source->position != offset) {
    source->in.clear();
    if (!source->in.seekg(static_cast<std::streamoff>(offset))) return 0;
  }
  streamChunk.resize(ZipChunkSize);
  for (uint64_t left = length; left > 0;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(left, streamChunk.size()));
    char* chunk = reinterpret_cast<char*>(streamChunk.data());
    if (!source->in.read(chunk, static_cast<std::streamsize>(n)) || !Write(chunk, n)) return 0;
    left -= n;
  }
  source->position = offset + length;
  ZipCentralRecord r;
  r.copied = std::move(central);
  records.push_back(std::move(r));
  return 1;
}

int ZipWriter::WriteCentralDirectory() {
  for (const ZipCentralRecord& r : records) {
    if (!r.copied.empty()) {
      if (!Write(r.copied.data(), r.copied.size())) return 0;
      continue;
    }
    Bytes h = CentralHeader(r);
    if (!Write(h.b.data(), h.b.size())) return 0;
  }
  return 1;
}

int ZipWriter::Close() {
  uint64_t directoryStart = position;
  if (!WriteCentralDirectory()) return 0;
  Bytes end = DirectoryEnd(records.size(), directoryStart, position - directoryStart, position);
  if (!Write(end.b.data(), end.b.size()) || !Flush()) return 0;
  out.close();
  return out.fail() ? 0 : 1;
}
