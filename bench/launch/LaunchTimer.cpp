// The launch benchmark's clock, run inside Windows (or Wine) so that no
// per-program start of Wine from Linux blurs the figures. It starts each
// program with CreateProcessW, times it with QueryPerformanceCounter and
// waits for events (the demo's report file, a process end), each bounded.
//
// One round, in an order whose start and stride change from round to round:
//   launcher: Sparlin.exe /hide until the demo application has written its report;
//   direct:   the already unpacked application until the same point;
//   decode:   the LZMA tool decoding both payloads at once, started as the
//             launcher starts it, into fresh files in a folder beside the
//             launcher's own (under the Windows directory's Temp);
//   empty:    an empty program started and ended: the floor of any start;
//   args:     the same, splitting its command line with CommandLineToArgvW:
//             args - empty is what loading shell32 adds, which the launcher
//             cannot avoid.
//   traced:   a launcher built with its phase trace: each phase of its start,
//             its own work from the marks, and its decode of the application
//             beside the benchmark's decode of the same stream.
//   minimal:  MinimalLauncher.exe, which does only what no launcher can avoid:
//             it starts, decodes both streams at once, reading its command
//             line through shell32 meanwhile, then starts the application.
//             Its decode and the application's start are the honest
//             references: here the children of a process that has just used
//             the processor run longer (see MinimalLauncher.cpp).
// overhead = launcher - direct - decode - empty, per round; medians are printed,
// also with the shell32 floor taken out; then launcher - minimal: the
// launcher's own work.
// With --summary, one table row for the size is appended to that file.
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

struct Options {
    int runs = 7;
    bool warmup = true;
    DWORD timeoutMs = 600000;
    std::wstring report, launcher, baseLauncher, traced, app, layout, tool, empty, emptyArgs, minimal, outDir,
        summary, label;
    std::vector<std::wstring> packed;
};

[[noreturn]] void Fail(const wchar_t* format, const std::wstring& detail, DWORD code = GetLastError())
{
    std::fwprintf(stderr, L"LaunchTimer: ");
    std::fwprintf(stderr, format, detail.c_str());
    std::fwprintf(stderr, L" (error %lu)\n", code);
    std::fflush(stderr);
    std::exit(1);
}

double Now()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

double CounterToMs(long long counter)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

bool Exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring Quote(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

std::wstring DirectoryOf(const std::wstring& path)
{
    const size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

PROCESS_INFORMATION Start(const std::wstring& commandLine, DWORD flags)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr, &startup, &process)) {
        Fail(L"cannot start %ls", commandLine);
    }
    CloseHandle(process.hThread);
    return process;
}

void WaitForEnd(HANDLE process, DWORD timeoutMs, const std::wstring& what)
{
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
        Fail(L"%ls did not end within the time limit", what, 0);
    }
}

struct Memory {
    SIZE_T peakWorkingSet = 0;
    SIZE_T peakPagefile = 0;
};

// K32GetProcessMemoryInfo lives in kernel32 from Windows 7 on.
bool QueryMemory(HANDLE process, Memory& memory)
{
    struct Counters {
        DWORD cb;
        DWORD PageFaultCount;
        SIZE_T PeakWorkingSetSize, WorkingSetSize, QuotaPeakPagedPoolUsage, QuotaPagedPoolUsage,
            QuotaPeakNonPagedPoolUsage, QuotaNonPagedPoolUsage, PagefileUsage, PeakPagefileUsage;
    };
    using Function = BOOL(WINAPI*)(HANDLE, Counters*, DWORD);
    static const auto query = reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "K32GetProcessMemoryInfo")));
    Counters counters{};
    counters.cb = sizeof counters;
    if (query == nullptr || !query(process, &counters, sizeof counters)) {
        return false;
    }
    memory.peakWorkingSet = std::max(memory.peakWorkingSet, counters.PeakWorkingSetSize);
    memory.peakPagefile = std::max(memory.peakPagefile, counters.PeakPagefileUsage);
    return true;
}

// MinimalLauncher's job (see MinimalLauncher.cpp).
std::wstring WriteJob(const Options& options, const std::vector<std::wstring>& tools, const std::wstring& application)
{
    const std::wstring job = options.outDir + L"\\minimal.job";
    DeleteFileW((job + L".result").c_str());
    FILE* file = _wfopen(job.c_str(), L"wb");
    if (file == nullptr) {
        Fail(L"cannot write %ls", job);
    }
    const auto write = [file](const char* kind, const std::wstring& line) {
        const int size = WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, utf8.data(), size, nullptr, nullptr);
        std::fprintf(file, "%s %s\n", kind, utf8.c_str());
    };
    for (const std::wstring& tool : tools) {
        write("tool", tool);
    }
    write("application", application);
    std::fclose(file);
    return job;
}

