// Planning a 7z pack. The files go into one block whose LZMA2 stream is made of pieces of about
// SevenZipPieceTarget bytes, each to be compressed on its own with a fresh coder state, its
// dictionary primed with the data before it.
//
// Over an old archive, every old block is written again in its place. Where its stream can be
// cut (a chunk that starts with a fresh coder state, at the start of one of its files), the
// piece up to the next such cut is copied as it is when its files are all unchanged (same
// names, sizes and CRCs, the CRCs the record of the last pack vouches for or else computed
// from the files on the drive; a block whose files it all vouches for is copied without
// reading one) and the data before it is still what it was, as far as its dictionary reaches
// back; when that data changed, the piece is decoded once against the new data before it to
// prove it still comes out the same. The other files of the block are compressed again in
// their place, and files new to the archive go into a block of their own at the end.
#include "sevenzip/update_plan.h"

#include <atomic>

#include "entry_names.h"
#include "seen_files.h"
#include "sevenzip/lzma2_pieces.h"
#include "sevenzip/sevenzip_format.h"
#include "worker_pool.h"

namespace {

// What libarchive's writer gave files and folders: the archive bit and a Unix mode.
constexpr uint32_t FileAttributes =
    SevenZipUnixExtension | SevenZipArchiveAttribute | (0100644u << 16);
constexpr uint32_t FolderAttributes =
    SevenZipUnixExtension | SevenZipFolderAttribute | (040755u << 16);

// CRCs of listed files, read on all workers; ok is 0 for a file not readable as listed.
void ComputeCrcs(const std::vector<SourceItem>& items, const std::vector<size_t>& which,
                 std::vector<uint32_t>* crcs, std::vector<int>* ok) {
  crcs->assign(items.size(), 0);
  ok->assign(items.size(), 0);
  std::atomic<size_t> next(0);
  RunOnWorkers([&](unsigned, unsigned) {
    std::vector<char> buffer(BlockSize);
    for (size_t k = next++; k < which.size(); k = next++) {
      size_t i = which[k];
      uint32_t crc = 0;
      (*ok)[i] = ReadListedFile(items[i], &buffer, [&crc](const char* data, size_t size) {
        crc = lzma_crc32(reinterpret_cast<const uint8_t*>(data), size, crc);
        return 1;
      });
      (*crcs)[i] = crc;
    }
  });
}

// The pieces of an old block, cut where a chunk with a fresh coder state starts a file; the
// whole block as one when its stream is no LZMA2 this reads.
bool OldPieces(std::ifstream* in, const SevenZipBlock& block, const std::vector<uint64_t>& starts,
               std::vector<OldPiece>* pieces) {
  std::vector<Lzma2Cut> cuts;
  uint64_t end = 0;
  const size_t n = block.items.size();
  pieces->assign(1, OldPiece());
  pieces->back().last = n;
  if (!ScanLzma2Cuts(in, block, &cuts, &end)) return false;
  pieces->back().packedTo = end;
  for (const Lzma2Cut& cut : cuts) {
    auto at = std::lower_bound(starts.begin(), starts.begin() + static_cast<long>(n), cut.unpacked);
    size_t j = static_cast<size_t>(at - starts.begin());
    if (cut.unpacked == 0 || j >= n || *at != cut.unpacked || j <= pieces->back().first) continue;
    pieces->back().last = j;
    pieces->back().packedTo = cut.packed;
    OldPiece next;
    next.first = j;
    next.last = n;
    next.packedFrom = cut.packed;
    next.packedTo = end;
    next.dictionaryReset = cut.dictionaryReset;
    next.positionFree = cut.positionFree;
    pieces->push_back(next);
  }
  return true;
}

}  // namespace

SevenZipItem ItemOf(const SourceItem& source, const std::u16string& name) {
  SevenZipItem item;
  item.name = name;
  item.hasStream = !source.folder && source.size > 0;
  item.directory = source.folder;
  item.size = source.folder ? 0 : static_cast<uint64_t>(source.size);
  item.timed = 1;
  item.mtime = SevenZipTime(source.seconds, source.nanoseconds);
  item.attributed = 1;
  item.attributes = source.folder ? FolderAttributes : FileAttributes;
  return item;
}

