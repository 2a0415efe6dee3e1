// The plan of a 7z pack: which files are compressed in which pieces, and, over an old
// archive, which of its pieces and blocks are copied as they are. The writer carries the
// plan out step by step (sevenzip_packing.cpp).
#pragma once

#include <fstream>
#include <unordered_map>
#include <vector>

#include "packing.h"
#include "sevenzip/sevenzip_archive.h"

// What a pack works from: the listing with the names it stores.
struct Listing {
  const std::vector<SourceItem>& items;
  std::vector<std::u16string> names;
};

// A listed item as the new archive's header describes it.
SevenZipItem ItemOf(const SourceItem& source, const std::u16string& name);

// Files compressed as one piece. before: the files that precede it in its block, in order,
// as many as it takes to fill SevenZipPrime() from their end; empty for a block's first piece.
struct Piece {
  std::vector<size_t> files;
  uint64_t bytes = 0;
  std::vector<size_t> before;
};

// The last bytes of the files, at most limit, and each file's CRC.
int ReadTail(const Listing& listing, const std::vector<size_t>& files, uint64_t limit,
             std::vector<char>* buffer, std::vector<unsigned char>* tail,
             std::vector<uint32_t>* crcs);

// One thing the writer does, in order.
struct Step {
  enum Kind { Compress, CopyPiece, CopyBlock, EndBlock } kind = EndBlock;
  size_t piece = 0;               // Compress
  uint64_t from = 0, size = 0;    // copies: where the packed bytes lie in the old archive
  SevenZipBlock block;            // copies: the items as the new archive lists them; for a
                                  // whole block also its coders and sizes
  uint64_t unpacked = 0;          // CopyPiece
  uint32_t dictionary = 0;        // CopyPiece
};

// A stretch of an old block's stream that can be copied or compressed again on its own:
// its items [first, last) and its packed bytes.
struct OldPiece {
  size_t first = 0, last = 0;
  uint64_t packedFrom = 0, packedTo = 0;
  int dictionaryReset = 1;
  int positionFree = 0;
};

// How an old block's item is found on the drive.
enum : long { Absent = -1, Dropped = -2 };  // else the listing index

struct SevenZipPlan {
  Listing listing;
  int fresh;
  const SeenFiles* seen;  // the record of the last pack
  std::vector<SevenZipItem> empties;  // the items without data the header will list
  std::unordered_map<NativeString, size_t> present;  // listing index by presence key
  std::vector<int> used;  // a file some block holds already
  // The CRC each file was first read with, or the record vouches for; every later reading
  // must find the same.
  std::vector<int> known;
  std::vector<uint32_t> knownCrcs;

  // Per old block and item: where it is on the drive, whether it is unchanged there, and
  // whether it is an absent entry kept by compressing it again at the end.
  std::vector<std::vector<long>> claims;
  std::vector<std::vector<int>> unchanged, keptLater;

  std::vector<Piece> pieces;
  std::vector<Step> steps;
  // What the stream of the block being planned holds: files (-1: data only the old archive
  // has), and the files at its end still to be compressed, from runStart on.
  struct Placed {
    long file;
    uint64_t size;
  };
  std::vector<Placed> stream;
  size_t runStart = 0;
  uint64_t runBytes = 0;
  std::vector<char> buffer = std::vector<char>(BlockSize);

  SevenZipPlan(const std::vector<SourceItem>& items, int f, const SeenFiles* record)
      : listing{items, {}}, fresh(f), seen(record) {}

  // The stored names of the listing, and its items without data; 0 when a name cannot be
  // stored.
  int Prepare();
  // Reads what an update needs of the old archive and plans its blocks; 0 when the old
  // archive cannot be read.
  int PlanUpdate(const NativeString& previous, const SevenZipArchive& old);
  // The files no old block holds, in a block of their own.
  void PlanNew();

  // The listing index of the drive's item of the same name, or -1 when the old item is
  // absent (its name is unsafe, or it is not under the root).
  long PresentIndex(const SevenZipItem& item) const;
  // Whether a file read again came out as it was read before; the first reading sets it.
  bool Consistent(const std::vector<size_t>& files, const std::vector<uint32_t>& crcs);

  void Claim(const SevenZipArchive& old);
  std::vector<size_t> FilesBefore(size_t at, uint64_t limit) const;
  void AddToRun(size_t i);
  void FlushRun();
  void Compress(Piece piece);
  void EndBlock();
  SevenZipItem Listed(const SevenZipItem& old, long claim) const;
  bool Keepable(size_t b, size_t j) const;
  int Proves(std::ifstream* in, const SevenZipBlock& block, const std::vector<uint64_t>& starts,
             const OldPiece& piece, uint32_t reach);
  void PlanBlock(std::ifstream* in, const SevenZipBlock& block, size_t b);
};

// A piece no larger than this is compressed by a worker, in memory; a larger one (one large
// file) by the writer itself, its packed bytes going to the archive as they come.
constexpr uint64_t StreamedPiece = 64u * 1024 * 1024;
