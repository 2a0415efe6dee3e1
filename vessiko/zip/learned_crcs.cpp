// The CRC-32s learned of AE-2 entries, kept for the process by archive and entry name.
#include "zip/learned_crcs.h"

#include <algorithm>
#include <mutex>
#include <unordered_map>
#include <utility>

#include "entry_names.h"

namespace {

struct Learned {
  std::string stamp;
  uint32_t crc = 0;
};

// Several readers of one extraction learn side by side.
struct LearnedCrcs {
  std::mutex lock;
  std::unordered_map<NativeString, std::unordered_map<NativeString, Learned>> archives;
};

LearnedCrcs& Records() {
  static LearnedCrcs records;
  return records;
}

}  // namespace

std::string AesStamp(const unsigned char* data, size_t size, uint64_t compressed) {
  std::string stamp(reinterpret_cast<const char*>(data), std::min(size, AesStampBytes));
  for (int i = 0; i < 8; ++i) stamp += static_cast<char>(compressed >> (8 * i));
  return stamp;
}

void LearnEntryCrc(const NativeString& archive, const NativeString& name,
                   const std::string& stamp, uint32_t crc) {
  LearnedCrcs& records = Records();
  std::lock_guard<std::mutex> held(records.lock);
  records.archives[FoldCase(archive)][name] = Learned{stamp, crc};
}

bool LearnedEntryCrc(const NativeString& archive, const NativeString& name,
                     const std::string& stamp, uint32_t* crc) {
  LearnedCrcs& records = Records();
  std::lock_guard<std::mutex> held(records.lock);
  auto entries = records.archives.find(FoldCase(archive));
  if (entries == records.archives.end()) return false;
  auto found = entries->second.find(name);
  if (found == entries->second.end() || found->second.stamp != stamp) return false;
  *crc = found->second.crc;
  return true;
}
