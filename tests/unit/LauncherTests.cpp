#include "ErrorReporting.h"
#include "MessageBox.h"
#include "ProcessorCheck.h"

#include "Kova/Exception.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <new>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct ShownBox {
    std::wstring text;
    std::wstring caption;
    unsigned int style;
};

std::vector<ShownBox> shown;

int RecordBox(const std::wstring& text, const std::wstring& caption, unsigned int style)
{
    shown.push_back({text, caption, style});
    return IDOK;
}

std::uint32_t features = 0;

std::uint32_t FakeFeatures()
{
    return features;
}

class LauncherTest : public testing::Test {
protected:
    void SetUp() override
    {
        shown.clear();
        previousBox = Sparlin::SetMessageBoxFunction(&RecordBox);
        previousFeatures = Sparlin::SetFeatureSource(&FakeFeatures);
    }
    void TearDown() override
    {
        Sparlin::SetMessageBoxFunction(previousBox);
        Sparlin::SetFeatureSource(previousFeatures);
    }

    template <typename Thrower>
    std::wstring Reported(Thrower thrower)
    {
        shown.clear();
        try {
            thrower();
        } catch (...) {
            Sparlin::ShowExceptionMessage();
        }
        EXPECT_EQ(shown.size(), 1u);
        if (shown.empty()) {
            return L"";
        }
        EXPECT_EQ(shown[0].caption, L"KOVA Sparlin");
        EXPECT_EQ(shown[0].style, 0x10u);
        return shown[0].text;
    }

    Sparlin::MessageBoxFunction previousBox = nullptr;
    Sparlin::FeatureSource previousFeatures = nullptr;
};

} // namespace

TEST_F(LauncherTest, FailuresAreShownWithTheirOwnTexts)
{
    EXPECT_EQ(Reported([] { throw Kova::ExceptionWithCode("f", 1, "x", 5); }), L"Error: 0x00000005");
    EXPECT_EQ(Reported([] { throw Kova::InvalidHandleException("f", 1, "x"); }), L"Handle is invalid");
    EXPECT_EQ(Reported([] { throw std::bad_alloc(); }), L"bad allocation");
    EXPECT_EQ(Reported([] { throw std::runtime_error("plain text"); }), L"plain text");
    EXPECT_EQ(Reported([] { throw 42; }), L"Unknown exception");
}

TEST_F(LauncherTest, StandardLibraryFailuresUseTheShortWindowsTexts)
{
    EXPECT_EQ(Reported([] {
                  std::string text;
                  text.reserve(text.max_size() + 1);
              }),
              L"string too long");
    EXPECT_EQ(Reported([] { std::string("abc").substr(5); }), L"invalid string position");
    EXPECT_EQ(Reported([] { std::string("abc").at(7); }), L"invalid string position");
    EXPECT_EQ(Reported([] { ::operator delete(::operator new(static_cast<size_t>(-1) / 2)); }), L"bad allocation");
}

TEST_F(LauncherTest, ProcessorWithSseAndSse2PassesSilently)
{
    features = 0x06000000;
    EXPECT_TRUE(Sparlin::CheckProcessor());
    EXPECT_TRUE(shown.empty());
}

TEST_F(LauncherTest, MissingSse2IsRefusedWithItsMessage)
{
    features = 0x02000000;
    EXPECT_FALSE(Sparlin::CheckProcessor());
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].text, L"Sorry, but CPUs without SSE2 are not supported!");
    EXPECT_EQ(shown[0].caption, L"KOVA Sparlin");
    EXPECT_EQ(shown[0].style, 0x10u);
}

TEST_F(LauncherTest, MissingSseGivesOnlyTheSseMessageWhateverSse2Says)
{
    for (std::uint32_t value : {0x00000000u, 0x04000000u}) {
        shown.clear();
        features = value;
        EXPECT_FALSE(Sparlin::CheckProcessor());
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0].text, L"Sorry, but CPUs without SSE are not supported!");
    }
}

TEST_F(LauncherTest, RealProcessorOffersBoth)
{
    Sparlin::SetFeatureSource(nullptr);
    EXPECT_EQ(Sparlin::ReadProcessorFeatures() & 0x06000000u, 0x06000000u);
}
