#include "String.h"

#include <windows.h>

#include <cstdarg>
#include <cwchar>

namespace Kova {

std::wstring AnsiToWide(const std::string& text)
{
    std::wstring result;
    const int needed = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    if (needed > 1) {
        result.resize(static_cast<size_t>(needed) - 1);
        MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, result.data(), needed);
    }
    return result;
}

std::string WideToAnsi(const std::wstring& text)
{
    std::string result;
    const int needed = WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (needed > 1) {
        result.resize(static_cast<size_t>(needed) - 1);
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, result.data(), needed, nullptr, nullptr);
    }
    return result;
}

namespace {

// The runtime's (msvcrt) own counting and bounded formatters: MinGW's C99
// printf replacements would read "%s" in a wide format as an 8-bit string.
void FormatArguments(std::wstring& target, const wchar_t* format, va_list arguments)
{
    va_list counting;
    va_copy(counting, arguments);
    const int length = _vscwprintf(format, counting);
    va_end(counting);
    if (length <= 0) {
        target.clear();
        return;
    }
    target.resize(static_cast<size_t>(length));
    _vsnwprintf(target.data(), static_cast<size_t>(length) + 1, format, arguments);
}

} // namespace

std::wstring Format(const wchar_t* format, ...)
{
    std::wstring result;
    va_list arguments;
    va_start(arguments, format);
    FormatArguments(result, format, arguments);
    va_end(arguments);
    return result;
}

void Format(std::wstring& target, const wchar_t* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    FormatArguments(target, format, arguments);
    va_end(arguments);
}

} // namespace Kova
