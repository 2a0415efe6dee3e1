// Packing a 7z. The files go into one block whose LZMA2 stream is made of pieces of about
// SevenZipPieceTarget bytes, compressed on several threads ahead of the writer: a piece
// starts with a fresh coder state, its dictionary primed with the data before it.
//
// Over an old archive, every old block is written again in its place. Where its stream can be
// cut (a chunk that starts with a fresh coder state, at the start of one of its files), the
// piece up to the next such cut is copied as it is when its files are all unchanged (same
// names, sizes and CRCs, the CRCs computed from the files on the drive) and the data before
// it is still what it was, as far as its dictionary reaches back; when that data changed,
// the piece is decoded once against the new data before it to prove it still comes out the
// same. The other files of the block are compressed again in their place, and files new to
// the archive go into a block of their own at the end. Entries of the old archive not present
// under the root are kept: inside a copied piece with it, from elsewhere decoded by
// libarchive and compressed again.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "core_internal.h"
#include "sevenzip.h"

uint64_t SevenZipPieceTarget = 24u * 1024 * 1024;

namespace {

// A piece larger than this (one large file) is compressed by the writer itself, its packed
// bytes going to the archive as they come; the workers hold theirs in memory.
constexpr uint64_t StreamedPiece = 64u * 1024 * 1024;
// What libarchive's writer gave files and folders: the archive bit and a Unix mode.
constexpr uint32_t FileAttributes = 0x8020u | (0100644u << 16);
constexpr uint32_t FolderAttributes = 0x8010u | (040755u << 16);
constexpr size_t CopyChunk = 1024 * 1024;
const std::string Lzma2Coder("\x01\x21\x21\x01", 4);

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

// What a pack works from: the listing with the names it stores.
struct Listing {
  const std::vector<SourceItem>& items;
  std::vector<std::u16string> names;
};

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

enum class PieceState { Waiting, Ready, Failed, Streamed };

// A compressed piece: its items with their CRCs, the CRCs of the files that primed it (the
// writer checks that they are those of the data before it), and its packed bytes.
struct PieceJob {
  PieceState state = PieceState::Waiting;
  std::vector<SevenZipItem> items;
  std::vector<uint32_t> primeCrcs;
  std::vector<unsigned char> packed;
  uint64_t packedSize = 0;
  uint32_t dictionary = 0;
};

// An encoder with its 16 MiB dictionary takes about 190 MB: a 32-bit process runs two.
unsigned Workers() { return sizeof(void*) < 8 ? std::min(WorkerCount(), 2u) : WorkerCount(); }

// Hands the packed bytes an encoder holds to the archive.
int Drain(Lzma2Encoder* encoder, SevenZipWriter* writer) {
  if (!writer->WritePacked(encoder->packed.data(), encoder->packed.size())) return 0;
  encoder->drained += encoder->packed.size();
  encoder->packed.clear();
  return 1;
}

// Compresses a piece. drain, when given, takes the packed bytes as they grow.
int CompressPiece(const Listing& listing, const Piece& piece, Lzma2Encoder* encoder,
                  std::vector<char>* buffer, PieceJob* job, const std::function<int()>& drain) {
  std::vector<unsigned char> prime;
  if (!ReadTail(listing, piece.before, SevenZipPrime(), buffer, &prime, &job->primeCrcs) ||
      !encoder->Start(piece.bytes, piece.before.empty() ? nullptr : &prime)) {
    return 0;
  }
  prime = std::vector<unsigned char>();
  job->items.clear();
  for (size_t i : piece.files) {
    SevenZipItem item = ItemOf(listing.items[i], listing.names[i]);
    uint32_t crc = 0;
    if (!ReadListedFile(listing.items[i], buffer, [&](const char* data, size_t size) {
          crc = lzma_crc32(reinterpret_cast<const uint8_t*>(data), size, crc);
          return encoder->Feed(data, size) && (!drain || drain());
        })) {
      return 0;
    }
    item.crcDefined = 1;
    item.crc = crc;
    job->items.push_back(std::move(item));
  }
  if (!encoder->FinishPiece() || (drain && !drain())) return 0;
  job->packedSize = encoder->drained + encoder->packed.size();
  job->dictionary = encoder->options.dict_size;
  return 1;
}

// The workers compress pieces ahead of the writer, at most a few more than there are
// workers, and the writer takes them in order.
struct ParallelPieces {
  const Listing* listing = nullptr;
  const std::vector<Piece>* pieces = nullptr;
  std::vector<PieceJob> jobs;
  std::mutex lock;
  std::condition_variable changed;
  size_t next = 0;
  size_t written = 0;
  size_t ahead = 0;
  bool stop = false;
  std::vector<std::thread> threads;

