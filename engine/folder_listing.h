// What a drive folder held at one moment, kept as a digest of its listing: the relative
// path, attributes, size and times of every file and folder below it. Two listings that
// agree mean nothing was added, removed, renamed, resized or touched in between, so a
// timed write-back has nothing new to pack.
#pragma once

#include <windows.h>

struct FolderListing {
  int taken;                // 0: no listing (never taken, or the walk failed)
  unsigned char digest[32];  // SHA-256 of the listing's records in sorted order
};

// Walks the folder and everything below it (reparse points are listed, never entered).
// Returns 1 with the listing taken; 0, with taken cleared, when the folder is missing,
// a path does not fit or the walk or the hash fails.
int TakeFolderListing(const char* folder, FolderListing* listing);

// 1 when both listings were taken and agree.
int SameFolderListing(const FolderListing& first, const FolderListing& second);
