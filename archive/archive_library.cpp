#include "archive_library.h"
// placeholder until the loader lands
int LoadDLL() { return 0; }
void ReleaseDLL() {}
ArchiveKind Check(const char*) { return 0; }
int Pac(const char*, const char*, ArchiveKind) { return 0; }
FormatMask GetDLLType() { return 0; }
const char* GetDLLStr(int) { return ""; }
