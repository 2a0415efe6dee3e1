// Entry names: the security boundary of the core. Every name an archive brings passes
// through SplitEntryName before anything is written, and every name compares by its key.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include <string>
#include <vector>

#include "vessiko_core.h"

constexpr NativeChar Separator = std::filesystem::path::preferred_separator;

// Decodes strict UTF-8 that is not plain ASCII into UTF-16; false for anything else.
bool DecodeUtf8(const char* text, std::wstring* out);
// UTF-16 (or UTF-32) to UTF-8; false for a lone surrogate, which no UTF-8 reader would
// give back as the same name.
bool EncodeUtf8(const wchar_t* text, std::string* out);

// A text of an entry as it is stored in a ZIP: UTF-8, flagged when it is not plain ASCII.
int StoredText(const wchar_t* wide, const char* utf8, const char* bytes, std::string* text,
               int* flagged);

// An entry's name and hard-link target as native strings; false when the entry has none.
// guessUtf8: the format does not say how its names are encoded.
bool EntryPathName(archive_entry* entry, bool guessUtf8, NativeString* name);
bool EntryHardlinkName(archive_entry* entry, bool guessUtf8, NativeString* name);
void SetEntryPathName(archive_entry* entry, const NativeString& name);

// A character's code, for a byte too never negative.
unsigned CodeOf(NativeChar c);
bool IsSeparator(NativeChar c);
NativeString WithSeparator(const NativeString& folder);
// Letter case folded the way Windows file systems ignore it in practice.
NativeString FoldCase(const NativeString& text);

// The components an entry name extracts to, below the target folder; false for an unsafe
// name: absolute, drive-qualified or UNC, "..", or a component Windows cannot hold.
bool SplitEntryName(const NativeString& name, std::vector<NativeString>* components);
NativeString JoinComponents(const std::vector<NativeString>& components, size_t count,
                            NativeChar separator);
// The key under which a name counts as present: '/' separators, letter case folded.
NativeString PresenceKey(const std::vector<NativeString>& components);

// Whether the reader's format leaves the encoding of its names unsaid.
bool NamesMayBeUtf8Bytes(archive* a);
// The components of an entry's name; false when it has none or is unsafe.
bool SplitEntryPath(archive* a, archive_entry* entry, std::vector<NativeString>* components);
