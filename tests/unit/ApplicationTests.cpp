#include "Kova/Application.h"
#include "Kova/Exception.h"

#include "resource.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::uint32_t LoadResourceFailure(const wchar_t* name, const wchar_t* type, int* line)
{
    try {
        Kova::Application::LoadResource(name, type);
    } catch (const Kova::LastErrorException& failure) {
        *line = failure.GetLine();
        EXPECT_STREQ(failure.GetFunction(), "Kova::Application::LoadResource");
        EXPECT_STREQ(failure.GetFile(), "Application");
        return failure.GetCode();
    }
    return 0;
}

} // namespace

TEST(LoadResourceTest, CopiesTheResourceBytes)
{
    const Kova::Buffer sample = Kova::Application::LoadResource(L"SAMPLE", L"TESTDATA");
    ASSERT_EQ(sample.GetSize(), 21u);
    EXPECT_EQ(std::memcmp(sample.GetData(), "sample resource\0bytes", 21), 0);
    const Kova::Buffer empty = Kova::Application::LoadResource(L"EMPTY", L"TESTDATA");
    EXPECT_EQ(empty.GetSize(), 0u);
    EXPECT_EQ(empty.GetData(), nullptr);
}

TEST(LoadResourceTest, MissingNameAndMissingTypeThrowAtTheFindSite)
{
    int line = 0;
    EXPECT_EQ(LoadResourceFailure(L"NOSUCH", L"TESTDATA", &line), 1814u);
    EXPECT_EQ(line, 17);
    EXPECT_EQ(LoadResourceFailure(L"SAMPLE", L"NOSUCHTYPE", &line), 1813u);
    EXPECT_EQ(line, 17);
}

TEST(LoadStringResourceTest, TextsOfTheStringTable)
{
    using Kova::Application::LoadStringResource;
    EXPECT_EQ(LoadStringResource(IDS_UNKNOWN_EXCEPTION), L"Unknown exception");
    const std::wstring question = LoadStringResource(IDS_NEW_VERSION);
    EXPECT_EQ(question, L"New version is available! Would you like to download it?");
    EXPECT_EQ(question.size(), 56u);
    EXPECT_EQ(LoadStringResource(IDS_NO_SSE), L"Sorry, but CPUs without SSE are not supported!");
    EXPECT_EQ(LoadStringResource(IDS_NO_SSE2), L"Sorry, but CPUs without SSE2 are not supported!");
}

TEST(LoadStringResourceTest, MissingTextThrowsAtLine47)
{
    try {
        Kova::Application::LoadStringResource(4000);
        FAIL();
    } catch (const Kova::LastErrorException& failure) {
        EXPECT_EQ(failure.GetLine(), 47);
        EXPECT_STREQ(failure.GetFunction(), "Kova::Application::LoadStringResource");
    }
}
