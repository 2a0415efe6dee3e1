// Reports through its exit code what the archive library's loader does when this program
// runs from its folder: 1 loaded, 0 refused, 10 and up a call that was not harmless.
//   loader_probe.exe ARCHIVE   (an archive the library would recognise)
#include <cstring>

#include "archive_library.h"

namespace {

bool CallsAreHarmless(const char* archive) {
  const char* name = GetDLLStr(0);
  return Check(archive) == 0 && Pac(archive, "C:\\", 0x80000002u) == 0 && GetDLLType() == 0 &&
         name != nullptr && name[0] == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 20;
  const char* archive = argv[1];
  if (!CallsAreHarmless(archive)) return 10;
  ReleaseDLL();
  if (!CallsAreHarmless(archive)) return 11;
  if (!LoadDLL()) return CallsAreHarmless(archive) ? 0 : 12;
  if (GetDLLType() == 0 || Check(archive) == 0) return 13;
  ReleaseDLL();
  ReleaseDLL();
  return CallsAreHarmless(archive) ? 1 : 14;
}
