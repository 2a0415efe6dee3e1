// Entries compressed ahead of the writer, whole and in memory, on the pack's workers.
#include "zip/zip_format.h"
#include "zip/zip_writer.h"

Deflater::Deflater() {
  ready = deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) == Z_OK;
}

Deflater::~Deflater() {
  if (ready) deflateEnd(&stream);
}

int PrepareData(Deflater* deflater, const char* data, size_t size, PreparedData* prepared) {
  prepared->size = size;
  // crc32 takes at most 4 GiB - 1 at a time; entries prepared in memory are far smaller.
  prepared->crc = static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data), static_cast<uInt>(size)));
  if (size == 0) {
    prepared->bytes.clear();
    prepared->method = ZipStored;
    return 1;
  }
  if (!deflater->ready || deflateReset(&deflater->stream) != Z_OK) return 0;
  z_stream& z = deflater->stream;
  prepared->bytes.resize(deflateBound(&z, static_cast<uLong>(size)));
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data));
  z.avail_in = static_cast<uInt>(size);
  z.next_out = prepared->bytes.data();
  z.avail_out = static_cast<uInt>(prepared->bytes.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) return 0;
  size_t compressed = prepared->bytes.size() - z.avail_out;
  if (compressed >= size) {
    prepared->bytes.assign(data, data + size);
    prepared->method = ZipStored;
  } else {
    prepared->bytes.resize(compressed);
    prepared->method = ZipDeflated;
  }
  return 1;
}
