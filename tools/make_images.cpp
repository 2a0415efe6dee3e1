#include <cstdio>
int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) { FILE* f = fopen(argv[i], "wb"); if (f) fclose(f); }
  return 0;
}
