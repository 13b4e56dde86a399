#include "TestSupport.h"

#include "Kova/Exception.h"
#include "Kova/Thread.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>
#include <exception>

namespace {

__attribute__((noinline)) void WriteThroughNull(volatile int* target)
{
    *target = 42;
}

__attribute__((noinline)) int Divide(int dividend, int divisor)
{
    volatile int numerator = dividend;
    volatile int denominator = divisor;
    return numerator / denominator;
}

bool IsInside(std::uintptr_t address, void (*function)(volatile int*))
{
    const auto start = reinterpret_cast<std::uintptr_t>(function);
    return address >= start && address < start + 64;
}

std::string ToUtf8(const std::wstring& text)
{
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(size > 0 ? size - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), size, nullptr, nullptr);
    return result;
}

} // namespace

namespace Testing {

int RunChild(const std::wstring& scenario)
{
    if (scenario == L"noncontinuable" || scenario == L"continuable") {
        try {
            throw Kova::StructuredException("test", 1, "test", 0xC0000417, 0x1234, scenario == L"continuable");
        } catch (const Kova::Exception&) {
        }
        return 7;
    }
    if (scenario == L"translated-noncontinuable") {
        EXCEPTION_RECORD record{};
        record.ExceptionCode = 0xC0000025;
        record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
        EXCEPTION_POINTERS pointers{&record, nullptr};
        try {
            Kova::SeTranslator(record.ExceptionCode, &pointers);
        } catch (const Kova::StructuredException& failure) {
            if (failure.IsContinuable()) {
                return 8;
            }
        }
        return 9;
    }
    if (scenario.rfind(L"message:", 0) == 0) {
        // The system's text for a code, for the end-to-end checks of message boxes.
        const Kova::Win32Exception failure("test", 0, "test", std::wcstoul(scenario.c_str() + 8, nullptr, 10));
        const std::string text = ToUtf8(failure.GetMessageText());
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return 0;
    }
    if (scenario == L"sleep") {
        Sleep(30000);
        return 0;
    }
    if (scenario == L"exit") {
        return 3;
    }
    return 99;
}

} // namespace Testing

TEST(ExceptionTextTest, CodeTextIsEightUpperCaseDigits)
{
    EXPECT_EQ(Kova::ExceptionWithCode("f", 1, "x", 5).GetMessageText(), L"Error: 0x00000005");
    EXPECT_EQ(Kova::ExceptionWithCode("f", 1, "x", 0x8007ABCD).GetMessageText(), L"Error: 0x8007ABCD");
}

TEST(ExceptionTextTest, Win32TextIsTheSystemsOwnWithItsLineBreak)
{
    const std::wstring text = Kova::Win32Exception("f", 1, "x", ERROR_ACCESS_DENIED).GetMessageText();
    wchar_t* expected = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_ACCESS_DENIED, 0x400,
                   reinterpret_cast<wchar_t*>(&expected), 0, nullptr);
    ASSERT_NE(expected, nullptr);
    EXPECT_EQ(text, expected);
    LocalFree(expected);
    ASSERT_GE(text.size(), 2u);
    EXPECT_EQ(text.substr(text.size() - 2), L"\r\n");
}

TEST(ExceptionTextTest, Win32TextFallsBackToTheCodeWithoutASystemText)
{
    EXPECT_EQ(Kova::Win32Exception("f", 1, "x", 0x2000FFFF).GetMessageText(), L"Error: 0x2000FFFF");
}

TEST(ExceptionTextTest, FileNotFoundShowsCodeTwoWithoutThePath)
{
    const Kova::FileNotFoundException failure("f", 1, "x", L"HKLM\\Nowhere");
    EXPECT_EQ(failure.GetCode(), 2u);
    EXPECT_EQ(failure.GetPath(), L"HKLM\\Nowhere");
    EXPECT_EQ(failure.GetMessageText(), Kova::Win32Exception("g", 2, "y", 2).GetMessageText());
    EXPECT_EQ(failure.GetMessageText().find(L"Nowhere"), std::wstring::npos);
}

