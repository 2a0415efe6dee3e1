// Archive input: opening an archive with every format and filter the library reads, telling
// what an archive is, and reading an entry's data.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <cstddef>
#include <functional>
#include <vector>

#include "vessiko_core.h"

// How much the core reads or writes at a time.
constexpr size_t BlockSize = 64 * 1024;

// One libarchive object, freed with the function that belongs to it.
template <typename Object, auto Create, auto Free>
struct LibarchiveHandle {
  Object* const object = Create();
  LibarchiveHandle() = default;
  LibarchiveHandle(const LibarchiveHandle&) = delete;
  LibarchiveHandle& operator=(const LibarchiveHandle&) = delete;
  ~LibarchiveHandle() {
    if (object != nullptr) Free(object);
  }
};
using ReaderHandle = LibarchiveHandle<archive, archive_read_new, archive_read_free>;
using WriterHandle = LibarchiveHandle<archive, archive_write_new, archive_write_free>;
using EntryHandle = LibarchiveHandle<archive_entry, archive_entry_new, archive_entry_free>;

// Opens an archive with every format and filter the library reads; 0 when it cannot.
int OpenReader(ReaderHandle* reader, const NativeString& path);
int OpenWriter(WriterHandle* writer, const NativeString& path);

// The format index of an archive whose first header was read, or -1.
int ClassifyArchive(archive* a, const NativeString& path);
// A file or a link to one; a folder is no archive.
bool IsArchiveFile(const NativeString& path);

// Takes data chunk by chunk; 0 refuses it.
using DataSink = std::function<int(const char* data, size_t size)>;
// Hands an entry's data to sink. ARCHIVE_OK when all of it was taken; the reader's failure
// (ARCHIVE_FATAL among them), or ARCHIVE_FAILED when the sink refused.
int ReadEntryData(archive* reader, std::vector<char>* buffer, const DataSink& sink);