// The last bytes of the files, at most limit, and each file's CRC.
int ReadTail(const Listing& listing, const std::vector<size_t>& files, uint64_t limit,
             std::vector<char>* buffer, std::vector<unsigned char>* tail,
             std::vector<uint32_t>* crcs) {
  uint64_t total = 0;
  for (size_t i : files) total += static_cast<uint64_t>(listing.items[i].size);
  const uint64_t skip = total > limit ? total - limit : 0;
  tail->clear();
  tail->reserve(static_cast<size_t>(total - skip));
  crcs->clear();
  uint64_t offset = 0;
  for (size_t i : files) {
    uint32_t crc = 0;
    if (!ReadListedFile(listing.items[i], buffer, [&](const char* data, size_t n) {
          crc = lzma_crc32(reinterpret_cast<const uint8_t*>(data), n, crc);
          if (offset + n > skip) {
            size_t from = offset >= skip ? 0 : static_cast<size_t>(skip - offset);
            tail->insert(tail->end(), data + from, data + n);
          }
          offset += n;
          return 1;
        })) {
      return 0;
    }
    crcs->push_back(crc);
  }
  return 1;
}

int SevenZipPlan::Prepare() {
  listing.names.resize(listing.items.size());
  used.assign(listing.items.size(), 0);
  known.assign(listing.items.size(), 0);
  knownCrcs.assign(listing.items.size(), 0);
  for (size_t i = 0; i < listing.items.size(); ++i) {
    const SourceItem& source = listing.items[i];
    if (!StoredSevenZipName(source.relative, &listing.names[i])) return 0;
    present.emplace(source.key, i);
    if (source.folder || source.size == 0) empties.push_back(ItemOf(source, listing.names[i]));
  }
  return 1;
}

long SevenZipPlan::PresentIndex(const SevenZipItem& item) const {
  NativeString name;
  std::vector<NativeString> components;
  if (!NativeSevenZipName(item.name, &name) || !SplitEntryName(name, &components)) return -1;
  auto found = present.find(PresenceKey(components));
  return found == present.end() ? -1 : static_cast<long>(found->second);
}

bool SevenZipPlan::Consistent(const std::vector<size_t>& files, const std::vector<uint32_t>& crcs) {
  for (size_t k = 0; k < files.size(); ++k) {
    size_t i = files[k];
    if (known[i] && knownCrcs[i] != crcs[k]) return false;
    known[i] = 1;
    knownCrcs[i] = crcs[k];
  }
  return true;
}

// Finds every old item on the drive, and reads the files that might be unchanged and that
// the record does not know unchanged.
void SevenZipPlan::Claim(const SevenZipArchive& old) {
  std::vector<int> claimed(listing.items.size(), 0);
  std::vector<size_t> candidates;
  claims.resize(old.blocks.size());
  unchanged.resize(old.blocks.size());
  keptLater.resize(old.blocks.size());
  for (size_t f = 0; f < old.blocks.size(); ++f) {
    for (const SevenZipItem& item : old.blocks[f].items) {
      long i = PresentIndex(item);
      if (i >= 0 && claimed[static_cast<size_t>(i)]) i = Dropped;  // a second of one name
      if (i >= 0) {
        const SourceItem& source = listing.items[static_cast<size_t>(i)];
        claimed[static_cast<size_t>(i)] = 1;
        if (source.folder || source.size == 0) {
          i = Dropped;  // the drive's item has no data
        } else if (item.crcDefined && static_cast<uint64_t>(source.size) == item.size &&
                   listing.names[static_cast<size_t>(i)] == item.name) {
          if (seen->Unchanged(source, item.crc)) {
            known[static_cast<size_t>(i)] = 1;
            knownCrcs[static_cast<size_t>(i)] = item.crc;
          } else {
            candidates.push_back(static_cast<size_t>(i));
          }
        }
      }
      claims[f].push_back(i);
    }
    unchanged[f].assign(claims[f].size(), 0);
    keptLater[f].assign(claims[f].size(), 0);
  }
  std::vector<uint32_t> crcs;
  std::vector<int> readable;
  ComputeCrcs(listing.items, candidates, &crcs, &readable);
  for (size_t f = 0; f < old.blocks.size(); ++f) {
    for (size_t j = 0; j < claims[f].size(); ++j) {
      long i = claims[f][j];
      if (i < 0) continue;
      size_t k = static_cast<size_t>(i);
      if (!readable[k]) {
        unchanged[f][j] = known[k] && knownCrcs[k] == old.blocks[f].items[j].crc;
        continue;
      }
      known[k] = 1;
      knownCrcs[k] = crcs[k];
      unchanged[f][j] = crcs[k] == old.blocks[f].items[j].crc;
    }
  }
}

