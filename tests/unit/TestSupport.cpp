#include "TestSupport.h"

#include "Kova/Exception.h"

#include <windows.h>

#include <vector>

namespace Testing {

std::wstring OwnPath()
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

std::wstring TempDirectory()
{
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    return path;
}

bool FileExists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

TempFolder::TempFolder()
{
    // Wine reuses process ids: a folder an earlier run left must not be taken.
    static unsigned counter = 0;
    do {
        path = TempDirectory() + L"kova-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(++counter);
    } while (!CreateDirectoryW(path.c_str(), nullptr) && GetLastError() == ERROR_ALREADY_EXISTS);
}

namespace {

void RemoveTree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    while (search != INVALID_HANDLE_VALUE) {
        const std::wstring entry = found.cFileName;
        const std::wstring name = path + L"\\" + entry;
        const DWORD kind = found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
        if (entry == L"." || entry == L"..") {
            // Not entries of its own.
        } else if (kind == FILE_ATTRIBUTE_DIRECTORY) {
            RemoveTree(name);
        } else if (!DeleteFileW(name.c_str())) {
            // A link goes as itself; what it points at is not ours.
            RemoveDirectoryW(name.c_str());
        }
        if (!FindNextFileW(search, &found)) {
            FindClose(search);
            break;
        }
    }
    RemoveDirectoryW(path.c_str());
}

} // namespace

TempFolder::~TempFolder()
{
    RemoveTree(path);
}

ScopedEnvironment::ScopedEnvironment(const wchar_t* name, const std::wstring& value) : name(name)
{
    std::vector<wchar_t> buffer(32768);
    had = GetEnvironmentVariableW(name, buffer.data(), static_cast<DWORD>(buffer.size())) > 0;
    old = buffer.data();
    SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnvironment::~ScopedEnvironment()
{
    SetEnvironmentVariableW(name.c_str(), had ? old.c_str() : nullptr);
}

std::uint32_t RunChildProcess(const std::wstring& scenario)
{
    std::wstring commandLine = L"\"" + OwnPath() + L"\" --child " + scenario;
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        return 0xFFFFFFFF;
    }
    WaitForSingleObject(info.hProcess, 30000);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(info.hProcess, &code);
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return code;
}

} // namespace Testing
