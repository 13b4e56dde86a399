#include "MachineIdentifier.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(const std::wstring& text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(length > 0 ? length - 1 : 0), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, result.data(), length, nullptr, nullptr);
    return result;
}


std::wstring OwnProcessorText()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __asm__ volatile("cpuid" : "=a"(eax), "=b"(ebx), "=c"(ecx), "=d"(edx) : "a"(1u), "c"(0u));
    wchar_t text[17];
    std::swprintf(text, 17, L"%08X%08X", edx, eax);
    return text;
}

// Read the way any other program would, from the 64-bit view where there is one.
std::wstring OwnProductId()
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", 0,
                      KEY_QUERY_VALUE | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS) {
        return L"";
    }
    DWORD type = 0;
    DWORD size = 0;
    std::wstring result;
    if (RegQueryValueExW(key, L"ProductId", nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_SZ) {
        std::vector<wchar_t> data(size / sizeof(wchar_t) + 1, L'\0');
        if (RegQueryValueExW(key, L"ProductId", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size) ==
            ERROR_SUCCESS) {
            result = data.data();
        }
    }
    RegCloseKey(key);
    return result;
}

// SHA-1 by the system's CryptoAPI, of the text in the ANSI code page.
std::wstring SystemSha1(const std::wstring& text)
{
    const int length = WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                           nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), bytes.data(), length, nullptr,
                        nullptr);

    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[20] = {};
    DWORD size = sizeof(digest);
    const bool ok = CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
                    CryptCreateHash(provider, CALG_SHA1, 0, 0, &hash) &&
                    CryptHashData(hash, reinterpret_cast<const BYTE*>(bytes.data()), static_cast<DWORD>(bytes.size()),
                                  0) &&
                    CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
    if (hash != 0) {
        CryptDestroyHash(hash);
    }
    if (provider != 0) {
        CryptReleaseContext(provider, 0);
    }
    if (!ok) {
        return L"CryptoAPI failed";
    }
    std::wstring hex;
    for (BYTE value : digest) {
        wchar_t pair[3];
        std::swprintf(pair, 3, L"%02X", value);
        hex += pair;
    }
    return hex;
}

bool IsUpperHex(const std::wstring& text)
{
    return text.find_first_not_of(L"0123456789ABCDEF") == std::wstring::npos;
}

} // namespace

TEST(MachineIdentifierTest, ProcessorTextIsEdxThenEaxOfLeafOne)
{
    const std::wstring text = Sparlin::GetProcessorText();
    EXPECT_EQ(text, OwnProcessorText());
    EXPECT_EQ(text.size(), 16u);
    EXPECT_TRUE(IsUpperHex(text)) << text.c_str();
}

TEST(MachineIdentifierTest, ProductIdIsTheSystemsOwn)
{
    const std::wstring expected = OwnProductId();
    EXPECT_EQ(Sparlin::GetProductId(), expected);
    RecordProperty("ProductId", Utf8(expected));
}

TEST(MachineIdentifierTest, IdentifierIsTheSha1OfProcessorAndProductId)
{
    const std::wstring productId = OwnProductId();
    const std::wstring text = OwnProcessorText() + L"/" + (productId.empty() ? L"(null)" : productId);

    const std::wstring identifier = Sparlin::GetMachineIdentifier();
    EXPECT_EQ(identifier.size(), 40u);
    EXPECT_TRUE(IsUpperHex(identifier)) << identifier.c_str();
    EXPECT_EQ(identifier, SystemSha1(text)) << "of " << Utf8(text);
    EXPECT_EQ(Sparlin::GetMachineIdentifier(), identifier) << "not stable";
}

TEST(MachineIdentifierTest, IdentifierTextIsHashedInTheAnsiCodePage)
{
    const std::wstring texts[] = {
        L"",
        L"0000000000000000/(null)",
        L"BFEBFBFF000906EA/12345-oem-0000001-54321",
        // Beyond ASCII the bytes depend on the code page, not on UTF-8.
        L"BFEBFBFF000906EA/caf\u00E9-\u00FC",
    };
    for (const std::wstring& text : texts) {
        EXPECT_EQ(Sparlin::HashIdentifierText(text), SystemSha1(text))
            << Utf8(text);
    }
    EXPECT_EQ(Sparlin::HashIdentifierText(L"abc"), L"A9993E364706816ABA3E25717850C26C9CD0D89D");
}