// The files just before position at of the stream, as many as fill limit from their end.
std::vector<size_t> SevenZipPlan::FilesBefore(size_t at, uint64_t limit) const {
  std::vector<size_t> files;
  uint64_t total = 0;
  while (at > 0 && total < limit && stream[at - 1].file >= 0) {
    --at;
    files.push_back(static_cast<size_t>(stream[at].file));
    total += stream[at].size;
  }
  std::reverse(files.begin(), files.end());
  return files;
}

void SevenZipPlan::AddToRun(size_t i) {
  stream.push_back({static_cast<long>(i), static_cast<uint64_t>(listing.items[i].size)});
  runBytes += stream.back().size;
  used[i] = 1;
}

// The files waiting since runStart, cut into pieces of about the same size, at most
// SevenZipPieceTarget each and as many as keep every worker busy to the end.
void SevenZipPlan::FlushRun() {
  const uint64_t workers = Lzma2EncoderCount();
  const uint64_t needed =
      std::max<uint64_t>(1, (runBytes + SevenZipPieceTarget - 1) / SevenZipPieceTarget);
  const uint64_t count = (needed + workers - 1) / workers * workers;
  const uint64_t target = std::max(SevenZipPieceTarget / 4, runBytes / count);
  Piece piece;
  for (size_t at = runStart; at < stream.size(); ++at) {
    uint64_t size = stream[at].size;
    if (!piece.files.empty() && piece.bytes + size > target) {
      Compress(std::move(piece));
      piece = Piece();
    }
    if (piece.files.empty()) piece.before = FilesBefore(at, SevenZipPrime());
    piece.files.push_back(static_cast<size_t>(stream[at].file));
    piece.bytes += size;
  }
  if (!piece.files.empty()) Compress(std::move(piece));
  runStart = stream.size();
  runBytes = 0;
}

void SevenZipPlan::Compress(Piece piece) {
  Step step;
  step.kind = Step::Compress;
  step.piece = pieces.size();
  pieces.push_back(std::move(piece));
  steps.push_back(std::move(step));
}

void SevenZipPlan::EndBlock() {
  FlushRun();
  if (!steps.empty() && steps.back().kind != Step::EndBlock) steps.emplace_back();
  stream.clear();
  runStart = 0;
}

// An old item as the new archive lists it: with the drive's name, time and attributes when
// the drive shows it.
SevenZipItem SevenZipPlan::Listed(const SevenZipItem& old, long claim) const {
  if (claim < 0) return old;
  SevenZipItem item = ItemOf(listing.items[static_cast<size_t>(claim)], old.name);
  item.crcDefined = 1;
  item.crc = old.crc;
  return item;
}

bool SevenZipPlan::Keepable(size_t b, size_t j) const {
  return claims[b][j] >= 0 ? unchanged[b][j] != 0 : claims[b][j] == Absent && !fresh;
}

