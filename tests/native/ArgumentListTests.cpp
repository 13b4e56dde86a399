#include "CommandLine/ArgumentList.h"

#include <gtest/gtest.h>

namespace {

using Kova::CommandLine::ArgumentList;
using Kova::CommandLine::SwitchList;

std::vector<std::pair<std::wstring, std::vector<std::wstring>>> Grouped(std::deque<std::wstring> arguments)
{
    std::vector<std::pair<std::wstring, std::vector<std::wstring>>> result;
    for (const auto& entry : ArgumentList(std::move(arguments)).GetSwitches()) {
        result.emplace_back(entry.name, entry.values);
    }
    return result;
}

using Groups = std::vector<std::pair<std::wstring, std::vector<std::wstring>>>;

TEST(ArgumentList, SwitchGrouping)
{
    EXPECT_EQ(Grouped({}), Groups{});
    EXPECT_EQ(Grouped({L"prog", L"a", L"/x", L"b", L"c", L"-y"}), (Groups{{L"x", {L"b", L"c"}}, {L"y", {}}}));
    EXPECT_EQ(Grouped({L"prog", L"--x", L"/HIDE"}), (Groups{{L"-x", {}}, {L"HIDE", {}}}));
    EXPECT_EQ(Grouped({L"prog", L"/", L"v", L"-"}), (Groups{{L"", {L"v"}}, {L"", {}}}));
    EXPECT_EQ(Grouped({L"", L"/a", L"", L"-1", L"2"}), (Groups{{L"a", {L""}}, {L"1", {L"2"}}}));
    EXPECT_EQ(Grouped({L"/x", L"/x"}), (Groups{{L"x", {}}, {L"x", {}}}));
}

TEST(ArgumentList, ToString)
{
    const std::pair<std::deque<std::wstring>, std::wstring> cases[] = {
        {{}, L""},
        {{L"C:\\Temp dir\\g.exe", L"x", L""}, L"\"C:\\Temp dir\\g.exe\" x "},
        {{L"\"already quoted\" no", L"tab\there"}, L"\"already quoted\" no tab\there"},
        {{L"a \"b\" c"}, L"\"a \"b\" c\""},
        {{L"", L"a", L"b"}, L"a b"},
        {{L"a", L"", L"b"}, L"a  b"},
        {{L"say\"hi", L"back\\slash"}, L"say\"hi back\\slash"},
    };
    for (const auto& [arguments, expected] : cases) {
        EXPECT_EQ(ArgumentList(arguments).ToString(), expected);
    }
}

TEST(ArgumentList, FrontChanges)
{
    ArgumentList list(std::deque<std::wstring>{L"self.exe", L"/lang", L"en"});
    EXPECT_EQ(list.PopFront(), L"self.exe");
    list.PushFront(L"C:\\T\\lib.dll");
    list.PushFront(L"C:\\T\\app one.exe");
    EXPECT_EQ(list.ToString(), L"\"C:\\T\\app one.exe\" C:\\T\\lib.dll /lang en");
}

} // namespace
