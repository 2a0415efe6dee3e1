// The record of what the library saw of packed files: one per archive path, replaced by
// each complete pack over it, and trusted only while the archive is the file that pack left.
#include "seen_files.h"

#include <mutex>

#include "entry_names.h"

namespace {

// The records of this many archives are kept; the least recently packed goes first.
constexpr size_t RecordsKept = 32;

struct Records {
  std::mutex lock;
  struct Kept {
    std::shared_ptr<const SeenArchive> record;
    uint64_t packed = 0;
  };
  std::unordered_map<NativeString, Kept> archives;
  uint64_t packs = 0;
};

Records& AllRecords() {
  static Records records;
  return records;
}

bool SameFile(const FolderItem& a, const FolderItem& b) {
  return a.identityKnown && b.identityKnown && a.volume == b.volume &&
         a.fileIndex == b.fileIndex && a.size == b.size &&
         a.modifiedSeconds == b.modifiedSeconds &&
         a.modifiedNanoseconds == b.modifiedNanoseconds;
}

// A file written within one tick of the file system's clock before the tree was listed
// could be written again in that tick, its size and modification time set back, and show
// the same change time: such a file is left to its CRC-32 next time. File systems that keep
// whole seconds (their change times fall on one) tick every second or two.
bool SettledBefore(const SourceItem& item, int64_t listedAt) {
  int64_t tick = item.changeTime % ChangeTicksPerSecond == 0 ? 2 * ChangeTicksPerSecond
                                                            : ChangeTicksPerSecond / 10;
  return item.changeTime < listedAt - tick;
}

}  // namespace

SeenFiles::SeenFiles(const NativeString& previous)
    : key_(FoldCase(previous)), listedAt_(ChangeClock()) {
  if (previous.empty()) return;
  Records& records = AllRecords();
  std::lock_guard<std::mutex> held(records.lock);
  auto found = records.archives.find(key_);
  if (found == records.archives.end()) return;
  FolderItem now;
  if (LookAtFile(previous, &now) && SameFile(now, found->second.record->archive)) {
    last_ = found->second.record;
  } else {
    records.archives.erase(found);
  }
}

bool SeenFiles::Unchanged(const SourceItem& item, uint32_t crc) const {
  if (last_ == nullptr || !item.identityKnown || !item.changeKnown) return false;
  auto found = last_->files.find(item.key);
  if (found == last_->files.end()) return false;
  const SeenFile& seen = found->second;
  return seen.crc == crc && seen.volume == item.volume && seen.fileIndex == item.fileIndex &&
         seen.size == item.size && seen.seconds == item.seconds &&
         seen.nanoseconds == item.nanoseconds && seen.changeTime == item.changeTime;
}

void SeenFiles::Saw(const SourceItem& item, uint32_t crc) {
  if (key_.empty() || item.folder || !item.identityKnown || !item.changeKnown ||
      !SettledBefore(item, listedAt_)) {
    return;
  }
  next_.files[item.key] = SeenFile{item.volume,      item.fileIndex,  item.size, item.seconds,
                                   item.nanoseconds, item.changeTime, crc};
}

void SeenFiles::Keep(const NativeString& output) {
  if (key_.empty()) return;
  Records& records = AllRecords();
  bool known = LookAtFile(output, &next_.archive) && next_.archive.identityKnown;
  std::lock_guard<std::mutex> held(records.lock);
  records.archives.erase(key_);
  if (!known || next_.files.empty()) return;
  if (records.archives.size() >= RecordsKept) {
    auto oldest = records.archives.begin();
    for (auto k = records.archives.begin(); k != records.archives.end(); ++k) {
      if (k->second.packed < oldest->second.packed) oldest = k;
    }
    records.archives.erase(oldest);
  }
  records.archives[key_] = {std::make_shared<SeenArchive>(std::move(next_)), ++records.packs};
}