// MinimalLauncher's counters, in ms.
std::vector<double> ReadJobResult(const std::wstring& job, DWORD exitCode, size_t expected)
{
    if (exitCode != 0) {
        Fail(L"MinimalLauncher failed on %ls", job, exitCode);
    }
    std::vector<double> counters;
    FILE* file = _wfopen((job + L".result").c_str(), L"r");
    if (file == nullptr) {
        Fail(L"MinimalLauncher left no result for %ls", job, 0);
    }
    long long counter = 0;
    while (std::fscanf(file, "%lld", &counter) == 1) {
        counters.push_back(CounterToMs(counter));
    }
    std::fclose(file);
    if (counters.size() != expected) {
        Fail(L"MinimalLauncher's result for %ls is incomplete", job, 0);
    }
    return counters;
}

// Starts the command line and returns the milliseconds until the demo's
// report exists; the program is then waited for to its end.
double UntilReport(const Options& options, const std::wstring& commandLine, Memory* memory, double* started,
                   DWORD* exitCode = nullptr)
{
    DeleteFileW(options.report.c_str());
    if (Exists(options.report)) {
        Fail(L"cannot remove the old report %ls", options.report);
    }
    // The demo renames its finished report into place: a file-name change.
    HANDLE change = FindFirstChangeNotificationW(DirectoryOf(options.report).c_str(), FALSE,
                                                 FILE_NOTIFY_CHANGE_FILE_NAME);
    if (change == INVALID_HANDLE_VALUE) {
        Fail(L"cannot watch the folder of %ls", options.report);
    }
    const double start = Now();
    PROCESS_INFORMATION process = Start(commandLine, 0);
    const double deadline = start + options.timeoutMs;
    double reported = 0;
    for (;;) {
        if (Exists(options.report)) {
            reported = Now();
            break;
        }
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0) {
            if (Exists(options.report)) {
                reported = Now();
                break;
            }
            CloseHandle(change);
            Fail(L"%ls ended without the application's report (did the launcher show a message?)", commandLine, 0);
        }
        const double left = deadline - Now();
        if (left <= 0) {
            TerminateProcess(process.hProcess, 1);
            CloseHandle(change);
            Fail(L"no report from %ls within the time limit", commandLine, 0);
        }
        // The notification wakes us at once; the short cap only guards
        // against a file system that does not deliver it.
        if (WaitForSingleObject(change, static_cast<DWORD>(std::min(left, 5.0)) + 1) == WAIT_OBJECT_0) {
            FindNextChangeNotification(change);
        }
    }
    CloseHandle(change);
    if (memory != nullptr) {
        QueryMemory(process.hProcess, *memory);
    }
    WaitForEnd(process.hProcess, options.timeoutMs, commandLine);
    if (memory != nullptr) {
        QueryMemory(process.hProcess, *memory); // where the system still answers after the end
    }
    if (exitCode != nullptr) {
        GetExitCodeProcess(process.hProcess, exitCode);
    }
    CloseHandle(process.hProcess);
    if (started != nullptr) {
        *started = start;
    }
    return reported - start;
}

void RemoveFiles(const std::vector<std::wstring>& files)
{
    for (const std::wstring& file : files) {
        if (!Exists(file)) {
            Fail(L"the tool wrote no %ls", file, 0);
        }
        DeleteFileW(file.c_str());
    }
}

struct Decode {
    double both = 0;        // from the first start to the last end
    double application = 0; // the last stream's own start to its end
};

// The tools' command lines, the larger stream's first, as the launcher
// starts them. Each stream is first written anew into the folder, untimed, as
// the launcher writes it just before its tool reads it.
struct Streams {
    std::vector<std::wstring> files; // the streams and the outputs, removed after
    std::vector<std::wstring> commandLines;
    size_t application = 0; // the last --packed one's place in commandLines
};

