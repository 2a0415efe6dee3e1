#include "folder_listing.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bounded_text.h"
#include "scoped_find.h"
#include "drive_table.h"

namespace {

// SHA-256, small and self-contained: the listing is hashed in this process, without
// loading a cryptographic provider for it.
class Sha256 {
 public:
  Sha256() { Reset(); }
  void Add(const unsigned char* data, size_t size) {
    total += size;
    while (size > 0) {
      size_t take = std::min(size, sizeof block - used);
      memcpy(block + used, data, take);
      used += take;
      data += take;
      size -= take;
      if (used == sizeof block) {
        Compress(block);
        used = 0;
      }
    }
  }
  void Finish(unsigned char (&digest)[32]) {
    uint64_t bits = total * 8;
    unsigned char pad = 0x80;
    Add(&pad, 1);
    pad = 0;
    while (used != 56) Add(&pad, 1);
    unsigned char length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<unsigned char>(bits >> (56 - 8 * i));
    Add(length, 8);
    for (int i = 0; i < 32; ++i) {
      digest[i] = static_cast<unsigned char>(state[i / 4] >> (24 - 8 * (i % 4)));
    }
  }

 private:
  static uint32_t Rotate(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }
  void Reset() {
    static const uint32_t initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(state, initial, sizeof state);
    used = 0;
    total = 0;
  }
  void Compress(const unsigned char* p) {
    static const uint32_t k[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4,
        0xab1c5ed5, 0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe,
        0x9bdc06a7, 0xc19bf174, 0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f,
        0x4a7484aa, 0x5cb0a9dc, 0x76f988da, 0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7,
        0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967, 0x27b70a85, 0x2e1b2138, 0x4d2c6dfc,
        0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85, 0xa2bfe8a1, 0xa81a664b,
        0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070, 0x19a4c116,
        0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7,
        0xc67178f2};
    uint32_t w[64];
    for (int i = 0; i < 16; ++i) {
      w[i] = (uint32_t(p[4 * i]) << 24) | (uint32_t(p[4 * i + 1]) << 16) |
             (uint32_t(p[4 * i + 2]) << 8) | p[4 * i + 3];
    }
    for (int i = 16; i < 64; ++i) {
      uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
      uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
      w[i] = w[i - 16] + s0 + w[i - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int i = 0; i < 64; ++i) {
      uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) + ((e & f) ^ (~e & g)) +
                    k[i] + w[i];
      uint32_t t2 = (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
  }

  uint32_t state[8];
  unsigned char block[64];
  size_t used;
  uint64_t total;
};

struct Entry {
  std::string name;
  DWORD attributes;
  DWORD sizeHigh;
  DWORD sizeLow;
  FILETIME written;
  FILETIME created;
};

void Add(Sha256& sink, const void* bytes, size_t size) {
  sink.Add(static_cast<const unsigned char*>(bytes), size);
}

// One folder's entries sorted by name, so that the listing does not depend on the order
// the file system returns them in.
int ReadEntries(const char* folder, std::vector<Entry>* entries) {
  char pattern[PathSize];
  if (!FormatBounded(pattern, sizeof pattern, "%s\\*", folder)) return 0;
  WIN32_FIND_DATAA data;
  ScopedFind find(pattern, &data);
  if (find.handle == INVALID_HANDLE_VALUE) return 0;
  do {
    if (IsDotEntry(data.cFileName)) continue;
    entries->push_back(Entry{data.cFileName, data.dwFileAttributes, data.nFileSizeHigh,
                             data.nFileSizeLow, data.ftLastWriteTime, data.ftCreationTime});
  } while (FindNextFileA(find.handle, &data));
  // A walk cut short would look like deleted files.
  if (GetLastError() != ERROR_NO_MORE_FILES) return 0;
  std::sort(entries->begin(), entries->end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return 1;
}

// Each record: the relative path and its terminating NUL, then fixed-size fields; the NUL
// keeps a name from running into the next record's fields.
int ListFolder(const char* folder, const char* relative, Sha256& sink) {
  std::vector<Entry> entries;
  if (!ReadEntries(folder, &entries)) return 0;
  for (const Entry& entry : entries) {
    char path[PathSize];
    char childRelative[PathSize];
    if (!FormatBounded(path, sizeof path, "%s\\%s", folder, entry.name.c_str())) return 0;
    if (relative[0] == '\0') {
      if (!CopyBounded(childRelative, sizeof childRelative, entry.name.c_str())) return 0;
    } else if (!FormatBounded(childRelative, sizeof childRelative, "%s\\%s", relative,
                              entry.name.c_str())) {
      return 0;
    }
    Add(sink, childRelative, strlen(childRelative) + 1);
    Add(sink, &entry.attributes, sizeof entry.attributes);
    Add(sink, &entry.sizeHigh, sizeof entry.sizeHigh);
    Add(sink, &entry.sizeLow, sizeof entry.sizeLow);
    Add(sink, &entry.written, sizeof entry.written);
    Add(sink, &entry.created, sizeof entry.created);
    bool folderEntry = entry.attributes & FILE_ATTRIBUTE_DIRECTORY;
    // A junction points outside the drive folder; packing does not enter it either.
    bool reparse = entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT;
    if (folderEntry && !reparse && !ListFolder(path, childRelative, sink)) return 0;
  }
  return 1;
}

}  // namespace

int TakeFolderListing(const char* folder, FolderListing* listing) {
  listing->taken = 0;
  Sha256 sink;
  if (!ListFolder(folder, "", sink)) return 0;
  sink.Finish(listing->digest);
  listing->taken = 1;
  return 1;
}

int SameFolderListing(const FolderListing& first, const FolderListing& second) {
  return first.taken && second.taken &&
         memcmp(first.digest, second.digest, sizeof first.digest) == 0;
}
