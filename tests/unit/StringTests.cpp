#include "Kova/String.h"

#include <gtest/gtest.h>

TEST(FormatTest, FormatsOfTheLauncher)
{
    EXPECT_EQ(Kova::Format(L"%08X%08X", 1u, 0xABCDEFu), L"0000000100ABCDEF");
    EXPECT_EQ(Kova::Format(L"%u.%u.%u", 6u, 1u, 7601u), L"6.1.7601");
    EXPECT_EQ(Kova::Format(L"\"%s\" d \"%s\" \"%s\"", L"C:\\t x\\a.exe", L"in", L"out"),
              L"\"C:\\t x\\a.exe\" d \"in\" \"out\"");
    EXPECT_EQ(Kova::Format(L"/update.php?uid=%s&app=%s&os=%s&bits=%s", L"AB", L"1.2.35.0", L"6.1.7601", L"64"),
              L"/update.php?uid=AB&app=1.2.35.0&os=6.1.7601&bits=64");
    EXPECT_EQ(Kova::Format(L"\"%s\"", L"a b"), L"\"a b\"");
}

TEST(FormatTest, WideStringsNullAndPointerSizedValuesFollowTheWindowsRuntime)
{
    EXPECT_EQ(Kova::Format(L"%s/%s", L"0123456789ABCDEF", static_cast<const wchar_t*>(nullptr)),
              L"0123456789ABCDEF/(null)");
    EXPECT_EQ(Kova::Format(L"0x%IX", static_cast<std::uintptr_t>(0x4012AB)), L"0x4012AB");
    EXPECT_EQ(Kova::Format(L"0x%IX", static_cast<std::uintptr_t>(0)), L"0x0");
}

TEST(FormatTest, TargetIsReplacedWholeAndLengthIsExact)
{
    std::wstring target = L"a much longer text than the result";
    Kova::Format(target, L"Error: 0x%08X", 5u);
    EXPECT_EQ(target, L"Error: 0x00000005");
    EXPECT_EQ(target.size(), 17u);
    Kova::Format(target, L"");
    EXPECT_TRUE(target.empty());
    const std::wstring large(5000, L'x');
    EXPECT_EQ(Kova::Format(L"[%s]", large.c_str()).size(), 5002u);
}

TEST(ConversionTest, EmptyStaysEmptyAndLengthsExcludeTheTerminator)
{
    EXPECT_EQ(Kova::AnsiToWide(""), L"");
    EXPECT_EQ(Kova::WideToAnsi(L""), "");
    EXPECT_EQ(Kova::AnsiToWide("KOVA Sparlin"), L"KOVA Sparlin");
    EXPECT_EQ(Kova::AnsiToWide("KOVA Sparlin").size(), 12u);
    EXPECT_EQ(Kova::WideToAnsi(L"1.2.35.0"), "1.2.35.0");
}

TEST(ConversionTest, UnrepresentableCharacterBecomesOneReplacement)
{
    // U+4E2D has no form in the Western code pages: one replacement stands in.
    const std::string converted = Kova::WideToAnsi(L"a\u4E2Db");
    ASSERT_EQ(converted.size(), 3u);
    EXPECT_EQ(converted[0], 'a');
    EXPECT_EQ(converted[2], 'b');
    EXPECT_NE(converted[1], '\0');
}

TEST(ConversionTest, AnsiConversionStopsAtTheFirstZero)
{
    EXPECT_EQ(Kova::AnsiToWide(std::string("1.3\0tail", 8)), L"1.3");
}
