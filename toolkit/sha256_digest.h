// A SHA-256 digest through the system's own cryptographic provider: one hash object,
// released with the wrapper.
#pragma once

#include <windows.h>
#include <wincrypt.h>

#include <cstddef>

class Sha256Digest {
 public:
  HCRYPTPROV provider = 0;
  HCRYPTHASH hash = 0;

  Sha256Digest();  // a hash is ready only when both handles were had
  ~Sha256Digest();
  Sha256Digest(const Sha256Digest&) = delete;
  Sha256Digest& operator=(const Sha256Digest&) = delete;

  int Add(const void* bytes, size_t size);
  // The digest of everything added; 0 when the hash failed at any step.
  int Finish(unsigned char (&digest)[32]);

 private:
  int failed = 0;
};
