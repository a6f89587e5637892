#include "sysops/delay.h"

#include <windows.h>

#include "base/services.h"

void Delay(std::int32_t milliseconds) {
    if (milliseconds <= 0)
        return;
    const DWORD asked = static_cast<DWORD>(milliseconds);
    const DWORD start = GetTickCount();
    // With no frame connected nothing takes messages from the queue; waiting for them would then
    // end at once every time, so only the clock is waited for.
    const DWORD wakeFor = Services().pumpPendingMessages ? QS_ALLINPUT : 0;
    for (;;) {
        // Two pumps a round, as Delay is defined to make them. The second finds only what arrived while
        // the first ran and costs next to nothing; without it, such a message would wake the wait below
        // at once, so the number of pumps, not the behaviour, is what it keeps.
        PumpPendingMessagesThroughFrame();
        PumpPendingMessagesThroughFrame();
        // Elapsed time modulo 2^32 keeps its meaning when the tick count wraps during the wait.
        DWORD elapsed = GetTickCount() - start;
        if (elapsed > asked)
            return;
        // Block until a message arrives or the time is up. No MWMO_INPUTAVAILABLE: the wait then ends
        // only for input that arrived after the pump last looked at the queue, so the quit message
        // the pump leaves queued does not end every wait at once and turn this into a spin.
        MsgWaitForMultipleObjectsEx(0, nullptr, asked - elapsed + 1, wakeFor, 0);
    }
}
