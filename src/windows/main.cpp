// Stand-in until the Windows window lands: a program that links the shared
// core and settings and carries the resources, so the build, the packaging
// checks and the Wine harness have an exe to work on.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return 0;
}
