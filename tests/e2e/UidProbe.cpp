// Prints what the update query should be made of on this machine, found
// independently of the launcher's code: the processor words of CPUID leaf 1,
// the Windows product ID (64-bit registry view) and the Windows version.
// Output: key=value lines, values percent-encoded like the other helpers'.
#include "../helpers/HelperOutput.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

void Print(const char* key, const std::string& value)
{
    std::printf("%s=%s\n", key, helpers::Escape(value).c_str());
}

void PrintProcessor()
{
    unsigned int eax = 1, ebx, ecx = 0, edx;
    asm volatile("cpuid" : "+a"(eax), "=b"(ebx), "+c"(ecx), "=d"(edx));
    char text[17];
    std::snprintf(text, sizeof(text), "%08X%08X", edx, eax);
    Print("processor", text);
}

void PrintProductId()
{
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                                KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key);
    if (status != ERROR_SUCCESS) {
        Print("product_id_state", "no-key");
        return;
    }
    DWORD type = 0, size = 0;
    status = RegQueryValueExW(key, L"ProductId", nullptr, &type, nullptr, &size);
    std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
    if (status == ERROR_SUCCESS) {
        status = RegQueryValueExW(key, L"ProductId", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        Print("product_id_state", "absent");
    } else if (type != REG_SZ) {
        Print("product_id_state", "type-" + std::to_string(type));
    } else {
        data.resize(data.find(L'\0'));
        Print("product_id_state", "present");
        Print("product_id", helpers::ToUtf8(data));
    }
}

void PrintVersion()
{
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&info)) {
        Print("os", "error");
        return;
    }
#pragma GCC diagnostic pop
    Print("os", std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
                    std::to_string(info.dwBuildNumber));
}

void PrintWow64()
{
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    Print("wow64", wow64 ? "yes" : "no");
}

} // namespace

int wmain()
{
    PrintProcessor();
    PrintProductId();
    PrintVersion();
    PrintWow64();
    return 0;
}
