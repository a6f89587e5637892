// Velkar: the demo application that the launcher carries, installs and watches. It shows a small
// window saying what it is, the command line it got and the folder it was started in, and ends by
// itself after a few seconds (Velkar.ini beside it can change how many) or when it is closed, so that
// a whole run of the launcher can be watched unattended.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

constexpr UINT_PTR kEndTimer = 1;
constexpr int kDefaultSeconds = 5;

char message[4096];

// The folder of this program, with a trailing backslash. GetModuleFileNameA gives a full path; its
// last backslash is found with the double-byte rules, since a trail byte of GBK can be 0x5C.
void ProgramFolder(char* folder, DWORD size) {
    DWORD length = GetModuleFileNameA(nullptr, folder, size);
    if (length == 0 || length >= size) {
        folder[0] = '\0';
        return;
    }
    char* afterLast = folder;
    for (char* p = folder; *p != '\0'; p = CharNextA(p)) {
        if (*p == '\\')
            afterLast = p + 1;
    }
    *afterLast = '\0';
}

// How long the window stays: "Seconds" in the [Velkar] section of Velkar.ini, 1 to 600, else 5.
int SecondsToStay(const char* folder) {
    char ini[MAX_PATH + 16];
    if (std::snprintf(ini, sizeof ini, "%sVelkar.ini", folder) >= static_cast<int>(sizeof ini))
        return kDefaultSeconds;
    int seconds = static_cast<int>(GetPrivateProfileIntA("Velkar", "Seconds", kDefaultSeconds, ini));
    return seconds >= 1 && seconds <= 600 ? seconds : kDefaultSeconds;
}

// The arguments after the program's own name, as Windows splits the command line: a quoted name
// ends at the closing quote, an unquoted one at the first space or tab.
const char* Arguments(const char* commandLine) {
    const char* p = commandLine;
    if (*p == '"') {
        ++p;
        while (*p != '\0' && *p != '"')
            ++p;
        if (*p == '"')
            ++p;
    } else {
        while (*p != '\0' && *p != ' ' && *p != '\t')
            ++p;
    }
    while (*p == ' ' || *p == '\t')
        ++p;
    return p;
}

LRESULT CALLBACK WindowProcedure(HWND window, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT area;
        GetClientRect(window, &area);
        InflateRect(&area, -12, -12);
        SetBkMode(dc, TRANSPARENT);
        SelectObject(dc, GetStockObject(DEFAULT_GUI_FONT));
        DrawTextA(dc, message, -1, &area, DT_LEFT | DT_TOP | DT_WORDBREAK | DT_NOPREFIX);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_TIMER:
        if (wParam == kEndTimer) {
            KillTimer(window, kEndTimer);
            DestroyWindow(window);
        }
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcA(window, msg, wParam, lParam);
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showMode) {
    char programFolder[MAX_PATH];
    ProgramFolder(programFolder, sizeof programFolder);
    char startFolder[MAX_PATH];
    DWORD length = GetCurrentDirectoryA(sizeof startFolder, startFolder);
    if (length == 0 || length >= sizeof startFolder)
        startFolder[0] = '\0';
    const char* commandLine = GetCommandLineA();
    const char* arguments = Arguments(commandLine);
    // "/n" is how the launcher starts the application: a normal start. Any other arguments are only
    // shown.
    bool normalStart = std::strcmp(arguments, "/n") == 0 || std::strcmp(arguments, "/N") == 0;
    int seconds = SecondsToStay(programFolder);

    std::snprintf(message, sizeof message,
                  "Velkar demo application\r\n"
                  "installed and started by the Kestrelworks launcher.\r\n\r\n"
                  "Command line: %s\r\n"
                  "Start: %s\r\n"
                  "Started in folder: %s\r\n"
                  "Program folder: %s\r\n\r\n"
                  "This window closes by itself after %d seconds.",
                  commandLine, normalStart ? "normal (/n)" : (*arguments ? "other arguments" : "no arguments"),
                  startFolder, programFolder, seconds);

    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WindowProcedure;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursor(nullptr, IDC_ARROW);
    windowClass.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = "VelkarDemoWindow";
    if (!RegisterClassA(&windowClass))
        return 1;
    HWND window = CreateWindowExA(0, windowClass.lpszClassName, "Velkar", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 560, 260, nullptr, nullptr, instance, nullptr);
    if (window == nullptr)
        return 1;
    ShowWindow(window, showMode);
    UpdateWindow(window);
    SetTimer(window, kEndTimer, static_cast<UINT>(seconds) * 1000, nullptr);

    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return 0;
}
