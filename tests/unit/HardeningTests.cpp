#include "TestSupport.h"

#include "DesktopShell.h"
#include "Integrity.h"
#include "PrivateFolder.h"
#include "StaleFolders.h"

#include "Kova/FileSystem/File.h"
#include "Kova/Process.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <cstdio>
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
        EXPECT_TRUE(Sparlin::IsPrivateFolderName(name)) << name;
        seen.insert(name);
    }
    for (const wchar_t* other : {L"Sparlin-0123456789ABCDEF0123456789ABCDE", L"Sparlin-0123456789abcdef0123456789abcdef",
                                 L"sparlin-0123456789ABCDEF0123456789ABCDEF", L"Sparlin-0123456789ABCDEF0123456789ABCDEF0",
                                 L"Sparlin-0123456789ABCDEF0123456789ABCDEG", L"Other-0123456789ABCDEF0123456789ABCDEF"}) {
        EXPECT_FALSE(Sparlin::IsPrivateFolderName(other)) << other;
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
        const PrivateFolder folder = PrivateFolder::Create(parent.Path(), Names({L"taken", L"fresh"}), false);
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
    EXPECT_THROW(PrivateFolder::Create(parent.Path(), Names({L"taken"}), false), Kova::LastErrorException);
    RemoveDirectoryW(parent.File(L"taken").c_str());
}

