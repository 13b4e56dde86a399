#include "Version.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

using Sparlin::AnswerOffersNewerVersion;
using Sparlin::IsNewerVersion;
using Sparlin::NextToken;
using Sparlin::NoToken;
using Sparlin::ParseVersion;
using Sparlin::VersionComponents;

// Every (returned index, token, position) until NoToken.
template <typename String>
std::vector<std::tuple<std::size_t, String, std::size_t>> Walk(const String& text, const String& delimiter)
{
    std::vector<std::tuple<std::size_t, String, std::size_t>> steps;
    std::size_t position = 0;
    String token;
    for (std::size_t found; (found = NextToken(text, delimiter, position, token)) != NoToken;) {
        steps.emplace_back(found, token, position);
    }
    return steps;
}

using Steps = std::vector<std::tuple<std::size_t, std::string, std::size_t>>;

TEST(NextToken, Rules)
{
    EXPECT_EQ(Walk<std::string>("a,b", ","), (Steps{{1, "a", 2}, {3, "b", 3}}));
    EXPECT_EQ(Walk<std::string>("a,,b", ","), (Steps{{1, "a", 2}, {2, "", 3}, {4, "b", 4}}));
    EXPECT_EQ(Walk<std::string>(",a", ","), (Steps{{0, "", 1}, {2, "a", 2}}));
    EXPECT_EQ(Walk<std::string>("a,", ","), (Steps{{1, "a", 2}}));
    EXPECT_EQ(Walk<std::string>(",", ","), (Steps{{0, "", 1}}));
    EXPECT_EQ(Walk<std::string>("", ","), Steps{});
    EXPECT_EQ(Walk<std::string>("a<>b<>", "<>"), (Steps{{1, "a", 3}, {4, "b", 6}}));
    EXPECT_EQ(Walk<std::string>("a<b>", "<>"), (Steps{{4, "a<b>", 4}}));
    EXPECT_EQ(Walk<std::wstring>(L"1..3", L"."),
              (std::vector<std::tuple<std::size_t, std::wstring, std::size_t>>{{1, L"1", 2}, {2, L"", 3}, {4, L"3", 4}}));
}

TEST(NextToken, NothingLeftKeepsTokenAndPosition)
{
    std::string token = "kept";
    std::size_t position = 7;
    EXPECT_EQ(NextToken(std::string("abc"), std::string(","), position, token), NoToken);
    EXPECT_EQ(token, "kept");
    EXPECT_EQ(position, 7u);
    position = 3;
    EXPECT_EQ(NextToken(std::string("abc"), std::string(","), position, token), NoToken);
    EXPECT_EQ(token, "kept");
}

TEST(ParseVersion, Examples)
{
    const std::pair<std::wstring, VersionComponents> cases[] = {
        {L"1.2.36.0", {1, 2, 36, 0}},
        {L"release 1.2.36 beta", {1, 2, 36}},
        {L"1..3", {1, 0, 3}},
        {L"abc", {0}},
        {L"1.2.", {1, 2}},
        {L"", {}},
        {L".", {0}},
        {L"1.2.35\r", {1, 2, 35}},
        {L"v-7.12abc34.x9", {7, 12, 9}},
        {L"4294967295.4294967296.99999999999", {4294967295u, 4294967295u, 4294967295u}},
        {L"000000000004294967295.0000000000012", {4294967295u, 12}},
        {L"\u0661\u0662.3", {0, 3}},
    };
    for (const auto& [text, expected] : cases) {
        EXPECT_EQ(ParseVersion(text), expected) << '"' << std::string(text.begin(), text.end()) << '"';
    }
}

TEST(IsNewerVersion, AgainstOwnVersion)
{
    const VersionComponents own = ParseVersion(L"1.2.35.0");
    for (const wchar_t* same : {L"1.2.35.0", L"1.2.35", L"1.2.35.0.0", L"1.2.34.99", L"1.1.99", L"0.9", L""}) {
        EXPECT_FALSE(IsNewerVersion(ParseVersion(same), own)) << std::wstring(same).size();
    }
    for (const wchar_t* newer : {L"1.2.35.1", L"1.2.36", L"1.3", L"2", L"1.2.35.0.1", L"4294967295"}) {
        EXPECT_TRUE(IsNewerVersion(ParseVersion(newer), own)) << std::wstring(newer).size();
    }
}