// Whether an old piece decodes to the same data after what the new stream now holds before
// it: decoded once against that, as far back as the block's dictionary reaches.
int SevenZipPlan::Proves(std::ifstream* in, const SevenZipBlock& block,
                         const std::vector<uint64_t>& starts, const OldPiece& piece,
                         uint32_t reach) {
  const uint64_t unpacked = starts[piece.last] - starts[piece.first];
  if (reach > StreamedPiece || unpacked > StreamedPiece ||
      piece.packedTo - piece.packedFrom > StreamedPiece) {
    return 0;
  }
  std::vector<size_t> before = FilesBefore(stream.size(), reach);
  std::vector<unsigned char> window, packed, out(static_cast<size_t>(unpacked));
  std::vector<uint32_t> crcs;
  if (!ReadTail(listing, before, reach, &buffer, &window, &crcs) || !Consistent(before, crcs)) {
    return 0;
  }
  packed.resize(static_cast<size_t>(piece.packedTo - piece.packedFrom) + 1, 0);
  in->clear();
  if (!in->seekg(static_cast<std::streamoff>(block.packOffset + piece.packedFrom)) ||
      !in->read(reinterpret_cast<char*>(packed.data()),
                static_cast<std::streamsize>(packed.size() - 1))) {
    return 0;
  }
  if (!DecodeLzma2Piece(packed, window, reach, &out)) return 0;
  uint64_t offset = 0;
  for (size_t j = piece.first; j < piece.last; ++j) {
    const SevenZipItem& item = block.items[j];
    if (!item.crcDefined ||
        lzma_crc32(out.data() + offset, static_cast<size_t>(item.size), 0) != item.crc) {
      return 0;
    }
    offset += item.size;
  }
  return 1;
}

// An old block written again in its place: its pieces copied where they can be, its other
// files compressed again between them.
void SevenZipPlan::PlanBlock(std::ifstream* in, const SevenZipBlock& block, size_t f) {
  EndBlock();
  std::vector<uint64_t> starts(1, 0);
  for (const SevenZipItem& item : block.items) starts.push_back(starts.back() + item.size);
  std::vector<OldPiece> oldPieces;
  bool pieced = OldPieces(in, block, starts, &oldPieces);
  const uint32_t reach = pieced ? Lzma2Dictionary(static_cast<uint8_t>(block.coders[SevenZipLzma2DictionaryAt])) : 0;
  uint64_t offset = 0, lastChange = 0;
  bool changed = false;
  for (const OldPiece& piece : oldPieces) {
    bool keep = true;
    for (size_t j = piece.first; j < piece.last && keep; ++j) keep = Keepable(f, j);
    if (keep && piece.first > 0 && !piece.dictionaryReset && changed) {
      keep = piece.positionFree &&
             (offset - lastChange >= reach || Proves(in, block, starts, piece, reach));
    }
    if (keep) {
      FlushRun();
      Step step;
      step.kind = pieced ? Step::CopyPiece : Step::CopyBlock;
      step.from = block.packOffset + piece.packedFrom;
      step.size = piece.packedTo - piece.packedFrom;
      if (!pieced) {
        step.block = block;
        step.size = 0;
        for (uint64_t size : block.packSizes) step.size += size;
      }
      step.block.items.clear();
      for (size_t j = piece.first; j < piece.last; ++j) {
        long claim = claims[f][j];
        step.block.items.push_back(Listed(block.items[j], claim));
        stream.push_back({claim >= 0 ? claim : -1, block.items[j].size});
        if (claim >= 0) used[static_cast<size_t>(claim)] = 1;
      }
      step.unpacked = starts[piece.last] - starts[piece.first];
      step.dictionary = reach;
      runStart = stream.size();
      offset += step.unpacked;
      steps.push_back(std::move(step));
      continue;
    }
    bool differs = false;
    for (size_t j = piece.first; j < piece.last; ++j) {
      long claim = claims[f][j];
      if (claim >= 0) {
        AddToRun(static_cast<size_t>(claim));
        offset += static_cast<uint64_t>(listing.items[static_cast<size_t>(claim)].size);
      }
      keptLater[f][j] = claim == Absent && !fresh;
      differs = differs || claim < 0 || !unchanged[f][j];
    }
    if (differs) {
      changed = true;
      lastChange = offset;
    }
  }
  EndBlock();
}

int SevenZipPlan::PlanUpdate(const NativeString& previous, const SevenZipArchive& old) {
  std::ifstream in(std::filesystem::path(previous), std::ios::binary);
  if (!in) return 0;
  Claim(old);
  for (size_t b = 0; b < old.blocks.size(); ++b) PlanBlock(&in, old.blocks[b], b);
  return 1;
}

void SevenZipPlan::PlanNew() {
  EndBlock();
  for (size_t i = 0; i < listing.items.size(); ++i) {
    const SourceItem& source = listing.items[i];
    if (!source.folder && source.size > 0 && !used[i]) AddToRun(i);
  }
  EndBlock();
}
