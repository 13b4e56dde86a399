#include "MachineIdentifier.h"

#include "Kova/Exception.h"
#include "Kova/Registry/Key.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

using Kova::Registry::Key;

namespace {

struct SeenValue {
    std::wstring name;
    std::uint32_t type;
    std::vector<std::uint8_t> bytes;
    bool nullData;
};

std::vector<SeenValue> Walk(Key& key)
{
    std::vector<SeenValue> seen;
    key.EnumValue([&seen](const wchar_t* name, std::uint32_t type, Kova::Buffer& data) {
        const std::uint8_t* begin = data.GetData();
        seen.push_back({name, type, std::vector<std::uint8_t>(begin, begin + data.GetSize()), begin == nullptr});
    });
    return seen;
}

std::vector<std::uint8_t> Bytes(const void* data, std::size_t size)
{
    const auto* begin = static_cast<const std::uint8_t*>(data);
    return std::vector<std::uint8_t>(begin, begin + size);
}

bool EnvironmentIs(const wchar_t* name, const wchar_t* value)
{
    wchar_t text[16] = {};
    return GetEnvironmentVariableW(name, text, 16) != 0 && std::wcscmp(text, value) == 0;
}

// Returns the Win32Exception's code, checking where it was thrown.
std::uint32_t Win32ErrorOf(const std::function<void()>& action, const char* function, int line)
{
    try {
        action();
    } catch (const Kova::FileNotFoundException& failure) {
        ADD_FAILURE() << "FileNotFoundException instead of a plain Win32Exception";
        return failure.GetCode();
    } catch (const Kova::Win32Exception& failure) {
        EXPECT_STREQ(failure.GetFunction(), function);
        EXPECT_EQ(failure.GetLine(), line);
        EXPECT_STREQ(failure.GetFile(), "Registry/Key");
        return failure.GetCode();
    }
    ADD_FAILURE() << "nothing thrown";
    return 0;
}

// A key of the test's own below Software\KovaTests, removed with its subkeys.
class ScratchKey {
public:
    explicit ScratchKey(HKEY root, REGSAM view = 0) : root(root), view(view)
    {
        static unsigned counter = 0;
        path = L"Software\\KovaTests\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(GetTickCount()) + L"-" + std::to_wstring(++counter);
        status = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &handle, nullptr);
    }
    ~ScratchKey()
    {
        if (handle != nullptr) {
            // Through the handle, so that the asked view is the one emptied.
            RegDeleteTreeW(handle, nullptr);
            RegCloseKey(handle);
        }
        RegDeleteKeyExW(root, path.c_str(), view, 0);
        // The shared parent goes too once the last test key is gone.
        RegDeleteKeyExW(root, L"Software\\KovaTests", view, 0);
    }
    ScratchKey(const ScratchKey&) = delete;
    ScratchKey& operator=(const ScratchKey&) = delete;

    bool Made() const { return status == ERROR_SUCCESS; }
    HKEY Handle() const { return handle; }
    const std::wstring& Path() const { return path; }

    LSTATUS Set(const wchar_t* name, DWORD type, const void* data, DWORD size) const
    {
        return RegSetValueExW(handle, name, 0, type, static_cast<const BYTE*>(data), size);
    }
    LSTATUS SetText(const wchar_t* name, DWORD type, const std::wstring& text) const
    {
        return Set(name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
    }

private:
    HKEY root;
    REGSAM view;
    std::wstring path;
    HKEY handle = nullptr;
    LSTATUS status = ERROR_SUCCESS;
};

class RegistryTest : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(scratch.Made()) << "test key not created"; }

    Key OpenScratch(std::uint32_t access = KEY_QUERY_VALUE)
    {
        return Key::Open(HKEY_CURRENT_USER, scratch.Path().c_str(), access);
    }

    ScratchKey scratch{HKEY_CURRENT_USER};
};

} // namespace

