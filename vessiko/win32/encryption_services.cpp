// The core's cryptography on Windows: CNG's random numbers, PBKDF2, AES and HMAC-SHA1.
#include <windows.h>

#include <bcrypt.h>

#include "encryption_services.h"

namespace {

bool Succeeded(NTSTATUS status) { return status >= 0; }

BCRYPT_ALG_HANDLE Algorithm(intptr_t handle) { return reinterpret_cast<BCRYPT_ALG_HANDLE>(handle); }

PUCHAR Bytes(const unsigned char* bytes) { return const_cast<PUCHAR>(bytes); }

}  // namespace

CryptoProvider::~CryptoProvider() {
  if (aes != 0) BCryptCloseAlgorithmProvider(Algorithm(aes), 0);
  if (hmac != 0) BCryptCloseAlgorithmProvider(Algorithm(hmac), 0);
}

int CryptoProvider::Open() {
  BCRYPT_ALG_HANDLE opened = nullptr;
  if (!Succeeded(BCryptOpenAlgorithmProvider(&opened, BCRYPT_AES_ALGORITHM, nullptr, 0))) return 0;
  aes = reinterpret_cast<intptr_t>(opened);
  // The mode's name is set with its terminating null.
  const wchar_t mode[] = BCRYPT_CHAIN_MODE_ECB;
  if (!Succeeded(BCryptSetProperty(opened, BCRYPT_CHAINING_MODE,
                                   reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(mode)),
                                   sizeof mode, 0))) {
    return 0;
  }
  opened = nullptr;
  if (!Succeeded(BCryptOpenAlgorithmProvider(&opened, BCRYPT_SHA1_ALGORITHM, nullptr,
                                             BCRYPT_ALG_HANDLE_HMAC_FLAG))) {
    return 0;
  }
  hmac = reinterpret_cast<intptr_t>(opened);
  return 1;
}

int CryptoProvider::Random(unsigned char* bytes, size_t size) const {
  return Succeeded(BCryptGenRandom(nullptr, bytes, static_cast<ULONG>(size),
                                   BCRYPT_USE_SYSTEM_PREFERRED_RNG));
}

int CryptoProvider::DerivePbkdf2(const std::string& password, const unsigned char* salt,
                                 size_t saltSize, uint32_t iterations, unsigned char* key,
                                 size_t keySize) const {
  const unsigned char* text = reinterpret_cast<const unsigned char*>(password.data());
  return hmac != 0 &&
         Succeeded(BCryptDeriveKeyPBKDF2(Algorithm(hmac), Bytes(text),
                                         static_cast<ULONG>(password.size()), Bytes(salt),
                                         static_cast<ULONG>(saltSize), iterations, key,
                                         static_cast<ULONG>(keySize), 0));
}

AesKey::~AesKey() {
  if (handle != 0) BCryptDestroyKey(reinterpret_cast<BCRYPT_KEY_HANDLE>(handle));
}

int AesKey::Set(const CryptoProvider& provider, const unsigned char* secret, size_t size) {
  if (handle != 0) BCryptDestroyKey(reinterpret_cast<BCRYPT_KEY_HANDLE>(handle));
  handle = 0;
  BCRYPT_KEY_HANDLE key = nullptr;
  // Without a buffer of ours CNG keeps the key object itself.
  if (provider.aes == 0 ||
      !Succeeded(BCryptGenerateSymmetricKey(Algorithm(provider.aes), &key, nullptr, 0,
                                            Bytes(secret), static_cast<ULONG>(size), 0))) {
    return 0;
  }
  handle = reinterpret_cast<intptr_t>(key);
  return 1;
}

int AesKey::EncryptBlocks(const unsigned char* in, unsigned char* out, size_t size) {
  ULONG done = 0;
  return handle != 0 &&
         Succeeded(BCryptEncrypt(reinterpret_cast<BCRYPT_KEY_HANDLE>(handle), Bytes(in),
                                 static_cast<ULONG>(size), nullptr, nullptr, 0, out,
                                 static_cast<ULONG>(size), &done, 0)) &&
         done == size;
}

HmacSha1::~HmacSha1() {
  if (handle != 0) BCryptDestroyHash(reinterpret_cast<BCRYPT_HASH_HANDLE>(handle));
}

int HmacSha1::Start(const CryptoProvider& provider, const unsigned char* key, size_t size) {
  if (handle != 0) BCryptDestroyHash(reinterpret_cast<BCRYPT_HASH_HANDLE>(handle));
  handle = 0;
  BCRYPT_HASH_HANDLE hash = nullptr;
  if (provider.hmac == 0 ||
      !Succeeded(BCryptCreateHash(Algorithm(provider.hmac), &hash, nullptr, 0, Bytes(key),
                                  static_cast<ULONG>(size), 0))) {
    return 0;
  }
  handle = reinterpret_cast<intptr_t>(hash);
  return 1;
}

int HmacSha1::Add(const unsigned char* data, size_t size) {
  return handle != 0 &&
         Succeeded(BCryptHashData(reinterpret_cast<BCRYPT_HASH_HANDLE>(handle), Bytes(data),
                                  static_cast<ULONG>(size), 0));
}

int HmacSha1::Finish(unsigned char digest[20]) {
  return handle != 0 &&
         Succeeded(BCryptFinishHash(reinterpret_cast<BCRYPT_HASH_HANDLE>(handle), digest, 20, 0));
}