  void Start(const Listing* l, const std::vector<Piece>* p, unsigned count) {
    listing = l;
    pieces = p;
    jobs.resize(p->size());
    ahead = count + 1;
    for (unsigned k = 0; k < count; ++k) threads.emplace_back([this] { Work(); });
  }

  bool TakeNext(size_t* i) {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return stop || next >= jobs.size() || next < written + ahead; });
    if (stop || next >= jobs.size()) return false;
    *i = next++;
    return true;
  }

  void Work() {
    Lzma2Encoder encoder;
    std::vector<char> buffer(BlockSize);
    size_t i = 0;
    while (TakeNext(&i)) {
      const Piece& piece = (*pieces)[i];
      PieceJob job;
      job.state = PieceState::Streamed;
      if (piece.bytes <= StreamedPiece) {
        job.state = CompressPiece(*listing, piece, &encoder, &buffer, &job, nullptr)
                        ? PieceState::Ready
                        : PieceState::Failed;
        job.packed.swap(encoder.packed);
      }
      {
        std::lock_guard<std::mutex> guard(lock);
        jobs[i] = std::move(job);
      }
      changed.notify_all();
    }
  }

  PieceState Await(size_t i) {
    std::unique_lock<std::mutex> guard(lock);
    changed.wait(guard, [&] { return jobs[i].state != PieceState::Waiting; });
    return jobs[i].state;
  }

  void Done(size_t i) {
    {
      std::lock_guard<std::mutex> guard(lock);
      written = i + 1;
      jobs[i] = PieceJob();
      jobs[i].state = PieceState::Ready;
    }
    changed.notify_all();
  }

  ~ParallelPieces() {
    {
      std::lock_guard<std::mutex> guard(lock);
      stop = true;
    }
    changed.notify_all();
    for (std::thread& t : threads) t.join();
  }
};

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

// Entries of the old archive compressed again, on this thread, straight into the archive.
struct KeptBlocks {
  explicit KeptBlocks(SevenZipWriter* w) : writer(w) {}
  SevenZipWriter* writer;
  Lzma2Encoder encoder;
  SevenZipFolder folder;
  uint64_t unpacked = 0;
  bool open = false;
  std::vector<char> buffer = std::vector<char>(BlockSize);

  // An entry whose data libarchive reads next; its CRC, when the header gave one, must
  // come out again.
  int Add(SevenZipItem item, archive* reader, archive_entry* entry) {
    if (!open) {
      if (!encoder.Start(SevenZipPieceTarget)) return 0;
      folder = SevenZipFolder();
      unpacked = 0;
      open = true;
    }
    uint64_t size = 0;
    uint32_t crc = 0;
    auto sink = [&](const char* data, size_t n) {
      size += n;
      crc = lzma_crc32(reinterpret_cast<const uint8_t*>(data), n, crc);
      return encoder.Feed(data, n) &&
             (encoder.packed.size() < CopyChunk || Drain(&encoder, writer));
    };
    if (archive_entry_filetype(entry) == AE_IFLNK) {
      // libarchive hands a link's data over as its target.
      const char* target = archive_entry_symlink(entry);
      if (target == nullptr || !sink(target, std::char_traits<char>::length(target))) return 0;
    } else if (ReadEntryData(reader, &buffer, sink) != ARCHIVE_OK) {
      return 0;
    }
    if ((item.crcDefined && crc != item.crc) || (item.hasStream && size != item.size)) return 0;
    item.hasStream = 1;
    item.size = size;
    item.crcDefined = 1;
    item.crc = crc;
    folder.items.push_back(std::move(item));
    unpacked += size;
    return unpacked < SevenZipPieceTarget || Close();
  }