TEST(PrivateFolderTest, AFileThatStaysKeepsTheFolder)
{
    Testing::TempFolder parent;
    std::wstring left;
    {
        const PrivateFolder folder = PrivateFolder::Create(parent.Path(), Names({L"p"}), false);
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
    const PrivateFolder folder = PrivateFolder::Create(parent.Path(), Names({L"secured"}), true);
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

TEST(ComSecurityTest, OnlyTheSystemAndElevatedAdministratorsMayCallIn)
{
    Sparlin::AbsoluteSecurityDescriptor access(Sparlin::comAccess);
    ASSERT_NE(access.Get(), nullptr);
    // The form CoInitializeSecurity takes: pointers, not offsets.
    EXPECT_EQ(static_cast<SECURITY_DESCRIPTOR*>(access.Get())->Control & SE_SELF_RELATIVE, 0);
    wchar_t* text = nullptr;
    const SECURITY_INFORMATION parts =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    ASSERT_TRUE(
        ConvertSecurityDescriptorToStringSecurityDescriptorW(access.Get(), SDDL_REVISION_1, parts, &text, nullptr));
    EXPECT_EQ(std::wstring(text), L"O:BAG:BAD:(A;;CCDC;;;SY)(A;;CCDC;;;BA)");
    LocalFree(text);
    // From high integrity only: no call in from below it.
    const PACL label = static_cast<SECURITY_DESCRIPTOR*>(access.Get())->Sacl;
    void* ace = nullptr;
    ASSERT_TRUE(label != nullptr && label->AceCount == 1 && GetAce(label, 0, &ace));
    const auto* mandatory = static_cast<const SYSTEM_MANDATORY_LABEL_ACE*>(ace);
    EXPECT_EQ(mandatory->Header.AceType, SYSTEM_MANDATORY_LABEL_ACE_TYPE);
    EXPECT_EQ(mandatory->Mask, static_cast<DWORD>(SYSTEM_MANDATORY_LABEL_NO_EXECUTE_UP));
    wchar_t* level = nullptr;
    ASSERT_TRUE(ConvertSidToStringSidW(const_cast<DWORD*>(&mandatory->SidStart), &level));
    EXPECT_EQ(std::wstring(level), L"S-1-16-12288");
    LocalFree(level);
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

TEST(IntegrityTest, AGrowingFileIsHashedAsWrittenAndConfirmedWholeOnAMismatch)
{
    Testing::TempFolder folder;
    const std::wstring path = folder.File(L"growing.bin");
    {
        Sparlin::GrowingFileDigest digest(path, true);
        digest.Advance(); // not made yet
        File writer = File::Create(path);
        writer.Write("a", 1);
        digest.Advance();
        writer.Write("bc", 2);
        digest.Advance();
        writer.Close();
        digest.Release();
        EXPECT_NO_THROW(digest.Verify(File::Open(path), L"ABC"));
    }
    {
        // Read while the writer was behind what it wrote later: a mismatch
        // of the early bytes is no verdict, the whole file decides.
        Sparlin::GrowingFileDigest digest(path, true);
        File::Create(path).Write("x", 1);
        digest.Advance();
        File::Create(path).Write("abc", 3);
        digest.Release();
        EXPECT_NO_THROW(digest.Verify(File::Open(path), L"ABC"));
    }
    {
        Sparlin::GrowingFileDigest digest(path, true);
        File::Create(path).Write("abd", 3);
        digest.Advance();
        EXPECT_THROW(digest.Verify(File::Open(path), L"ABC"), Sparlin::IntegrityException);
    }
    {
        // A writer that gives up removes its output while it is being read.
        Sparlin::GrowingFileDigest digest(path, true);
        File::Create(path).Write("ab", 2);
        digest.Advance();
        ASSERT_TRUE(DeleteFileW(path.c_str()));
        digest.Release();
        EXPECT_EQ(GetFileAttributesW(path.c_str()), INVALID_FILE_ATTRIBUTES);
    }
}

namespace {

std::wstring StaleName(wchar_t digit)
{
    return L"Sparlin-" + std::wstring(32, digit);
}

// What another program of the user would try on a folder it does not like.
bool CanBeRenamed(const std::wstring& path)
{
    const std::wstring moved = path + L"-moved";
    if (MoveFileExW(path.c_str(), moved.c_str(), 0)) {
        MoveFileExW(moved.c_str(), path.c_str(), 0);
        return true;
    }
    return false;
}

} // namespace

TEST(PrivateFolderTest, TheFolderIsHeldAgainstRenamingAndDeletionUntilItGoes)
{
    Testing::TempFolder parent;
    std::wstring path;
    {
        const PrivateFolder folder = PrivateFolder::Create(parent.Path(), Names({L"held"}), true);
        path = folder.GetPath();
        EXPECT_EQ(path, parent.File(L"Sparlin\\held"));
        EXPECT_FALSE(CanBeRenamed(parent.File(L"Sparlin")));
        EXPECT_FALSE(CanBeRenamed(path));
        EXPECT_FALSE(RemoveDirectoryW(path.c_str()));
        EXPECT_TRUE(IsDirectory(path));
        // Work inside it is not hindered, a process's current directory included.
        File::Create(path + L"\\inside.tmp").Close();
        EXPECT_TRUE(DeleteFileW((path + L"\\inside.tmp").c_str()));
        Kova::Process shell = Kova::Process::Create(L"cmd.exe /c cd > cwd.txt", CREATE_NO_WINDOW, path);
        EXPECT_EQ(shell.Wait(30000), 0u);
        std::string cwd;
        {
            const File written = File::Open(path + L"\\cwd.txt");
            cwd.resize(static_cast<size_t>(written.GetSize()));
            written.ReadAt(0, cwd.data(), static_cast<std::uint32_t>(cwd.size()));
        }
        EXPECT_NE(cwd.find("held"), std::string::npos) << cwd;
        DeleteFileW((path + L"\\cwd.txt").c_str());
    }
    EXPECT_FALSE(IsDirectory(path));
}

TEST(PrivateFolderTest, TheUnelevatedAccessListAddsTheUserAndOwnsNothing)
{
    const std::wstring own = PrivateFolder::GetSecurityDescriptor(false);
    EXPECT_EQ(own.find(L"O:"), std::wstring::npos) << own;
    EXPECT_EQ(own.rfind(L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;S-1-", 0), 0u) << own;
    EXPECT_EQ(PrivateFolder::GetSecurityDescriptor(true), PrivateFolder::securityDescriptor);

    Testing::TempFolder parent;
    const PrivateFolder folder = PrivateFolder::Create(parent.Path(), Names({L"mine"}), false);
    File::Create(folder.GetPath() + L"\\usable.exe").Close();
    EXPECT_TRUE(DeleteFileW((folder.GetPath() + L"\\usable.exe").c_str()));
}

TEST(PrivateFolderTest, TheRootComesFromTheSystemWhenElevated)
{
    wchar_t windows[MAX_PATH];
    ASSERT_GT(GetSystemWindowsDirectoryW(windows, MAX_PATH), 0u);
    std::wstring expected = windows;
    if (expected.back() != L'\\') {
        expected += L'\\';
    }
    expected += L"Temp";
    // Whatever TMP and TEMP say.
    const Testing::ScopedEnvironment tmp(L"TMP", L"C:\\elsewhere");
    const Testing::ScopedEnvironment temp(L"TEMP", L"C:\\elsewhere");
    const std::wstring elevated = PrivateFolder::GetRoot(true);
    const std::wstring user = PrivateFolder::GetRoot(false);
    EXPECT_EQ(elevated, expected);
    EXPECT_EQ(user, L"C:\\elsewhere\\");
}

namespace {

// Created `age` ago (in 100 ns), as the system reads it.
void Age(const std::wstring& path, std::uint64_t age)
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER then{{now.dwLowDateTime, now.dwHighDateTime}};
    then.QuadPart -= age;
    const FILETIME created{then.LowPart, then.HighPart};
    HANDLE handle = CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_TRUE(SetFileTime(handle, &created, &created, &created));
    CloseHandle(handle);
}

// A folder made as an elevated start makes its own, or (not `ours`) with
// the default access list, `age` ago (in 100 ns), holding `files`.
std::wstring Plant(const std::wstring& path, bool ours, std::uint64_t age,
                   std::initializer_list<const wchar_t*> files = {})
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    EXPECT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(PrivateFolder::securityDescriptor,
                                                                     SDDL_REVISION_1, &descriptor, nullptr));
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), descriptor, FALSE};
    EXPECT_TRUE(CreateDirectoryW(path.c_str(), ours ? &attributes : nullptr)) << std::string(path.begin(), path.end());
    LocalFree(descriptor);
    for (const wchar_t* file : files) {
        File::Create(path + L"\\" + file).Close();
    }
    Age(path, age);
    return path;
}

constexpr std::uint64_t anHour = 36000000000ull;

// What a folder made as ours reads back as here.
std::wstring OurSecurity(const Testing::TempFolder& root)
{
    return PrivateFolder::Create(root.Path(), Names({L"probe"}), true).GetSecurity();
}

} // namespace

