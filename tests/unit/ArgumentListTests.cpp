#include "Kova/CommandLine/ArgumentList.h"

#include <gtest/gtest.h>

using Kova::CommandLine::ArgumentList;

namespace {

std::deque<std::wstring> Split(const wchar_t* commandLine)
{
    return ArgumentList(commandLine).GetArguments();
}

} // namespace

TEST(ArgumentListSplitTest, WindowsQuotingAndBackslashRules)
{
    EXPECT_EQ(Split(L"prog a  b\tc"), (std::deque<std::wstring>{L"prog", L"a", L"b", L"c"}));
    EXPECT_EQ(Split(L"\"C:\\Program Files\\x.exe\" \"two words\" end"),
              (std::deque<std::wstring>{L"C:\\Program Files\\x.exe", L"two words", L"end"}));
    // Backslashes are literal unless they stand before a double quote.
    EXPECT_EQ(Split(L"prog C:\\dir\\ a\\\\b"), (std::deque<std::wstring>{L"prog", L"C:\\dir\\", L"a\\\\b"}));
    EXPECT_EQ(Split(L"prog a\\\"b \"c\\\\\" d"), (std::deque<std::wstring>{L"prog", L"a\"b", L"c\\", L"d"}));
    EXPECT_EQ(Split(L"prog \"\" x"), (std::deque<std::wstring>{L"prog", L"", L"x"}));
}

TEST(ArgumentListSplitTest, NullGivesAnEmptyList)
{
    ArgumentList empty(nullptr);
    EXPECT_TRUE(empty.GetArguments().empty());
    EXPECT_TRUE(empty.GetSwitches().empty());
    EXPECT_EQ(empty.ToString(), L"");
}

TEST(ArgumentListSplitTest, RebuildingTheLaunchersCommandLine)
{
    ArgumentList arguments(L"\"C:\\Users\\A B\\Sparlin.exe\" /lang en \"my file.txt\" -hide");
    const auto switches = arguments.GetSwitches();
    ASSERT_EQ(switches.size(), 2u);
    EXPECT_EQ(switches[0].name, L"lang");
    EXPECT_EQ(switches[0].values, (std::vector<std::wstring>{L"en", L"my file.txt"}));
    EXPECT_EQ(switches[1].name, L"hide");
    EXPECT_EQ(arguments.PopFront(), L"C:\\Users\\A B\\Sparlin.exe");
    arguments.PushFront(L"C:\\Temp dir\\4A2.tmp");
    arguments.PushFront(L"C:\\Temp dir\\4A3.exe");
    const std::wstring line = arguments.ToString();
    EXPECT_EQ(line, L"\"C:\\Temp dir\\4A3.exe\" \"C:\\Temp dir\\4A2.tmp\" /lang en \"my file.txt\" -hide");
    EXPECT_EQ(Split(line.c_str()), (std::deque<std::wstring>{L"C:\\Temp dir\\4A3.exe", L"C:\\Temp dir\\4A2.tmp",
                                                             L"/lang", L"en", L"my file.txt", L"-hide"}));
}
