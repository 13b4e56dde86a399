#include "ArgumentList.h"

#ifdef _WIN32
#include "../Exception.h"

#include <windows.h>
#include <shellapi.h>
#endif

namespace Kova {
namespace CommandLine {

#ifdef _WIN32
ArgumentList::ArgumentList(const wchar_t* commandLine)
{
    if (commandLine == nullptr) {
        return;
    }
    int count = 0;
    wchar_t** split = CommandLineToArgvW(commandLine, &count);
    if (split == nullptr) {
        throw LastErrorException("Kova::CommandLine::ArgumentList::ArgumentList", 23, "CommandLine/ArgumentList");
    }
    struct Release {
        wchar_t** split;
        ~Release() { LocalFree(split); }
    } release{split};
    for (int i = 0; i < count; ++i) {
        arguments.emplace_back(split[i]);
    }
}
#endif

SwitchList ArgumentList::GetSwitches() const
{
    SwitchList switches;
    for (const std::wstring& argument : arguments) {
        if (!argument.empty() && (argument[0] == L'/' || argument[0] == L'-')) {
            switches.push_back(Switch{argument.substr(1), {}});
        } else if (!switches.empty()) {
            switches.back().values.push_back(argument);
        }
    }
    return switches;
}

std::wstring ArgumentList::ToString() const
{
    std::wstring result;
    for (const std::wstring& argument : arguments) {
        if (!result.empty()) {
            result += L' ';
        }
        if (argument.find(L' ') == std::wstring::npos || argument[0] == L'"') {
            result += argument;
        } else {
            result += L'"';
            result += argument;
            result += L'"';
        }
    }
    return result;
}

std::wstring ArgumentList::PopFront()
{
    std::wstring front = std::move(arguments.front());
    arguments.pop_front();
    return front;
}

void ArgumentList::PushFront(const wchar_t* argument)
{
    arguments.emplace_front(argument);
}

} // namespace CommandLine
} // namespace Kova
