// 7z archives written by the library itself: the container, its LZMA2 streams, and the reading
// of an old archive's header for an update. libarchive's writer compresses everything into
// one solid stream on one thread, and an update through it compresses everything again. Here
// a block's stream is made of pieces compressed side by side: each piece starts with a fresh
// coder state, its dictionary primed with the data just before it, so the block compresses
// almost as well as one stream would; and an update copies the packed bytes of every piece
// whose files are all unchanged.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include <lzma.h>

#include "vessiko_core.h"

// How much uncompressed data a piece collects before the next one begins. A variable only so
// that the native tools can make small pieces for their checks.
extern uint64_t SevenZipPieceTarget;
// How much of the data before a piece primes its dictionary. Priming costs almost as much time
// a byte as compressing: 4 MiB pack text 8 % faster than 6 MiB and lose 1.5 % more, about 2 %
// against one stream.
inline uint64_t SevenZipPrime() {
  return std::min<uint64_t>(4u << 20, SevenZipPieceTarget / 8 * 3);
}
constexpr uint32_t SevenZipDictionary = 16u * 1024 * 1024;

// What the header says about one item.
struct SevenZipItem {
  std::u16string name;  // UTF-16 as stored, '/' between components
  int hasStream = 0;    // its data is a substream of a block
  int directory = 0;    // an item without a stream is a folder, else an empty file
  uint64_t size = 0;
  int crcDefined = 0;
  uint32_t crc = 0;
  int timed = 0;
  uint64_t mtime = 0;  // 100-nanosecond ticks since 1601-01-01 UTC
  int attributed = 0;
  uint32_t attributes = 0;  // Windows attributes; with 0x8000, a Unix mode in the high half
};

// A block as the header describes it. Its packed streams lie one after the other.
struct SevenZipFolder {
  std::string coders;  // the coder record as stored, from the number of coders on
  std::vector<uint64_t> unpackSizes;  // one per coder output
  std::vector<uint64_t> packSizes;
  uint64_t packOffset = 0;  // where its first packed stream begins in the file
  std::vector<SevenZipItem> items;  // the items whose data it holds, in order
};

// An old archive as far as an update needs it.
struct SevenZipArchive {
  std::vector<SevenZipFolder> folders;
  std::vector<SevenZipItem> empties;  // items without data: folders and empty files
  // Every item in the header's order (the order libarchive reads them in): the folder it
  // belongs to and its index there, or -1 and its index among the empties.
  struct Place {
    int folder;
    size_t index;
  };
  std::vector<Place> order;
};

// Reads the header of a 7z archive. 0 when the file is no 7z or its header holds what this
// reader leaves to libarchive: an encrypted or otherwise coded header, streams outside the
// main ones, external data, anti-items, coders it does not know.
int ReadSevenZipHeader(const NativeString& path, SevenZipArchive* archive);

uint64_t SevenZipTime(int64_t seconds, int32_t nanoseconds);
// The stored name of a native path below the root, and the native form of a stored name.
bool StoredSevenZipName(const NativeString& relative, std::u16string* stored);
bool NativeSevenZipName(const std::u16string& stored, NativeString* name);
// Wide text (UTF-16 on Windows, UTF-32 elsewhere) appended as UTF-16.
void AppendUtf16(const wchar_t* wide, std::u16string* stored);

// Raw LZMA2 at the strength of 7-Zip's default level, with a dictionary no larger than the
// data it is meant for. Positions do not enter the coding (no position bits), so a piece
// decodes the same wherever it lands in a stream. Output accumulates in packed; whoever takes
// it away from there counts it in drained.
struct Lzma2Encoder {
  lzma_stream stream = LZMA_STREAM_INIT;
  lzma_options_lzma options = {};
  std::vector<unsigned char> packed;
  uint64_t drained = 0;
  // prime: the data that comes before in the same stream, or none for a stream's start.
  int Start(uint64_t expectedSize, const std::vector<unsigned char>* prime = nullptr);
  int Feed(const void* data, size_t size);
  int Finish();
  // Finish without the end mark, for a piece that more pieces follow in the same stream.
  int FinishPiece();
  // The coder, sizes and packed size of the block Finish ended.
  void Describe(uint64_t unpackSize, SevenZipFolder* folder) const;
  ~Lzma2Encoder();
  Lzma2Encoder() = default;
  Lzma2Encoder(const Lzma2Encoder&) = delete;
  Lzma2Encoder& operator=(const Lzma2Encoder&) = delete;
};

// The one-byte property 7z stores for an LZMA2 dictionary of at least that size, and the
// dictionary size of such a byte (0 when it is no valid one).
uint8_t Lzma2DictionaryProperty(uint32_t dictionary);
uint32_t Lzma2Dictionary(uint8_t property);

// Where a block's LZMA2 stream can be cut: the chunks that begin with a fresh coder state and
// its settings. unpacked counts from the block's start, packed from its first packed byte.
struct Lzma2Cut {
  uint64_t packed = 0;
  uint64_t unpacked = 0;
  int dictionaryReset = 0;
  int positionFree = 0;  // coded without position bits: decodes the same after a shift
};
// The cuts of a block that is one LZMA2 stream, and where its end mark begins (the block's
// packed size when it has none). 0 when the stream is no well-formed LZMA2.
int ScanLzma2Cuts(std::ifstream* in, const SevenZipFolder& folder, std::vector<Lzma2Cut>* cuts,
                  uint64_t* end);

// Writes a 7z archive: blocks in order, then the header, compressed, and last the start
// header that points to it.
struct SevenZipWriter {
  std::vector<char> outBuffer = std::vector<char>(256 * 1024);
  std::ofstream out;
  uint64_t position = 0;  // from the end of the start header
  std::vector<SevenZipFolder> folders;
  int Open(const NativeString& path);
  int WritePacked(const void* data, size_t size);
  // The block whose packed streams were just written.
  void AddFolder(SevenZipFolder folder);
  // Writes the header naming the empties and then the blocks' items; closes the file.
  int Close(const std::vector<SevenZipItem>& empties);
};
