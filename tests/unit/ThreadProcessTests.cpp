#include "TestSupport.h"

#include "Kova/Exception.h"
#include "Kova/Process.h"
#include "Kova/Thread.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>

namespace {

// Counts its copies' destructions and the thread each one ran on.
struct Probe {
    std::atomic<int>* destroyed;
    std::atomic<DWORD>* ranOn;
    std::atomic<DWORD>* destroyedOn;
    HANDLE release;
    bool live = false;

    void operator()() const
    {
        if (release != nullptr) {
            WaitForSingleObject(release, 10000);
        }
        ranOn->store(GetCurrentThreadId());
    }
    Probe(std::atomic<int>* d, std::atomic<DWORD>* r, std::atomic<DWORD>* o, HANDLE h)
        : destroyed(d), ranOn(r), destroyedOn(o), release(h)
    {
    }
    Probe(const Probe& other) = default;
    ~Probe()
    {
        if (live) {
            destroyed->fetch_add(1);
            destroyedOn->store(GetCurrentThreadId());
        }
    }
};

// The copy made by Create is the only one marked live.
struct LiveProbe : Probe {
    using Probe::Probe;
    LiveProbe(const LiveProbe& other) : Probe(other) { live = true; }
};

std::wstring Quoted(const std::wstring& path)
{
    return L"\"" + path + L"\"";
}

} // namespace

TEST(ThreadTest, TaskRunsAndIsDestroyedOnceOnItsOwnThread)
{
    std::atomic<int> destroyed{0};
    std::atomic<DWORD> ranOn{0}, destroyedOn{0};
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        const LiveProbe probe(&destroyed, &ranOn, &destroyedOn, release);
        Kova::Thread thread = Kova::Thread::Create(probe);
        EXPECT_EQ(thread.Wait(0), static_cast<std::uint32_t>(WAIT_TIMEOUT));
        SetEvent(release);
        EXPECT_EQ(thread.Wait(), 0u);
        EXPECT_EQ(thread.Wait(0), 0u);
    }
    CloseHandle(release);
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_NE(ranOn.load(), GetCurrentThreadId());
    EXPECT_EQ(destroyedOn.load(), ranOn.load());
}

TEST(ThreadTest, DestroyingTheObjectLeavesTheTaskRunning)
{
    std::atomic<int> destroyed{0};
    std::atomic<DWORD> ranOn{0}, destroyedOn{0};
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    {
        Kova::Thread thread = Kova::Thread::Create(LiveProbe(&destroyed, &ranOn, &destroyedOn, release));
    }
    EXPECT_EQ(ranOn.load(), 0u);
    SetEvent(release);
    for (int i = 0; i < 200 && destroyed.load() == 0; ++i) {
        Sleep(10);
    }
    EXPECT_EQ(destroyed.load(), 1);
    EXPECT_NE(ranOn.load(), 0u);
    CloseHandle(release);
}

TEST(ThreadTest, WaitOnAMovedFromThreadIsAnInvalidHandle)
{
    Kova::Thread thread = Kova::Thread::Create([] {});
    Kova::Thread moved(std::move(thread));
    EXPECT_EQ(moved.Wait(), 0u);
    try {
        thread.Wait(0);
        FAIL();
    } catch (const Kova::InvalidHandleException& failure) {
        EXPECT_STREQ(failure.GetFunction(), "Kova::Thread::Wait");
        EXPECT_EQ(failure.GetLine(), 72);
    }
}

TEST(ProcessTest, CreateOfAMissingProgramThrowsWithCodeTwo)
{
    try {
        Kova::Process::Create(L"\"C:\\windows\\no-such-program-here.exe\" a b", 0);
        FAIL();
    } catch (const Kova::LastErrorException& failure) {
        EXPECT_EQ(failure.GetCode(), 2u);
        EXPECT_STREQ(failure.GetFunction(), "Kova::Process::Create");
        EXPECT_EQ(failure.GetLine(), 287);
        EXPECT_EQ(failure.GetMessageText(), Kova::Win32Exception("x", 0, "y", 2).GetMessageText());
    }
}

TEST(ProcessTest, WaitResultsAndDestructionLeavesTheChildRunning)
{
    // A child that lives until we end it: this program waiting on an event
    // that is never set would do, but a console tool that sleeps is simpler.
    Kova::Process child = Kova::Process::Create(Quoted(Testing::OwnPath()) + L" --child sleep", CREATE_NO_WINDOW);
    EXPECT_EQ(child.Wait(0), static_cast<std::uint32_t>(WAIT_TIMEOUT));
    const DWORD id = child.GetId();
    {
        Kova::Process moved(std::move(child));
    }
    HANDLE again = OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(WaitForSingleObject(again, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "destruction ended the child";
    TerminateProcess(again, 0);
    CloseHandle(again);
    try {
        child.Wait();
        FAIL();
    } catch (const Kova::InvalidHandleException& failure) {
        EXPECT_EQ(failure.GetLine(), 105);
    }
}

TEST(ProcessTest, WaitOnAnEndedProcessReturnsAtOnce)
{
    Kova::Process child = Kova::Process::Create(Quoted(Testing::OwnPath()) + L" --child exit", CREATE_NO_WINDOW);
    EXPECT_EQ(child.Wait(), 0u);
    EXPECT_EQ(child.Wait(0), 0u);
}

TEST(ProcessTest, IsWow64MatchesThePrefix)
{
    // The 64-bit test prefix runs this 32-bit program under WoW64, the 32-bit one does not.
    wchar_t expected[8] = L"";
    GetEnvironmentVariableW(L"SPARLIN_EXPECT_WOW64", expected, 8);
    if (expected[0] == 0) {
        GTEST_SKIP() << "SPARLIN_EXPECT_WOW64 not set";
    }
    EXPECT_EQ(Kova::Process::IsWow64(), expected[0] == L'1');
    EXPECT_EQ(Kova::Process::IsWow64(), Kova::Process::IsWow64());
}
