// A library of the archive library's name that lacks GetDLLStr: the loader must refuse it.
#include <cstdint>

extern "C" {
__declspec(dllexport) int LoadDLL() { return 1; }
__declspec(dllexport) void ReleaseDLL() {}
__declspec(dllexport) uint32_t Check(const char*) { return 0x80000002u; }
__declspec(dllexport) int Pac(const char*, const char*, uint32_t) { return 1; }
__declspec(dllexport) uint32_t GetDLLType() { return 0x3Fu; }
}
