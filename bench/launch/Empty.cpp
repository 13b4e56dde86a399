// The floor of any program start: a GUI program that does nothing, linked
// like the launcher (statically, system DLLs only). Built a second time with
// READ_COMMAND_LINE, it also splits its command line with CommandLineToArgvW,
// as the launcher must, and carries the launcher's manifest: the cost of
// loading shell32 in such a process, which no launcher that reads its
// arguments that way can avoid.
#include <windows.h>
#ifdef READ_COMMAND_LINE
#include <shellapi.h>
#endif

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
#ifdef READ_COMMAND_LINE
    int count = 0;
    LocalFree(CommandLineToArgvW(GetCommandLineW(), &count));
#endif
    return 0;
}