  int Close() {
    if (!open) return 1;
    open = false;
    if (!encoder.Finish() || !Drain(&encoder, writer)) return 0;
    encoder.Describe(unpacked, &folder);
    writer->AddFolder(std::move(folder));
    return 1;
  }
};

int CopyRange(std::ifstream* in, uint64_t from, uint64_t size, SevenZipWriter* writer) {
  std::vector<char> chunk(CopyChunk);
  in->clear();
  if (!in->seekg(static_cast<std::streamoff>(from))) return 0;
  while (size > 0) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(size, chunk.size()));
    if (!in->read(chunk.data(), static_cast<std::streamsize>(n)) ||
        !writer->WritePacked(chunk.data(), n)) {
      return 0;
    }
    size -= n;
  }
  return 1;
}

// An entry libarchive read, as the header of the new archive describes it.
int ItemOfEntry(archive_entry* entry, SevenZipItem* item) {
  const wchar_t* wide = archive_entry_pathname_w(entry);
  if (wide == nullptr || wide[0] == L'\0') return 0;
  std::wstring name = wide;
  while (!name.empty() && name.back() == L'/') name.pop_back();
  AppendUtf16(name.c_str(), &item->name);
  unsigned mode = archive_entry_mode(entry);
  int type = archive_entry_filetype(entry);
  if (type != AE_IFDIR && type != AE_IFREG && type != AE_IFLNK) return 0;
  item->directory = type == AE_IFDIR;
  item->timed = archive_entry_mtime_is_set(entry);
  item->mtime = SevenZipTime(archive_entry_mtime(entry),
                             static_cast<int32_t>(archive_entry_mtime_nsec(entry)));
  item->attributed = 1;
  item->attributes = (item->directory ? 0x8010u : 0x8020u) | (mode & 0xFFFFu) << 16 |
                     ((mode & 0222) == 0 ? 1u : 0u);
  return 1;
}

// The block being written: compressed and copied pieces of one LZMA2 stream.
struct BlockOut {
  SevenZipFolder folder;
  uint64_t unpacked = 0, packed = 0;
  uint32_t dictionary = 0;

  void Add(std::vector<SevenZipItem>* items, uint64_t unpackedSize, uint64_t packedSize,
           uint32_t pieceDictionary) {
    for (SevenZipItem& item : *items) folder.items.push_back(std::move(item));
    unpacked += unpackedSize;
    packed += packedSize;
    dictionary = std::max(dictionary, pieceDictionary);
  }

  int Close(SevenZipWriter* writer) {
    if (unpacked == 0) return 1;
    const unsigned char endMark = 0;
    if (!writer->WritePacked(&endMark, 1)) return 0;
    folder.coders = Lzma2Coder + static_cast<char>(Lzma2DictionaryProperty(dictionary));
    folder.unpackSizes = {unpacked};
    folder.packSizes = {packed + 1};
    writer->AddFolder(std::move(folder));
    folder = SevenZipFolder();
    unpacked = packed = 0;
    dictionary = 0;
    return 1;
  }
};

