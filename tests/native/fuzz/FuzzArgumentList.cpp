// Switch grouping and ToString: invariants that hold for any arguments, and
// the round trip through the Windows splitting rules where ToString promises
// one.
#include "CommandLine/ArgumentList.h"

#include <cstdlib>

namespace {

using Kova::CommandLine::ArgumentList;

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool IsSwitch(const std::wstring& argument)
{
    return !argument.empty() && (argument[0] == L'/' || argument[0] == L'-');
}

bool IsQuoted(const std::wstring& argument)
{
    return argument.find(L' ') != std::wstring::npos && argument[0] != L'"';
}

// CommandLineToArgvW's rules for every argument but the program name (which
// only differs for backslashes before a quote, excluded below).
std::vector<std::wstring> SplitLikeWindows(const std::wstring& line)
{
    std::vector<std::wstring> arguments;
    std::size_t i = 0;
    const auto blank = [&](std::size_t at) { return line[at] == L' ' || line[at] == L'\t'; };
    for (;;) {
        while (i < line.size() && blank(i)) {
            ++i;
        }
        if (i == line.size()) {
            return arguments;
        }
        std::wstring argument;
        bool quoted = false;
        while (i < line.size() && (quoted || !blank(i))) {
            if (line[i] == L'\\') {
                std::size_t count = 0;
                for (; i < line.size() && line[i] == L'\\'; ++i) {
                    ++count;
                }
                if (i < line.size() && line[i] == L'"') {
                    argument.append(count / 2, L'\\');
                    if (count % 2) {
                        argument += L'"';
                        ++i;
                    }
                } else {
                    argument.append(count, L'\\');
                }
            } else if (line[i] == L'"') {
                quoted = !quoted;
                ++i;
            } else {
                argument += line[i++];
            }
        }
        arguments.push_back(argument);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Zero bytes separate the arguments; the other bytes are Latin-1.
    std::deque<std::wstring> arguments(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            arguments.emplace_back();
        } else {
            arguments.back() += static_cast<wchar_t>(data[i]);
        }
    }
    const ArgumentList list(arguments);

    const Kova::CommandLine::SwitchList switches = list.GetSwitches();
    std::size_t entry = 0;
    std::size_t value = 0;
    for (const std::wstring& argument : arguments) {
        if (IsSwitch(argument)) {
            Check(entry == 0 || value == switches[entry - 1].values.size());
            Check(entry < switches.size() && switches[entry].name == argument.substr(1));
            ++entry;
            value = 0;
        } else if (entry > 0) {
            Check(value < switches[entry - 1].values.size() && switches[entry - 1].values[value] == argument);
            ++value;
        }
    }
    Check(entry == switches.size());
    Check(entry == 0 || value == switches.back().values.size());

    const std::wstring line = list.ToString();
    std::size_t length = 0;
    bool started = false;
    bool splitsBack = true;
    for (const std::wstring& argument : arguments) {
        length += started + argument.size() + 2 * IsQuoted(argument);
        started = started || !argument.empty();
        splitsBack = splitsBack && !argument.empty() && argument.find_first_of(L"\"\t") == std::wstring::npos &&
                     !(argument.find(L' ') != std::wstring::npos && argument.back() == L'\\');
    }
    Check(line.size() == length);
    if (splitsBack) {
        const std::vector<std::wstring> split = SplitLikeWindows(line);
        Check(std::equal(split.begin(), split.end(), arguments.begin(), arguments.end()));
    }
    return 0;
}