TEST_F(RegistryTest, KeyWithoutValuesNeverCallsBack)
{
    // A subkey is no value and must not show up either.
    HKEY child = nullptr;
    ASSERT_EQ(RegCreateKeyExW(scratch.Handle(), L"child", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(child);

    Key key = OpenScratch();
    int calls = 0;
    key.EnumValue([&calls](const wchar_t*, std::uint32_t, Kova::Buffer&) { ++calls; });
    EXPECT_EQ(calls, 0);
}

TEST_F(RegistryTest, ValuesWithoutDataArriveAsEmptyBuffers)
{
    ASSERT_EQ(scratch.Set(L"binary", REG_BINARY, nullptr, 0), ERROR_SUCCESS);
    ASSERT_EQ(scratch.Set(L"text", REG_SZ, nullptr, 0), ERROR_SUCCESS);
    Key key = OpenScratch();
    const std::vector<SeenValue> seen = Walk(key);
    ASSERT_EQ(seen.size(), 2u);
    for (const SeenValue& value : seen) {
        EXPECT_TRUE(value.nullData) << value.name.c_str();
        EXPECT_TRUE(value.bytes.empty()) << value.name.c_str();
    }
}

TEST_F(RegistryTest, TypesAndDataArriveUnchangedInTheSystemsOrder)
{
    const wchar_t text[] = L"abc";
    const DWORD number = 0x12345678;
    const std::uint8_t odd[] = {0x01, 0x00, 0xFF};
    const wchar_t multi[] = L"one\0two\0";
    const ULONGLONG wide = 0x1122334455667788ull;
    ASSERT_EQ(scratch.Set(L"sz", REG_SZ, text, sizeof(text)), ERROR_SUCCESS);
    ASSERT_EQ(scratch.Set(L"dword", REG_DWORD, &number, sizeof(number)), ERROR_SUCCESS);
    ASSERT_EQ(scratch.Set(L"odd", REG_BINARY, odd, sizeof(odd)), ERROR_SUCCESS);
    ASSERT_EQ(scratch.Set(L"multi", REG_MULTI_SZ, multi, sizeof(multi)), ERROR_SUCCESS);
    ASSERT_EQ(scratch.Set(L"qword", REG_QWORD, &wide, sizeof(wide)), ERROR_SUCCESS);
    ASSERT_EQ(scratch.Set(L"private", 0x4B4F5641, odd, 2), ERROR_SUCCESS);
    ASSERT_EQ(scratch.Set(nullptr, REG_SZ, text, sizeof(text)), ERROR_SUCCESS);

    Key key = OpenScratch();
    const std::vector<SeenValue> seen = Walk(key);

    std::vector<std::wstring> systemOrder;
    for (DWORD index = 0;; ++index) {
        wchar_t name[64];
        DWORD length = 64;
        if (RegEnumValueW(scratch.Handle(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        systemOrder.push_back(name);
    }
    std::vector<std::wstring> order;
    std::map<std::wstring, SeenValue> byName;
    for (const SeenValue& value : seen) {
        order.push_back(value.name);
        byName[value.name] = value;
    }
    EXPECT_EQ(order, systemOrder);
    ASSERT_EQ(byName.size(), 7u);

    EXPECT_EQ(byName[L"sz"].type, static_cast<std::uint32_t>(REG_SZ));
    EXPECT_EQ(byName[L"sz"].bytes, Bytes(text, sizeof(text)));
    EXPECT_EQ(byName[L""].type, static_cast<std::uint32_t>(REG_SZ));
    EXPECT_EQ(byName[L""].bytes, Bytes(text, sizeof(text)));
    EXPECT_EQ(byName[L"dword"].type, static_cast<std::uint32_t>(REG_DWORD));
    EXPECT_EQ(byName[L"dword"].bytes, Bytes(&number, sizeof(number)));
    EXPECT_EQ(byName[L"odd"].type, static_cast<std::uint32_t>(REG_BINARY));
    EXPECT_EQ(byName[L"odd"].bytes, Bytes(odd, sizeof(odd)));
    EXPECT_EQ(byName[L"multi"].type, static_cast<std::uint32_t>(REG_MULTI_SZ));
    EXPECT_EQ(byName[L"multi"].bytes, Bytes(multi, sizeof(multi)));
    EXPECT_EQ(byName[L"qword"].type, static_cast<std::uint32_t>(REG_QWORD));
    EXPECT_EQ(byName[L"qword"].bytes, Bytes(&wide, sizeof(wide)));
    EXPECT_EQ(byName[L"private"].type, 0x4B4F5641u);
    EXPECT_EQ(byName[L"private"].bytes, Bytes(odd, 2));
}

TEST_F(RegistryTest, NamesUpTo1023CharactersWorkAndLongerOnesFailTheSizeQuery)
{
    const std::wstring longest(1023, L'n');
    ASSERT_EQ(scratch.SetText(longest.c_str(), REG_SZ, L"x"), ERROR_SUCCESS);
    {
        Key key = OpenScratch();
        const std::vector<SeenValue> seen = Walk(key);
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(seen[0].name, longest);
        EXPECT_EQ(seen[0].bytes, Bytes(L"x", 4));
    }

    const std::wstring tooLong(1024, L'o');
    ASSERT_EQ(scratch.SetText(tooLong.c_str(), REG_SZ, L"y"), ERROR_SUCCESS);
    Key key = OpenScratch();
    EXPECT_EQ(Win32ErrorOf([&] { Walk(key); }, "Kova::Registry::Key::EnumValue", 55),
              static_cast<std::uint32_t>(ERROR_MORE_DATA));
}

TEST_F(RegistryTest, ExceptionFromTheCallbackEndsTheWalk)
{
    ASSERT_EQ(scratch.SetText(L"first", REG_SZ, L"1"), ERROR_SUCCESS);
    ASSERT_EQ(scratch.SetText(L"second", REG_SZ, L"2"), ERROR_SUCCESS);
    Key key = OpenScratch();
    int calls = 0;
    EXPECT_THROW(key.EnumValue([&calls](const wchar_t*, std::uint32_t, Kova::Buffer&) {
        ++calls;
        throw std::runtime_error("stop");
    }),
                 std::runtime_error);
    EXPECT_EQ(calls, 1);
}

TEST_F(RegistryTest, OpenOfAMissingKeyNamesItWithTheRootsShortName)
{
    const std::wstring missing = scratch.Path() + L"\\missing";
    try {
        Key::Open(HKEY_CURRENT_USER, missing.c_str(), KEY_QUERY_VALUE);
        ADD_FAILURE() << "nothing thrown";
    } catch (const Kova::FileNotFoundException& failure) {
        EXPECT_EQ(failure.GetPath(), L"HKCU\\" + missing);
        EXPECT_EQ(failure.GetCode(), 2u);
        EXPECT_STREQ(failure.GetFunction(), "Kova::Registry::Key::Open");
        EXPECT_EQ(failure.GetLine(), 205);
        EXPECT_STREQ(failure.GetFile(), "Registry/Key");
    }
    // Below a key that is no predefined root there is no short name to put first.
    try {
        Key::Open(scratch.Handle(), L"missing", KEY_QUERY_VALUE);
        ADD_FAILURE() << "nothing thrown";
    } catch (const Kova::FileNotFoundException& failure) {
        EXPECT_EQ(failure.GetPath(), L"missing");
    }
}

TEST_F(RegistryTest, OtherOpenFailuresThrowTheStatus)
{
    EXPECT_EQ(Win32ErrorOf([] { Key::Open(reinterpret_cast<HKEY>(0x4B4F), L"Software", KEY_QUERY_VALUE); },
                           "Kova::Registry::Key::Open", 209),
              static_cast<std::uint32_t>(ERROR_INVALID_HANDLE));

    // Everyone may only change the DACL back, so reading is denied.
    HKEY locked = nullptr;
    ASSERT_EQ(RegCreateKeyExW(scratch.Handle(), L"locked", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &locked, nullptr),
              ERROR_SUCCESS);
    PSECURITY_DESCRIPTOR writeDacOnly = nullptr;
    PSECURITY_DESCRIPTOR everything = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;WD;;;WD)", SDDL_REVISION_1,
                                                                     &writeDacOnly, nullptr));
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;KA;;;WD)", SDDL_REVISION_1,
                                                                     &everything, nullptr));
    ASSERT_EQ(RegSetKeySecurity(locked, DACL_SECURITY_INFORMATION, writeDacOnly), ERROR_SUCCESS);
    RegCloseKey(locked);

    const std::wstring path = scratch.Path() + L"\\locked";
    EXPECT_EQ(Win32ErrorOf([&] { Key::Open(HKEY_CURRENT_USER, path.c_str(), KEY_QUERY_VALUE); },
                           "Kova::Registry::Key::Open", 209),
              static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));

    if (RegOpenKeyExW(scratch.Handle(), L"locked", 0, WRITE_DAC, &locked) == ERROR_SUCCESS) {
        RegSetKeySecurity(locked, DACL_SECURITY_INFORMATION, everything);
        RegCloseKey(locked);
    }
    LocalFree(writeDacOnly);
    LocalFree(everything);
}

