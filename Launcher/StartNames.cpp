#include "StartNames.h"

#include "Kova/Exception.h"

#include <algorithm>
#include <cstdint>

namespace Sparlin {

namespace {

bool IsHexDigit(wchar_t c, bool lowerToo)
{
    return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F') || (lowerToo && c >= L'a' && c <= L'f');
}

wchar_t Upper(wchar_t c)
{
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

bool SameIgnoringCase(const std::wstring& a, const std::wstring& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](wchar_t x, wchar_t y) { return Upper(x) == Upper(y); });
}

// Tried this often before a source that keeps repeating itself is given up on.
constexpr int nameAttempts = 64;
// ERROR_FILE_EXISTS.
constexpr std::uint32_t fileExists = 80;

} // namespace

bool IsPrivateFolderName(const std::wstring& name)
{
    const size_t prefixLength = std::wstring(privateFolderPrefix).size();
    if (name.size() != prefixLength + 32 || name.compare(0, prefixLength, privateFolderPrefix) != 0) {
        return false;
    }
    return std::all_of(name.begin() + prefixLength, name.end(), [](wchar_t c) { return IsHexDigit(c, false); });
}

bool IsStartFileName(const std::wstring& name)
{
    const size_t dot = name.find(L'.');
    if (dot == 0 || dot > 4 || dot == std::wstring::npos) {
        return false;
    }
    const std::wstring extension = name.substr(dot + 1);
    return std::all_of(name.begin(), name.begin() + dot, [](wchar_t c) { return IsHexDigit(c, true); }) &&
           (SameIgnoringCase(extension, L"tmp") || SameIgnoringCase(extension, L"exe"));
}

TempNames::TempNames(std::wstring directory, Source source) : directory(std::move(directory)), source(std::move(source))
{
}

std::wstring TempNames::Next(const wchar_t* extension)
{
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
        std::wstring path = source(directory);
        const size_t dot = path.rfind(L'.');
        const size_t slash = path.find_last_of(L"\\/");
        if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) {
            continue;
        }
        const std::wstring stem = path.substr(0, dot);
        const auto same = [&](const std::wstring& seen) { return SameIgnoringCase(seen, stem); };
        if (std::any_of(stems.begin(), stems.end(), same)) {
            continue;
        }
        stems.push_back(stem);
        if (extension != nullptr) {
            path.replace(dot + 1, std::wstring::npos, extension);
        }
        return path;
    }
    throw Kova::Win32Exception("Sparlin::TempNames::Next", 0, "StartNames", fileExists);
}

} // namespace Sparlin
