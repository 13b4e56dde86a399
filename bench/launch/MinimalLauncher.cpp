// A launcher that does only what none can avoid: it starts, starts both tools
// at once on streams written for it beforehand, splits its command line with
// shell32 while they decode (carrying the launcher's manifest, so that the
// same libraries load), waits for them, and then starts the application. The
// launch benchmark takes its start as the reference for the decode and the
// application's start, because here (Wine in a virtual machine) the children
// of a process that has just used the processor run longer than those of one
// that has been idle: a decode takes some 10 to 20 ms more of 80 right after
// its parent's start (as much after the parent spun for 200 ms, no more after
// it slept for 200 ms), the application's start more right after a decode. A
// benchmark that starts them itself, idle in between, would credit itself with
// starts no launcher can have.
//
//   MinimalLauncher "<job file>"
// The job file (UTF-8) holds lines "tool <command line>", started at once as
// the launcher starts its tools, and at most one "application <command
// line>", started plainly once every tool has ended. "<job file>.result"
// then holds performance counters: before the first tool's start, at each
// tool's end, and at the application's start and end.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

long long Counter()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
}

std::wstring Widen(const std::string& text)
{
    std::wstring wide(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                           static_cast<int>(wide.size()));
    wide.resize(length > 0 ? static_cast<size_t>(length) : 0);
    return wide;
}

// The job file's path, the one argument, quoted. Read without shell32: the
// tools start first.
std::wstring JobPath()
{
    const std::wstring line = GetCommandLineW();
    size_t at = line[0] == L'"' ? line.find(L'"', 1) + 1 : line.find(L' ');
    if (at == 0 || at == std::wstring::npos) {
        return {};
    }
    at = line.find(L'"', at);
    const size_t end = at == std::wstring::npos ? at : line.find(L'"', at + 1);
    return end == std::wstring::npos ? std::wstring() : line.substr(at + 1, end - at - 1);
}

HANDLE Start(std::wstring commandLine, DWORD flags)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup,
                        &process)) {
        return nullptr;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    const std::wstring job = JobPath();
    FILE* file = job.empty() ? nullptr : _wfopen(job.c_str(), L"rb");
    if (file == nullptr) {
        return 2;
    }
    std::vector<std::wstring> tools;
    std::wstring application;
    char buffer[4096];
    while (std::fgets(buffer, sizeof buffer, file) != nullptr) {
        std::string line = buffer;
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
            line.pop_back();
        }
        if (line.rfind("tool ", 0) == 0) {
            tools.push_back(Widen(line.substr(5)));
        } else if (line.rfind("application ", 0) == 0 && application.empty()) {
            application = Widen(line.substr(12));
        } else if (!line.empty()) {
            std::fclose(file);
            return 3;
        }
    }
    std::fclose(file);

    // LaunchTimer bounds the whole of this program: the waits need no limit.
    std::vector<long long> counters{Counter()};
    std::vector<HANDLE> processes;
    for (const std::wstring& tool : tools) {
        processes.push_back(Start(tool, CREATE_NO_WINDOW | DETACHED_PROCESS));
        if (processes.back() == nullptr) {
            return 4;
        }
    }
    // Bound at run time, as the launcher binds it: an import would load
    // shell32 before the tools start.
    using Split = LPWSTR*(WINAPI*)(LPCWSTR, int*);
    const HMODULE shell32 = LoadLibraryExW(L"shell32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const auto split = shell32 == nullptr ? nullptr
                                          : reinterpret_cast<Split>(reinterpret_cast<void*>(
                                                GetProcAddress(shell32, "CommandLineToArgvW")));
    int count = 0;
    if (split == nullptr) {
        return 7;
    }
    LocalFree(split(GetCommandLineW(), &count));
    counters.resize(1 + tools.size());
    std::vector<HANDLE> running = processes;
    while (!running.empty()) {
        const DWORD result =
            WaitForMultipleObjects(static_cast<DWORD>(running.size()), running.data(), FALSE, INFINITE);
        if (result >= WAIT_OBJECT_0 + running.size()) {
            return 5;
        }
        const long long at = Counter();
        for (size_t i = 0; i < processes.size(); ++i) {
            if (processes[i] == running[result - WAIT_OBJECT_0]) {
                counters[1 + i] = at;
            }
        }
        running.erase(running.begin() + (result - WAIT_OBJECT_0));
    }
    if (!application.empty()) {
        counters.push_back(Counter());
        const HANDLE started = Start(application, 0);
        if (started == nullptr) {
            return 4;
        }
        WaitForSingleObject(started, INFINITE);
        counters.push_back(Counter());
    }

    FILE* out = _wfopen((job + L".result").c_str(), L"w");
    if (out == nullptr) {
        return 6;
    }
    for (long long at : counters) {
        std::fprintf(out, "%lld\n", at);
    }
    return std::fclose(out) == 0 ? 0 : 6;
}
