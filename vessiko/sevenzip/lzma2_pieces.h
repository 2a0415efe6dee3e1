// LZMA2 streams in pieces: an encoder whose output can be cut where a piece ends and joined
// to other pieces, the dictionary sizes 7z stores, and where an old block's stream can be cut.
#pragma once

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <vector>

#include <lzma.h>

#include "sevenzip/sevenzip_archive.h"
#include "worker_pool.h"

// How much uncompressed data a piece collects before the next one begins. A variable only so
// that the native tools can make small pieces for their checks.
extern uint64_t SevenZipPieceTarget;
// How much of the data before a piece primes its dictionary. Priming costs almost as much
// time a byte as compressing (the bench's notes have the figures).
inline uint64_t SevenZipPrime() {
  return std::min<uint64_t>(4u << 20, SevenZipPieceTarget / 8 * 3);
}
constexpr uint32_t SevenZipDictionary = 16u * 1024 * 1024;
// How many encoders compress pieces side by side. One with its 16 MiB dictionary takes a
// lot of memory (the bench's notes have the figure): a 32-bit process runs two.
inline unsigned Lzma2EncoderCount() {
  return sizeof(void*) < 8 ? std::min(WorkerCount(), 2u) : WorkerCount();
}

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
  void Describe(uint64_t unpackSize, SevenZipBlock* block) const;
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
int ScanLzma2Cuts(std::ifstream* in, const SevenZipBlock& block, std::vector<Lzma2Cut>* cuts,
                  uint64_t* end);

// Decodes the packed bytes of an LZMA2 stream from a cut to its end mark, the dictionary primed
// by window, into out (sized to what must come out); 0 unless exactly that much came out.
int DecodeLzma2Piece(const std::vector<unsigned char>& packed, const std::vector<unsigned char>& window,
                     uint32_t dictionary, std::vector<unsigned char>* out);
