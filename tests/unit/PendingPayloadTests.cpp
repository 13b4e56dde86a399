#include "PayloadUnpacking.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

using Kova::FileSystem::File;

namespace {

std::wstring Tool()
{
    const std::wstring own = Testing::OwnPath();
    return own.substr(0, own.find_last_of(L'\\') + 1) + L"LZMA.exe";
}

std::vector<std::wstring> Entries(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(find, &entry));
    FindClose(find);
    return names;
}

} // namespace

namespace Sparlin {
struct PendingPayloadAccess {
    // Waits for the real tool, then leaves in its place a process whose
    // wait fails.
    static void BreakTheWait(PendingPayload& pending)
    {
        pending.tool->Wait();
        pending.tool.emplace(0, Kova::KernelHandle());
    }
    static void WaitForTheTool(PendingPayload& pending) { pending.tool->Wait(); }
    static const std::wstring& OutputPath(const PendingPayload& pending) { return pending.outputPath; }
};
} // namespace Sparlin

using Sparlin::PendingPayloadAccess;

TEST(PendingPayloadTest, FinishGivesTheDecodedOutputAloneInTheFolder)
{
    Testing::TempFolder folder;
    Sparlin::TempNames names = Sparlin::SystemTempNames(folder.Path());
    File output = Sparlin::PendingPayload(Tool(), L"PACKED", L"TESTDATA", L"dll", names).Finish();
    char bytes[8] = {};
    ASSERT_EQ(output.GetSize(), 3u);
    output.ReadAt(0, bytes, 3);
    EXPECT_EQ(std::string(bytes), "abc");
    const std::wstring path = output.GetPath();
    EXPECT_EQ(path.substr(path.size() - 4), L".dll");
    // The packed input is gone; the output is held with read sharing only.
    EXPECT_EQ(Entries(folder.Path()), std::vector<std::wstring>{path.substr(path.find_last_of(L'\\') + 1)});
    EXPECT_EQ(CreateFileW(output.GetPath(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_TRUE(output.Delete());
}

TEST(PendingPayloadTest, LeftUnfinishedItLeavesNeitherInputNorOutput)
{
    // As when a check made while the tool runs fails. (That the tool is
    // waited for first, a slow stand-in tool shows end to end.)
    Testing::TempFolder folder;
    Sparlin::TempNames names = Sparlin::SystemTempNames(folder.Path());
    {
        Sparlin::PendingPayload pending(Tool(), L"PACKED", L"TESTDATA", L"exe", names);
    }
    EXPECT_TRUE(Entries(folder.Path()).empty());
}

TEST(PendingPayloadTest, AMissingResourceLeavesNoFileAndStartsNoTool)
{
    Testing::TempFolder folder;
    Sparlin::TempNames names = Sparlin::SystemTempNames(folder.Path());
    EXPECT_ANY_THROW(Sparlin::PendingPayload(Tool(), L"NO-SUCH", L"TESTDATA", L"exe", names));
    EXPECT_TRUE(Entries(folder.Path()).empty());
}

TEST(PendingPayloadTest, AToolThatCannotStartLeavesNoFile)
{
    Testing::TempFolder folder;
    Sparlin::TempNames names = Sparlin::SystemTempNames(folder.Path());
    EXPECT_ANY_THROW(Sparlin::PendingPayload(folder.File(L"missing.exe"), L"PACKED", L"TESTDATA", L"exe", names));
    EXPECT_TRUE(Entries(folder.Path()).empty());
}

TEST(PendingPayloadTest, AFinishThatFailsLeavesNeitherInputNorOutput)
{
    Testing::TempFolder folder;
    Sparlin::TempNames names = Sparlin::SystemTempNames(folder.Path());
    {
        // The wait for the tool fails: the input goes all the same.
        Sparlin::PendingPayload pending(Tool(), L"PACKED", L"TESTDATA", L"exe", names);
        PendingPayloadAccess::BreakTheWait(pending);
        EXPECT_ANY_THROW(pending.Finish());
    }
    EXPECT_TRUE(Entries(folder.Path()).empty());
    {
        // The output exists but someone holds it against readers: it goes
        // with the input, as soon as the holder lets go.
        Sparlin::PendingPayload pending(Tool(), L"PACKED", L"TESTDATA", L"exe", names);
        PendingPayloadAccess::WaitForTheTool(pending);
        HANDLE holder = CreateFileW(PendingPayloadAccess::OutputPath(pending).c_str(), GENERIC_READ,
                                    FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        EXPECT_ANY_THROW(pending.Finish());
        CloseHandle(holder);
    }
    EXPECT_TRUE(Entries(folder.Path()).empty());
}

TEST(PendingPayloadTest, TwoAtOnceGetDistinctNamesFromASourceThatRepeatsItself)
{
    // As the system's search may: each name twice, the second time while
    // the first holder's file is gone or, for an output, not there yet.
    Testing::TempFolder folder;
    auto calls = std::make_shared<int>(0);
    Sparlin::TempNames names(folder.Path(), [calls](const std::wstring& directory) {
        return directory + L"\\" + std::to_wstring((*calls)++ / 2 + 1) + L".tmp";
    });
    Sparlin::PendingPayload layout(Tool(), L"PACKED", L"TESTDATA", nullptr, names);
    Sparlin::PendingPayload application(Tool(), L"PACKED", L"TESTDATA", L"exe", names);
    File first = layout.Finish();
    File second = application.Finish();
    for (const File* output : {&first, &second}) {
        char bytes[4] = {};
        ASSERT_EQ(output->GetSize(), 3u);
        output->ReadAt(0, bytes, 3);
        EXPECT_EQ(std::string(bytes), "abc");
    }
    EXPECT_EQ(Entries(folder.Path()).size(), 2u);
    EXPECT_TRUE(first.Delete());
    EXPECT_TRUE(second.Delete());

    // One that only repeats itself is given up on, and leaves nothing.
    Sparlin::TempNames stuck(folder.Path(), [](const std::wstring& directory) { return directory + L"\\1.tmp"; });
    EXPECT_NO_THROW(stuck.Next(nullptr));
    EXPECT_THROW(Sparlin::PendingPayload(Tool(), L"PACKED", L"TESTDATA", L"exe", stuck), Kova::Win32Exception);
    EXPECT_TRUE(Entries(folder.Path()).empty());
}
