// The 7z container the library writes: blocks in order, then the header, compressed, and
// last the start header that points to it.
#pragma once

#include <cstdint>
#include <fstream>
#include <vector>

#include "sevenzip/sevenzip_archive.h"

struct Lzma2Encoder;

// How much packed data an encoder holds before it goes to the archive, and how much is
// copied from an old archive at a time.
constexpr size_t SevenZipCopyChunk = 1024 * 1024;

struct SevenZipWriter {
  std::vector<char> outBuffer = std::vector<char>(256 * 1024);
  std::ofstream out;
  uint64_t position = 0;  // from the end of the start header
  std::vector<SevenZipBlock> blocks;
  int Open(const NativeString& path);
  int WritePacked(const void* data, size_t size);
  // Hands the packed bytes an encoder holds to the archive.
  int TakePacked(Lzma2Encoder* encoder);
  // The block whose packed streams were just written.
  void AddBlock(SevenZipBlock block);
  // Writes the header naming the empties and then the blocks' items; closes the file.
  int Close(const std::vector<SevenZipItem>& empties);
};
