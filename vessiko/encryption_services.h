// What each platform file gives the core to encrypt with: the system's random bytes,
// PBKDF2-HMAC-SHA1, AES blocks and HMAC-SHA1. On Windows that is CNG (bcrypt.dll); the Linux
// build has none, its every call fails, and an encrypted archive is not written there.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The algorithms of one pack, opened once: opening them costs more than an entry's use.
struct CryptoProvider {
  intptr_t aes = 0;   // the platform's AES (ECB) algorithm; 0 when not open
  intptr_t hmac = 0;  // its HMAC-SHA1 algorithm
  CryptoProvider() = default;
  CryptoProvider(const CryptoProvider&) = delete;
  CryptoProvider& operator=(const CryptoProvider&) = delete;
  ~CryptoProvider();
  int Open();
  // Bytes from the system's random number generator.
  int Random(unsigned char* bytes, size_t size) const;
  int DerivePbkdf2(const std::string& password, const unsigned char* salt, size_t saltSize,
                   uint32_t iterations, unsigned char* key, size_t keySize) const;
};

// An AES key that encrypts whole blocks on their own (ECB), from which a counter mode is made.
struct AesKey {
  intptr_t handle = 0;
  AesKey() = default;
  AesKey(const AesKey&) = delete;
  AesKey& operator=(const AesKey&) = delete;
  ~AesKey();
  int Set(const CryptoProvider& provider, const unsigned char* secret, size_t size);
  // size is a multiple of 16; in and out do not overlap.
  int EncryptBlocks(const unsigned char* in, unsigned char* out, size_t size);
};

// An HMAC-SHA1 computed over data given piece by piece.
struct HmacSha1 {
  intptr_t handle = 0;
  HmacSha1() = default;
  HmacSha1(const HmacSha1&) = delete;
  HmacSha1& operator=(const HmacSha1&) = delete;
  ~HmacSha1();
  int Start(const CryptoProvider& provider, const unsigned char* key, size_t size);
  int Add(const unsigned char* data, size_t size);
  int Finish(unsigned char digest[20]);
};