TEST(ExceptionTextTest, LastErrorExceptionTakesTheThreadsLastError)
{
    SetLastError(ERROR_SHARING_VIOLATION);
    const Kova::LastErrorException failure("Kova::Test", 12, "Test");
    EXPECT_EQ(failure.GetCode(), static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
    EXPECT_STREQ(failure.GetFunction(), "Kova::Test");
    EXPECT_EQ(failure.GetLine(), 12);
    EXPECT_STREQ(failure.GetFile(), "Test");
}

TEST(ExceptionTextTest, StructuredAndInvalidHandleTexts)
{
    EXPECT_EQ(Kova::StructuredException("f", 1, "x", 0xC0000005, 0x4012AB, true).GetMessageText(),
              L"Structured exception: 0xC0000005 at 0x4012AB");
    EXPECT_EQ(Kova::InvalidHandleException("anything", 9, "y").GetMessageText(), L"Handle is invalid");
}

TEST(ExceptionTextTest, LibraryExceptionsAreNotStandardExceptions)
{
    bool caughtAsStandard = false;
    bool caughtAsKova = false;
    try {
        try {
            throw Kova::InvalidHandleException("f", 1, "x");
        } catch (const std::exception&) {
            caughtAsStandard = true;
        }
    } catch (const Kova::Exception&) {
        caughtAsKova = true;
    }
    EXPECT_FALSE(caughtAsStandard);
    EXPECT_TRUE(caughtAsKova);
}

TEST(SeTranslatorTest, WithoutInformationAddressIsZeroAndContinuable)
{
    try {
        Kova::SeTranslator(0xC0000094, nullptr);
        FAIL();
    } catch (const Kova::StructuredException& failure) {
        EXPECT_EQ(failure.GetCode(), 0xC0000094u);
        EXPECT_EQ(failure.GetAddress(), 0u);
        EXPECT_TRUE(failure.IsContinuable());
        EXPECT_STREQ(failure.GetFunction(), "Kova::SeTranslator");
        EXPECT_EQ(failure.GetLine(), 103);
        EXPECT_STREQ(failure.GetFile(), "Exception");
        EXPECT_EQ(failure.GetMessageText(), L"Structured exception: 0xC0000094 at 0x0");
    }
}

TEST(SeTranslatorTest, NonContinuableFaultEndsTheProcessWithItsCodeWhenReleased)
{
    EXPECT_EQ(Testing::RunChildProcess(L"noncontinuable"), 0xC0000417u);
    EXPECT_EQ(Testing::RunChildProcess(L"continuable"), 7u);
    EXPECT_EQ(Testing::RunChildProcess(L"translated-noncontinuable"), 0xC0000025u);
}

TEST(HardwareFaultTest, NullWriteOnTheMainThreadIsCaughtAsStructuredException)
{
#ifdef _WIN64
    GTEST_SKIP() << "hardware faults are translated in 32-bit x86 builds only";
#endif
    volatile int* nowhere = nullptr;
    try {
        WriteThroughNull(nowhere);
        FAIL() << "the write did not fault";
    } catch (const Kova::StructuredException& failure) {
        EXPECT_EQ(failure.GetCode(), 0xC0000005u);
        EXPECT_TRUE(IsInside(failure.GetAddress(), &WriteThroughNull)) << std::hex << failure.GetAddress();
        EXPECT_TRUE(failure.IsContinuable());
    }
    // The thread goes on normally and a second fault is translated as well.
    try {
        volatile int quotient = Divide(1, 0);
        (void)quotient;
        FAIL() << "the division did not fault";
    } catch (const Kova::Exception& failure) {
        EXPECT_EQ(static_cast<const Kova::StructuredException&>(failure).GetCode(), 0xC0000094u);
    }
}

TEST(HardwareFaultTest, NullWriteOnAKovaThreadIsCaughtThere)
{
#ifdef _WIN64
    GTEST_SKIP() << "hardware faults are translated in 32-bit x86 builds only";
#endif
    struct Outcome {
        std::uint32_t code = 0;
        std::uintptr_t address = 0;
        bool unwound = false;
    } outcome;
    struct Task {
        Outcome* outcome;
        void operator()() const
        {
            struct Sentinel {
                Outcome* outcome;
                ~Sentinel() { outcome->unwound = true; }
            };
            try {
                Sentinel sentinel{outcome};
                WriteThroughNull(nullptr);
            } catch (const Kova::StructuredException& failure) {
                outcome->code = failure.GetCode();
                outcome->address = failure.GetAddress();
            }
        }
    };
    Kova::Thread thread = Kova::Thread::Create(Task{&outcome});
    EXPECT_EQ(thread.Wait(10000), 0u);
    EXPECT_EQ(outcome.code, 0xC0000005u);
    EXPECT_TRUE(IsInside(outcome.address, &WriteThroughNull));
    EXPECT_TRUE(outcome.unwound) << "objects between the fault and the handler must be destroyed";
}
