#include "Version.h"

#include <algorithm>

namespace Sparlin {

namespace {

template <typename String>
std::size_t NextTokenOf(const String& text, const String& delimiter, std::size_t& position, String& token)
{
    const std::size_t found = delimiter.empty() ? String::npos : text.find(delimiter, position);
    if (found != String::npos) {
        token = text.substr(position, found - position);
        position = found + delimiter.size();
        return found;
    }
    if (position < text.size()) {
        token = text.substr(position);
        position = text.size();
        return text.size();
    }
    return NoToken;
}

std::uint32_t ParseComponent(const std::wstring& part)
{
    const auto isDigit = [](wchar_t c) { return c >= L'0' && c <= L'9'; };
    auto digit = std::find_if(part.begin(), part.end(), isDigit);
    std::uint32_t value = 0;
    for (; digit != part.end() && isDigit(*digit); ++digit) {
        const auto next = static_cast<std::uint32_t>(*digit - L'0');
        if (value > (UINT32_MAX - next) / 10) {
            return UINT32_MAX;
        }
        value = value * 10 + next;
    }
    return value;
}

} // namespace

std::size_t NextToken(const std::string& text, const std::string& delimiter, std::size_t& position, std::string& token)
{
    return NextTokenOf(text, delimiter, position, token);
}

std::size_t NextToken(const std::wstring& text, const std::wstring& delimiter, std::size_t& position, std::wstring& token)
{
    return NextTokenOf(text, delimiter, position, token);
}

VersionComponents ParseVersion(const std::wstring& text)
{
    VersionComponents components;
    const std::wstring stop = L".";
    std::size_t position = 0;
    std::wstring part;
    while (NextToken(text, stop, position, part) != NoToken) {
        components.push_back(ParseComponent(part));
    }
    return components;
}

bool IsNewerVersion(const VersionComponents& candidate, const VersionComponents& reference)
{
    const std::size_t common = std::min(candidate.size(), reference.size());
    for (std::size_t i = 0; i < common; ++i) {
        if (candidate[i] != reference[i]) {
            return candidate[i] > reference[i];
        }
    }
    return std::any_of(candidate.begin() + static_cast<std::ptrdiff_t>(common), candidate.end(),
                       [](std::uint32_t component) { return component != 0; });
}

std::wstring WidenLatin1(const std::string& text)
{
    std::wstring wide;
    for (char byte : text) {
        if (byte == '\0') {
            break;
        }
        wide += static_cast<wchar_t>(static_cast<unsigned char>(byte));
    }
    return wide;
}

bool AnswerOffersNewerVersion(const std::string& answer, const std::wstring& ownVersion, const Widener& widen)
{
    const VersionComponents reference = ParseVersion(ownVersion);
    const std::string lineFeed = "\n";
    std::size_t position = 0;
    std::string line;
    while (NextToken(answer, lineFeed, position, line) != NoToken) {
        line.resize(std::min(line.size(), line.find('\0')));
        if (IsNewerVersion(ParseVersion(widen(line)), reference)) {
            return true;
        }
    }
    return false;
}

} // namespace Sparlin
