// Encrypting ZIP entries: the traditional PKWARE cipher by hand (it is three CRC-32 registers
// and a multiplication), and WinZip AES-256 in counter mode with its HMAC-SHA1 on the
// platform's cryptography.
#include "zip/zip_encryption.h"

#include <zlib.h>

#include <algorithm>

#include "zip/zip_format.h"

namespace {

// Key stream is made this many blocks at a time at most, and no more than the data needs.
constexpr size_t StreamBlocks = 256;
constexpr size_t AesBlock = 16;

uint32_t CrcStep(uint32_t crc, unsigned char byte) {
  return static_cast<uint32_t>(get_crc_table()[(crc ^ byte) & 0xFF]) ^ (crc >> 8);
}

// Key material in a way the compiler may not leave out.
void Wipe(unsigned char* bytes, size_t size) {
  volatile unsigned char* p = bytes;
  for (size_t i = 0; i < size; ++i) p[i] = 0;
}

}  // namespace

void ZipCryptoKeys::Start(const std::string& password) {
  std::copy(std::begin(ZipCryptoKeyInit), std::end(ZipCryptoKeyInit), keys);
  for (char c : password) Update(static_cast<unsigned char>(c));
}

void ZipCryptoKeys::Update(unsigned char plain) {
  keys[0] = CrcStep(keys[0], plain);
  keys[1] = (keys[1] + (keys[0] & 0xFF)) * 134775813u + 1;
  keys[2] = CrcStep(keys[2], static_cast<unsigned char>(keys[1] >> 24));
}

unsigned char ZipCryptoKeys::Encrypt(unsigned char plain) {
  uint32_t t = (keys[2] | 2) & 0xFFFF;
  unsigned char encrypted = static_cast<unsigned char>(plain ^ ((t * (t ^ 1)) >> 8));
  Update(plain);
  return encrypted;
}

int ZipEncryption::Start(ZipCipher method, const std::string* text) {
  cipher = method;
  password = text;
  return cipher == ZipCipher::None || (password != nullptr && crypto.Open());
}

int EntryEncryption::Begin(const ZipEncryption& encryption, unsigned char check) {
  cipher = encryption.cipher;
  header.clear();
  if (cipher == ZipCipher::Traditional) {
    header.resize(ZipCryptoHeaderSize);
    if (!encryption.crypto.Random(header.data(), header.size())) return 0;
    header.back() = check;
    keys.Start(*encryption.password);
    for (unsigned char& byte : header) byte = keys.Encrypt(byte);
    return 1;
  }
  if (cipher != ZipCipher::Aes) return 1;
  // A fresh salt per entry, as the format expects: each entry has keys of its own.
  unsigned char salt[ZipAes256SaltSize];
  unsigned char derived[2 * ZipAes256KeySize + ZipAesVerifierSize];
  int ready = encryption.crypto.Random(salt, sizeof salt) &&
              encryption.crypto.DerivePbkdf2(*encryption.password, salt, sizeof salt,
                                             ZipAesIterations, derived, sizeof derived) &&
              aes.Set(encryption.crypto, derived, ZipAes256KeySize) &&
              code.Start(encryption.crypto, derived + ZipAes256KeySize, ZipAes256KeySize);
  header.assign(salt, salt + sizeof salt);
  header.insert(header.end(), derived + 2 * ZipAes256KeySize, derived + sizeof derived);
  Wipe(derived, sizeof derived);
  counter = 0;
  stream.clear();
  streamAt = 0;
  return ready;
}

int EntryEncryption::Encrypt(unsigned char* data, size_t size) {
  if (cipher == ZipCipher::Traditional) {
    for (size_t i = 0; i < size; ++i) data[i] = keys.Encrypt(data[i]);
    return 1;
  }
  if (cipher != ZipCipher::Aes) return 1;
  std::vector<unsigned char> counters;
  for (size_t done = 0; done < size;) {
    if (streamAt == stream.size()) {
      // WinZip counts blocks from 1, as a little-endian number.
      size_t blocks = std::min(StreamBlocks, (size - done + AesBlock - 1) / AesBlock);
      counters.assign(blocks * AesBlock, 0);
      for (size_t b = 0; b < blocks; ++b) {
        uint64_t value = ++counter;
        for (size_t i = 0; i < 8; ++i, value >>= 8) {
          counters[b * AesBlock + i] = static_cast<unsigned char>(value);
        }
      }
      stream.resize(counters.size());
      if (!aes.EncryptBlocks(counters.data(), stream.data(), counters.size())) return 0;
      streamAt = 0;
    }
    size_t n = std::min(size - done, stream.size() - streamAt);
    for (size_t i = 0; i < n; ++i) data[done + i] ^= stream[streamAt + i];
    streamAt += n;
    done += n;
  }
  // The code authenticates the encrypted data.
  return code.Add(data, size);
}

int EntryEncryption::End(std::vector<unsigned char>* trailer) {
  trailer->clear();
  if (cipher != ZipCipher::Aes) return 1;
  unsigned char digest[20];
  if (!code.Finish(digest)) return 0;
  trailer->assign(digest, digest + ZipAesCodeSize);
  return 1;
}

size_t EntryEncryption::Overhead() const {
  switch (cipher) {
    case ZipCipher::Traditional: return ZipCryptoHeaderSize;
    case ZipCipher::Aes: return ZipAes256SaltSize + ZipAesVerifierSize + ZipAesCodeSize;
    default: return 0;
  }
}
