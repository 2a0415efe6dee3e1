// Deflate64, the method Windows' own "compress to ZIP" uses once the data passes about 2 GB:
// libarchive cannot decode it, so the library decodes such entries itself with zlib's
// infback9.
#pragma once

#include <fstream>
#include <vector>

#include "archive_input.h"
#include "zip/zip_directory.h"

constexpr char Deflate64Name[] = "Deflate64";

// Decodes a stored entry's data from the archive and hands it to sink; 0 when the data is
// damaged (its size or CRC is not the directory's) or the sink refused.
int ReadDeflate64(std::ifstream* in, const ZipStoredEntry& entry, std::vector<char>* buffer,
                  const DataSink& sink);
