// vessiko_cli: Vessiko.dll driven from the command line through the program's own loader,
// so that `make bench` times what a user gets (the library under Wine).
//   vessiko_cli extract ARCHIVE FOLDER
//   vessiko_cli pack ARCHIVE ROOT FORMAT      FORMAT: 0 ZIP, 1 7z, 2 tar, 3 tar.gz, ...
// Exit code 0 on success, 1 on failure, 2 on bad usage. Lives beside Vessiko.dll.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "archive_library.h"

namespace {

// The library takes folders with their trailing backslash, as the engine passes them.
std::string WithBackslash(const char* folder) {
  std::string text = folder;
  if (!text.empty() && text.back() != '\\') text += '\\';
  return text;
}

int Run(int argc, char** argv) {
  if (argc == 4 && strcmp(argv[1], "extract") == 0) {
    ArchiveKind kind = Check(argv[2]);
    if (kind == 0) return 1;
    return Pac(argv[2], WithBackslash(argv[3]).c_str(), kind) ? 0 : 1;
  }
  if (argc == 5 && strcmp(argv[1], "pack") == 0) {
    char* end = nullptr;
    long format = strtol(argv[4], &end, 10);
    if (*end != '\0' || format < 0 || format > 15) return 2;
    if ((GetDLLType() & (1u << format)) == 0) return 1;
    // As the engine derives it from the extraction kind.
    ArchiveKind kind = PackingKind(ExtractionKind(static_cast<int>(format)));
    return Pac(argv[2], WithBackslash(argv[3]).c_str(), kind) ? 0 : 1;
  }
  fprintf(stderr, "usage: vessiko_cli extract ARCHIVE FOLDER | pack ARCHIVE ROOT FORMAT\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (!LoadDLL()) {
    fprintf(stderr, "Vessiko.dll could not be loaded\n");
    ReleaseDLL();
    return 1;
  }
  int code = Run(argc, argv);
  ReleaseDLL();
  return code;
}
