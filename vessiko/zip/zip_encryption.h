// ZIP entries encrypted as they are written: the traditional PKWARE cipher, kept here, and
// WinZip's AES (AE-2) on the platform's cryptography. A pack over an encrypted ZIP encrypts
// what it writes with the archive's method and password.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "encryption_services.h"

// How an archive's entries are encrypted; an archive that mixes both counts as AES.
enum class ZipCipher { None, Traditional, Aes };

// The traditional cipher's three keys, stirred with every plain byte.
struct ZipCryptoKeys {
  uint32_t keys[3] = {};
  void Start(const std::string& password);
  void Update(unsigned char plain);
  unsigned char Encrypt(unsigned char plain);
};

// What one pack encrypts with; cipher None writes everything in the clear.
struct ZipEncryption {
  ZipCipher cipher = ZipCipher::None;
  const std::string* password = nullptr;  // the library's; not copied
  CryptoProvider crypto;
  // 0 when the platform cannot encrypt.
  int Start(ZipCipher method, const std::string* text);
};

// One entry's encryption, as the writer puts it around the entry's compressed data.
struct EntryEncryption {
  ZipCipher cipher = ZipCipher::None;  // None: this entry is written in the clear
  // What comes before the data: the traditional header, or the AES salt and verifier.
  std::vector<unsigned char> header;
  ZipCryptoKeys keys;
  AesKey aes;
  HmacSha1 code;
  uint64_t counter = 0;  // the AES counter blocks used
  std::vector<unsigned char> stream;  // key stream not yet used, from streamAt
  size_t streamAt = 0;

  // check: the byte the traditional header ends with.
  int Begin(const ZipEncryption& encryption, unsigned char check);
  // Encrypts in place the next bytes of the entry's data.
  int Encrypt(unsigned char* data, size_t size);
  // What comes after the data: AES's authentication code; nothing for the traditional cipher.
  int End(std::vector<unsigned char>* trailer);
  // The bytes encryption adds to the compressed size.
  size_t Overhead() const;
};
