// The 7z format's facts, for the library's 7z writer and its reader of old headers: the
// signature and start header, header property ids, coder ids and attribute bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

constexpr char SevenZipSignature[6] = {'7', 'z', '\xBC', '\xAF', '\x27', '\x1C'};
// The start header: signature, version (major 0, minor 4), its CRC, then where the next
// header lies, how long it is, and its CRC. Packed streams begin right after it.
constexpr size_t SevenZipStartHeaderSize = 32;
constexpr unsigned char SevenZipMajorVersion = 0;
constexpr unsigned char SevenZipMinorVersion = 4;

// Header property ids.
enum SevenZipProperty : unsigned char {
  SevenZipEnd = 0x00,
  SevenZipHeader = 0x01,
  SevenZipArchiveProperties = 0x02,
  SevenZipAdditionalStreamsInfo = 0x03,
  SevenZipMainStreamsInfo = 0x04,
  SevenZipFilesInfo = 0x05,
  SevenZipPackInfo = 0x06,
  SevenZipUnpackInfo = 0x07,
  SevenZipSubStreamsInfo = 0x08,
  SevenZipSize = 0x09,
  SevenZipCrc = 0x0A,
  SevenZipBlockRecords = 0x0B,  // 7z calls it "Folder": the coder records of the blocks
  SevenZipCodersUnpackSize = 0x0C,
  SevenZipNumUnpackStream = 0x0D,
  SevenZipEmptyStream = 0x0E,
  SevenZipEmptyFile = 0x0F,
  SevenZipAnti = 0x10,
  SevenZipName = 0x11,
  SevenZipMTime = 0x14,
  SevenZipWinAttributes = 0x15,
  SevenZipEncodedHeader = 0x17,
  SevenZipDummy = 0x19,
};

// Coder ids.
enum SevenZipCoder : uint64_t {
  SevenZipCopyCoder = 0x00, SevenZipDeltaCoder = 0x03, SevenZipLzma2Coder = 0x21,
  SevenZipLzmaCoder = 0x030101, SevenZipPpmdCoder = 0x030401,
  SevenZipX86Coder = 0x03030103, SevenZipBcj2Coder = 0x0303011B, SevenZipArmCoder = 0x03030501,
  SevenZipDeflateCoder = 0x040108, SevenZipBzip2Coder = 0x040202,
  SevenZipAesCoder = 0x06F10701,
};

// A block's coder record with one LZMA2 coder, as the writer stores it: one coder, flags
// "one-byte id with properties", the id, one byte of properties. The dictionary byte follows.
const std::string SevenZipLzma2Record("\x01\x21\x21\x01", 4);
constexpr size_t SevenZipLzma2DictionaryAt = 4;
// Coder flags: the id's length in the low four bits, then these.
constexpr unsigned SevenZipComplexCoder = 0x10;  // its own counts of streams follow
constexpr unsigned SevenZipCoderProperties = 0x20;

// Windows attributes, and the mark that the high half holds a Unix mode.
enum SevenZipAttribute : uint32_t {
  SevenZipReadOnlyAttribute = 0x01, SevenZipFolderAttribute = 0x10,
  SevenZipArchiveAttribute = 0x20, SevenZipUnixExtension = 0x8000,
};

