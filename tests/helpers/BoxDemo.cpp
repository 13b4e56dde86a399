// BoxDemo: shows one MessageBoxW, as the launcher does (no owner window), and
// hands the answer back as its exit code, so tests can drive BoxHelper
// without the launcher.
//   BoxDemo.exe [--caption <text>] [--text <text>] [--style <flags>] [--out <file>]
// <flags> is a number or names joined by '|', '+' or ',' (MB_ prefix optional):
// OK, OKCANCEL, YESNO, YESNOCANCEL, ICONERROR, ICONQUESTION, ... Exit code 255
// means a bad command line; 0 means MessageBoxW itself failed.
#include "HelperOutput.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

bool ParseStyle(const std::wstring& text, UINT& style)
{
    static const struct { const wchar_t* name; UINT value; } names[] = {
        {L"OK", MB_OK}, {L"OKCANCEL", MB_OKCANCEL}, {L"ABORTRETRYIGNORE", MB_ABORTRETRYIGNORE},
        {L"YESNOCANCEL", MB_YESNOCANCEL}, {L"YESNO", MB_YESNO}, {L"RETRYCANCEL", MB_RETRYCANCEL},
        {L"CANCELTRYCONTINUE", MB_CANCELTRYCONTINUE}, {L"ICONERROR", MB_ICONERROR}, {L"ICONHAND", MB_ICONHAND},
        {L"ICONSTOP", MB_ICONSTOP}, {L"ICONQUESTION", MB_ICONQUESTION}, {L"ICONWARNING", MB_ICONWARNING},
        {L"ICONEXCLAMATION", MB_ICONEXCLAMATION}, {L"ICONINFORMATION", MB_ICONINFORMATION},
        {L"ICONASTERISK", MB_ICONASTERISK}, {L"DEFBUTTON1", MB_DEFBUTTON1}, {L"DEFBUTTON2", MB_DEFBUTTON2},
        {L"DEFBUTTON3", MB_DEFBUTTON3}, {L"APPLMODAL", MB_APPLMODAL}, {L"SYSTEMMODAL", MB_SYSTEMMODAL},
        {L"TASKMODAL", MB_TASKMODAL}, {L"SETFOREGROUND", MB_SETFOREGROUND}, {L"TOPMOST", MB_TOPMOST},
    };
    style = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find_first_of(L"|+,", start);
        std::wstring token = text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start);
        if (_wcsnicmp(token.c_str(), L"MB_", 3) == 0)
            token.erase(0, 3);
        bool known = false;
        for (const auto& entry : names)
            if (_wcsicmp(token.c_str(), entry.name) == 0)
                style |= entry.value, known = true;
        if (!known) {
            wchar_t* last = nullptr;
            unsigned long value = std::wcstoul(token.c_str(), &last, 0);
            if (token.empty() || *last != L'\0')
                return false;
            style |= static_cast<UINT>(value);
        }
        if (end == std::wstring::npos)
            break;
        start = end + 1;
    }
    return true;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int)
{
    std::wstring caption = L"KOVA Sparlin", text = L"text", out;
    UINT style = MB_OK;
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    for (int i = 1; argv && i < argc; i += 2) {
        if (i + 1 >= argc)
            return 255;
        std::wstring name = argv[i], value = argv[i + 1];
        if (name == L"--caption")
            caption = value;
        else if (name == L"--text")
            text = value;
        else if (name == L"--style") {
            if (!ParseStyle(value, style))
                return 255;
        } else if (name == L"--out")
            out = helpers::WindowsPath(value);
        else
            return 255;
    }
    LocalFree(argv);

    int result = MessageBoxW(nullptr, text.c_str(), caption.c_str(), style);
    helpers::Output output;
    output.Add("result", std::to_wstring(result));
    if (result == 0)
        output.Add("error", std::to_wstring(GetLastError()));
    output.ToStdout();
    if (!out.empty())
        output.ToFile(out);
    return result;
}
