#include "TestSupport.h"

#include "Integrity.h"
#include "PrivateFolder.h"

#include "Kova/FileSystem/File.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <regex>
#include <set>

using Kova::FileSystem::File;
using Sparlin::PrivateFolder;

namespace {

bool IsDirectory(const std::wstring& path)
{
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The names handed out in order, so a test can choose which already exist.
PrivateFolder::NameSource Names(std::vector<std::wstring> names)
{
    auto next = std::make_shared<size_t>(0);
    return [names, next] { return names.at((*next)++ % names.size()); };
}

} // namespace

TEST(PrivateFolderTest, RandomNamesAreLongAndUnrelated)
{
    std::set<std::wstring> seen;
    for (int i = 0; i < 50; ++i) {
        const std::wstring name = Sparlin::MakeRandomFolderName();
        EXPECT_TRUE(std::regex_match(name, std::wregex(L"Sparlin-[0-9A-F]{32}"))) << name;
        seen.insert(name);
    }
    EXPECT_EQ(seen.size(), 50u);
}

TEST(PrivateFolderTest, AnExistingFolderOfTheChosenNameIsNeverUsed)
{
    Testing::TempFolder parent;
    ASSERT_TRUE(CreateDirectoryW(parent.File(L"taken").c_str(), nullptr));
    // A file placed in the prepared folder must not end up beside ours.
    File::Create(parent.File(L"taken\\planted.dll"));
    std::wstring created;
    {
        const PrivateFolder folder = PrivateFolder::Create(parent.Path(), Names({L"taken", L"fresh"}));
        created = folder.GetPath();
        EXPECT_EQ(created, parent.File(L"fresh"));
        EXPECT_TRUE(IsDirectory(created));
    }
    EXPECT_FALSE(IsDirectory(created)) << "the folder outlived its start";
    EXPECT_TRUE(Testing::FileExists(parent.File(L"taken\\planted.dll")));
    DeleteFileW(parent.File(L"taken\\planted.dll").c_str());
    RemoveDirectoryW(parent.File(L"taken").c_str());
}

TEST(PrivateFolderTest, GivesUpWhenEveryNameIsTaken)
{
    Testing::TempFolder parent;
    ASSERT_TRUE(CreateDirectoryW(parent.File(L"taken").c_str(), nullptr));
    EXPECT_THROW(PrivateFolder::Create(parent.Path(), Names({L"taken"})), Kova::LastErrorException);
    RemoveDirectoryW(parent.File(L"taken").c_str());
}

TEST(PrivateFolderTest, AFileThatStaysKeepsTheFolder)
{
    Testing::TempFolder parent;
    std::wstring left;
    {
        const PrivateFolder folder = PrivateFolder::Create(parent.Path(), Names({L"p"}));
        left = folder.GetPath() + L"\\left.exe";
        File::Create(left);
    }
    EXPECT_TRUE(Testing::FileExists(left));
    DeleteFileW(left.c_str());
    RemoveDirectoryW(parent.File(L"p").c_str());
}

namespace {

std::wstring ToSddl(PSECURITY_DESCRIPTOR descriptor)
{
    wchar_t* text = nullptr;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, wanted, &text, nullptr)) {
        return L"";
    }
    std::wstring sddl = text;
    LocalFree(text);
    return sddl;
}

// Owned by Administrators, nothing inherited from the user's temporary
// directory, full access for SYSTEM and Administrators and nobody else.
void ExpectOnlySystemAndAdministrators(const std::wstring& sddl)
{
    EXPECT_EQ(sddl.substr(0, 5), L"O:BAD") << sddl;
    EXPECT_NE(sddl.find(L"D:P"), std::wstring::npos) << sddl;
    EXPECT_NE(sddl.find(L"(A;OICI;FA;;;SY)"), std::wstring::npos) << sddl;
    EXPECT_NE(sddl.find(L"(A;OICI;FA;;;BA)"), std::wstring::npos) << sddl;
    size_t aces = 0;
    for (size_t at = sddl.find(L"(A"); at != std::wstring::npos; at = sddl.find(L"(A", at + 1)) {
        ++aces;
    }
    EXPECT_EQ(aces, 2u) << sddl;
}

} // namespace

TEST(PrivateFolderTest, OnlyTheSystemAndAdministratorsMayWrite)
{
    PSECURITY_DESCRIPTOR requested = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(PrivateFolder::securityDescriptor,
                                                                     SDDL_REVISION_1, &requested, nullptr));
    ExpectOnlySystemAndAdministrators(ToSddl(requested));
    LocalFree(requested);

    Testing::TempFolder parent;
    const PrivateFolder folder = PrivateFolder::Create(parent.Path(), Names({L"secured"}));
    DWORD needed = 0;
    const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    GetFileSecurityW(folder.GetPath().c_str(), wanted, nullptr, 0, &needed);
    ASSERT_GT(needed, 0u);
    std::vector<BYTE> descriptor(needed);
    ASSERT_TRUE(GetFileSecurityW(folder.GetPath().c_str(), wanted, descriptor.data(), needed, &needed));
    const std::wstring kept = ToSddl(descriptor.data());
    if (kept.substr(0, 5) != L"O:BAD" && GetModuleHandleW(L"ntdll") != nullptr &&
        GetProcAddress(GetModuleHandleW(L"ntdll"), "wine_get_version") != nullptr) {
        // Wine keeps no security descriptor for files it creates and shows a
        // default one instead; on Windows the folder's own is checked.
        RecordProperty("wine_folder_security", std::string(kept.begin(), kept.end()));
        return;
    }
    ExpectOnlySystemAndAdministrators(kept);
}

TEST(IntegrityTest, FilesAreCheckedThroughTheirHandleAgainstTheRecordedDigest)
{
    Testing::TempFolder folder;
    const std::wstring path = folder.File(L"abc.bin");
    File::Create(path).Write("abc", 3);
    {
        const File good = File::Open(path);
        EXPECT_NO_THROW(Sparlin::VerifyFile(good, L"ABC"));
    }
    File::Create(path).Write("abd", 3);
    const File changed = File::Open(path);
    try {
        Sparlin::VerifyFile(changed, L"ABC");
        FAIL() << "a changed file passed";
    } catch (const Sparlin::IntegrityException& failure) {
        EXPECT_EQ(failure.GetPath(), path);
        EXPECT_EQ(failure.GetMessageText(),
                  L"The file \"" + path +
                      L"\" is not the one this program carries: it is damaged or was changed. Nothing was started.");
    }
    EXPECT_THROW(Sparlin::VerifyFile(changed, L"NO-SUCH-DIGEST"), Kova::LastErrorException);
}
