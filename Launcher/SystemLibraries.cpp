// The launcher runs elevated and is usually started from a Downloads folder:
// a DLL planted beside it must never be loaded. Load-time imports are
// resolved before any of our code runs, by the normal search order that
// starts in the executable's own folder, so this executable imports only
// kernel32 and msvcrt (both known to the system) at load time. Every other
// system function it uses is bound here on its first call, from the file in
// the system directory, named by its full path.
//
// Each import pointer that the compiler calls through (__imp__Name@N) is
// defined here and starts at a resolver; the linker then takes no member of
// the import libraries, and the PE check in the tests makes sure of it.
#include <windows.h>
#include <aclapi.h>
#include <commctrl.h>
#include <sddl.h>
#include <shellapi.h>
#include <wininet.h>

#include <cwchar>

namespace {

FARPROC Resolve(const wchar_t* library, const char* function)
{
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    HMODULE module = nullptr;
    if (length > 0 && length + 1 + std::wcslen(library) < MAX_PATH) {
        std::wcscat(path, L"\\");
        std::wcscat(path, library);
        // With a full path the library's own dependencies are searched from
        // the system directory as well.
        module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    FARPROC address = module ? GetProcAddress(module, function) : nullptr;
    if (address == nullptr) {
        // A system without this function cannot run the launcher at all.
        ExitProcess(ERROR_PROC_NOT_FOUND);
    }
    return address;
}

} // namespace

// The import pointers' names: stdcall-decorated on i686, plain on x86_64.
#ifdef _WIN64
#define SPARLIN_IMPORT_SYMBOL(name, bytes) "__imp_" #name
#else
#define SPARLIN_IMPORT_SYMBOL(name, bytes) "__imp__" #name "@" #bytes
#endif

#define SPARLIN_BIND_ON_FIRST_CALL(library, result, name, bytes, parameters, arguments)                          \
    extern "C" result WINAPI Bind_##name parameters;                                                             \
    extern "C" void* import_##name __asm__(SPARLIN_IMPORT_SYMBOL(name, bytes));                                 \
    void* import_##name = reinterpret_cast<void*>(&Bind_##name);                                                 \
    extern "C" result WINAPI Bind_##name parameters                                                              \
    {                                                                                                            \
        using Function = result(WINAPI*) parameters;                                                             \
        auto function = reinterpret_cast<Function>(reinterpret_cast<void*>(Resolve(library, #name)));            \
        /* An aligned pointer store: a second thread at worst binds it again. */                                 \
        import_##name = reinterpret_cast<void*>(function);                                                       \
        return function arguments;                                                                               \
    }

SPARLIN_BIND_ON_FIRST_CALL(L"advapi32.dll", BOOL, ConvertStringSecurityDescriptorToSecurityDescriptorW, 16,
                           (LPCWSTR a, DWORD b, PSECURITY_DESCRIPTOR* c, PULONG d), (a, b, c, d))
SPARLIN_BIND_ON_FIRST_CALL(L"advapi32.dll", BOOL, ConvertSidToStringSidW, 8, (PSID a, LPWSTR* b), (a, b))
SPARLIN_BIND_ON_FIRST_CALL(L"advapi32.dll", DWORD, GetSecurityInfo, 32,
                           (HANDLE a, SE_OBJECT_TYPE b, SECURITY_INFORMATION c, PSID* d, PSID* e, PACL* f, PACL* g,
                            PSECURITY_DESCRIPTOR* h),
                           (a, b, c, d, e, f, g, h))
SPARLIN_BIND_ON_FIRST_CALL(L"advapi32.dll", BOOL, GetTokenInformation, 20,
                           (HANDLE a, TOKEN_INFORMATION_CLASS b, LPVOID c, DWORD d, PDWORD e), (a, b, c, d, e))
SPARLIN_BIND_ON_FIRST_CALL(L"advapi32.dll", BOOL, OpenProcessToken, 12, (HANDLE a, DWORD b, PHANDLE c), (a, b, c))
SPARLIN_BIND_ON_FIRST_CALL(L"advapi32.dll", LSTATUS, RegCloseKey, 4, (HKEY a), (a))
SPARLIN_BIND_ON_FIRST_CALL(L"advapi32.dll", LSTATUS, RegEnumValueW, 32,
                           (HKEY a, DWORD b, LPWSTR c, LPDWORD d, LPDWORD e, LPDWORD f, LPBYTE g, LPDWORD h),
                           (a, b, c, d, e, f, g, h))
SPARLIN_BIND_ON_FIRST_CALL(L"advapi32.dll", LSTATUS, RegOpenKeyExW, 20,
                           (HKEY a, LPCWSTR b, DWORD c, REGSAM d, PHKEY e), (a, b, c, d, e))
SPARLIN_BIND_ON_FIRST_CALL(L"advapi32.dll", BOOLEAN, SystemFunction036, 8, (PVOID a, ULONG b), (a, b))
SPARLIN_BIND_ON_FIRST_CALL(L"comctl32.dll", BOOL, InitCommonControlsEx, 4, (const INITCOMMONCONTROLSEX* a), (a))
SPARLIN_BIND_ON_FIRST_CALL(L"shell32.dll", LPWSTR*, CommandLineToArgvW, 8, (LPCWSTR a, int* b), (a, b))
SPARLIN_BIND_ON_FIRST_CALL(L"shell32.dll", BOOL, ShellExecuteExW, 4, (SHELLEXECUTEINFOW * a), (a))
SPARLIN_BIND_ON_FIRST_CALL(L"user32.dll", int, LoadStringW, 16, (HINSTANCE a, UINT b, LPWSTR c, int d),
                           (a, b, c, d))
SPARLIN_BIND_ON_FIRST_CALL(L"user32.dll", int, MessageBoxW, 16, (HWND a, LPCWSTR b, LPCWSTR c, UINT d),
                           (a, b, c, d))
SPARLIN_BIND_ON_FIRST_CALL(L"wininet.dll", HINTERNET, HttpOpenRequestW, 32,
                           (HINTERNET a, LPCWSTR b, LPCWSTR c, LPCWSTR d, LPCWSTR e, LPCWSTR* f, DWORD g,
                            DWORD_PTR h),
                           (a, b, c, d, e, f, g, h))
SPARLIN_BIND_ON_FIRST_CALL(L"wininet.dll", BOOL, HttpSendRequestW, 20,
                           (HINTERNET a, LPCWSTR b, DWORD c, LPVOID d, DWORD e), (a, b, c, d, e))
SPARLIN_BIND_ON_FIRST_CALL(L"wininet.dll", BOOL, InternetCloseHandle, 4, (HINTERNET a), (a))
SPARLIN_BIND_ON_FIRST_CALL(L"wininet.dll", HINTERNET, InternetConnectW, 32,
                           (HINTERNET a, LPCWSTR b, INTERNET_PORT c, LPCWSTR d, LPCWSTR e, DWORD f, DWORD g,
                            DWORD_PTR h),
                           (a, b, c, d, e, f, g, h))
SPARLIN_BIND_ON_FIRST_CALL(L"wininet.dll", HINTERNET, InternetOpenW, 20,
                           (LPCWSTR a, DWORD b, LPCWSTR c, LPCWSTR d, DWORD e), (a, b, c, d, e))
SPARLIN_BIND_ON_FIRST_CALL(L"wininet.dll", BOOL, InternetSetOptionW, 16, (HINTERNET a, DWORD b, LPVOID c, DWORD d),
                           (a, b, c, d))
SPARLIN_BIND_ON_FIRST_CALL(L"wininet.dll", BOOL, InternetReadFile, 16, (HINTERNET a, LPVOID b, DWORD c, LPDWORD d),
                           (a, b, c, d))
