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
//
// A function that cannot be bound fails that one call the way the function
// itself fails, with its documented failure value and a last error the
// caller can report, so that the ordinary failure paths run: silent on the
// update thread, one message box after clean-up on the main thread. Nothing
// here ends the process. A failed binding is not kept: the next call tries
// again.
#include <windows.h>
#include <aclapi.h>
#include <commctrl.h>
#include <objbase.h>
#include <oleauto.h>
#include <sddl.h>
#include <shellapi.h>
#include <wininet.h>

#include <cstring>
#include <cwchar>

namespace {

#ifdef SPARLIN_UNBINDABLE
// Test builds: the libraries and functions named here (joined by colons)
// cannot be bound, as on a system that lacks them.
#define SPARLIN_TEXT(x) #x
#define SPARLIN_EXPANDED_TEXT(x) SPARLIN_TEXT(x)
bool Unbindable(const char* name)
{
    const char* list = ":" SPARLIN_EXPANDED_TEXT(SPARLIN_UNBINDABLE) ":";
    const std::size_t length = std::strlen(name);
    for (const char* at = std::strstr(list, name); at != nullptr; at = std::strstr(at + 1, name)) {
        if (at[-1] == ':' && at[length] == ':') {
            return true;
        }
    }
    return false;
}
#else
bool Unbindable(const char*)
{
    return false;
}
#endif

// The function's address, or null with `error` set to why not.
FARPROC Resolve(const wchar_t* library, const char* libraryName, const char* function, DWORD& error)
{
    wchar_t path[MAX_PATH];
    const UINT length = GetSystemDirectoryW(path, MAX_PATH);
    if (length == 0 || length + 1 + std::wcslen(library) >= MAX_PATH) {
        error = length == 0 ? GetLastError() : ERROR_FILENAME_EXCED_RANGE;
        return nullptr;
    }
    std::wcscat(path, L"\\");
    std::wcscat(path, library);
    if (Unbindable(libraryName)) {
        error = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    // With a full path the library's own dependencies are searched from
    // the system directory as well.
    HMODULE module = LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (module == nullptr) {
        error = GetLastError();
        return nullptr;
    }
    FARPROC address = Unbindable(function) ? nullptr : GetProcAddress(module, function);
    if (address == nullptr) {
        error = ERROR_PROC_NOT_FOUND;
        // The library stays loaded: a later call may still bind, and a
        // module once loaded is cheap to keep.
    }
    return address;
}

} // namespace

// The pointer the compiler calls through, as each ABI decorates it.
#ifdef _WIN64
#define SPARLIN_IMPORT_SYMBOL(name, bytes) "__imp_" #name
#else
#define SPARLIN_IMPORT_SYMBOL(name, bytes) "__imp__" #name "@" #bytes
#endif

// `failure` is what the call returns when the function cannot be bound; it
// may use `error`, the reason, which is also left as the last error.
#define SPARLIN_BIND_ON_FIRST_CALL(library, result, name, bytes, failure, parameters, arguments)                 \
    extern "C" result WINAPI Bind_##name parameters;                                                             \
    extern "C" void* import_##name __asm__(SPARLIN_IMPORT_SYMBOL(name, bytes));                                \
    void* import_##name = reinterpret_cast<void*>(&Bind_##name);                                                 \
    extern "C" result WINAPI Bind_##name parameters                                                              \
    {                                                                                                            \
        using Function = result(WINAPI*) parameters;                                                             \
        DWORD error = ERROR_PROC_NOT_FOUND;                                                                      \
        auto function = reinterpret_cast<Function>(                                                              \
            reinterpret_cast<void*>(Resolve(L"" library, library, #name, error)));                               \
        if (function == nullptr) {                                                                               \
            SetLastError(error);                                                                                 \
            return failure;                                                                                      \
        }                                                                                                        \
        /* An aligned pointer store: a second thread at worst binds it again. */                                 \
        import_##name = reinterpret_cast<void*>(function);                                                       \
        return function arguments;                                                                               \
    }

// Failure values as each function documents them.
#define FAILED_STATUS static_cast<LSTATUS>(error)
#define FAILED_RESULT HRESULT_FROM_WIN32(error)

SPARLIN_BIND_ON_FIRST_CALL("advapi32.dll", BOOL, ConvertStringSecurityDescriptorToSecurityDescriptorW, 16, FALSE,
                           (LPCWSTR a, DWORD b, PSECURITY_DESCRIPTOR* c, PULONG d), (a, b, c, d))
SPARLIN_BIND_ON_FIRST_CALL("advapi32.dll", BOOL, ConvertSecurityDescriptorToStringSecurityDescriptorW, 20, FALSE,
                           (PSECURITY_DESCRIPTOR a, DWORD b, SECURITY_INFORMATION c, LPWSTR* d, PULONG e),
                           (a, b, c, d, e))
SPARLIN_BIND_ON_FIRST_CALL("advapi32.dll", BOOL, ConvertSidToStringSidW, 8, FALSE, (PSID a, LPWSTR* b), (a, b))
SPARLIN_BIND_ON_FIRST_CALL("advapi32.dll", DWORD, GetSecurityInfo, 32, error,
                           (HANDLE a, SE_OBJECT_TYPE b, SECURITY_INFORMATION c, PSID* d, PSID* e, PACL* f, PACL* g,
                            PSECURITY_DESCRIPTOR* h),
                           (a, b, c, d, e, f, g, h))
SPARLIN_BIND_ON_FIRST_CALL("advapi32.dll", BOOL, GetTokenInformation, 20, FALSE,
                           (HANDLE a, TOKEN_INFORMATION_CLASS b, LPVOID c, DWORD d, PDWORD e), (a, b, c, d, e))
SPARLIN_BIND_ON_FIRST_CALL("advapi32.dll", BOOL, OpenProcessToken, 12, FALSE, (HANDLE a, DWORD b, PHANDLE c),
                           (a, b, c))
SPARLIN_BIND_ON_FIRST_CALL("advapi32.dll", BOOL, MakeAbsoluteSD, 44, FALSE,
                           (PSECURITY_DESCRIPTOR a, PSECURITY_DESCRIPTOR b, LPDWORD c, PACL d, LPDWORD e, PACL f,
                            LPDWORD g, PSID h, LPDWORD i, PSID j, LPDWORD k),
                           (a, b, c, d, e, f, g, h, i, j, k))
SPARLIN_BIND_ON_FIRST_CALL("advapi32.dll", LSTATUS, RegCloseKey, 4, FAILED_STATUS, (HKEY a), (a))
SPARLIN_BIND_ON_FIRST_CALL("advapi32.dll", LSTATUS, RegEnumValueW, 32, FAILED_STATUS,
                           (HKEY a, DWORD b, LPWSTR c, LPDWORD d, LPDWORD e, LPDWORD f, LPBYTE g, LPDWORD h),
                           (a, b, c, d, e, f, g, h))
SPARLIN_BIND_ON_FIRST_CALL("advapi32.dll", LSTATUS, RegOpenKeyExW, 20, FAILED_STATUS,
                           (HKEY a, LPCWSTR b, DWORD c, REGSAM d, PHKEY e), (a, b, c, d, e))
SPARLIN_BIND_ON_FIRST_CALL("advapi32.dll", BOOLEAN, SystemFunction036, 8, FALSE, (PVOID a, ULONG b), (a, b))
SPARLIN_BIND_ON_FIRST_CALL("comctl32.dll", BOOL, InitCommonControlsEx, 4, FALSE, (const INITCOMMONCONTROLSEX* a),
                           (a))
SPARLIN_BIND_ON_FIRST_CALL("ole32.dll", HRESULT, CoCreateInstance, 20,
                           (e != nullptr ? (*e = nullptr, FAILED_RESULT) : E_POINTER),
                           (REFCLSID a, LPUNKNOWN b, DWORD c, REFIID d, LPVOID* e), (a, b, c, d, e))
SPARLIN_BIND_ON_FIRST_CALL("ole32.dll", HRESULT, CoInitializeEx, 8, FAILED_RESULT, (LPVOID a, DWORD b), (a, b))
SPARLIN_BIND_ON_FIRST_CALL("ole32.dll", HRESULT, CoInitializeSecurity, 36, FAILED_RESULT,
                           (PSECURITY_DESCRIPTOR a, LONG b, SOLE_AUTHENTICATION_SERVICE* c, void* d, DWORD e,
                            DWORD f, void* g, DWORD h, void* i),
                           (a, b, c, d, e, f, g, h, i))
SPARLIN_BIND_ON_FIRST_CALL("ole32.dll", void, CoUninitialize, 0, void(), (), ())
SPARLIN_BIND_ON_FIRST_CALL("oleaut32.dll", BSTR, SysAllocString, 4, nullptr, (const OLECHAR* a), (a))
SPARLIN_BIND_ON_FIRST_CALL("oleaut32.dll", void, SysFreeString, 4, void(), (BSTR a), (a))
SPARLIN_BIND_ON_FIRST_CALL("shell32.dll", LPWSTR*, CommandLineToArgvW, 8, nullptr, (LPCWSTR a, int* b), (a, b))
SPARLIN_BIND_ON_FIRST_CALL("shell32.dll", BOOL, ShellExecuteExW, 4, FALSE, (SHELLEXECUTEINFOW * a), (a))
SPARLIN_BIND_ON_FIRST_CALL("user32.dll", int, LoadStringW, 16, 0, (HINSTANCE a, UINT b, LPWSTR c, int d),
                           (a, b, c, d))
// A box that cannot be shown returns 0, as when the system has no memory
// for it; the caller then goes on as if it had been closed.
SPARLIN_BIND_ON_FIRST_CALL("user32.dll", int, MessageBoxW, 16, 0, (HWND a, LPCWSTR b, LPCWSTR c, UINT d),
                           (a, b, c, d))
SPARLIN_BIND_ON_FIRST_CALL("wininet.dll", HINTERNET, HttpOpenRequestW, 32, nullptr,
                           (HINTERNET a, LPCWSTR b, LPCWSTR c, LPCWSTR d, LPCWSTR e, LPCWSTR* f, DWORD g,
                            DWORD_PTR h),
                           (a, b, c, d, e, f, g, h))
SPARLIN_BIND_ON_FIRST_CALL("wininet.dll", BOOL, HttpSendRequestW, 20, FALSE,
                           (HINTERNET a, LPCWSTR b, DWORD c, LPVOID d, DWORD e), (a, b, c, d, e))
SPARLIN_BIND_ON_FIRST_CALL("wininet.dll", BOOL, InternetCloseHandle, 4, FALSE, (HINTERNET a), (a))
SPARLIN_BIND_ON_FIRST_CALL("wininet.dll", HINTERNET, InternetConnectW, 32, nullptr,
                           (HINTERNET a, LPCWSTR b, INTERNET_PORT c, LPCWSTR d, LPCWSTR e, DWORD f, DWORD g,
                            DWORD_PTR h),
                           (a, b, c, d, e, f, g, h))
SPARLIN_BIND_ON_FIRST_CALL("wininet.dll", HINTERNET, InternetOpenW, 20, nullptr,
                           (LPCWSTR a, DWORD b, LPCWSTR c, LPCWSTR d, DWORD e), (a, b, c, d, e))
SPARLIN_BIND_ON_FIRST_CALL("wininet.dll", BOOL, InternetSetOptionW, 16, FALSE,
                           (HINTERNET a, DWORD b, LPVOID c, DWORD d), (a, b, c, d))
SPARLIN_BIND_ON_FIRST_CALL("wininet.dll", BOOL, InternetReadFile, 16, FALSE,
                           (HINTERNET a, LPVOID b, DWORD c, LPDWORD d), (a, b, c, d))
