#ifndef KOVA_COMMANDLINE_ARGUMENTLIST_H
#define KOVA_COMMANDLINE_ARGUMENTLIST_H

#include <deque>
#include <string>
#include <utility>
#include <vector>

namespace Kova {
namespace CommandLine {

// A switch (an argument starting with "/" or "-") with the arguments that
// follow it up to the next switch. The name keeps the case it was typed in.
struct Switch {
    std::wstring name;
    std::vector<std::wstring> values;
};

using SwitchList = std::vector<Switch>;

// The arguments of one command line, in order, changeable at the front.
class ArgumentList {
public:
    // Splits by the Windows rules (CommandLineToArgvW); null gives an empty list.
    explicit ArgumentList(const wchar_t* commandLine);
    explicit ArgumentList(std::deque<std::wstring> arguments) : arguments(std::move(arguments)) {}

    // Arguments before the first switch belong to no entry.
    SwitchList GetSwitches() const;

    // Joins with single spaces; an argument holding a space that does not
    // already start with a double quote is wrapped in quotes. Nothing is
    // escaped, so arguments holding quotes or tabs do not split back alike.
    std::wstring ToString() const;

    // The list must not be empty.
    std::wstring PopFront();
    void PushFront(const wchar_t* argument);

    const std::deque<std::wstring>& GetArguments() const { return arguments; }

private:
    std::deque<std::wstring> arguments;
};

} // namespace CommandLine
} // namespace Kova

#endif
