#include "MachineIdentifier.h"

#include "Bitness.h"

#include "Kova/Exception.h"
#include "Kova/Hex.h"
#include "Kova/Process.h"
#include "Kova/Registry/Key.h"
#include "Kova/Security/Sha1.h"
#include "Kova/String.h"

#include <cpuid.h>

#include <algorithm>
#include <cwchar>

namespace Sparlin {

std::wstring GetProcessorText()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    return Kova::Format(L"%08X%08X", edx, eax);
}

std::wstring ReadProductId(HKEY root, const wchar_t* path, std::uint32_t access)
{
    try {
        Kova::Registry::Key key = Kova::Registry::Key::Open(root, path, access);
        std::wstring result;
        key.EnumValue([&result](const wchar_t* name, std::uint32_t type, Kova::Buffer& data) {
            if (std::wcscmp(name, L"ProductId") != 0 || type != REG_SZ) {
                return;
            }
            const auto* characters = reinterpret_cast<const wchar_t*>(data.GetData());
            const size_t count = data.GetSize() / sizeof(wchar_t);
            result.assign(characters, std::find(characters, characters + count, L'\0'));
        });
        // Handed out only once the whole walk has succeeded.
        return result;
    } catch (const Kova::Exception&) {
        return std::wstring();
    }
}

std::wstring GetProductId()
{
    const std::uint32_t access = RunsOn64BitWindows() ? (KEY_QUERY_VALUE | KEY_WOW64_64KEY) : KEY_QUERY_VALUE;
    return ReadProductId(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", access);
}

std::wstring HashIdentifierText(const std::wstring& text)
{
    const std::string bytes = Kova::WideToAnsi(text);
    Kova::Security::Sha1 hash;
    hash.Update(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    hash.Final();
    return Kova::ToHex(hash.GetDigest());
}

std::wstring GetMachineIdentifier()
{
    const std::wstring processor = GetProcessorText();
    const std::wstring productId = GetProductId();
    // An empty product ID goes in as null, which the formatter writes as "(null)".
    const std::wstring text =
        Kova::Format(L"%s/%s", processor.c_str(), productId.empty() ? nullptr : productId.c_str());
    return HashIdentifierText(text);
}

} // namespace Sparlin