TEST(IsNewerVersion, EmptyAndUnsignedComparison)
{
    EXPECT_FALSE(IsNewerVersion({}, {}));
    EXPECT_FALSE(IsNewerVersion({}, {0}));
    EXPECT_FALSE(IsNewerVersion({0, 0}, {}));
    EXPECT_TRUE(IsNewerVersion({0, 1}, {}));
    EXPECT_TRUE(IsNewerVersion({0x80000000u}, {0x7FFFFFFFu}));
    EXPECT_FALSE(IsNewerVersion({1, 2}, {1, 2, 0, 5}));
}

TEST(AnswerOffersNewerVersion, Lines)
{
    const std::wstring own = L"1.2.35.0";
    EXPECT_FALSE(AnswerOffersNewerVersion("0.9", own));
    EXPECT_TRUE(AnswerOffersNewerVersion("0.9\n1.2.36.0", own));
    EXPECT_TRUE(AnswerOffersNewerVersion("0.9\n1.2.36.0\n", own));
    EXPECT_FALSE(AnswerOffersNewerVersion("1.2.35.0\r\n1.2.34.99\r\n", own));
    EXPECT_TRUE(AnswerOffersNewerVersion("1.2.35.0\r\n1.2.35.1\r\n", own));
    EXPECT_TRUE(AnswerOffersNewerVersion("version 1.2.36", own));
    EXPECT_FALSE(AnswerOffersNewerVersion("", own));
    EXPECT_FALSE(AnswerOffersNewerVersion("\n\n\r\n", own));
    EXPECT_FALSE(AnswerOffersNewerVersion("1.2.36", L"1.2.36"));
}

TEST(AnswerOffersNewerVersion, ErrorPageReadsAsNewer)
{
    const std::string page = "<html>\r\n<head><title>404 Not Found</title></head>\r\n"
                             "<body><center><h1>404 Not Found</h1></center></body>\r\n</html>\r\n";
    EXPECT_TRUE(AnswerOffersNewerVersion(page, L"1.2.35.0"));
}

TEST(AnswerOffersNewerVersion, LineEndsAtZeroByte)
{
    using namespace std::string_literals;
    EXPECT_FALSE(AnswerOffersNewerVersion("1.2.35\0" ".9"s, L"1.2.35.0"));
    EXPECT_FALSE(AnswerOffersNewerVersion("\0" "2.0"s, L"1.2.35.0"));
    EXPECT_TRUE(AnswerOffersNewerVersion("1.2.35\0" ".9\n1.2.36"s, L"1.2.35.0"));
}

TEST(AnswerOffersNewerVersion, UsesWidenerAndStopsAtFirstNewerLine)
{
    std::vector<std::string> seen;
    const auto widen = [&seen](const std::string& line) {
        seen.push_back(line);
        return Sparlin::WidenLatin1(line);
    };
    EXPECT_TRUE(AnswerOffersNewerVersion("0.1\n1.3\r\n2.0\n", L"1.2.35.0", widen));
    EXPECT_EQ(seen, (std::vector<std::string>{"0.1", "1.3\r"}));
    seen.clear();
    using namespace std::string_literals;
    EXPECT_FALSE(AnswerOffersNewerVersion("1.2\0" "9"s, L"1.2.35.0", widen));
    EXPECT_EQ(seen, std::vector<std::string>{"1.2"});

    EXPECT_EQ(Sparlin::WidenLatin1("a\xE9\xFF"), L"a\u00E9\u00FF");
    EXPECT_TRUE(AnswerOffersNewerVersion("x", L"1.2.35.0", [](const std::string&) { return std::wstring(L"7"); }));
}

} // namespace
