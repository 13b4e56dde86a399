#include "ScopedHandle.h"

#include <windows.h>
#include <wininet.h>

namespace Kova {

void CloseKernelHandle(void* handle)
{
    CloseHandle(handle);
}

void CloseInternetHandle(void* handle)
{
    InternetCloseHandle(handle);
}

void CloseRegistryKey(void* key)
{
    RegCloseKey(static_cast<HKEY>(key));
}

} // namespace Kova
