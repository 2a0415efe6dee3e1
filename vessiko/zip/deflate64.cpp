// Decoding a ZIP entry's Deflate64 data with zlib's infback9: the compressed bytes read from
// the archive as the decoder asks for them, the output checked against the directory's size
// and CRC.
#include "zip/deflate64.h"

#include <zlib.h>

#include <cstdlib>
#include <memory>

extern "C" {
#include <infback9.h>

// infback9 falls back on zlib's own allocators, which zlib does not export: the dependency
// build names them so, and they are the ones the decoder is always given.
void* infback9_zcalloc(void*, unsigned items, unsigned size) { return calloc(items, size); }
void infback9_zcfree(void*, void* address) { free(address); }
}

namespace {

// Deflate64 reaches back 64 KiB.
constexpr size_t WindowSize = 1u << 16;

struct Source {
  std::ifstream* in;
  std::vector<char>* buffer;
  uint64_t left;
};

unsigned TakeInput(void* context, z_const unsigned char** next) {
  Source* source = static_cast<Source*>(context);
  size_t n = static_cast<size_t>(std::min<uint64_t>(source->left, source->buffer->size()));
  if (n == 0 || !source->in->read(source->buffer->data(), static_cast<std::streamsize>(n))) {
    return 0;
  }
  source->left -= n;
  *next = reinterpret_cast<unsigned char*>(source->buffer->data());
  return static_cast<unsigned>(n);
}

struct Sink {
  const DataSink* sink;
  uLong crc;
  uint64_t size;
};

int TakeOutput(void* context, unsigned char* data, unsigned size) {
  Sink* sink = static_cast<Sink*>(context);
  sink->crc = crc32(sink->crc, data, size);
  sink->size += size;
  // Non-zero stops the decoder.
  return (*sink->sink)(reinterpret_cast<const char*>(data), size) ? 0 : 1;
}

}  // namespace

int ReadDeflate64(std::ifstream* in, const ZipStoredEntry& entry, std::vector<char>* buffer,
                  const DataSink& sink) {
  in->clear();
  if (!in->seekg(static_cast<std::streamoff>(entry.dataOffset))) return 0;
  std::unique_ptr<unsigned char[]> window(new unsigned char[WindowSize]);
  z_stream stream = {};
  stream.zalloc = infback9_zcalloc;
  stream.zfree = infback9_zcfree;
  if (inflateBack9Init(&stream, window.get()) != Z_OK) return 0;
  Source source = {in, buffer, entry.compressed};
  Sink output = {&sink, crc32(0, nullptr, 0), 0};
  int status = inflateBack9(&stream, TakeInput, &source, TakeOutput, &output);
  inflateBack9End(&stream);
  return status == Z_STREAM_END && output.size == entry.size &&
         static_cast<uint32_t>(output.crc) == entry.crc;
}
