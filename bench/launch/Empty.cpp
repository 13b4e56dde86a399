// The floor of any program start: a 32-bit GUI program that does nothing,
// linked like the launcher (statically, system DLLs only).
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    return 0;
}
