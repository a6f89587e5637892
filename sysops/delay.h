// sysops/delay.h: waiting while the program's messages keep being handled.
#pragma once
#include <cstdint>

// Waits a little more than `milliseconds` (nothing at all for 0 or less), handling the thread's
// messages through the frame's pump as they arrive and blocking between them, so the wait costs next
// to no processor time. A quit message stays queued for the main loop. Correct across the tick
// count's wrap.
void Delay(std::int32_t milliseconds);