Streams WriteStreams(const Options& options)
{
    Streams streams;
    std::vector<size_t> order(options.packed.size());
    for (size_t i = 0; i < order.size(); ++i) {
        order[i] = i;
    }
    const auto sizeOf = [](const std::wstring& path) {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data);
        return (static_cast<unsigned long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    };
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return sizeOf(options.packed[a]) > sizeOf(options.packed[b]); });
    for (size_t i : order) {
        if (i == options.packed.size() - 1) {
            streams.application = streams.commandLines.size();
        }
        const std::wstring stream = options.outDir + L"\\stream" + std::to_wstring(i) + L".tmp";
        const std::wstring output = options.outDir + L"\\decoded" + std::to_wstring(i) + L".tmp";
        DeleteFileW(output.c_str());
        if (!CopyFileW(options.packed[i].c_str(), stream.c_str(), FALSE)) {
            Fail(L"cannot copy the stream into %ls", stream);
        }
        streams.files.push_back(stream);
        streams.files.push_back(output);
        streams.commandLines.push_back(Quote(options.tool) + L" d " + Quote(stream) + L" " + Quote(output));
    }
    return streams;
}

// Both streams at once, as the launcher decodes them.
Decode DecodeAtOnce(const Options& options)
{
    const Streams streams = WriteStreams(options);
    const std::vector<std::wstring>& commandLines = streams.commandLines;
    const size_t application = streams.application;
    std::vector<HANDLE> processes;
    Decode decode;
    const double start = Now();
    for (const std::wstring& commandLine : commandLines) {
        processes.push_back(Start(commandLine, CREATE_NO_WINDOW | DETACHED_PROCESS).hProcess); // as the launcher
    }
    std::vector<HANDLE> running = processes;
    while (!running.empty()) {
        const DWORD result = WaitForMultipleObjects(static_cast<DWORD>(running.size()), running.data(), FALSE,
                                                    options.timeoutMs);
        if (result >= WAIT_OBJECT_0 + running.size()) {
            for (HANDLE process : running) {
                TerminateProcess(process, 1);
            }
            Fail(L"%ls did not end within the time limit", options.tool, 0);
        }
        const HANDLE ended = running[result - WAIT_OBJECT_0];
        if (ended == processes[application]) {
            decode.application = Now() - start;
        }
        running.erase(running.begin() + (result - WAIT_OBJECT_0));
    }
    decode.both = Now() - start;
    for (HANDLE process : processes) {
        CloseHandle(process);
    }
    RemoveFiles(streams.files);
    return decode;
}

struct Minimal {
    double whole = 0;  // from its start to the application's report
    double decode = 0; // from its first tool's start to the last one's end
    double direct = 0; // from its start of the application to the report
};

// MinimalLauncher on freshly written streams, to the application's report.
Minimal MinimalLaunch(const Options& options, const std::wstring& directLine)
{
    const Streams streams = WriteStreams(options);
    const std::wstring job = WriteJob(options, streams.commandLines, directLine);
    double start = 0;
    DWORD code = 1;
    Minimal minimal;
    minimal.whole = UntilReport(options, Quote(options.minimal) + L" " + Quote(job), nullptr, &start, &code);
    const size_t tools = streams.commandLines.size();
    const std::vector<double> at = ReadJobResult(job, code, tools + 3);
    minimal.decode = *std::max_element(at.begin() + 1, at.begin() + 1 + tools) - at[0];
    minimal.direct = start + minimal.whole - at[tools + 1];
    RemoveFiles(streams.files);
    DeleteFileW(job.c_str());
    DeleteFileW((job + L".result").c_str());
    return minimal;
}

double EmptyProgram(const Options& options, const std::wstring& program, Memory* memory = nullptr)
{
    const double start = Now();
    PROCESS_INFORMATION process = Start(Quote(program) + L" /hide", 0);
    WaitForEnd(process.hProcess, options.timeoutMs, program);
    const double elapsed = Now() - start;
    if (memory != nullptr) {
        QueryMemory(process.hProcess, *memory);
    }
    CloseHandle(process.hProcess);
    return elapsed;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Where the median of these runs lies, 95 times in 100: a bootstrap over the
// runs, with a fixed seed so that the same runs print the same interval. A
// few tens of noisy runs pin a median down less well than its digits suggest.
std::pair<double, double> MedianInterval(const std::vector<double>& values)
{
    std::mt19937 random(20261209);
    std::uniform_int_distribution<size_t> pick(0, values.size() - 1);
    std::vector<double> medians, sample(values.size());
    for (int i = 0; i < 2000; ++i) {
        for (double& value : sample) {
            value = values[pick(random)];
        }
        medians.push_back(Median(sample));
    }
    std::sort(medians.begin(), medians.end());
    return {medians[50], medians[1949]};
}

SIZE_T FileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        Fail(L"cannot read the size of %ls", path);
    }
    return data.nFileSizeLow;
}

