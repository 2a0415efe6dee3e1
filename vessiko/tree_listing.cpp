// The tree a pack collects: every folder under the root listed, side by side on the workers,
// links and excluded paths left out as each listing is made.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <unordered_map>

#include "call_report.h"
#include "entry_names.h"
#include "packing.h"
#include "platform_services.h"
#include "worker_pool.h"

namespace {

// Every folder under a root listed, each sorted by name. Under Wine a listing costs several
// round trips to its server, so the workers list folders side by side, each taking the next
// one found. Links and junctions are never entered, nor excluded paths.
struct TreeListing {
  const std::vector<NativeString>* excluded = nullptr;
  // The root's volume, which the listings never leave on Windows (mount points are reparse
  // points); no identities without it.
  bool volumeKnown = false;
  uint64_t volume = 0;
  bool changeTimes = false;
  std::unordered_map<NativeString, std::vector<FolderItem>> listings;  // by folder path
  std::vector<NativeString> waiting;
  unsigned listing = 0;  // folders being listed now
  bool failed = false;
  std::mutex lock;
  std::condition_variable changed;

  bool Excluded(const NativeString& path) const {
    return std::find(excluded->begin(), excluded->end(), FoldCase(path)) != excluded->end();
  }

  void Work() {
    std::unique_lock<std::mutex> hold(lock);
    for (;;) {
      changed.wait(hold, [this] { return failed || !waiting.empty() || listing == 0; });
      if (failed || waiting.empty()) return;
      NativeString folder = std::move(waiting.back());
      waiting.pop_back();
      ++listing;
      hold.unlock();
      std::vector<FolderItem> items;
      bool listed = ListFolder(folder, &items);
      if (!listed) NoteFailure(ReasonFileUnreadable, folder);
      // Only what is packed stays in the listing: no links, nothing excluded.
      items.erase(std::remove_if(items.begin(), items.end(),
                                 [&](const FolderItem& item) {
                                   return item.link || Excluded(WithSeparator(folder) + item.name);
                                 }),
                  items.end());
      std::sort(items.begin(), items.end(),
                [](const FolderItem& a, const FolderItem& b) { return a.name < b.name; });
      std::vector<NativeString> found;
      for (const FolderItem& item : items) {
        if (item.folder) found.push_back(WithSeparator(folder) + item.name);
      }
      hold.lock();
      --listing;
      failed = failed || !listed;
      waiting.insert(waiting.end(), found.begin(), found.end());
      listings[folder] = std::move(items);
      changed.notify_all();
    }
  }

  // The listed items below folder, depth first.
  void Collect(const NativeString& folder, const NativeString& prefix,
               std::vector<SourceItem>* items) const {
    for (const FolderItem& item : listings.at(folder)) {
      NativeString path = WithSeparator(folder) + item.name;
      NativeString relative = prefix + item.name;
      items->push_back({path, relative, FoldCase(relative), item.folder, item.size,
                        item.modifiedSeconds, item.modifiedNanoseconds,
                        volumeKnown && item.identityKnown, item.volume != 0 ? item.volume : volume,
                        item.fileIndex, changeTimes && item.changeKnown, item.changeTime});
      if (item.folder) Collect(path, relative + NativeString(1, '/'), items);
    }
  }
};

}  // namespace

int CollectItems(const NativeString& folder, const std::vector<NativeString>& excluded,
                 std::vector<SourceItem>* items) {
  TreeListing tree;
  tree.excluded = &excluded;
  tree.waiting.push_back(folder);
  tree.volumeKnown = DescribeVolume(folder, &tree.volume, &tree.changeTimes);
  RunOnWorkers([&tree](unsigned, unsigned) { tree.Work(); });
  if (tree.failed) return 0;
  tree.Collect(folder, NativeString(), items);
  return 1;
}

