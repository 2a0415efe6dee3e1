// The core's cryptography on Linux: none. The library encrypts only on Windows, with the
// system's CNG; this build refuses to write over an encrypted archive instead.
#include "encryption_services.h"

CryptoProvider::~CryptoProvider() = default;
int CryptoProvider::Open() { return 0; }
int CryptoProvider::Random(unsigned char*, size_t) const { return 0; }
int CryptoProvider::DerivePbkdf2(const std::string&, const unsigned char*, size_t, uint32_t,
                                 unsigned char*, size_t) const {
  return 0;
}

AesKey::~AesKey() = default;
int AesKey::Set(const CryptoProvider&, const unsigned char*, size_t) { return 0; }
int AesKey::EncryptBlocks(const unsigned char*, unsigned char*, size_t) { return 0; }

HmacSha1::~HmacSha1() = default;
int HmacSha1::Start(const CryptoProvider&, const unsigned char*, size_t) { return 0; }
int HmacSha1::Add(const unsigned char*, size_t) { return 0; }
int HmacSha1::Finish(unsigned char*) { return 0; }
