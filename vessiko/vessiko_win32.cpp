#include <cstdint>
extern "C" {
__declspec(dllexport) int LoadDLL() { return 1; }
__declspec(dllexport) void ReleaseDLL() {}
__declspec(dllexport) uint32_t Check(const char*) { return 0; }
__declspec(dllexport) int Pac(const char*, const char*, uint32_t) { return 0; }
__declspec(dllexport) uint32_t GetDLLType() { return 0; }
__declspec(dllexport) const char* GetDLLStr(int) { return ""; }
}
