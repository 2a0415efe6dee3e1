// Times the engine's write-backs on a real archive, for the program-level benchmark:
//   write_back_probe ARCHIVE ROOT [RUNS]
// binds the archive (a copy the caller may lose) to a drive whose folder lies under ROOT,
// then times the timer's write-back of the unchanged drive, the timer's write-back after one
// change (a small file written anew before each) and full packs of it, and prints
//   bind_s=<s> unchanged_tick_s=<median> changed_tick_s=<median> full_pack_s=<median> runs=<n>
// The drive is never mapped: write-backs pack from the drive folder, not from the letter.
// Exit code 0 on success, 1 on a usage error, 2 when an operation failed.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "archive_library.h"
#include "bounded_text.h"
#include "drive_table.h"

namespace {

constexpr uint8_t Letter = 'R' - 'A';

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / frequency.QuadPart;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Runs one operation and returns its duration; a failed operation ends the probe.
template <typename Operation>
double Time(const char* what, Operation operation) {
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  int ok = operation();
  QueryPerformanceCounter(&end);
  if (!ok) {
    fprintf(stderr, "write_back_probe: %s failed\n", what);
    exit(2);
  }
  return Seconds(start, end);
}

// The file written anew with the text, as an editor saves it.
bool WriteText(const char* path, const char* text) {
  HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  bool ok = WriteFile(file, text, lstrlenA(text), &written, nullptr) &&
            written == static_cast<DWORD>(lstrlenA(text));
  return CloseHandle(file) && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    fprintf(stderr, "usage: write_back_probe ARCHIVE ROOT [RUNS]\n");
    return 1;
  }
  int runs = argc > 3 ? atoi(argv[3]) : 5;
  if (runs < 1) runs = 1;
  if (!LoadDLL()) {
    fprintf(stderr, "write_back_probe: the archive library does not load\n");
    return 2;
  }
  int result = 0;
  {
    DriveTable table;
    // Nothing may wait on a message box in a benchmark.
    table.noticeSink = [](EngineNotice, uint8_t letter, const char*, const LibraryReport&) {
      fprintf(stderr, "write_back_probe: %c: not released\n", 'A' + letter);
    };
    if (!CopyBounded(table.TempRoot, sizeof table.TempRoot, argv[2])) return 1;
    char driveParent[PathSize];
    char folder[PathSize];
    if (!FormatBounded(driveParent, sizeof driveParent, "%s\\Drive", argv[2]) ||
        !table.FormatDriveFolder(Letter, folder)) {
      return 1;
    }
    CreateDirectoryA(driveParent, nullptr);
    CreateDirectoryA(folder, nullptr);
    // Bound as the drop bar binds, without asking the platform for the letter.
    table.kinds[Letter] = DriveKind::Virtual;
    DriveSlot& slot = table.slots[Letter];
    slot.flags = TimedUpdate;
    slot.intervalMinutes = 60;
    double bind = Time("bind", [&] { return table.BindArchive(Letter, argv[1], 1); });
    if (slot.timerId == 0 || slot.archiveKind == 0) {
      fprintf(stderr, "write_back_probe: the archive was not bound\n");
      return 2;
    }

    std::vector<double> ticks, changedTicks, packs;
    auto tick = [&] {
      DriveTable::UpdateTimerProc(nullptr, WM_TIMER, slot.timerId, 0);
      return 1;
    };
    for (int i = 0; i < runs; ++i) ticks.push_back(Time("tick", tick));
    char changed[PathSize];
    if (!FormatBounded(changed, sizeof changed, "%s\\bench-change.txt", folder)) return 1;
    for (int i = 0; i < runs; ++i) {
      char line[32];
      FormatBounded(line, sizeof line, "change %d\r\n", i);
      if (!WriteText(changed, line)) return 2;
      changedTicks.push_back(Time("changed tick", tick));
    }
    for (int i = 0; i < runs; ++i) {
      packs.push_back(Time("pack", [&] { return table.WriteBackArchive(Letter); }));
    }
    printf("bind_s=%.6f unchanged_tick_s=%.6f changed_tick_s=%.6f full_pack_s=%.6f runs=%d\n",
           bind, Median(ticks), Median(changedTicks), Median(packs), runs);

    slot.flags = 0;
    if (!table.ReleaseArchive(Letter, 1)) result = 2;
    table.kinds[Letter] = DriveKind::Free;
  }
  ReleaseDLL();
  return result;
}