TEST(PrivateFolderTest, StaleFoldersGoButNotOnesInUseNorOthers)
{
    Testing::TempFolder root;
    const std::wstring ours = OurSecurity(root);
    const std::wstring stale = Plant(root.File(StaleName(L'A')), true, 0, {L"1A.exe", L"2b.tmp"});
    const std::wstring emptyStale = Plant(root.File(StaleName(L'B')), true, 0);
    // A file of a start that still runs, or whose application still runs.
    const std::wstring busy = Plant(root.File(StaleName(L'C')), true, 0, {L"3.exe"});
    // Wine's file names ignore case as Windows does: another digit.
    const std::wstring lower = Plant(root.File(L"Sparlin-" + std::wstring(32, L'e')), true, 0, {L"4.exe"});
    const std::wstring unrelated = Plant(root.File(L"Sparlin-kept"), true, 0);
    HANDLE holder = CreateFileW(busy.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);

    EXPECT_EQ(Sparlin::RemoveStaleFolders(root.Path(), ours, 0), 2u);
    EXPECT_FALSE(IsDirectory(stale));
    EXPECT_FALSE(IsDirectory(emptyStale));
    EXPECT_TRUE(Testing::FileExists(busy + L"\\3.exe"));
    EXPECT_TRUE(Testing::FileExists(lower + L"\\4.exe"));
    EXPECT_TRUE(IsDirectory(unrelated));

    CloseHandle(holder);
    EXPECT_EQ(Sparlin::RemoveStaleFolders(root.Path(), ours, 0), 1u);
    EXPECT_FALSE(IsDirectory(busy));
}

