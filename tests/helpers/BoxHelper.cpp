// BoxHelper: waits for another program's message box, reports what it shows
// and answers it. See README.md for the options and the output.
#include "HelperOutput.h"

#include <windows.h>

#include <cwchar>
#include <cwctype>
#include <string>
#include <vector>

namespace {

enum Exit { Ok = 0, Usage = 1, NotFound = 2, NoSuchButton = 3, StillOpen = 4, OutFailed = 5 };

struct Options {
    std::wstring caption;
    std::wstring windowClass = L"#32770";
    DWORD timeoutMs = 20000;
    std::wstring press = L"OK";
    std::wstring listDir;
    std::wstring out;
    bool haveListDir = false;
};

struct Control {
    HWND window;
    int id;
    std::wstring cls;
    std::wstring text;
    LONG style;
};

std::wstring ClassOf(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    return name;
}

// WM_GETTEXT is marshalled across processes; GetWindowTextW does not read
// other processes' controls.
std::wstring TextOf(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length))
        return {};
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             2000, &copied))
        return {};
    text.resize(copied);
    return text;
}

struct Search {
    const Options* options;
    std::vector<HWND> found;
    std::vector<std::wstring> seen;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM param)
{
    auto& search = *reinterpret_cast<Search*>(param);
    if (!IsWindowVisible(window))
        return TRUE;
    std::wstring cls = ClassOf(window);
    std::wstring caption = TextOf(window);
    search.seen.push_back(caption + L"|" + cls);
    if (caption == search.options->caption && (search.options->windowClass == L"any" || cls == search.options->windowClass))
        search.found.push_back(window);
    return TRUE;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM param)
{
    // Only direct children: a message box has no nested controls.
    auto& controls = *reinterpret_cast<std::vector<Control>*>(param);
    controls.push_back({window, GetDlgCtrlID(window), ClassOf(window), TextOf(window), GetWindowLongW(window, GWL_STYLE)});
    return TRUE;
}

// Wine keeps the icon static of a box without MB_ICON* visible, just empty.
bool HasIcon(HWND control)
{
    DWORD_PTR icon = 0;
    return SendMessageTimeoutW(control, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon) && icon != 0;
}

std::wstring WithoutMnemonic(const std::wstring& text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == L'&' && i + 1 < text.size())
            ++i;
        out += text[i];
    }
    return out;
}

bool SameText(const std::wstring& a, const std::wstring& b)
{
    return _wcsicmp(a.c_str(), b.c_str()) == 0;
}

// Returns the dialog command id for --press, 0 for "none", -1 if unknown.
int CommandId(const std::wstring& press)
{
    static const struct { const wchar_t* name; int id; } names[] = {
        {L"OK", IDOK}, {L"Cancel", IDCANCEL}, {L"Abort", IDABORT}, {L"Retry", IDRETRY}, {L"Ignore", IDIGNORE},
        {L"Yes", IDYES}, {L"No", IDNO}, {L"Close", IDCLOSE}, {L"Help", IDHELP}, {L"TryAgain", IDTRYAGAIN},
        {L"Continue", IDCONTINUE}, {L"none", 0},
    };
    for (const auto& entry : names)
        if (SameText(press, entry.name))
            return entry.id;
    wchar_t* end = nullptr;
    unsigned long id = std::wcstoul(press.c_str(), &end, 0);
    return !press.empty() && *end == L'\0' && id > 0 && id < 0x10000 ? static_cast<int>(id) : -1;
}

bool ParseOptions(int argc, wchar_t** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        std::wstring name = argv[i];
        if (i + 1 >= argc)
            return false;
        std::wstring value = argv[++i];
        if (name == L"--caption")
            options.caption = value;
        else if (name == L"--class")
            options.windowClass = value;
        else if (name == L"--timeout-ms")
            options.timeoutMs = std::wcstoul(value.c_str(), nullptr, 10);
        else if (name == L"--press")
            options.press = value;
        else if (name == L"--list-dir")
            options.listDir = helpers::WindowsPath(value), options.haveListDir = true;
        else if (name == L"--out")
            options.out = helpers::WindowsPath(value);
        else
            return false;
    }
    return !options.caption.empty() && CommandId(options.press) >= 0;
}