using Marks = std::vector<std::pair<std::string, double>>;

// The traced launcher writes "<label> <counter>" lines beside itself.
Marks ReadTrace(const std::wstring& path)
{
    Marks marks;
    FILE* file = _wfopen(path.c_str(), L"r");
    if (file == nullptr) {
        Fail(L"the traced launcher left no %ls", path, 0);
    }
    char label[64];
    long long counter = 0;
    while (std::fscanf(file, "%63s %lld", label, &counter) == 2) {
        marks.emplace_back(label, CounterToMs(counter));
    }
    std::fclose(file);
    return marks;
}

// The launcher's work on its main thread, from one trace: from the end of
// its processor check to the application's start, less the tools' starts
// (counted in the decode) and the waits for them (a wait begins at the mark
// before "tool-ended"). Part of it overlaps a decode.
double MainThreadWork(const Marks& marks)
{
    double from = 0, to = 0, waiting = 0, previous = 0;
    for (const auto& [label, at] : marks) {
        if (label == "processor-checked") from = at;
        else if (label == "tool-running" || label == "tool-ended") waiting += at - previous;
        else if (label == "application-start") to = at;
        previous = at;
    }
    return to - from - waiting;
}

// From the end of the processor check to the application's start: less
// the same round's decode, what the launcher's own work adds to a start.
// Steadier than the difference of whole starts.
double Span(const Marks& marks)
{
    double from = 0, to = 0;
    for (const auto& [label, at] : marks) {
        if (label == "processor-checked") from = at;
        else if (label == "application-start") to = at;
    }
    return to - from;
}

// The decode as the launcher runs it: from its first tool's start (the larger
// stream's) to the end of its wait for the application's tool (the second
// wait). Where the layout library's decode and check outlast the
// application's, they count.
double ApplicationDecode(const Marks& marks)
{
    double started = 0, ended = 0;
    int starts = 0, ends = 0;
    for (const auto& [label, at] : marks) {
        if (label == "tool-start" && ++starts == 1) started = at;
        else if (label == "tool-ended" && ++ends == 2) ended = at;
    }
    return ended - started;
}

// Steps of a start that lie on its path however the launcher is made, as
// long as it keeps its files where no unelevated program can change them,
// hands the tool a file, removes that file once decoded and checks the tool
// and its output: making the private folder, writing and checking the tool,
// writing the first compressed stream (the larger) before its tool can start,
// removing it after, and the application's digest.
struct Floors {
    double folder = 0;
    double toolWritten = 0;
    double toolChecked = 0;
    double streamWritten = 0;
    double streamRemoved = 0;
    double digest = 0;

    double Total() const { return folder + toolWritten + toolChecked + streamWritten + streamRemoved + digest; }
};

Floors FloorsOf(const Marks& marks)
{
    Floors floors;
    for (size_t i = 1; i < marks.size(); ++i) {
        if (marks[i].first == "folder-created" && marks[i - 1].first == "processor-checked") {
            floors.folder = marks[i].second - marks[i - 1].second;
        } else if (marks[i].first == "resource-written" && marks[i - 1].first == "folder-created") {
            floors.toolWritten = marks[i].second - marks[i - 1].second;
        } else if (marks[i].first == "tool-checked" && marks[i - 1].first == "resource-written") {
            floors.toolChecked = marks[i].second - marks[i - 1].second;
        } else if (marks[i].first == "resource-written" && marks[i - 1].first == "tool-checked") {
            floors.streamWritten = marks[i].second - marks[i - 1].second;
        } else if (marks[i].first == "input-removed" && marks[i - 1].first == "tool-ended") {
            floors.streamRemoved = marks[i].second - marks[i - 1].second; // the last one: the application's
        } else if (marks[i].first == "payload-checked" && marks[i - 1].first == "input-removed") {
            floors.digest = marks[i].second - marks[i - 1].second; // the last one: the application's
        }
    }
    return floors;
}

