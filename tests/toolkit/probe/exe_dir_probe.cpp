// Writes the current directory after EnterExecutableDirectory and the settings path that
// SetPath composes, one per line, into the file named by the first argument.
#include <windows.h>

#include <cstdio>

#include "file_handle.h"
#include "profile_file.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  EnterExecutableDirectory();
  char current[MAX_PATH] = {};
  GetCurrentDirectoryA(sizeof current, current);
  ProfileFile settings;
  settings.SetPath("Tembrook.ini", ExecutableDirectory);
  FILE* out = fopen(argv[1], "wb");
  if (!out) return 3;
  fprintf(out, "%s\n%s\n", current, settings.ready ? settings.path : "(not ready)");
  fclose(out);
  return 0;
}
