// A windowed program that never becomes idle for input: it never asks for a message. Ends after 20 s.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    Sleep(20000);
    return 0;
}
