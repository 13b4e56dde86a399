// SparlinDemo: a stand-in for the real application, used to see what the
// launcher hands over. Shows its findings in a window, or, when
// SPARLIN_DEMO_REPORT is set, writes them to a file and exits (see README.md).
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <cwchar>
#include <string>
#include <utility>
#include <vector>

namespace {

using DescribeFn = const wchar_t*(__stdcall*)();

template <typename Fn>
Fn LookUp(const wchar_t* module, const char* name)
{
    HMODULE handle = GetModuleHandleW(module);
    return handle ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(handle, name))) : nullptr;
}

const wchar_t* Bitness()
{
    return sizeof(void*) == 8 ? L"x64" : L"x86";
}

bool RunsUnderWow64()
{
    // Looked up at run time, as old 32-bit systems do not have it.
    auto isWow64 = LookUp<BOOL(WINAPI*)(HANDLE, PBOOL)>(L"kernel32.dll", "IsWow64Process");
    BOOL wow64 = FALSE;
    return isWow64 && isWow64(GetCurrentProcess(), &wow64) && wow64;
}

std::wstring ErrorText(DWORD code)
{
    return std::to_wstring(code);
}

void StartHolder(const std::wstring& self);

std::wstring Environment(const wchar_t* name, bool* present = nullptr)
{
    std::wstring value(256, L'\0');
    for (;;) {
        SetLastError(0);
        DWORD length = GetEnvironmentVariableW(name, value.data(), static_cast<DWORD>(value.size()));
        if (length == 0) {
            if (present)
                *present = GetLastError() != ERROR_ENVVAR_NOT_FOUND;
            return {};
        }
        if (length < value.size()) {
            value.resize(length);
            if (present)
                *present = true;
            return value;
        }
        value.resize(length);
    }
}

DWORD NumberFromEnvironment(const wchar_t* name, DWORD fallback)
{
    std::wstring text = Environment(name);
    if (text.empty())
        return fallback;
    wchar_t* end = nullptr;
    unsigned long value = std::wcstoul(text.c_str(), &end, 0);
    return end && *end == L'\0' ? static_cast<DWORD>(value) : fallback;
}

std::wstring ModulePath(HMODULE module)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::string ToUtf8(const std::wstring& text)
{
    if (text.empty())
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), size, nullptr, nullptr);
    return bytes;
}

