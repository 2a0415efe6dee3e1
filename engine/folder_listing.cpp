#include "folder_listing.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "bounded_text.h"
#include "folder_walk.h"
#include "drive_table.h"
#include "sha256_digest.h"

namespace {

struct Entry {
  std::string name;
  DWORD attributes;
  DWORD sizeHigh;
  DWORD sizeLow;
  FILETIME written;
  FILETIME created;
};

// One folder's entries sorted by name, so that the listing does not depend on the order
// the file system returns them in.
int ReadEntries(const char* folder, std::vector<Entry>* entries) {
  FolderWalk walk(folder);
  while (walk.Next()) {
    const WIN32_FIND_DATAA& data = walk.data;
    entries->push_back(Entry{data.cFileName, data.dwFileAttributes, data.nFileSizeHigh,
                             data.nFileSizeLow, data.ftLastWriteTime, data.ftCreationTime});
  }
  // A walk cut short would look like deleted files.
  if (!walk.complete) return 0;
  std::sort(entries->begin(), entries->end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return 1;
}

// Each record: the relative path and its terminating NUL, then fixed-size fields; the NUL
// keeps a name from running into the next record's fields.
int ListFolder(const char* folder, const char* relative, Sha256Digest& sink) {
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
    sink.Add(childRelative, strlen(childRelative) + 1);
    sink.Add(&entry.attributes, sizeof entry.attributes);
    sink.Add(&entry.sizeHigh, sizeof entry.sizeHigh);
    sink.Add(&entry.sizeLow, sizeof entry.sizeLow);
    sink.Add(&entry.written, sizeof entry.written);
    sink.Add(&entry.created, sizeof entry.created);
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
  Sha256Digest sink;
  if (!ListFolder(folder, "", sink) || !sink.Finish(listing->digest)) return 0;
  listing->taken = 1;
  return 1;
}

int SameFolderListing(const FolderListing& first, const FolderListing& second) {
  return first.taken && second.taken &&
         memcmp(first.digest, second.digest, sizeof first.digest) == 0;
}