// One start of the traced launcher: its phases are added to `phases` (in
// first-seen order in `order`), its own work to `own`.
void RunTraced(const Options& options, bool first, std::vector<std::string>& order,
               std::map<std::string, std::vector<double>>& phases, std::vector<double>& own,
               std::vector<double>& applicationDecode, double& span, Floors& floors)
{
    const std::wstring tracePath = options.traced + L".phases";
    DeleteFileW(tracePath.c_str());
    double start = 0;
    const double total = UntilReport(options, Quote(options.traced) + L" /hide", nullptr, &start);
    const Marks marks = ReadTrace(tracePath);
    own.push_back(MainThreadWork(marks));
    span = Span(marks);
    floors = FloorsOf(marks);
    applicationDecode.push_back(ApplicationDecode(marks));
    if (first) {
        // Raw marks of the first traced start, against the same clock.
        for (const auto& [label, at] : marks) {
            std::printf("  mark %-20s %10.2f ms after the start\n", label.c_str(), at - start);
        }
    }
    double previous = start;
    std::string previousLabel = "process-start";
    int index = 0;
    for (const auto& [label, at] : marks) {
        // Numbered: the two payloads pass the same marks.
        const std::string name = std::to_string(101 + index++).substr(1) + " " + previousLabel + " -> " + label;
        if (phases.find(name) == phases.end()) {
            order.push_back(name);
        }
        phases[name].push_back(at - previous);
        previous = at;
        previousLabel = label;
        if (label == "application-start") {
            break;
        }
    }
    const std::string last = std::to_string(101 + index).substr(1) + " " + previousLabel + " -> report";
    if (phases.find(last) == phases.end()) {
        order.push_back(last);
    }
    phases[last].push_back(start + total - previous);
}

