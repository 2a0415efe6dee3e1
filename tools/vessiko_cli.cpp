// vessiko_cli: Vessiko.dll driven from the command line through the program's own loader,
// so that `make bench` times what a user gets (the library under Wine).
//   vessiko_cli extract ARCHIVE FOLDER
//   vessiko_cli pack ARCHIVE ROOT FORMAT      FORMAT: 0 ZIP, 1 7z, 2 tar, 3 tar.gz, ...
//   vessiko_cli warm-pack ARCHIVE ROOT FORMAT FILE
//       packs, changes FILE (a line added, the file replaced as an editor saves it), packs
//       again in the same process and prints the second pack's seconds alone on a line
// Exit code 0 on success, 1 on failure, 2 on bad usage. Lives beside Vessiko.dll.
#include <windows.h>

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

// A line added to the file, written beside it and moved over it: no write through a link.
bool ChangeFile(const char* path) {
  std::string draft = std::string(path) + ".new";
  if (!CopyFileA(path, draft.c_str(), FALSE)) return false;
  HANDLE file =
      CreateFileA(draft.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, "edited by the bench\n", 20, &written, nullptr) && written == 20;
  CloseHandle(file);
  return ok && MoveFileExA(draft.c_str(), path, MOVEFILE_REPLACE_EXISTING);
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
  if (argc == 6 && strcmp(argv[1], "warm-pack") == 0) {
    int format = atoi(argv[4]);
    if (format < 0 || format > 15 || (GetDLLType() & (1u << format)) == 0) return 2;
    ArchiveKind kind = PackingKind(ExtractionKind(format));
    std::string root = WithBackslash(argv[3]);
    if (!Pac(argv[2], root.c_str(), kind) || !ChangeFile(argv[5])) return 1;
    LARGE_INTEGER start, end, frequency;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    int packed = Pac(argv[2], root.c_str(), kind);
    QueryPerformanceCounter(&end);
    printf("%.3f\n", static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart);
    return packed ? 0 : 1;
  }
  fprintf(stderr,
          "usage: vessiko_cli extract ARCHIVE FOLDER | pack ARCHIVE ROOT FORMAT |\n"
          "       warm-pack ARCHIVE ROOT FORMAT FILE\n");
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