void ListDirectory(const std::wstring& directory, helpers::Output& output)
{
    std::wstring pattern = directory;
    if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/')
        pattern += L'\\';
    pattern += L'*';
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW(pattern.c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_NOT_FOUND)
            output.Add("dir_error", std::to_wstring(error));
        output.Add("dir_count", L"0");
        return;
    }
    int count = 0;
    do {
        if (wcscmp(data.cFileName, L".") != 0 && wcscmp(data.cFileName, L"..") != 0) {
            output.Add("dir_entry", data.cFileName);
            ++count;
        }
    } while (FindNextFileW(find, &data));
    FindClose(find);
    output.Add("dir_count", std::to_wstring(count));
}

int Finish(const Options& options, helpers::Output& output, int code)
{
    output.Add("exit", std::to_wstring(code));
    output.ToStdout();
    if (!options.out.empty() && !output.ToFile(options.out))
        return OutFailed;
    return code;
}

bool WaitUntil(DWORD timeoutMs, auto condition)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (condition())
            return true;
        if (GetTickCount() - start >= timeoutMs)
            return false;
        Sleep(25);
    }
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        static const char usage[] =
            "usage: BoxHelper --caption <text> [--class <name>|any] [--timeout-ms <n>]\n"
            "                 [--press OK|Cancel|Yes|No|Abort|Retry|Ignore|<id>|none]\n"
            "                 [--list-dir <dir>] [--out <file>]\n";
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), usage, sizeof(usage) - 1, &written, nullptr);
        return Usage;
    }

    helpers::Output output;
    output.Add("caption", options.caption);

    Search search{&options, {}, {}};
    bool found = WaitUntil(options.timeoutMs, [&] {
        search.found.clear();
        search.seen.clear();
        EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&search));
        return !search.found.empty();
    });
    if (!found) {
        output.Add("error", L"timeout");
        for (const std::wstring& window : search.seen)
            output.Add("seen", window);
        return Finish(options, output, NotFound);
    }

    HWND box = search.found.front();
    DWORD pid = 0;
    GetWindowThreadProcessId(box, &pid);
    output.Add("class", ClassOf(box));
    output.Add("windows", std::to_wstring(search.found.size()));
    output.Add("pid", std::to_wstring(pid));

    std::vector<Control> controls;
    EnumChildWindows(box, CollectChild, reinterpret_cast<LPARAM>(&controls));
    const Control* message = nullptr;
    const Control* firstStatic = nullptr;
    bool icon = false;
    std::wstring buttons, buttonIds;
    for (const Control& control : controls) {
        bool visible = (control.style & WS_VISIBLE) != 0;
        if (SameText(control.cls, L"Static")) {
            if ((control.style & SS_TYPEMASK) == SS_ICON)
                icon = icon || (visible && HasIcon(control.window));
            else if ((control.id & 0xFFFF) == 0xFFFF && !message)
                message = &control;
            else if (visible && !control.text.empty() && !firstStatic)
                firstStatic = &control;
        } else if (SameText(control.cls, L"Button") && visible) {
            buttons += (buttons.empty() ? L"" : L",") + WithoutMnemonic(control.text);
            buttonIds += (buttonIds.empty() ? L"" : L",") + std::to_wstring(control.id);
        }
    }
    // Message boxes give their text the id 0xFFFF; other dialogs get the first static.
    if (!message)
        message = firstStatic;
    output.Add("text", message ? message->text : L"");
    for (const Control& control : controls)
        output.Add("control", std::to_wstring(control.id) + L"|" + control.cls + L"|" +
                                  ((control.style & WS_VISIBLE) ? L"visible" : L"hidden") + L"|" + control.text);
    output.Add("icon", icon ? L"yes" : L"no");
    output.Add("buttons", buttons);
    output.Add("button_ids", buttonIds);

    if (options.haveListDir) {
        output.Add("dir", options.listDir);
        ListDirectory(options.listDir, output);
    }

    int id = CommandId(options.press);
    if (id == 0)
        return Finish(options, output, Ok);
    HWND button = GetDlgItem(box, id);
    if (!button || !IsWindowVisible(button)) {
        output.Add("error", L"no-button");
        return Finish(options, output, NoSuchButton);
    }
    // A command to the dialog works whether or not the box has the focus,
    // which BM_CLICK's synthesized mouse clicks need.
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    output.Add("pressed", std::to_wstring(id));
    bool closed = WaitUntil(options.timeoutMs, [&] { return !IsWindow(box); });
    output.Add("closed", closed ? L"yes" : L"no");
    return Finish(options, output, closed ? Ok : StillOpen);
}
