/* Makes a benchmark program load USER32.dll at start, as extract_bench must for the ZIP component
   (and the launcher does anyway), so every program the driver times pays the same process start. */
#include <windows.h>

__attribute__((used)) static const void* const kLoadsUser32 = (const void*)&IsWindow;
