// frame_test_routines.dll: routines for the external call's stack check. One is shaped as a system
// routine (stdcall: it removes its argument); the other leaves its argument on the stack (cdecl).
#include <cstdint>

extern "C" __declspec(dllexport) std::uint32_t __stdcall StdcallRoutine(std::uint32_t value) { return value + 1; }
extern "C" __declspec(dllexport) std::uint32_t __cdecl CdeclRoutine(std::uint32_t value) { return value + 2; }
