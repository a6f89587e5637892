// A program that only waits: copied into an extracted tree as its running main executable.
#include <windows.h>

int main() {
    Sleep(60000);
    return 0;
}