Options Parse(int argc, wchar_t** argv)
{
    Options options;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::wstring key = argv[i], value = argv[i + 1];
        if (key == L"--runs") options.runs = std::max(1, _wtoi(value.c_str()));
        else if (key == L"--warmup") options.warmup = value != L"0";
        else if (key == L"--timeout-ms") options.timeoutMs = static_cast<DWORD>(_wtoi(value.c_str()));
        else if (key == L"--report") options.report = value;
        else if (key == L"--launcher") options.launcher = value;
        else if (key == L"--traced") options.traced = value;
        else if (key == L"--base-launcher") options.baseLauncher = value;
        else if (key == L"--app") options.app = value;
        else if (key == L"--layout") options.layout = value;
        else if (key == L"--tool") options.tool = value;
        else if (key == L"--packed") options.packed.push_back(value);
        else if (key == L"--empty") options.empty = value;
        else if (key == L"--empty-args") options.emptyArgs = value;
        else if (key == L"--minimal") options.minimal = value;
        else if (key == L"--summary") options.summary = value;
        else if (key == L"--label") options.label = value;
        else Fail(L"unknown option %ls", key, 0);
    }
    if (options.report.empty() || options.launcher.empty() || options.app.empty() || options.layout.empty() ||
        options.tool.empty() || options.packed.empty() || options.empty.empty() || options.emptyArgs.empty() ||
        options.minimal.empty()) {
        Fail(L"%ls", L"usage: LaunchTimer --report R --launcher L --app A --layout Y --tool T --packed P... "
                     L"--empty E --empty-args E2 --minimal M [--traced L2] [--base-launcher L3] [--runs N] "
                     L"[--timeout-ms MS] [--summary FILE --label TEXT]", 0);
    }
    // The decode writes where the launcher's does: a new folder in the
    // Windows directory's Temp.
    wchar_t windows[MAX_PATH];
    const UINT length = GetSystemWindowsDirectoryW(windows, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        Fail(L"%ls", L"cannot find the Windows directory");
    }
    options.outDir = std::wstring(windows) + L"\\Temp\\SparlinBench-" + std::to_wstring(GetCurrentProcessId());
    if (!CreateDirectoryW(options.outDir.c_str(), nullptr)) {
        Fail(L"cannot create %ls", options.outDir);
    }
    return options;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const Options options = Parse(argc, argv);
    // Inherited by every program started from here; the demo writes its report there.
    SetEnvironmentVariableW(L"SPARLIN_DEMO_REPORT", options.report.c_str());
    // The launcher stays up a little after the report, so that its memory can be read.
    SetEnvironmentVariableW(L"SPARLIN_DEMO_SLEEP_MS", L"150");

    const std::wstring launcherLine = Quote(options.launcher) + L" /hide";
    const std::wstring directLine = Quote(options.app) + L" " + Quote(options.layout);
    const std::wstring baseLine = Quote(options.baseLauncher) + L" /hide";
    const bool withBase = !options.baseLauncher.empty();
    const bool withTraced = !options.traced.empty();
    Memory memory, floorMemory, baseMemory;
    std::vector<std::string> order;
    std::map<std::string, std::vector<double>> phases;
    std::vector<double> own, inLauncher, critical, criticalFraction, aroundDecode, aroundFraction, streamWritten,
        streamRemoved, digest, beyondFloors, folder, toolWritten, toolChecked, ownBeyondFloors;
    if (options.warmup) {
        // One untimed round warms the caches of all alike.
        UntilReport(options, launcherLine, &memory, nullptr);
        UntilReport(options, directLine, nullptr, nullptr);
        DecodeAtOnce(options);
        MinimalLaunch(options, directLine);
        EmptyProgram(options, options.empty);
        EmptyProgram(options, options.emptyArgs);
        if (withBase) {
            UntilReport(options, baseLine, nullptr, nullptr);
        }
        if (withTraced) {
            UntilReport(options, Quote(options.traced) + L" /hide", nullptr, nullptr);
        }
    }

    std::vector<double> launcher, direct, tool, byBench, empty, args, overhead, fraction, beyond, beyondFraction,
        base, baseOverhead, baseFraction, baseBeyondFraction, minimalWhole, minimalDecode, minimalDirect,
        beyondMinimal, beyondMinimalFraction, baseBeyondMinimal;
    // Rotating order over the programs, so that all share the machine's busy
    // and quiet moments. The stride changes from round to round as well: with
    // a fixed order each program would always follow the same one, and the
    // writeback of the megabytes that a launcher or a decode just wrote and
    // removed would always slow the same successor.
    std::vector<int> steps = {0, 1, 2, 3, 4, 7};
    if (withBase) steps.push_back(5);
    if (withTraced) steps.push_back(6);
    const size_t count = steps.size();
    std::vector<size_t> strides;
    for (size_t stride = 1; stride < count; ++stride) {
        size_t a = stride, b = count;
        while (b != 0) {
            a %= b;
            std::swap(a, b);
        }
        if (a == 1) {
            strides.push_back(stride);
        }
    }
    for (int run = 0; run < options.runs; ++run) {
        double l = 0, d = 0, e = 0, a = 0, b = 0, span = 0;
        Floors floors;
        Decode t;
        Minimal m;
        const size_t stride = strides[run % strides.size()];
        for (size_t step = 0; step < count; ++step) {
            switch (steps[(run + step * stride) % count]) {
            case 0: l = UntilReport(options, launcherLine, &memory, nullptr); break;
            case 1: d = UntilReport(options, directLine, nullptr, nullptr); break;
            case 2: t = DecodeAtOnce(options); break;
            case 3: e = EmptyProgram(options, options.empty); break;
            case 4: a = EmptyProgram(options, options.emptyArgs, &floorMemory); break;
            case 5: b = UntilReport(options, baseLine, &baseMemory, nullptr); break;
            case 7: m = MinimalLaunch(options, directLine); break;
            default:
                RunTraced(options, run == 0, order, phases, own, inLauncher, span, floors);
                break;
            }
        }
        // Beyond what a launcher doing nothing else must take; still as a
        // fraction of this benchmark's own decode, the smaller one.
        const double ownWork = l - m.whole;
        if (withTraced) {
            critical.push_back(span - t.both);
            criticalFraction.push_back((span - t.both) / t.both);
            // Before the application's tool starts and after the launcher has
            // seen it end: independent of how fast this round's decodes were.
            const double around = span - inLauncher.back();
            aroundDecode.push_back(around);
            aroundFraction.push_back(around / t.both);
            folder.push_back(floors.folder);
            toolWritten.push_back(floors.toolWritten);
            toolChecked.push_back(floors.toolChecked);
            streamWritten.push_back(floors.streamWritten);
            streamRemoved.push_back(floors.streamRemoved);
            digest.push_back(floors.digest);
            beyondFloors.push_back((around - floors.Total()) / t.both);
            ownBeyondFloors.push_back((ownWork - floors.Total()) / t.both);
        }
        launcher.push_back(l);
        direct.push_back(d);
        tool.push_back(t.both);
        byBench.push_back(t.application);
        empty.push_back(e);
        args.push_back(a);
        const double mine = l - d - t.both - e;
        overhead.push_back(mine);
        fraction.push_back(mine / t.both);
        beyond.push_back(mine - (a - e));
        beyondFraction.push_back((mine - (a - e)) / t.both);
        minimalWhole.push_back(m.whole);
        minimalDecode.push_back(m.decode);
        minimalDirect.push_back(m.direct);
        beyondMinimal.push_back(ownWork);
        beyondMinimalFraction.push_back(ownWork / t.both);
        if (withBase) {
            base.push_back(b);
            baseOverhead.push_back(b - d - t.both - e);
            baseFraction.push_back((b - d - t.both - e) / t.both);
            baseBeyondFraction.push_back((b - d - t.both - e - (a - e)) / t.both);
            baseBeyondMinimal.push_back((b - m.whole) / t.both);
            std::printf("run %d: base launcher %.1f, its overhead %.1f ms\n", run + 1, b, b - d - t.both - e);
        }
        std::printf("run %d: launcher %.1f, direct %.1f, decode (both at once) %.1f, empty %.1f, empty reading its "
                    "arguments %.1f, overhead %.1f ms; minimal launcher %.1f (its decode %.1f, its application's "
                    "start %.1f)\n",
                    run + 1, l, d, t.both, e, a, mine, m.whole, m.decode, m.direct);
        std::fflush(stdout);
    }
    const double decode = Median(tool);
    std::printf("median of %d interleaved runs (ms): launcher %.1f, direct start %.1f, decode (both at once) %.1f, "
                "empty program %.1f, empty program reading its arguments %.1f\n",
                options.runs, Median(launcher), Median(direct), decode, Median(empty), Median(args));
    std::printf("launcher's own overhead: %.1f ms = %.2f of the decode time (median of per-run ratios; "
                "from the medians: %.1f ms = %.2f)\n",
                Median(overhead), Median(fraction), Median(launcher) - Median(direct) - decode - Median(empty),
                (Median(launcher) - Median(direct) - decode - Median(empty)) / decode);
    std::printf("of which loading shell32 for CommandLineToArgvW (a floor): %.1f ms; the rest: %.1f ms = %.2f "
                "of the decode time\n",
                Median(args) - Median(empty), Median(beyond), Median(beyondFraction));
    std::printf("minimal launcher (MinimalLauncher.exe): %.1f ms to the report; its decode %.1f, its application's "
                "start %.1f (by this benchmark: %.1f, %.1f)\n",
                Median(minimalWhole), Median(minimalDecode), Median(minimalDirect), decode, Median(direct));
    const auto [ownLow, ownHigh] = MedianInterval(beyondMinimalFraction);
    std::printf("the launcher's own work: launcher - minimal launcher = %.1f ms = %.3f of the decode time (95 %% "
                "interval of that median %.3f to %.3f)\n",
                Median(beyondMinimal), Median(beyondMinimalFraction), ownLow, ownHigh);
    if (withBase) {
        std::printf("base launcher (same rounds): %.1f ms, own overhead %.1f ms = %.2f of the decode time; "
                    "without the shell32 floor %.2f; its own work beyond the minimal launcher %.3f\n",
                    Median(base), Median(baseOverhead), Median(baseFraction), Median(baseBeyondFraction),
                    Median(baseBeyondMinimal));
    }

    SIZE_T largest = FileSize(options.tool);
    for (const std::wstring& packed : options.packed) {
        largest = std::max(largest, FileSize(packed));
    }
    const double mib = 1024.0 * 1024.0;
    const double bound = (static_cast<double>(largest) + 16 * mib) / mib;
    char memoryCell[96] = "not reported";
    if (memory.peakPagefile == 0 && memory.peakWorkingSet == 0) {
        std::printf("launcher's peak memory: not reported by this system\n");
    } else {
        std::printf("launcher's peak memory: private %.1f MiB, working set %.1f MiB; bound (largest resource "
                    "%.1f MiB + 16 MiB) %.1f MiB: private %s, working set %s\n",
                    memory.peakPagefile / mib, memory.peakWorkingSet / mib, largest / mib, bound,
                    memory.peakPagefile / mib < bound ? "below" : "ABOVE",
                    memory.peakWorkingSet / mib < bound ? "below" : "ABOVE");
        std::printf("  (the empty program reading its arguments: private %.1f MiB, working set %.1f MiB)\n",
                    floorMemory.peakPagefile / mib, floorMemory.peakWorkingSet / mib);
        if (withBase) {
            std::printf("  (base launcher: private %.1f MiB, working set %.1f MiB)\n", baseMemory.peakPagefile / mib,
                        baseMemory.peakWorkingSet / mib);
        }
        std::snprintf(memoryCell, sizeof memoryCell, "%.1f / %.1f of %.1f MiB", memory.peakPagefile / mib,
                      memory.peakWorkingSet / mib, bound);
    }
    char ownCell[64] = "-", floorsCell[96] = "-", decodeCell[64] = "-", baseCell[32] = "-", restCell[48] = "-";
    char minimalCell[96];
    std::snprintf(minimalCell, sizeof minimalCell, "%.0f + %.0f; **%.1f ms = %.3f** (%.3f to %.3f)",
                  Median(minimalDecode), Median(minimalDirect), Median(beyondMinimal), Median(beyondMinimalFraction),
                  ownLow, ownHigh);
    if (withTraced) {
        std::printf("phases of one start (traced launcher, median of %d, ms):\n", options.runs);
        for (const std::string& name : order) {
            std::printf("  %-44s %8.2f\n", name.c_str(), Median(phases[name]));
        }
        std::printf("from its processor check to starting the application, less the same round's decode: "
                    "%.1f ms = %.3f of the decode time\n",
                    Median(critical), Median(criticalFraction));
        std::printf("before the application's tool starts and after the launcher has seen it end: %.1f ms = %.3f "
                    "of the decode time\n",
                    Median(aroundDecode), Median(aroundFraction));
        std::printf("  of which floors: making the private folder %.1f ms, writing the tool %.1f ms and checking it "
                    "%.1f ms, writing the first (larger) compressed stream %.1f ms, removing it %.1f ms, the "
                    "application's digest %.1f ms; the rest: %.3f of the decode time\n",
                    Median(folder), Median(toolWritten), Median(toolChecked), Median(streamWritten),
                    Median(streamRemoved), Median(digest), Median(beyondFloors));
        const auto [low, high] = MedianInterval(ownBeyondFloors);
        std::printf("the launcher's own work beyond the minimal launcher, less those floors: %.3f of the decode time "
                    "(95 %% interval %.3f to %.3f)\n",
                    Median(ownBeyondFloors), low, high);
        std::printf("  (its main thread's work in that time, outside the tools' starts and its waits for them, "
                    "part of it while a tool decodes: %.1f ms)\n",
                    Median(own));
        std::printf("the decode, same rounds (ms): in the launcher, from its first tool's start to the end of its "
                    "wait for the application's %.1f; by this benchmark, both at once %.1f (ratio %.2f; the application "
                    "alone %.1f)\n",
                    Median(inLauncher), decode, Median(inLauncher) / decode, Median(byBench));
        std::snprintf(ownCell, sizeof ownCell, "%.1f ms = %.3f", Median(aroundDecode), Median(aroundFraction));
        std::snprintf(floorsCell, sizeof floorsCell, "%.1f + %.1f + %.1f + %.1f + %.1f + %.1f ms; rest %.3f",
                      Median(folder), Median(toolWritten), Median(toolChecked), Median(streamWritten),
                      Median(streamRemoved), Median(digest), Median(beyondFloors));
        std::snprintf(restCell, sizeof restCell, "%.3f (%.3f to %.3f)", Median(ownBeyondFloors), low, high);
        std::snprintf(decodeCell, sizeof decodeCell, "%.0f / %.0f / %.0f", Median(inLauncher), Median(minimalDecode),
                      decode);
    }
    if (withBase) {
        std::snprintf(baseCell, sizeof baseCell, "%.3f; %.3f", Median(baseBeyondFraction), Median(baseBeyondMinimal));
    }
    std::fflush(stdout);
    if (!options.summary.empty()) {
        FILE* file = _wfopen(options.summary.c_str(), L"a");
        if (file == nullptr) {
            Fail(L"cannot write %ls", options.summary);
        }
        std::fprintf(file, "| %ls | %d | %.0f | %s | %.1f ms = %.3f | %.1f ms = %.3f | %s | %s | %s | %s | %s | %s |\n",
                     options.label.c_str(), options.runs, decode, decodeCell, Median(overhead), Median(fraction),
                     Median(beyond), Median(beyondFraction), minimalCell, ownCell, floorsCell, restCell, baseCell,
                     memoryCell);
        std::fclose(file);
    }
    RemoveDirectoryW(options.outDir.c_str());
    return 0;
}