// Percent-encode '%' and control characters so that each value stays on its
// line and decodes back exactly.
std::string EscapeValue(const std::string& bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size());
    for (unsigned char c : bytes) {
        if (c == '%' || c < 0x20 || c == 0x7F) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

struct Layout {
    std::wstring path;
    std::wstring loadedFrom;
    std::wstring result;
    std::wstring error; // empty on success
};

Layout LoadLayout(const std::vector<std::wstring>& args)
{
    Layout layout;
    if (args.size() < 2) {
        layout.error = L"no-argument";
        return layout;
    }
    layout.path = args[1];
    // Stays loaded for the life of the process, as the real application keeps it.
    HMODULE module = LoadLibraryW(layout.path.c_str());
    if (!module) {
        layout.error = ErrorText(GetLastError());
        return layout;
    }
    layout.loadedFrom = ModulePath(module);
    auto describe = reinterpret_cast<DescribeFn>(reinterpret_cast<void*>(GetProcAddress(module, "DemoLayoutDescribe")));
    if (!describe) {
        layout.error = ErrorText(GetLastError());
        return layout;
    }
    const wchar_t* text = describe();
    layout.result = text ? text : L"";
    return layout;
}

std::vector<std::wstring> Arguments(const wchar_t* commandLine)
{
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* list = CommandLineToArgvW(commandLine, &count);
    if (!list)
        return args;
    for (int i = 0; i < count; ++i)
        args.emplace_back(list[i]);
    LocalFree(list);
    return args;
}

std::wstring ProbeWriteOpen(const std::wstring& path)
{
    // Share everything ourselves, so only someone else's handle can refuse us.
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return ErrorText(GetLastError());
    CloseHandle(file);
    return L"ok";
}

std::wstring ProbeDelete(const std::wstring& path)
{
    if (path.empty())
        return L"no-path";
    return DeleteFileW(path.c_str()) ? L"ok" : ErrorText(GetLastError());
}

std::wstring TempDirectory()
{
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
    return length ? std::wstring(buffer, length) : std::wstring();
}

std::vector<std::wstring> DirectoryEntries(const std::wstring& directory)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((directory + L"*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0)
            names.emplace_back(data.cFileName);
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return names;
}

// Tests under Wine like to pass Unix paths; the Windows file API would take
// them as relative to the current drive.
std::wstring WindowsPath(const std::wstring& path)
{
    if (path.empty() || path[0] != L'/')
        return path;
    auto toDos = LookUp<WCHAR*(CDECL*)(LPCSTR)>(L"kernel32.dll", "wine_get_dos_file_name");
    if (!toDos)
        return path;
    WCHAR* converted = toDos(ToUtf8(path).c_str());
    if (!converted)
        return path;
    std::wstring result(converted);
    HeapFree(GetProcessHeap(), 0, converted);
    return result;
}

bool WriteAtomically(const std::wstring& path, const std::string& bytes)
{
    // Readers poll for the file, so it must appear complete or not at all.
    std::wstring partial = path + L".tmp";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
    CloseHandle(file);
    if (ok && MoveFileExW(partial.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        return true;
    DeleteFileW(partial.c_str());
    return false;
}

int RunTestMode(const std::wstring& reportPath)
{
    const wchar_t* commandLine = GetCommandLineW();
    std::vector<std::wstring> args = Arguments(commandLine);
    // Once loaded, the image mapping refuses writers by itself; only this
    // early probe shows whether someone else holds the file.
    std::wstring layoutWriteBeforeLoad = args.size() < 2 ? L"no-path" : ProbeWriteOpen(args[1]);
    Layout layout = LoadLayout(args);
    std::wstring self = ModulePath(nullptr);
    std::wstring temp = TempDirectory();

    std::vector<std::pair<std::string, std::wstring>> report;
    auto add = [&report](std::string key, std::wstring value) { report.emplace_back(std::move(key), std::move(value)); };
    add("bitness", Bitness());
    add("wow64", RunsUnderWow64() ? L"yes" : L"no");
    add("pid", std::to_wstring(GetCurrentProcessId()));
    add("cmdline", commandLine);
    add("argc", std::to_wstring(args.size()));
    for (size_t i = 0; i < args.size(); ++i)
        add("arg" + std::to_string(i), args[i]);
    add("self_path", self);
    add("layout_path", layout.path);
    add("layout_module", layout.loadedFrom);
    add("layout_result", layout.result);
    add("layout_error", layout.error.empty() ? L"0" : layout.error);
    // Write probes first: a successful delete would leave nothing to open.
    add("self_write_open", ProbeWriteOpen(self));
    add("layout_write_open_before_load", layoutWriteBeforeLoad);
    add("layout_write_open", layout.path.empty() ? L"no-path" : ProbeWriteOpen(layout.path));
    add("self_delete", ProbeDelete(self));
    add("layout_delete", ProbeDelete(layout.path));
    wchar_t cwd[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, cwd);
    add("cwd", cwd);
    add("temp_dir", temp);
    for (const std::wstring& name : DirectoryEntries(temp))
        add("temp_entry", name);

    std::string text;
    for (const auto& [key, value] : report)
        text += key + "=" + EscapeValue(ToUtf8(value)) + "\n";
    WriteAtomically(WindowsPath(reportPath), text);

    if (DWORD sleep = NumberFromEnvironment(L"SPARLIN_DEMO_SLEEP_MS", 0))
        Sleep(sleep);
    // Runs until the test says so, within a minute.
    std::wstring waitFile = Environment(L"SPARLIN_DEMO_WAIT_FILE");
    if (!waitFile.empty()) {
        waitFile = WindowsPath(waitFile);
        for (int i = 0; i < 1200 && GetFileAttributesW(waitFile.c_str()) == INVALID_FILE_ATTRIBUTES; ++i)
            Sleep(50);
    }
    if (NumberFromEnvironment(L"SPARLIN_DEMO_HOLD_MS", 0) != 0)
        StartHolder(self);
    return static_cast<int>(NumberFromEnvironment(L"SPARLIN_DEMO_EXIT", 0));
}

// A second process running this same file outlives us, so that whoever
// unpacked us cannot delete the file for a while.
void StartHolder(const std::wstring& self)
{
    // The holder signals once it runs: only then does its image hold the
    // file, and only then may we end.
    SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
    HANDLE running = CreateEventW(&inherited, TRUE, FALSE, nullptr);
    SetEnvironmentVariableW(L"SPARLIN_DEMO_REPORT", nullptr);
    SetEnvironmentVariableW(L"SPARLIN_DEMO_WAIT_FILE", nullptr);
    SetEnvironmentVariableW(L"SPARLIN_DEMO_HOLDER",
                            std::to_wstring(reinterpret_cast<std::uintptr_t>(running)).c_str());
    std::wstring commandLine = L"\"" + self + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info{};
    if (CreateProcessW(self.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info)) {
        WaitForSingleObject(running, 30000);
        CloseHandle(info.hThread);
        CloseHandle(info.hProcess);
    }
    if (running)
        CloseHandle(running);
}

std::wstring WindowText()
{
    const wchar_t* commandLine = GetCommandLineW();
    std::vector<std::wstring> args = Arguments(commandLine);
    Layout layout = LoadLayout(args);

    std::wstring text;
    text += L"Bitness: " + std::wstring(Bitness()) + L"\r\n";
    text += L"Runs under WoW64: " + std::wstring(RunsUnderWow64() ? L"yes" : L"no") + L"\r\n";
    if (layout.error.empty())
        text += L"Layout library: " + layout.result + L"\r\n";
    else
        text += L"Layout library failed: " + layout.error + L"\r\n";
    text += L"Command line: " + std::wstring(commandLine) + L"\r\n";
    text += L"Arguments (" + std::to_wstring(args.size()) + L"):\r\n";
    for (size_t i = 0; i < args.size(); ++i)
        text += L"  [" + std::to_wstring(i) + L"] " + args[i] + L"\r\n";
    return text;
}

constexpr int EditId = 100;
HFONT g_font = nullptr;

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        auto create = [&](const wchar_t* cls, const wchar_t* text, DWORD style, int id) {
            HWND child = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, window,
                                         reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), nullptr, nullptr);
            SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(g_font), FALSE);
            return child;
        };
        HWND edit = create(L"EDIT", L"", WS_BORDER | WS_TABSTOP | WS_VSCROLL | WS_HSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOHSCROLL | ES_AUTOVSCROLL, EditId);
        SetWindowTextW(edit, WindowText().c_str());
        create(L"BUTTON", L"Close", WS_TABSTOP | BS_DEFPUSHBUTTON, IDOK);
        return 0;
    }
    case WM_SIZE: {
        int width = LOWORD(lParam), height = HIWORD(lParam);
        const int margin = 10, buttonWidth = 90, buttonHeight = 26;
        MoveWindow(GetDlgItem(window, EditId), margin, margin, width - 2 * margin, height - 3 * margin - buttonHeight, TRUE);
        MoveWindow(GetDlgItem(window, IDOK), width - margin - buttonWidth, height - margin - buttonHeight, buttonWidth, buttonHeight, TRUE);
        return 0;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)
            DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int RunWindow(HINSTANCE instance, int show)
{
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
        g_font = CreateFontIndirectW(&metrics.lfMessageFont);
    if (!g_font)
        g_font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));

    WNDCLASSEXW cls = {};
    cls.cbSize = sizeof(cls);
    cls.lpfnWndProc = WindowProc;
    cls.hInstance = instance;
    cls.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    cls.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    cls.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    cls.lpszClassName = L"SparlinDemoWindow";
    RegisterClassExW(&cls);

    std::wstring title = L"Sparlin Demo (" + std::wstring(Bitness()) + L")";
    HWND window = CreateWindowExW(WS_EX_CONTROLPARENT, cls.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW,
                                  CW_USEDEFAULT, CW_USEDEFAULT, 680, 420, nullptr, nullptr, instance, nullptr);
    if (!window)
        return 1;
    ShowWindow(window, show);
    UpdateWindow(window);

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // The read-only edit would swallow Esc, which should close as in a dialog.
        if (msg.message == WM_KEYDOWN && msg.wParam == VK_ESCAPE) {
            DestroyWindow(window);
            continue;
        }
        if (!IsDialogMessageW(window, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    return 0;
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show)
{
    bool holder = false;
    const std::wstring running = Environment(L"SPARLIN_DEMO_HOLDER", &holder);
    if (holder) {
        if (!running.empty())
            SetEvent(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(std::wcstoull(running.c_str(), nullptr, 10))));
        // Until the time is up, or earlier once the test releases us.
        const std::wstring release = WindowsPath(Environment(L"SPARLIN_DEMO_HOLD_RELEASE"));
        const ULONGLONG end = GetTickCount64() + NumberFromEnvironment(L"SPARLIN_DEMO_HOLD_MS", 0);
        while (GetTickCount64() < end &&
               (release.empty() || GetFileAttributesW(release.c_str()) == INVALID_FILE_ATTRIBUTES))
            Sleep(50);
        return 0;
    }
    bool testMode = false;
    std::wstring reportPath = Environment(L"SPARLIN_DEMO_REPORT", &testMode);
    if (testMode && !reportPath.empty())
        return RunTestMode(reportPath);
    return RunWindow(instance, show);
}
