// The ZIP format's facts, for the core's ZIP writer and its reader of central directories:
// record signatures, the fixed sizes of records, general-purpose flags and extra-field tags.
#pragma once

#include <cstddef>
#include <cstdint>

// Every record begins with these two bytes; an archive that does not lies behind a stub.
constexpr char ZipRecordMarker[2] = {'P', 'K'};

enum ZipSignature : uint32_t {
  ZipLocalSignature = 0x04034b50,
  ZipDescriptorSignature = 0x08074b50,
  ZipCentralSignature = 0x02014b50,
  ZipEndSignature = 0x06054b50,
  ZipEnd64Signature = 0x06064b50,
  ZipEnd64LocatorSignature = 0x07064b50,
};

// The fixed parts of a local header, a central record and the end record.
constexpr size_t ZipLocalSize = 30;
constexpr size_t ZipCentralSize = 46;
constexpr size_t ZipEndSize = 22;

// General-purpose flags.
constexpr uint16_t ZipEncryptedFlag = 0x0001;
constexpr uint16_t ZipDescriptorFlag = 0x0008;
constexpr uint16_t ZipStrongEncryptionFlag = 0x0040;
constexpr uint16_t ZipUtf8Flag = 0x0800;

// Extra-field tags.
enum ZipExtraTag : uint16_t {
  ZipZip64Tag = 0x0001,
  ZipAesTag = 0x9901,
  ZipTimestampTag = 0x5455,
  ZipUnicodePathTag = 0x7075,
};

// A 32-bit field of this value sends a reader to the ZIP64 field.
constexpr uint64_t ZipFull32 = 0xFFFFFFFFu;

// Compression methods: the ones the library extracts, and the mark of WinZip's AES (the real
// method then stands in the 0x9901 extra field).
constexpr int ZipStored = 0;
constexpr int ZipDeflated = 8;
constexpr int ZipDeflate64 = 9;
constexpr int ZipBzip2 = 12;
constexpr int ZipLzma = 14;
constexpr int ZipXz = 95;
constexpr int ZipPpmd = 98;
constexpr int ZipAesMarker = 99;
