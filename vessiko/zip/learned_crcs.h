// The CRC-32s of WinZip AE-2 entries, which store none: learned when the library extracted
// or packed such an entry in this process, so that an update can still tell a file unchanged
// from its entry and copy the entry as it is. Without a record the file counts as changed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vessiko_core.h"

// An AES entry's data begins with a random salt and the password verifier (18 bytes at
// AES-256): with the compressed size they make the entry's stamp. An entry written again, by
// this library or another program, gets another salt, so a record never vouches for bytes
// other than the ones it was learned from, even when the archive was replaced since.
constexpr size_t AesStampBytes = 18;
std::string AesStamp(const unsigned char* data, size_t size, uint64_t compressed);

// What the data of the archive's entry of this name and stamp was; name as extracted, its
// components joined with '/'.
void LearnEntryCrc(const NativeString& archive, const NativeString& name,
                   const std::string& stamp, uint32_t crc);
bool LearnedEntryCrc(const NativeString& archive, const NativeString& name,
                     const std::string& stamp, uint32_t* crc);
