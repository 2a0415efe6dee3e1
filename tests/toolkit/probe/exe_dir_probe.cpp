// Writes the current directory after EnterExecutableDirectory and the path of the settings
// file beside the executable, one a line, into the file its argument names.
#include <cstdio>

#include "file_handle.h"

int main(int argc, char** argv) {
  char current[MAX_PATH] = "", settings[MAX_PATH] = "";
  EnterExecutableDirectory();
  GetCurrentDirectoryA(sizeof current, current);
  ExecutableFilePath("Tembrook.ini", settings, sizeof settings);
  FILE* out = argc == 2 ? fopen(argv[1], "wb") : nullptr;
  if (out == nullptr || fprintf(out, "%s\n%s\n", current, settings) < 0) return 1;
  return fclose(out) == 0 ? 0 : 1;
}
