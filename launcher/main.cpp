// launcher.exe: the frame with the launcher's own declarations. No command line is read.
#include <windows.h>

#include "launcher/launcher_program.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) { return RunProgram(LauncherDeclarations()); }
