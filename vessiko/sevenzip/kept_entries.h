// The old archive's entries a 7z update keeps though the drive no longer shows them, where
// they do not lie in a piece that is copied: items without data from the old header, data
// decoded by libarchive and compressed again into blocks of their own.
#pragma once

#include "sevenzip/container_writer.h"
#include "sevenzip/update_plan.h"

// The absent entries of an old archive whose header was read, in the header's order: the
// ones the plan left to be kept later, and its empties not present under the root.
int KeepAbsent(const NativeString& previous, const SevenZipArchive& old, SevenZipPlan* plan,
               SevenZipWriter* writer);
// The absent entries as libarchive reads them, for an old archive whose header this
// library does not read itself.
int KeepAbsentThroughLibarchive(const NativeString& previous, SevenZipPlan* plan,
                                SevenZipWriter* writer);
