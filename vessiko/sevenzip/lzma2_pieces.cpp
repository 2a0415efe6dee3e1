// LZMA2 streams in pieces: the encoder that compresses a piece, 7z's dictionary bytes, the
// chunks where an old block's stream can be cut, and the decoding of one piece.
#include "sevenzip/lzma2_pieces.h"

#include "sevenzip/sevenzip_format.h"

uint64_t SevenZipPieceTarget = 24u * 1024 * 1024;

namespace {

// 7-Zip's default level.
constexpr int Preset = 5;

}  // namespace

int Lzma2Encoder::Start(uint64_t expectedSize, const std::vector<unsigned char>* prime) {
  if (lzma_lzma_preset(&options, Preset)) return 0;
  options.pb = 0;
  // A dictionary larger than the data costs memory and gains nothing.
  uint64_t wanted = expectedSize + (prime != nullptr ? prime->size() : 0);
  uint64_t dictionary = 4096;
  while (dictionary < wanted && dictionary < SevenZipDictionary) dictionary *= 2;
  options.dict_size = static_cast<uint32_t>(dictionary);
  options.preset_dict = prime != nullptr && !prime->empty() ? prime->data() : nullptr;
  options.preset_dict_size =
      options.preset_dict != nullptr ? static_cast<uint32_t>(prime->size()) : 0;
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  packed.clear();
  drained = 0;
  int started = lzma_raw_encoder(&stream, filters) == LZMA_OK;
  options.preset_dict = nullptr;  // the coder copied what it needs
  options.preset_dict_size = 0;
  return started;
}

int Lzma2Encoder::Feed(const void* data, size_t size) {
  stream.next_in = static_cast<const uint8_t*>(data);
  stream.avail_in = size;
  while (stream.avail_in > 0) {
    size_t used = packed.size();
    packed.resize(used + std::max<size_t>(64 * 1024, size / 2));
    stream.next_out = packed.data() + used;
    stream.avail_out = packed.size() - used;
    lzma_ret ret = lzma_code(&stream, LZMA_RUN);
    packed.resize(packed.size() - stream.avail_out);
    if (ret != LZMA_OK) return 0;
  }
  return 1;
}

int Lzma2Encoder::Finish() {
  stream.next_in = nullptr;
  stream.avail_in = 0;
  for (;;) {
    size_t used = packed.size();
    packed.resize(used + 64 * 1024);
    stream.next_out = packed.data() + used;
    stream.avail_out = packed.size() - used;
    lzma_ret ret = lzma_code(&stream, LZMA_FINISH);
    packed.resize(packed.size() - stream.avail_out);
    if (ret == LZMA_STREAM_END) return 1;
    if (ret != LZMA_OK) return 0;
  }
}

int Lzma2Encoder::FinishPiece() {
  if (!Finish() || packed.empty() || packed.back() != 0) return 0;
  packed.pop_back();
  return 1;
}

uint8_t Lzma2DictionaryProperty(uint32_t dictionary) {
  lzma_options_lzma options = {};
  options.dict_size = std::max<uint32_t>(dictionary, LZMA_DICT_SIZE_MIN);
  lzma_filter filter = {LZMA_FILTER_LZMA2, &options};
  uint8_t property = 40;
  lzma_properties_encode(&filter, &property);
  return property;
}

uint32_t Lzma2Dictionary(uint8_t property) {
  if (property > 40) return 0;
  if (property == 40) return UINT32_MAX;
  return (2u | (property & 1u)) << (property / 2 + 11);
}

void Lzma2Encoder::Describe(uint64_t unpackSize, SevenZipBlock* block) const {
  lzma_filter filter = {LZMA_FILTER_LZMA2, const_cast<lzma_options_lzma*>(&options)};
  uint8_t property = 40;
  lzma_properties_encode(&filter, &property);
  block->coders = SevenZipLzma2Record + static_cast<char>(property);
  block->unpackSizes = {unpackSize};
  block->packSizes = {drained + packed.size()};
}

Lzma2Encoder::~Lzma2Encoder() { lzma_end(&stream); }

int ScanLzma2Cuts(std::ifstream* in, const SevenZipBlock& block, std::vector<Lzma2Cut>* cuts,
                  uint64_t* end) {
  cuts->clear();
  if (block.packSizes.size() != 1 || block.unpackSizes.size() != 1 ||
      block.coders.size() != SevenZipLzma2Record.size() + 1 ||
      block.coders.compare(0, SevenZipLzma2Record.size(), SevenZipLzma2Record) != 0 ||
      Lzma2Dictionary(static_cast<uint8_t>(block.coders[SevenZipLzma2DictionaryAt])) == 0) {
    return 0;
  }
  const uint64_t size = block.packSizes[0];
  uint64_t at = 0, unpacked = 0;
  *end = size;
  // Each chunk starts with a control byte: 0 ends the stream; 1 and 2 begin stored data (1
  // with a fresh dictionary); from 0x80 on, coded data, from 0xC0 on with fresh state and
  // settings (their byte last in the chunk's header), from 0xE0 on with a fresh dictionary.
  while (at < size) {
    unsigned char h[6] = {};
    std::streamsize want = static_cast<std::streamsize>(std::min<uint64_t>(6, size - at));
    in->clear();
    if (!in->seekg(static_cast<std::streamoff>(block.packOffset + at)) ||
        !in->read(reinterpret_cast<char*>(h), want)) {
      return 0;
    }
    unsigned control = h[0];
    if (control == 0) {
      *end = at;
      break;
    }
    uint64_t header = control >= 0xC0 ? 6 : control >= 0x80 ? 5 : 3;
    if ((control > 2 && control < 0x80) || static_cast<uint64_t>(want) < header) return 0;
    uint64_t chunk = (static_cast<uint64_t>(control >= 0x80 ? control & 0x1F : 0) << 16 |
                      h[1] << 8 | h[2]) + 1;
    uint64_t packed = control >= 0x80 ? (h[3] << 8 | h[4]) + 1u : chunk;
    if (control >= 0xC0) {
      Lzma2Cut cut;
      cut.packed = at;
      cut.unpacked = unpacked;
      cut.dictionaryReset = control >= 0xE0;
      cut.positionFree = h[5] < 9;  // (pb * 5 + lp) * 9 + lc: no position bits
      cuts->push_back(cut);
    }
    at += header + packed;
    unpacked += chunk;
  }
  return at <= size && unpacked == block.unpackSizes[0];
}

int DecodeLzma2Piece(const std::vector<unsigned char>& packed, const std::vector<unsigned char>& window,
                     uint32_t dictionary, std::vector<unsigned char>* out) {
  lzma_options_lzma options = {};
  options.dict_size = dictionary;
  options.preset_dict = window.empty() ? nullptr : window.data();
  options.preset_dict_size = static_cast<uint32_t>(window.size());
  lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
  lzma_stream decoder = LZMA_STREAM_INIT;
  if (lzma_raw_decoder(&decoder, filters) != LZMA_OK) return 0;
  decoder.next_in = packed.data();
  decoder.avail_in = packed.size();
  decoder.next_out = out->data();
  decoder.avail_out = out->size();
  lzma_ret ret = lzma_code(&decoder, LZMA_FINISH);
  uint64_t produced = decoder.total_out;
  lzma_end(&decoder);
  return ret == LZMA_STREAM_END && produced == out->size();
}
