// A small ZIP writer for entries compressed ahead of time. libarchive's writer compresses
// each entry while it writes it, one after the other; packing many small files spends
// nearly all its time there, so the core compresses entries on several threads and this
// writer puts the results in order: local headers, data and the central directory, ZIP64
// where sizes or offsets need it.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <zlib.h>

#include "vessiko_core.h"
#include "zip/zip_encryption.h"

// How much the writer buffers before the file, and deflates at a time when streaming.
constexpr size_t ZipChunkSize = 256 * 1024;

// What the headers say about an entry besides its data.
struct ZipItem {
  std::string name;  // without the '/' a folder gets
  int utf8 = 0;      // the name is UTF-8 with characters outside ASCII: flag it
  int folder = 0;
  uint32_t mode = 0;  // Unix type and permissions
  int64_t seconds = 0;
  int timed = 0;  // the modification time is known
};

// Raw deflate at level 6, the ratio of Info-ZIP's default.
struct Deflater {
  z_stream stream = {};
  int ready = 0;
  Deflater();
  ~Deflater();
  Deflater(const Deflater&) = delete;
  Deflater& operator=(const Deflater&) = delete;
};

// A whole entry compressed in memory: deflated, or stored when deflate gains nothing.
struct PreparedData {
  std::vector<unsigned char> bytes;
  uint32_t crc = 0;
  uint64_t size = 0;  // uncompressed
  int method = 0;     // 0 stored, 8 deflated
};

// Compresses data of size bytes into prepared; 0 when zlib fails.
int PrepareData(Deflater* deflater, const char* data, size_t size, PreparedData* prepared);

struct ZipCentralRecord {
  ZipItem item;
  uint32_t crc = 0;
  uint64_t compressed = 0;
  uint64_t size = 0;
  uint64_t offset = 0;
  int method = 0;
  uint16_t dosTime = 0;
  uint16_t dosDate = 0;
  uint16_t flags = 0;  // encryption and data descriptor; the UTF-8 flag comes from the item
  int aes = 0;  // WinZip AES: method 99 in the headers, the real one in the 0x9901 field
  // The central record of an entry copied from another archive, as it is written.
  std::vector<unsigned char> copied;
};

// The old archive an update copies entries from, read forward and sought only where the
// entries it copies are not next to each other.
struct ZipCopySource {
  std::vector<char> inBuffer = std::vector<char>(ZipChunkSize);
  std::ifstream in;
  uint64_t position = 0;
  int Open(const NativeString& path);
};

struct ZipWriter {
  std::vector<char> outBuffer = std::vector<char>(ZipChunkSize);  // pending bytes first
  size_t pending = 0;
  std::ofstream out;
  uint64_t position = 0;
  std::vector<ZipCentralRecord> records;
  // The pack's encryption, or null: everything in the clear. Borrowed.
  const ZipEncryption* encryption = nullptr;
  EntryEncryption entryCipher;  // of the entry being written
  std::vector<unsigned char> cipherChunk;
  // The entry being streamed.
  Deflater* streamDeflater = nullptr;
  ZipCentralRecord streaming;
  int streamZip64 = 0;
  std::vector<unsigned char> streamChunk;

  int Open(const NativeString& path);
  // A folder, or an entry whose data was prepared in memory.
  int AddFolder(const ZipItem& item);
  int AddPrepared(const ZipItem& item, const PreparedData& data);
  // An entry compressed while it is written, for data too large to hold in memory or of a
  // size not known beforehand. expectedSize is -1 when unknown.
  int BeginStreamed(const ZipItem& item, int64_t expectedSize, Deflater* deflater);
  int StreamData(const char* data, size_t size);
  int EndStreamed();
  // An entry of another archive copied as it is: length bytes of its local record from
  // offset, and its central record with the offset it has here (the position now).
  int AddCopied(ZipCopySource* source, uint64_t offset, uint64_t length,
                std::vector<unsigned char> central);
  // Writes the central directory and closes the file; 0 when anything failed.
  int Close();

  int Write(const void* data, size_t size);
  int Flush();
  // Every entry with data of an encrypted pack is encrypted (folders have none and stay as
  // they are). check: the byte a traditional header ends with.
  int StartEncryption(ZipCentralRecord* record, unsigned char check);
  // An entry's compressed data, encrypted where the entry is.
  int WriteEntryData(const unsigned char* data, size_t size);
  // What follows the data of an encrypted entry. Entry and trailer count in the compressed
  // size as the cipher's overhead.
  int EndEncryption();
  int WriteCentralDirectory();
  int WriteLocalHeader(const ZipCentralRecord& record, int zip64);
};
