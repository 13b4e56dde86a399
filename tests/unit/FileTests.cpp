#include "TestSupport.h"

#include "Kova/Exception.h"
#include "Kova/FileSystem/File.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <functional>

using Kova::FileSystem::File;

namespace {

// Runs the action and returns the LastErrorException's code, checking its site.
std::uint32_t LastErrorOf(const std::function<void()>& action, const char* function, int line)
{
    try {
        action();
    } catch (const Kova::LastErrorException& failure) {
        EXPECT_STREQ(failure.GetFunction(), function);
        EXPECT_EQ(failure.GetLine(), line);
        EXPECT_STREQ(failure.GetFile(), "FileSystem/File");
        return failure.GetCode();
    }
    ADD_FAILURE() << "nothing thrown";
    return 0;
}

void ExpectInvalidHandle(const std::function<void()>& action, const char* function, int line)
{
    try {
        action();
        ADD_FAILURE() << "nothing thrown by " << function;
    } catch (const Kova::InvalidHandleException& failure) {
        EXPECT_STREQ(failure.GetFunction(), function);
        EXPECT_EQ(failure.GetLine(), line);
    }
}

bool EndsWith(const std::wstring& text, const std::wstring& end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

class FileTest : public testing::Test {
protected:
    Testing::TempFolder folder;
};

TEST_F(FileTest, CreateWriteReadRoundTripAndTruncation)
{
    const std::wstring path = folder.File(L"data.bin");
    {
        File file = File::Create(path);
        file.Write("0123456789", 10);
        EXPECT_EQ(file.GetFilePointer(), 10u);
    }
    {
        File file = File::Open(path);
        EXPECT_EQ(file.GetSize(), 10u);
        char content[10];
        file.ReadAt(0, content, 10);
        EXPECT_EQ(std::memcmp(content, "0123456789", 10), 0);
        // A short read is a failure, never a buffer padded with zeros.
        EXPECT_THROW(file.ReadAt(1, content, 10), Kova::Win32Exception);
    }
    {
        File truncated = File::Create(path);
        EXPECT_EQ(truncated.GetSize(), 0u);
    }
    char none;
    EXPECT_THROW(File::Open(path).ReadAt(0, &none, 1), Kova::Win32Exception);
}

TEST_F(FileTest, OpenOfMissingFileAndMissingDirectory)
{
    EXPECT_EQ(LastErrorOf([&] { File::Open(folder.File(L"absent.txt")); }, "Kova::FileSystem::File::Open", 206), 2u);
    EXPECT_EQ(LastErrorOf([&] { File::Open(folder.File(L"no-dir\\absent.txt")); }, "Kova::FileSystem::File::Open",
                          206),
              3u);
    EXPECT_EQ(LastErrorOf([&] { File::Create(folder.File(L"no-dir\\new.txt")); }, "Kova::FileSystem::File::Create",
                          229),
              3u);
}

TEST_F(FileTest, OpenAllowsReadersButNotWritersOrDeletion)
{
    const std::wstring path = folder.File(L"held.bin");
    File::Create(path).Write("x", 1);
    File held = File::Open(path);

    File reader = File::Open(path);
    EXPECT_TRUE(reader.IsOpen());
    EXPECT_EQ(LastErrorOf([&] { File::Create(path); }, "Kova::FileSystem::File::Create", 229),
              static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(DeleteFileW(path.c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
}

TEST_F(FileTest, DeleteIsRefusedWhileAnotherHandleIsOpen)
{
    const std::wstring path = folder.File(L"busy.bin");
    File file = File::Create(path);
    HANDLE other = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(file.Delete());
    EXPECT_STREQ(file.GetPath(), path.c_str());
    EXPECT_FALSE(file.IsOpen());
    CloseHandle(other);
    EXPECT_TRUE(file.Delete());
    EXPECT_STREQ(file.GetPath(), L"");
    EXPECT_FALSE(Testing::FileExists(path));
}

TEST_F(FileTest, OperationsAfterCloseThrowInvalidHandleAtTheirOwnSites)
{
    File file = File::Create(folder.File(L"closed.bin"));
    file.Close();
    file.Close();
    ExpectInvalidHandle([&] { file.GetSize(); }, "Kova::FileSystem::File::GetSize", 47);
    char none;
    ExpectInvalidHandle([&] { file.ReadAt(0, &none, 1); }, "Kova::FileSystem::File::ReadAt", 0);
    ExpectInvalidHandle([&] { file.Write("a", 1); }, "Kova::FileSystem::File::Write", 107);
    ExpectInvalidHandle([&] { file.GetFilePointer(); }, "Kova::FileSystem::File::GetFilePointer", 129);
}

TEST_F(FileTest, WriteToAReadOnlyHandleFails)
{
    const std::wstring path = folder.File(L"ro.bin");
    File::Create(path);
    File file = File::Open(path);
    EXPECT_EQ(LastErrorOf([&] { file.Write("a", 1); }, "Kova::FileSystem::File::Write", 121),
              static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
}

TEST(TempFileTest, NamesAreFreshUnusedAndCarryTheAskedExtension)
{
    const std::wstring plain = File::GetTempFilePath(nullptr);
    const std::wstring exe = File::GetTempFilePath(L"exe");
    const std::wstring dotted = File::GetTempFilePath(L".exe");
    EXPECT_TRUE(EndsWith(plain, L".tmp") || EndsWith(plain, L".TMP")) << plain;
    EXPECT_TRUE(EndsWith(exe, L".exe")) << exe;
    EXPECT_TRUE(EndsWith(dotted, L"..exe")) << dotted;
    EXPECT_EQ(exe.find(L".exe"), exe.size() - 4) << "no second dot";
    EXPECT_NE(plain, exe);
    EXPECT_EQ(plain.compare(0, Testing::TempDirectory().size(), Testing::TempDirectory()), 0);
    for (const auto& path : {plain, exe, dotted}) {
        EXPECT_FALSE(Testing::FileExists(path)) << path;
    }
    File created = File::CreateTemp(L"exe");
    EXPECT_TRUE(Testing::FileExists(created.GetPath()));
    EXPECT_TRUE(EndsWith(created.GetPath(), L".exe"));
    EXPECT_TRUE(created.Delete());
}

TEST(TempFileTest, ATemporaryDirectoryTooLongForTheBufferIsAFailureNotAName)
{
    const std::wstring tooLong = L"C:\\" + std::wstring(300, L'x');
    const Testing::ScopedEnvironment tmp(L"TMP", tooLong);
    const Testing::ScopedEnvironment temp(L"TEMP", tooLong);
    std::uint32_t code = 0;
    try {
        File::GetTempFilePath(L"exe");
    } catch (const Kova::Win32Exception& failure) {
        code = failure.GetCode();
        EXPECT_EQ(failure.GetLine(), 255);
    }
    EXPECT_EQ(code, static_cast<std::uint32_t>(ERROR_FILENAME_EXCED_RANGE));
}
