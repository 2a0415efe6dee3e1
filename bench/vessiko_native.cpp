// vessiko-native: the archive library's core built for the build machine, driven from the
// command line so that it can be timed beside the Linux archivers.
//   vessiko-native extract ARCHIVE FOLDER
//   vessiko-native pack ARCHIVE ROOT FORMAT [fresh]     FORMAT: zip 7z tar tar.gz tar.bz2 tar.xz
//   vessiko-native check ARCHIVE
//   vessiko-native warm-pack ARCHIVE ROOT FORMAT COMMAND
//       packs ROOT over ARCHIVE (which leaves the library its record of the files), runs
//       COMMAND through the shell (the change, say), packs again in the same process and
//       prints the second pack's seconds alone on a line: the timed write-back's case
// VESSIKO_PIECE_BYTES, when set, is the size of the pieces a 7z is compressed in (the checks
// make small ones to have many).
// Exit code 0 on success, 1 on failure, 2 on bad usage.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "sevenzip/lzma2_pieces.h"
#include "vessiko_core.h"

namespace {

int FormatIndex(const char* name) {
  static const char* const FormatNames[WritableFormatCount] = {"zip",    "7z",      "tar",
                                                               "tar.gz", "tar.bz2", "tar.xz"};
  for (int i = 0; i < WritableFormatCount; ++i) {
    if (strcmp(name, FormatNames[i]) == 0) return i;
  }
  return -1;
}

bool FlushToDisk(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return false;
  bool flushed = fsync(fd) == 0;
  close(fd);
  return flushed;
}

// As the library does on Windows: the new archive goes to a temporary file beside the old
// one and replaces it only when complete and flushed.
int Pack(const std::string& archive, const std::string& root, int format, int fresh) {
  std::string temporary = archive + ".vskXXXXXX";
  int fd = mkstemp(&temporary[0]);
  if (fd < 0) return 0;
  close(fd);
  int ok = WriteArchive(temporary, archive, root, format, fresh) && FlushToDisk(temporary) &&
           rename(temporary.c_str(), archive.c_str()) == 0;
  if (!ok) unlink(temporary.c_str());
  return ok;
}

// Exit code as pack's: 0 when both packs succeeded.
int WarmPack(const std::string& archive, const std::string& root, int format,
             const char* command) {
  if (!Pack(archive, root, format, 0)) return 1;
  if (system(command) != 0) return 1;
  auto start = std::chrono::steady_clock::now();
  int ok = Pack(archive, root, format, 0);
  std::chrono::duration<double> seconds = std::chrono::steady_clock::now() - start;
  printf("%.3f\n", seconds.count());
  return ok ? 0 : 1;
}

int Usage() {
  fprintf(stderr,
          "usage: vessiko-native extract ARCHIVE FOLDER\n"
          "       vessiko-native pack ARCHIVE ROOT FORMAT [fresh]\n"
          "       vessiko-native check ARCHIVE\n"
          "       vessiko-native warm-pack ARCHIVE ROOT FORMAT COMMAND\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // In the "C" locale libarchive cannot convert names that are not ASCII.
  if (setlocale(LC_ALL, "") == nullptr) setlocale(LC_ALL, "C.UTF-8");
  if (const char* piece = getenv("VESSIKO_PIECE_BYTES")) {
    SevenZipPieceTarget = strtoull(piece, nullptr, 10);
  }
  if (argc < 3) return Usage();
  std::string command = argv[1];
  if (command == "check" && argc == 3) {
    uint32_t kind = CheckArchive(argv[2]);
    printf("0x%08x\n", static_cast<unsigned>(kind));
    return kind != 0 ? 0 : 1;
  }
  if (command == "extract" && argc == 4) return ExtractArchive(argv[2], argv[3]) ? 0 : 1;
  if (command == "pack" && (argc == 5 || argc == 6)) {
    int format = FormatIndex(argv[4]);
    if (format < 0) return Usage();
    int fresh = argc == 6 && strcmp(argv[5], "fresh") == 0;
    if (argc == 6 && !fresh) return Usage();
    return Pack(argv[2], argv[3], format, fresh) ? 0 : 1;
  }
  if (command == "warm-pack" && argc == 6) {
    int format = FormatIndex(argv[4]);
    return format < 0 ? Usage() : WarmPack(argv[2], argv[3], format, argv[5]);
  }
  return Usage();
}