TEST_F(RegistryTest, EnumerationFailuresThrowTheStatusOfTheSizeQuery)
{
    ASSERT_EQ(scratch.SetText(L"value", REG_SZ, L"v"), ERROR_SUCCESS);
    {
        Key writeOnly = OpenScratch(KEY_SET_VALUE);
        EXPECT_EQ(Win32ErrorOf([&] { Walk(writeOnly); }, "Kova::Registry::Key::EnumValue", 55),
                  static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
    }

    HKEY doomed = nullptr;
    ASSERT_EQ(RegCreateKeyExW(scratch.Handle(), L"doomed", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &doomed, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(doomed, L"value", 0, REG_DWORD, reinterpret_cast<const BYTE*>("\1\0\0\0"), 4);
    Key key = Key::Open(doomed, L"", KEY_QUERY_VALUE);
    ASSERT_EQ(RegDeleteKeyW(scratch.Handle(), L"doomed"), ERROR_SUCCESS);
    EXPECT_EQ(Win32ErrorOf([&] { Walk(key); }, "Kova::Registry::Key::EnumValue", 55),
              static_cast<std::uint32_t>(ERROR_KEY_DELETED));
    EXPECT_EQ(Win32ErrorOf([&] { Key::Open(doomed, L"", KEY_QUERY_VALUE); }, "Kova::Registry::Key::Open", 209),
              static_cast<std::uint32_t>(ERROR_KEY_DELETED));
    RegCloseKey(doomed);
}

TEST(RegistryCloseTest, KeyOfAPredefinedRootIsReleasedWithoutAFailingClose)
{
    // An empty path hands back the predefined root itself. RegCloseKey
    // accepts that; CloseHandle fails on it (and raises under a debugger).
    SetLastError(ERROR_SUCCESS);
    {
        Key root = Key::Open(HKEY_CURRENT_USER, L"", KEY_QUERY_VALUE);
        SetLastError(ERROR_SUCCESS);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SUCCESS)) << "the key was not closed with RegCloseKey";
}

class RegistryProductIdTest : public RegistryTest {
protected:
    std::wstring Read() { return Sparlin::ReadProductId(HKEY_CURRENT_USER, scratch.Path().c_str(), KEY_QUERY_VALUE); }
};

TEST_F(RegistryProductIdTest, OnlyAStringNamedExactlyProductIdCounts)
{
    ASSERT_EQ(scratch.SetText(L"Other", REG_SZ, L"other"), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"");

    ASSERT_EQ(scratch.SetText(L"ProductIdX", REG_SZ, L"longer"), ERROR_SUCCESS);
    ASSERT_EQ(scratch.SetText(L"ProductI", REG_SZ, L"shorter"), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"") << "names are compared whole and case-sensitively";

    ASSERT_EQ(scratch.SetText(L"ProductId", REG_EXPAND_SZ, L"%expand%"), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"");
    ASSERT_EQ(scratch.SetText(L"ProductId", REG_BINARY, L"binary"), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"");
    ASSERT_EQ(scratch.SetText(L"ProductId", REG_MULTI_SZ, L"multi"), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"");

    ASSERT_EQ(scratch.SetText(L"ProductId", REG_SZ, L"12345-OEM-0000001-54321"), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"12345-OEM-0000001-54321");
}

TEST_F(RegistryProductIdTest, ValueWithLowerCaseNameIsIgnored)
{
    ASSERT_EQ(scratch.SetText(L"productid", REG_SZ, L"lower"), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"");
}

TEST_F(RegistryProductIdTest, TextEndsAtTheFirstZeroOrAtTheEndOfTheData)
{
    ASSERT_EQ(scratch.Set(L"ProductId", REG_SZ, L"12345", 10), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"12345") << "no terminating zero";

    ASSERT_EQ(scratch.Set(L"ProductId", REG_SZ, L"AB\0CD", 12), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"AB");

    ASSERT_EQ(scratch.Set(L"ProductId", REG_SZ, L"ABC", 5), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"AB") << "a trailing odd byte is no character";

    ASSERT_EQ(scratch.Set(L"ProductId", REG_SZ, nullptr, 0), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"");

    ASSERT_EQ(scratch.Set(L"ProductId", REG_SZ, L"", 2), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"");
}

TEST_F(RegistryProductIdTest, UnreadableKeysGiveAnEmptyText)
{
    ASSERT_EQ(scratch.SetText(L"ProductId", REG_SZ, L"seen"), ERROR_SUCCESS);
    const std::wstring missing = scratch.Path() + L"\\missing";
    EXPECT_EQ(Sparlin::ReadProductId(HKEY_CURRENT_USER, missing.c_str(), KEY_QUERY_VALUE), L"");
    EXPECT_EQ(Sparlin::ReadProductId(HKEY_CURRENT_USER, scratch.Path().c_str(), KEY_SET_VALUE), L"");

    // Seen first, then the walk fails: still nothing.
    const std::wstring tooLong(1024, L'Z');
    ASSERT_EQ(scratch.SetText(tooLong.c_str(), REG_SZ, L"z"), ERROR_SUCCESS);
    EXPECT_EQ(Read(), L"");
}

TEST(RegistryViewTest, ProductIdIsReadFromTheAskedView)
{
    // HKLM\Software is split into two views on 64-bit Windows; a key made in
    // the 64-bit one only is invisible to the 32-bit view.
    ScratchKey scratch(HKEY_LOCAL_MACHINE, KEY_WOW64_64KEY);
    ASSERT_TRUE(scratch.Made());
    ASSERT_EQ(scratch.SetText(L"ProductId", REG_SZ, L"sixty-four"), ERROR_SUCCESS);

    const wchar_t* path = scratch.Path().c_str();
    EXPECT_EQ(Sparlin::ReadProductId(HKEY_LOCAL_MACHINE, path, KEY_QUERY_VALUE | KEY_WOW64_64KEY), L"sixty-four");
    const std::wstring plain = Sparlin::ReadProductId(HKEY_LOCAL_MACHINE, path, KEY_QUERY_VALUE);
    if (EnvironmentIs(L"SPARLIN_EXPECT_WOW64", L"1")) {
        EXPECT_EQ(plain, L"");
    } else {
        EXPECT_EQ(plain, L"sixty-four");
    }
}