TEST(PrivateFolderTest, OnlyFoldersMadeAsOursHoldingOnlyWhatAStartWritesGo)
{
    Testing::TempFolder root;
    const std::wstring ours = OurSecurity(root);
    const std::wstring stale = Plant(root.File(StaleName(L'1')), true, anHour, {L"1.tmp", L"2.tmp", L"3.exe"});
    // Anyone else's, moved in or planted under our name pattern; Wine too
    // reads back another access list for it.
    const std::wstring theirs = Plant(root.File(StaleName(L'2')), false, anHour, {L"1.exe"});
    // Ours in access list, but holding what no start writes.
    const std::wstring named = Plant(root.File(StaleName(L'3')), true, anHour, {L"1.exe", L"setup.exe"});
    const std::wstring many =
        Plant(root.File(StaleName(L'4')), true, anHour, {L"1.tmp", L"2.tmp", L"3.tmp", L"4.tmp", L"5.exe", L"6.exe"});
    const std::wstring nested = Plant(root.File(StaleName(L'5')), true, anHour, {L"1.exe"});
    ASSERT_TRUE(CreateDirectoryW((nested + L"\\inner").c_str(), nullptr));

    EXPECT_EQ(Sparlin::RemoveStaleFolders(root.Path(), ours), 1u);
    EXPECT_FALSE(IsDirectory(stale));
    EXPECT_TRUE(Testing::FileExists(theirs + L"\\1.exe"));
    EXPECT_TRUE(Testing::FileExists(named + L"\\1.exe"));
    EXPECT_TRUE(Testing::FileExists(many + L"\\1.tmp"));
    EXPECT_TRUE(Testing::FileExists(nested + L"\\1.exe"));

    // An unelevated start's leftover goes at the next unelevated start in
    // that root, under the same rules.
    std::wstring left;
    {
        const PrivateFolder crashed = PrivateFolder::Create(root.Path(), Names({StaleName(L'6')}), false);
        left = crashed.GetPath();
        File::Create(left + L"\\7.exe").Close();
    }
    Age(left, anHour);
    const PrivateFolder next = PrivateFolder::Create(root.Path(), Names({StaleName(L'7')}), false);
    EXPECT_EQ(next.GetRoot(), root.Path() + L"\\");
    EXPECT_EQ(Sparlin::RemoveStaleFolders(next.GetRoot(), next.GetSecurity()), 1u);
    EXPECT_FALSE(IsDirectory(left));
}

TEST(PrivateFolderTest, TheSweepLeavesYoungFoldersAndLooksAtSixteenAtMost)
{
    Testing::TempFolder root;
    const std::wstring ours = OurSecurity(root);
    std::vector<std::wstring> folders;
    for (wchar_t first : {L'1', L'2'}) {
        for (wchar_t second : std::wstring(L"0123456789")) {
            folders.push_back(Plant(root.File(StaleName(L'0').substr(0, 38) + first + second), true, 0));
        }
    }
    // Just made: it may be a start's that has not opened it yet.
    EXPECT_EQ(Sparlin::RemoveStaleFolders(root.Path(), ours), 0u);
    // An hour old, as the system reads it.
    for (const std::wstring& path : folders) {
        Age(path, anHour);
    }
    EXPECT_EQ(Sparlin::RemoveStaleFolders(root.Path(), ours), 16u);
    EXPECT_EQ(Sparlin::RemoveStaleFolders(root.Path(), ours), 4u);
}

