#include "Process.h"

#include "Exception.h"

#include <windows.h>
#include <shellapi.h>

#include <vector>

namespace Kova {

Process::Process(std::uint32_t id, KernelHandle&& handle) : id(id), handle(std::move(handle)) {}

std::uint32_t Process::Wait(std::uint32_t timeout)
{
    HANDLE value = handle.Get();
    if (value == nullptr || value == INVALID_HANDLE_VALUE) {
        throw InvalidHandleException("Kova::Process::Wait", 105, "Process");
    }
    const DWORD result = WaitForSingleObject(value, timeout);
    if (result == WAIT_FAILED) {
        throw LastErrorException("Kova::Process::Wait", 111, "Process");
    }
    return result;
}

std::uint32_t Process::Wait()
{
    return Wait(INFINITE);
}

Process Process::Run(const std::wstring& file)
{
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"open";
    info.lpFile = file.c_str();
    info.nShow = SW_SHOWNORMAL;
    if (!ShellExecuteExW(&info)) {
        throw LastErrorException("Kova::Process::Run", 246, "Process");
    }
    KernelHandle handle(info.hProcess);
    const DWORD id = handle.IsEmpty() ? 0 : GetProcessId(handle.Get());
    return Process(id, std::move(handle));
}

Process Process::Create(const std::wstring& commandLine, std::uint32_t creationFlags)
{
    return Create(commandLine, creationFlags, std::wstring());
}

Process Process::Create(const std::wstring& commandLine, std::uint32_t creationFlags,
                        const std::wstring& currentDirectory)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION information{};
    // CreateProcessW may write into the command line it is given.
    std::vector<wchar_t> writable(commandLine.begin(), commandLine.end());
    writable.push_back(L'\0');
    wchar_t* line = commandLine.empty() ? nullptr : writable.data();
    const wchar_t* directory = currentDirectory.empty() ? nullptr : currentDirectory.c_str();
    if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, creationFlags, nullptr, directory, &startup,
                        &information)) {
        throw LastErrorException("Kova::Process::Create", 287, "Process");
    }
    KernelHandle thread(information.hThread);
    KernelHandle process(information.hProcess);
    return Process(information.dwProcessId, std::move(process));
}

bool Process::IsWow64()
{
    HMODULE kernel = GetModuleHandleW(L"kernel32");
    if (kernel == nullptr) {
        return false;
    }
    using IsWow64ProcessFunction = BOOL(WINAPI*)(HANDLE, PBOOL);
    auto isWow64Process =
        reinterpret_cast<IsWow64ProcessFunction>(reinterpret_cast<void*>(GetProcAddress(kernel, "IsWow64Process")));
    if (isWow64Process == nullptr) {
        return false;
    }
    BOOL wow64 = FALSE;
    if (!isWow64Process(GetCurrentProcess(), &wow64)) {
        return false;
    }
    return wow64 == TRUE;
}

} // namespace Kova
