// Stand-in for the layout library: it only has to prove which build was loaded.
#include <windows.h>

extern "C" __declspec(dllexport) const wchar_t* __stdcall DemoLayoutDescribe()
{
#ifdef _WIN64
    return L"demolayout x64 1.0";
#else
    return L"demolayout x86 1.0";
#endif
}
