// libFuzzer target over the archive library's core: recognition, extraction into a scratch
// folder and the update pack that copies the old archive's entries. Every input starts from
// an empty scratch folder, and nothing may land outside it.
#include <stdlib.h>
#include <unistd.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "vessiko_core.h"

namespace {

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
  if (!PrepareScratch()) abort();
  std::string input = scratch + "/input";
  std::string folder = scratch + "/out";
  std::string packed = scratch + "/packed";
  FILE* f = fopen(input.c_str(), "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
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
    WriteArchive(packed, input, folder, FormatZip, 0);
  }
  ExpectNothingOutside(input, folder, packed);
  EmptyScratch();
  return 0;
}
