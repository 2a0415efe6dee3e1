#include "sha256_digest.h"

Sha256Digest::Sha256Digest() {
  // A verify-only context needs no key container, so nothing is written to the profile.
  if (!CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT)) {
    provider = 0;
    return;
  }
  if (!CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) hash = 0;
}

Sha256Digest::~Sha256Digest() {
  if (hash != 0) CryptDestroyHash(hash);
  if (provider != 0) CryptReleaseContext(provider, 0);
}

int Sha256Digest::Add(const void* bytes, size_t size) {
  if (hash == 0 || failed) return 0;
  if (!CryptHashData(hash, static_cast<const BYTE*>(bytes), static_cast<DWORD>(size), 0)) {
    failed = 1;
  }
  return !failed;
}

int Sha256Digest::Finish(unsigned char (&digest)[32]) {
  DWORD size = sizeof digest;
  if (hash == 0 || failed) return 0;
  return CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0) && size == sizeof digest;
}
