// A 7z archive as the library's writer lays it out and its reader finds it: items, blocks
// (7z calls them folders) and the whole archive; the reading of an old archive's header;
// names and times as 7z stores them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "vessiko_core.h"

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

// A block: packed streams that its coders turn into the data of its items, one after the
// other. Its packed streams lie one after the other in the file.
struct SevenZipBlock {
  std::string coders;  // the coder record as stored, from the number of coders on
  std::vector<uint64_t> unpackSizes;  // one per coder output
  std::vector<uint64_t> packSizes;
  uint64_t packOffset = 0;  // where its first packed stream begins in the file
  std::vector<SevenZipItem> items;  // the items whose data it holds, in order
};

// An old archive as far as an update needs it.
struct SevenZipArchive {
  std::vector<SevenZipBlock> blocks;
  std::vector<SevenZipItem> empties;  // items without data: folders and empty files
  // Every item in the header's order (the order libarchive reads them in): the block it
  // belongs to and its index there, or -1 and its index among the empties.
  struct Place {
    int block;
    size_t index;
  };
  std::vector<Place> order;
};

// Reads the header of a 7z archive. 0 when the file is no 7z or its header holds what this
// reader leaves to libarchive: an encrypted or otherwise coded header, streams outside the
// main ones, external data, anti-items, coders it does not know.
int ReadSevenZipHeader(const NativeString& path, SevenZipArchive* archive);

// A time of the drive's or an old archive's (seconds since 1970) as 7z stores it; times
// before 1601, or too late to count, become 0.
uint64_t SevenZipTime(int64_t seconds, int32_t nanoseconds);
// The stored name of a native path below the root, and the native form of a stored name.
bool StoredSevenZipName(const NativeString& relative, std::u16string* stored);
bool NativeSevenZipName(const std::u16string& stored, NativeString* name);
// Wide text (UTF-16 on Windows, UTF-32 elsewhere) appended as UTF-16.
void AppendUtf16(const wchar_t* wide, std::u16string* stored);
