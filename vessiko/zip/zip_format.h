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

// The traditional PKWARE encryption ("ZipCrypto"): a 12-byte header before the data, whose
// last byte readers check against the CRC-32's high byte, or with a data descriptor against
// the DOS time's.
constexpr size_t ZipCryptoHeaderSize = 12;
constexpr uint32_t ZipCryptoKeyInit[3] = {0x12345678, 0x23456789, 0x34567890};

// WinZip AES: the 0x9901 field (vendor version, "AE", strength, the real method); the data is
// the salt, a password verifier, the encrypted data and an authentication code. AE-2 stores
// no CRC-32: the authentication code stands in.
constexpr uint16_t ZipAesFieldSize = 7;
constexpr uint16_t ZipAe1 = 1;
constexpr uint16_t ZipAe2 = 2;
constexpr unsigned char ZipAes256 = 3;
constexpr size_t ZipAes256KeySize = 32;
constexpr size_t ZipAes256SaltSize = 16;
constexpr size_t ZipAesVerifierSize = 2;
constexpr size_t ZipAesCodeSize = 10;
constexpr uint32_t ZipAesIterations = 1000;
constexpr int ZipAesVersionNeeded = 51;
