// libFuzzer target over the archive library's core: recognition, extraction into a scratch
// folder and the update pack that copies the old archive's entries, in the input's own format
// where the library writes it (a 7z update reads the old header and plans its blocks), else
// as ZIP. A 7z input has its two header CRCs mended first, so that mutations reach the header
// reader instead of failing its checks. Every input starts from an empty scratch folder, and
// nothing may land outside it. The input's first bytes are also taken as an entry name on
// their own, for the name checks every archive's names go through.
#include <stdlib.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <zlib.h>

#include "entry_names.h"
#include "sevenzip/sevenzip_format.h"
#include "vessiko_core.h"

namespace {

constexpr size_t LongestNameTried = 1024;

std::string scratch;

void RemoveScratch() {
  std::error_code error;
  if (!scratch.empty()) std::filesystem::remove_all(scratch, error);
}

bool PrepareScratch() {
  if (!scratch.empty()) return true;
  const char* tmp = getenv("TMPDIR");
  std::string pattern = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") +
                        "/vessiko-fuzz-XXXXXX";
  if (mkdtemp(&pattern[0]) == nullptr) return false;
  scratch = pattern;
  atexit(RemoveScratch);
  return true;
}

// Extracted names must stay below the target: anything else beside the input and the target
// folder in the scratch folder is a file written outside it.
void ExpectNothingOutside(const std::string& input, const std::string& folder,
                          const std::string& packed) {
  for (const auto& item : std::filesystem::directory_iterator(scratch)) {
    std::string path = item.path().string();
    if (path != input && path != folder && path != packed) {
      fprintf(stderr, "extraction wrote outside its folder: %s\n", path.c_str());
      abort();
    }
  }
}

// An entry name the checks accepted: components that are neither empty nor "." nor "..",
// hold no separator or drive colon, and a presence key that is folded already, uses '/'
// alone and splits into as many components again.
void CheckNameChecks(const std::string& name) {
  std::vector<std::string> components;
  if (!SplitEntryName(name, &components) || components.empty()) return;
  for (const std::string& component : components) {
    if (component.empty() || component == "." || component == ".." ||
        component.find_first_of("/\\:") != std::string::npos) {
      fprintf(stderr, "an unsafe component passed the name checks: %s\n", component.c_str());
      abort();
    }
  }
  std::string key = PresenceKey(components);
  if (key.find('\\') != std::string::npos || FoldCase(key) != key) {
    fprintf(stderr, "a presence key is not what the names say: %s\n", key.c_str());
    abort();
  }
  std::vector<std::string> again;
  if (!SplitEntryName(key, &again) || again.size() != components.size()) {
    fprintf(stderr, "a presence key does not split as its name: %s\n", key.c_str());
    abort();
  }
}

// Strict UTF-8 comes back byte for byte from its decoding.
void CheckUtf8RoundTrip(const std::string& name) {
  std::wstring wide;
  std::string back;
  if (DecodeUtf8(name.c_str(), &wide) && (!EncodeUtf8(wide.c_str(), &back) || back != name)) {
    fprintf(stderr, "UTF-8 did not survive its decoding: %s\n", name.c_str());
    abort();
  }
}

// The bytes up to the first NUL, at most a long path's worth: cheap beside an extraction.
void CheckNameOf(const uint8_t* data, size_t size) {
  size_t length = 0;
  while (length < size && length < LongestNameTried && data[length] != 0) ++length;
  std::string name(reinterpret_cast<const char*>(data), length);
  CheckNameChecks(name);
  CheckUtf8RoundTrip(name);
}

uint64_t Little(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = v << 8 | p[i];
  return v;
}

void PutLittle(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The next header's CRC where the start header's place and size lie inside the input, then
// the start header's own.
void MendSevenZipCrcs(std::vector<uint8_t>* bytes) {
  std::vector<uint8_t>& b = *bytes;
  if (b.size() < SevenZipStartHeaderSize ||
      std::char_traits<char>::compare(reinterpret_cast<const char*>(b.data()), SevenZipSignature,
                                      sizeof SevenZipSignature) != 0) {
    return;
  }
  uint64_t offset = Little(&b[12], 8), size = Little(&b[20], 8);
  uint64_t room = b.size() - SevenZipStartHeaderSize;
  if (offset <= room && size <= room - offset) {
    const uint8_t* next = &b[SevenZipStartHeaderSize + offset];
    PutLittle(&b[28], static_cast<uint32_t>(crc32(0, next, static_cast<uInt>(size))));
  }
  PutLittle(&b[8], static_cast<uint32_t>(crc32(0, &b[12], 20)));
}

void EmptyScratch() {
  std::error_code error;
  for (const auto& item : std::filesystem::directory_iterator(scratch, error)) {
    std::filesystem::remove_all(item.path(), error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (setlocale(LC_ALL, "") == nullptr) setlocale(LC_ALL, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  CheckNameOf(data, size);
  if (!PrepareScratch()) abort();
  std::string input = scratch + "/input";
  std::string folder = scratch + "/out";
  std::string packed = scratch + "/packed";
  std::vector<uint8_t> bytes(data, data + size);
  MendSevenZipCrcs(&bytes);
  FILE* f = fopen(input.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(bytes.data(), 1, size, f) != size) abort();
  if (fclose(f) != 0) abort();

  uint32_t kind = CheckArchive(input);
  PacRequest request;
  if (kind != 0 && !DecodePacKind(kind, &request)) {
    fprintf(stderr, "CheckArchive returned a kind the library cannot decode: 0x%08x\n",
            static_cast<unsigned>(kind));
    abort();
  }
  ExtractArchive(input, folder + "/");
  ExpectNothingOutside(input, folder, packed);
  // Packing over a damaged old archive reads all of it again, through the update path.
  if (kind != 0) {
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    int format = kind == ExtractionKind(FormatSevenZip) ? FormatSevenZip : FormatZip;
    WriteArchive(packed, input, folder, format, 0);
  }
  ExpectNothingOutside(input, folder, packed);
  EmptyScratch();
  return 0;
}
