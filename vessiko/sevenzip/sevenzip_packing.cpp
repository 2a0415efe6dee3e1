// Writing a 7z as its plan says: the pieces compressed on several threads ahead of the
// writer, which puts them in order between the packed bytes it copies from the old archive,
// then the kept entries and the header.
#include <algorithm>

#include "seen_files.h"
#include "sevenzip/container_writer.h"
#include "sevenzip/kept_entries.h"
#include "sevenzip/lzma2_pieces.h"
#include "sevenzip/sevenzip_format.h"
#include "sevenzip/update_plan.h"
#include "worker_pool.h"

namespace {

enum class PieceState { Failed, Ready, Streamed };

// A compressed piece: its items with their CRCs, the CRCs of the files that primed it (the
// writer checks that they are those of the data before it), and its packed bytes.
struct PieceJob {
  PieceState state = PieceState::Failed;
  std::vector<SevenZipItem> items;
  std::vector<uint32_t> primeCrcs;
  std::vector<unsigned char> packed;
  uint64_t packedSize = 0;
  uint32_t dictionary = 0;
};

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

// What a worker compresses with.
struct PieceScratch {
  Lzma2Encoder encoder;
  std::vector<char> buffer = std::vector<char>(BlockSize);
};

// A piece compressed on a worker; one too large to hold in memory is left to the writer.
void PreparePiece(const Listing& listing, const Piece& piece, PieceScratch* scratch,
                  PieceJob* job) {
  job->state = PieceState::Streamed;
  if (piece.bytes > StreamedPiece) return;
  job->state = CompressPiece(listing, piece, &scratch->encoder, &scratch->buffer, job, nullptr)
                   ? PieceState::Ready
                   : PieceState::Failed;
  job->packed.swap(scratch->encoder.packed);
}

int CopyRange(std::ifstream* in, uint64_t from, uint64_t size, SevenZipWriter* writer) {
  std::vector<char> chunk(SevenZipCopyChunk);
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

// The block being written: compressed and copied pieces of one LZMA2 stream.
struct BlockOut {
  SevenZipBlock block;
  uint64_t unpacked = 0, packed = 0;
  uint32_t dictionary = 0;

  void Add(std::vector<SevenZipItem>* items, uint64_t unpackedSize, uint64_t packedSize,
           uint32_t pieceDictionary) {
    for (SevenZipItem& item : *items) block.items.push_back(std::move(item));
    unpacked += unpackedSize;
    packed += packedSize;
    dictionary = std::max(dictionary, pieceDictionary);
  }

  int Close(SevenZipWriter* writer) {
    if (unpacked == 0) return 1;
    const unsigned char endMark = 0;
    if (!writer->WritePacked(&endMark, 1)) return 0;
    block.coders = SevenZipLzma2Record + static_cast<char>(Lzma2DictionaryProperty(dictionary));
    block.unpackSizes = {unpacked};
    block.packSizes = {packed + 1};
    writer->AddBlock(std::move(block));
    block = SevenZipBlock();
    unpacked = packed = 0;
    dictionary = 0;
    return 1;
  }
};

// Carries the plan out: copies from the old archive, pieces compressed on the workers
// ahead of this thread, which writes them in order.
int WritePlan(SevenZipPlan* plan, SevenZipWriter* writer, const NativeString& previous) {
  std::ifstream in;
  if (!previous.empty()) {
    in.open(std::filesystem::path(previous), std::ios::binary);
    if (!in) return 0;
  }
  const Listing& listing = plan->listing;
  const std::vector<Piece>& pieces = plan->pieces;
  const unsigned threads = static_cast<unsigned>(std::min<size_t>(Lzma2EncoderCount(), pieces.size()));
  // At most one piece more than there are workers waits for the writer.
  OrderedWork<PieceJob, PieceScratch> parallel;
  parallel.Start(
      pieces.size(), threads, threads + 1,
      [&](size_t i, PieceScratch* scratch, PieceJob* job) {
        PreparePiece(listing, pieces[i], scratch, job);
      },
      [](size_t) { return int64_t{1}; });
  std::vector<char> buffer(BlockSize);
  Lzma2Encoder encoder;
  BlockOut out;
  for (Step& step : plan->steps) {
    if (step.kind == Step::EndBlock) {
      if (!out.Close(writer)) return 0;
    } else if (step.kind == Step::CopyBlock) {
      if (!CopyRange(&in, step.from, step.size, writer)) return 0;
      writer->AddBlock(std::move(step.block));
    } else if (step.kind == Step::CopyPiece) {
      if (!CopyRange(&in, step.from, step.size, writer)) return 0;
      out.Add(&step.block.items, step.unpacked, step.size, step.dictionary);
    } else {
      const Piece& piece = pieces[step.piece];
      PieceJob* job = &parallel.Await(step.piece);
      PieceJob streamed;
      if (job->state == PieceState::Failed) return 0;
      if (job->state == PieceState::Streamed) {
        job = &streamed;
        auto drain = [&] {
          return encoder.packed.size() < SevenZipCopyChunk || writer->TakePacked(&encoder);
        };
        if (!CompressPiece(listing, piece, &encoder, &buffer, job, drain)) return 0;
        job->packed.swap(encoder.packed);
      }
      std::vector<uint32_t> crcs;
      for (const SevenZipItem& item : job->items) crcs.push_back(item.crc);
      // A file that changed while it was packed would leave the next piece primed with
      // other data than the stream holds before it.
      if (!plan->Consistent(piece.before, job->primeCrcs) ||
          !plan->Consistent(piece.files, crcs) ||
          !writer->WritePacked(job->packed.data(), job->packed.size())) {
        return 0;
      }
      out.Add(&job->items, piece.bytes, job->packedSize, job->dictionary);
      parallel.Done(step.piece);
    }
  }
  return out.Close(writer);
}

}  // namespace

int WriteSevenZip(const NativeString& output, const std::vector<SourceItem>& items,
                  const NativeString& previous, int fresh, SeenFiles* seen) {
  SevenZipPlan plan(items, fresh, seen);
  SevenZipWriter writer;
  if (!plan.Prepare() || !writer.Open(output)) return 0;
  SevenZipArchive old;
  bool readable = !previous.empty() && ReadSevenZipHeader(previous, &old);
  if (readable && !plan.PlanUpdate(previous, old)) return 0;
  plan.PlanNew();
  if (!WritePlan(&plan, &writer, readable ? previous : NativeString())) return 0;
  if (readable ? !fresh && !KeepAbsent(previous, old, &plan, &writer)
               : !previous.empty() && !fresh &&
                     !KeepAbsentThroughLibarchive(previous, &plan, &writer)) {
    return 0;
  }
  if (!writer.Close(plan.empties)) return 0;
  // Every file with data went in read (or vouched for) with the CRC its item holds.
  for (size_t i = 0; i < items.size(); ++i) {
    if (plan.known[i]) seen->Saw(items[i], plan.knownCrcs[i]);
  }
  return 1;
}
