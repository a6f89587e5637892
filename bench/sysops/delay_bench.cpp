// Measures a Delay of 3000 ms (or the milliseconds given on the command line): wall time, the
// process's processor time and their ratio, once for Delay and once for a waiting loop that only
// pumps and reads the tick count (the way a wait without blocking works), as a baseline. A window
// with a 100 ms timer keeps messages coming, as the launcher's window would. Prints to stdout.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "base/services.h"
#include "bench/bare_window.h"
#include "harness/harness.h"
#include "launcher/frame.h"
#include "sysops/delay.h"

namespace {

int timerPeriods = 0;

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_TIMER) {
        ++timerPeriods;
        return 0;
    }
    return DefWindowProcA(window, message, w, l);
}

void SpinningDelay(std::int32_t milliseconds) {
    DWORD deadline = GetTickCount() + static_cast<DWORD>(milliseconds);
    for (;;) {
        PumpPendingMessages();
        PumpPendingMessages();
        if (GetTickCount() > deadline)
            return;
        PumpPendingMessages();
        PumpPendingMessages();
    }
}

double ProcessorMilliseconds() {
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    auto ticks = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;
}

// The processor time of a measured wait (ms).
double Measure(const char* name, void (*wait)(std::int32_t), std::int32_t milliseconds, bool quitQueued) {
    if (quitQueued)
        PostQuitMessage(0);
    timerPeriods = 0;
    double wall0 = harness::NowMilliseconds(), cpu0 = ProcessorMilliseconds();
    wait(milliseconds);
    double wall = harness::NowMilliseconds() - wall0, cpu = ProcessorMilliseconds() - cpu0;
    std::printf("%-8s %-11s wall %7.1f ms  cpu %7.1f ms  cpu/wall %6.3f  timer periods %d\n", name,
                quitQueued ? "quit-queued" : "plain", wall, cpu, cpu / wall, timerPeriods);
    std::fflush(stdout);
    MSG message;
    while (PeekMessageA(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
    return cpu;
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR commandLine, int) {
    std::int32_t milliseconds = commandLine && *commandLine ? std::atoi(commandLine) : 3000;
    ServiceEntry entry;
    entry.pumpPendingMessages = PumpPendingMessages;  // the frame's own pump, as the launcher connects it
    ConnectServices(entry);
    HWND window = CreateBareWindow(instance, "KestrelDelayBench", Procedure, 0);
    SetTimer(window, 1, 100, nullptr);
    if (GetEnvironmentVariableA("KESTREL_EMULATED", nullptr, 0) > 0)
        std::printf(
            "EMULATED: 32-bit programs run through qemu here; the processor times include the\n"
            "emulator's translation, so only the ratios below compare like with like.\n");
    const double plain = Measure("Delay", Delay, milliseconds, false);
    const double quitQueued = Measure("Delay", Delay, milliseconds, true);
    const double spinning = Measure("spinning", SpinningDelay, milliseconds, false);
    // The figure judged: Delay's processor time as a share of a spinning wait's over as long.
    if (spinning > 0)
        std::printf("Delay cpu / spinning cpu: plain %.4f, quit-queued %.4f\n", plain / spinning,
                    quitQueued / spinning);
    DestroyWindow(window);
    return 0;
}