// One thing the writer does, in order.
struct Step {
  enum Kind { Compress, CopyPiece, CopyBlock, EndBlock } kind = EndBlock;
  size_t piece = 0;               // Compress
  uint64_t from = 0, size = 0;    // copies: where the packed bytes lie in the old archive
  SevenZipFolder block;           // copies: the items as the new archive lists them; for a
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

// The pieces of an old block, cut where a chunk with a fresh coder state starts a file; the
// whole block as one when its stream is no LZMA2 this reads.
bool OldPieces(std::ifstream* in, const SevenZipFolder& block, const std::vector<uint64_t>& starts,
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

// How an old block's item is found on the drive.
enum : long { Absent = -1, Dropped = -2 };  // else the listing index

struct SevenZipPacking {
  Listing listing;
  int fresh;
  SevenZipWriter writer;
  std::vector<SevenZipItem> empties;
  std::unordered_map<NativeString, size_t> present;  // listing index by presence key
  std::vector<int> used;  // a file some block holds already
  // The CRC each file was first read with; every later reading must find the same.
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

  SevenZipPacking(const std::vector<SourceItem>& items, int f) : listing{items, {}}, fresh(f) {}

  int Prepare() {
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

  // The listing index of the drive's item of the same name, or -1 when the old item is
  // absent (its name is unsafe, or it is not under the root).
  long PresentIndex(const SevenZipItem& item) {
    NativeString name;
    std::vector<NativeString> components;
    if (!NativeSevenZipName(item.name, &name) || !SplitEntryName(name, &components)) return -1;
    auto found = present.find(PresenceKey(components));
    return found == present.end() ? -1 : static_cast<long>(found->second);
  }

  // Whether a file read again came out as it was read before; the first reading sets it.
  bool Consistent(const std::vector<size_t>& files, const std::vector<uint32_t>& crcs) {
    for (size_t k = 0; k < files.size(); ++k) {
      size_t i = files[k];
      if (known[i] && knownCrcs[i] != crcs[k]) return false;
      known[i] = 1;
      knownCrcs[i] = crcs[k];
    }
    return true;
  }

  // Finds every old item on the drive, and reads the files that might be unchanged.
  void Claim(const SevenZipArchive& old) {
    std::vector<int> claimed(listing.items.size(), 0);
    std::vector<size_t> candidates;
    claims.resize(old.folders.size());
    unchanged.resize(old.folders.size());
    keptLater.resize(old.folders.size());
    for (size_t f = 0; f < old.folders.size(); ++f) {
      for (const SevenZipItem& item : old.folders[f].items) {
        long i = PresentIndex(item);
        if (i >= 0 && claimed[static_cast<size_t>(i)]) i = Dropped;  // a second of one name
        if (i >= 0) {
          const SourceItem& source = listing.items[static_cast<size_t>(i)];
          claimed[static_cast<size_t>(i)] = 1;
          if (source.folder || source.size == 0) {
            i = Dropped;  // the drive's item has no data
          } else if (item.crcDefined && static_cast<uint64_t>(source.size) == item.size &&
                     listing.names[static_cast<size_t>(i)] == item.name) {
            candidates.push_back(static_cast<size_t>(i));
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
    for (size_t f = 0; f < old.folders.size(); ++f) {
      for (size_t j = 0; j < claims[f].size(); ++j) {
        long i = claims[f][j];
        if (i < 0 || !readable[static_cast<size_t>(i)]) continue;
        known[static_cast<size_t>(i)] = 1;
        knownCrcs[static_cast<size_t>(i)] = crcs[static_cast<size_t>(i)];
        unchanged[f][j] = crcs[static_cast<size_t>(i)] == old.folders[f].items[j].crc;
      }
    }
  }

  // The files just before position at of the stream, as many as fill limit from their end.
  std::vector<size_t> FilesBefore(size_t at, uint64_t limit) const {
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

  void AddToRun(size_t i) {
    stream.push_back({static_cast<long>(i), static_cast<uint64_t>(listing.items[i].size)});
    runBytes += stream.back().size;
    used[i] = 1;
  }

  // The files waiting since runStart, cut into pieces of about the same size, at most
  // SevenZipPieceTarget each and as many as keep every worker busy to the end.
  void FlushRun() {
    const uint64_t workers = Workers();
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

  void Compress(Piece piece) {
    Step step;
    step.kind = Step::Compress;
    step.piece = pieces.size();
    pieces.push_back(std::move(piece));
    steps.push_back(std::move(step));
  }

  void EndBlock() {
    FlushRun();
    if (!steps.empty() && steps.back().kind != Step::EndBlock) steps.emplace_back();
    stream.clear();
    runStart = 0;
  }

  // An old item as the new archive lists it: with the drive's name, time and attributes when
  // the drive shows it.
  SevenZipItem Listed(const SevenZipItem& old, long claim) const {
    if (claim < 0) return old;
    SevenZipItem item = ItemOf(listing.items[static_cast<size_t>(claim)], old.name);
    item.crcDefined = 1;
    item.crc = old.crc;
    return item;
  }

  bool Keepable(size_t f, size_t j) const {
    return claims[f][j] >= 0 ? unchanged[f][j] != 0 : claims[f][j] == Absent && !fresh;
  }

  // Whether an old piece decodes to the same data after what the new stream now holds before
  // it: decoded once against that, as far back as the block's dictionary reaches.
  int Proves(std::ifstream* in, const SevenZipFolder& block, const std::vector<uint64_t>& starts,
             const OldPiece& piece, uint32_t reach) {
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
    lzma_options_lzma options = {};
    options.dict_size = reach;
    options.preset_dict = window.empty() ? nullptr : window.data();
    options.preset_dict_size = static_cast<uint32_t>(window.size());
    lzma_filter filters[2] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream decoder = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&decoder, filters) != LZMA_OK) return 0;
    decoder.next_in = packed.data();
    decoder.avail_in = packed.size();
    decoder.next_out = out.data();
    decoder.avail_out = out.size();
    lzma_ret ret = lzma_code(&decoder, LZMA_FINISH);
    uint64_t produced = decoder.total_out;
    lzma_end(&decoder);
    if (ret != LZMA_STREAM_END || produced != unpacked) return 0;
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
  void PlanBlock(std::ifstream* in, const SevenZipFolder& block, size_t f) {
    EndBlock();
    std::vector<uint64_t> starts(1, 0);
    for (const SevenZipItem& item : block.items) starts.push_back(starts.back() + item.size);
    std::vector<OldPiece> oldPieces;
    bool pieced = OldPieces(in, block, starts, &oldPieces);
    const uint32_t reach = pieced ? Lzma2Dictionary(static_cast<uint8_t>(block.coders[4])) : 0;
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

  // Reads what an update needs of the old archive and plans its blocks; 0 when the old
  // archive cannot be read.
  int PlanUpdate(const NativeString& previous, const SevenZipArchive& old) {
    std::ifstream in(std::filesystem::path(previous), std::ios::binary);
    if (!in) return 0;
    Claim(old);
    for (size_t f = 0; f < old.folders.size(); ++f) PlanBlock(&in, old.folders[f], f);
    return 1;
  }

  // The files no old block holds, in a block of their own.
  void PlanNew() {
    EndBlock();
    for (size_t i = 0; i < listing.items.size(); ++i) {
      const SourceItem& source = listing.items[i];
      if (!source.folder && source.size > 0 && !used[i]) AddToRun(i);
    }
    EndBlock();
  }

  int Write(const NativeString& previous) {
    std::ifstream in;
    if (!previous.empty()) {
      in.open(std::filesystem::path(previous), std::ios::binary);
      if (!in) return 0;
    }
    ParallelPieces parallel;
    parallel.Start(&listing, &pieces,
                   static_cast<unsigned>(std::min<size_t>(Workers(), pieces.size())));
    Lzma2Encoder encoder;
    BlockOut out;
    for (Step& step : steps) {
      if (step.kind == Step::EndBlock) {
        if (!out.Close(&writer)) return 0;
      } else if (step.kind == Step::CopyBlock) {
        if (!CopyRange(&in, step.from, step.size, &writer)) return 0;
        writer.AddFolder(std::move(step.block));
      } else if (step.kind == Step::CopyPiece) {
        if (!CopyRange(&in, step.from, step.size, &writer)) return 0;
        out.Add(&step.block.items, step.unpacked, step.size, step.dictionary);
      } else {
        const Piece& piece = pieces[step.piece];
        PieceState state = parallel.Await(step.piece);
        PieceJob streamed;
        PieceJob* job = &parallel.jobs[step.piece];
        if (state == PieceState::Failed) return 0;
        if (state == PieceState::Streamed) {
          job = &streamed;
          auto drain = [&] {
            return encoder.packed.size() < CopyChunk || Drain(&encoder, &writer);
          };
          if (!CompressPiece(listing, piece, &encoder, &buffer, job, drain)) return 0;
          job->packed.swap(encoder.packed);
        }
        std::vector<uint32_t> crcs;
        for (const SevenZipItem& item : job->items) crcs.push_back(item.crc);
        // A file that changed while it was packed would leave the next piece primed with
        // other data than the stream holds before it.
        if (!Consistent(piece.before, job->primeCrcs) || !Consistent(piece.files, crcs) ||
            !writer.WritePacked(job->packed.data(), job->packed.size())) {
          return 0;
        }
        out.Add(&job->items, piece.bytes, job->packedSize, job->dictionary);
        parallel.Done(step.piece);
      }
    }
    return out.Close(&writer);
  }

  // The old archive's absent entries outside the copied pieces: empties from its header,
  // data through libarchive, in the header's order.
  int KeepAbsent(const NativeString& previous, const SevenZipArchive& old) {
    std::vector<int> needed(old.order.size(), 0);
    size_t left = 0;
    for (size_t k = 0; k < old.order.size(); ++k) {
      const SevenZipArchive::Place& place = old.order[k];
      if (place.folder < 0) {
        const SevenZipItem& item = old.empties[place.index];
        if (PresentIndex(item) < 0) empties.push_back(item);
      } else {
        needed[k] = keptLater[static_cast<size_t>(place.folder)][place.index];
        left += static_cast<size_t>(needed[k]);
      }
    }
    if (left == 0) return 1;
    ReaderHandle reader;
    if (!OpenReader(&reader, previous)) return 0;
    KeptBlocks kept(&writer);
    for (size_t k = 0; left > 0; ++k) {
      archive_entry* entry = nullptr;
      if (k >= needed.size() || archive_read_next_header(reader.object, &entry) < ARCHIVE_WARN) {
        return 0;
      }
      if (!needed[k]) continue;
      const SevenZipArchive::Place& place = old.order[k];
      if (!kept.Add(old.folders[static_cast<size_t>(place.folder)].items[place.index],
                    reader.object, entry)) {
        return 0;
      }
      --left;
    }
    return kept.Close();
  }

  // The old archive's absent entries as libarchive reads them, for an archive whose header
  // this library does not read itself.
  int KeepAbsentThroughLibarchive(const NativeString& previous) {
    std::unordered_set<NativeString> keys;
    for (const auto& entry : present) keys.insert(entry.first);
    KeptBlocks kept(&writer);
    return ForEachAbsentEntry(previous, keys,
                              [&](archive* reader, archive_entry* entry) {
                                SevenZipItem item;
                                if (!ItemOfEntry(entry, &item)) return 0;
                                if (item.directory || (archive_entry_filetype(entry) == AE_IFREG &&
                                                       archive_entry_size_is_set(entry) &&
                                                       archive_entry_size(entry) == 0)) {
                                  empties.push_back(std::move(item));
                                  return 1;
                                }
                                return kept.Add(std::move(item), reader, entry);
                              }) &&
           kept.Close();
  }
};

}  // namespace

int WriteSevenZip(const NativeString& output, const std::vector<SourceItem>& items,
                  const NativeString& previous, int fresh) {
  SevenZipPacking packing(items, fresh);
  if (!packing.Prepare() || !packing.writer.Open(output)) return 0;
  SevenZipArchive old;
  bool readable = !previous.empty() && ReadSevenZipHeader(previous, &old);
  if (readable && !packing.PlanUpdate(previous, old)) return 0;
  packing.PlanNew();
  if (!packing.Write(readable ? previous : NativeString())) return 0;
  if (readable ? !fresh && !packing.KeepAbsent(previous, old)
               : !previous.empty() && !fresh && !packing.KeepAbsentThroughLibarchive(previous)) {
    return 0;
  }
  return packing.writer.Close(packing.empties);
}
