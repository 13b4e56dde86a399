// Loads a system library by its bare name, as any program without the
// launcher's precautions would: the planting test's proof that a planted DLL
// beside the program would be seen in Wine's load log.
#include <windows.h>

int wmain()
{
    return LoadLibraryW(L"version.dll") != nullptr ? 0 : 1;
}