namespace {

// Anyone may add folders of our name pattern to a root, all named before
// any of ours: young ones, ones held open, ones of their own. Returns the
// handles that hold some.
std::vector<HANDLE> PlantCrowd(const Testing::TempFolder& root, int count)
{
    std::vector<HANDLE> holders;
    for (int i = 0; i < count; ++i) {
        wchar_t digits[8];
        swprintf(digits, 8, L"%04X", i);
        const std::wstring path = root.File(L"Sparlin-" + std::wstring(28, L'0') + digits);
        Plant(path, i % 3 != 2, i % 3 == 0 ? 0 : anHour);
        if (i % 3 == 1) {
            holders.push_back(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        }
    }
    return holders;
}

} // namespace

TEST(PrivateFolderTest, PlantedFoldersNeverKeepTheSweepFromALeftover)
{
    Testing::TempFolder root;
    std::vector<HANDLE> holders = PlantCrowd(root, 100);
    std::wstring left;
    {
        const PrivateFolder crashed = PrivateFolder::Create(root.Path(), Names({StaleName(L'A')}), true);
        left = crashed.GetPath();
        File::Create(left + L"\\1.exe").Close();
    }
    Age(left, anHour);
    {
        const PrivateFolder next = PrivateFolder::Create(root.Path(), Names({StaleName(L'B')}), true);
        EXPECT_EQ(next.GetRoot(), root.File(L"Sparlin\\"));
        EXPECT_EQ(Sparlin::RemoveStaleFolders(next.GetRoot(), next.GetSecurity()), 1u);
        EXPECT_FALSE(IsDirectory(left));
    }

    // A product folder that is somebody else's is passed over: in the root,
    // planted folders can only slow the sweep, each start picking among
    // them at random, also once there are more than a start lists.
    Testing::TempFolder squatted;
    Plant(squatted.File(L"Sparlin"), false, 0);
    const int crowd = 120;
    const std::vector<HANDLE> more = PlantCrowd(squatted, crowd);
    holders.insert(holders.end(), more.begin(), more.end());
    const PrivateFolder folder = PrivateFolder::Create(squatted.Path(), Names({StaleName(L'C')}), true);
    EXPECT_EQ(folder.GetPath(), squatted.File(StaleName(L'C')));
    wchar_t digit = L'A';
    for (const unsigned listing : {Sparlin::staleFolderListing, 64u}) {
        left = Plant(squatted.File(StaleName(digit++)), true, anHour, {L"1.exe"});
        int starts = 0;
        // One start in eight finds it, one in sixteen once the listing
        // narrows by a digit: 500 misses in a row would take a broken sweep.
        while (IsDirectory(left) && starts < 500) {
            Sparlin::RemoveStaleFolders(folder.GetRoot(), folder.GetSecurity(), Sparlin::staleFolderMinimumAge,
                                        listing);
            ++starts;
        }
        EXPECT_FALSE(IsDirectory(left)) << listing;
        std::printf("a leftover among %d planted folders went at start %d, listings of %u\n", crowd, starts,
                    listing);
    }
    for (HANDLE holder : holders) {
        CloseHandle(holder);
    }
}

namespace {

// Another name for a folder, whose final path is the folder's own: Wine's
// drive Z: reaches it through the Unix path, Windows through a junction.
std::wstring AnotherNameFor(const std::wstring& folder, const std::wstring& spare)
{
    using UnixName = char*(CDECL*)(const wchar_t*);
    const auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32"), "wine_get_unix_file_name")));
    if (unixName != nullptr) {
        char* name = unixName(folder.c_str());
        std::wstring path = L"Z:";
        for (const char* c = name; c != nullptr && *c; ++c) {
            path += *c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*c));
        }
        HeapFree(GetProcessHeap(), 0, name);
        return path;
    }
    Kova::Process link =
        Kova::Process::Create(L"cmd.exe /c mklink /J \"" + spare + L"\" \"" + folder + L"\"", CREATE_NO_WINDOW);
    return link.Wait(30000) == 0 ? spare : std::wstring();
}

} // namespace

TEST(PrivateFolderTest, ARootReachedThroughAnotherNameWorksAndLeavesNothing)
{
    // As for a Temp that administrators moved to another volume behind a link.
    Testing::TempFolder place;
    const std::wstring real = place.File(L"real");
    ASSERT_TRUE(CreateDirectoryW(real.c_str(), nullptr));
    const std::wstring other = AnotherNameFor(real, place.File(L"link"));
    ASSERT_FALSE(other.empty());
    ASSERT_NE(other, real);
    std::wstring made;
    {
        const PrivateFolder folder = PrivateFolder::Create(other, Names({L"linked"}), true);
        made = folder.GetPath();
        EXPECT_EQ(folder.GetRoot(), real + L"\\Sparlin\\");
        EXPECT_EQ(made, real + L"\\Sparlin\\linked");
        File::Create(made + L"\\inside.exe").Close();
        EXPECT_TRUE(DeleteFileW((made + L"\\inside.exe").c_str()));
    }
    EXPECT_FALSE(IsDirectory(made));
    RemoveDirectoryW(place.File(L"link").c_str());
    RemoveDirectoryW((real + L"\\Sparlin").c_str());
    RemoveDirectoryW(real.c_str());
}
