// NextToken, ParseVersion, IsNewerVersion and the answer rule, each checked
// against a plainer restatement of its rule.
#include "Version.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace {

using Sparlin::NoToken;
using Sparlin::VersionComponents;

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

template <typename String>
std::vector<String> Tokens(const String& text, const String& delimiter)
{
    std::vector<String> tokens;
    std::size_t position = 0;
    String token;
    bool endedOnDelimiter = false;
    for (;;) {
        const std::size_t before = position;
        const std::size_t found = Sparlin::NextToken(text, delimiter, position, token);
        if (found == NoToken) {
            Check(position == before);
            break;
        }
        Check(found >= before && found <= text.size());
        Check(text.find(delimiter, before) == (found == text.size() ? String::npos : found));
        Check(token == text.substr(before, found - before));
        Check(position == (found == text.size() ? found : found + delimiter.size()));
        Check(position > before || found < text.size());
        endedOnDelimiter = found < text.size();
        tokens.push_back(token);
        Check(tokens.size() <= text.size() + 1);
    }
    String joined;
    for (std::size_t i = 0; i < tokens.size(); ++i) {
        joined += (i ? delimiter : String()) + tokens[i];
    }
    Check(joined + (endedOnDelimiter ? delimiter : String()) == text);
    return tokens;
}

std::uint32_t ComponentByDigits(const std::wstring& part)
{
    const std::size_t first = part.find_first_of(L"0123456789");
    if (first == std::wstring::npos) {
        return 0;
    }
    std::size_t end = part.find_first_not_of(L"0123456789", first);
    std::wstring digits = part.substr(first, end == std::wstring::npos ? std::wstring::npos : end - first);
    digits.erase(0, std::min(digits.find_first_not_of(L'0'), digits.size()));
    const std::wstring max = L"4294967295";
    if (digits.size() > max.size() || (digits.size() == max.size() && digits > max)) {
        return 0xFFFFFFFFu;
    }
    std::uint32_t value = 0;
    for (wchar_t digit : digits) {
        value = value * 10 + static_cast<std::uint32_t>(digit - L'0');
    }
    return value;
}

VersionComponents WithoutTrailingZeros(VersionComponents components)
{
    while (!components.empty() && components.back() == 0) {
        components.pop_back();
    }
    return components;
}

bool NewerByOrder(const VersionComponents& candidate, const VersionComponents& reference)
{
    return WithoutTrailingZeros(reference) < WithoutTrailingZeros(candidate);
}

std::wstring Wide(const std::string& bytes)
{
    std::wstring wide;
    for (char byte : bytes) {
        wide += static_cast<wchar_t>(static_cast<unsigned char>(byte));
    }
    return wide;
}

VersionComponents CheckedParse(const std::wstring& text)
{
    const VersionComponents components = Sparlin::ParseVersion(text);
    const std::vector<std::wstring> parts = Tokens(text, std::wstring(L"."));
    Check(components.size() == parts.size());
    for (std::size_t i = 0; i < parts.size(); ++i) {
        Check(components[i] == ComponentByDigits(parts[i]));
    }
    return components;
}

bool AnswerByLines(const std::string& answer, const std::wstring& ownVersion)
{
    std::istringstream lines(answer);
    std::string line;
    while (std::getline(lines, line)) {
        line = line.substr(0, line.find('\0'));
        if (NewerByOrder(Sparlin::ParseVersion(Wide(line)), Sparlin::ParseVersion(ownVersion))) {
            return true;
        }
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Byte 0 picks a delimiter of one to three bytes, which follows it; the
    // rest is the text.
    if (size < 2) {
        return 0;
    }
    const std::size_t delimiterLength = std::min<std::size_t>(1 + data[0] % 3, size - 1);
    const std::string delimiter(data + 1, data + 1 + delimiterLength);
    const std::string text(data + 1 + delimiterLength, data + size);

    Tokens(text, delimiter);
    Tokens(Wide(text), Wide(delimiter));

    // The text's halves as two versions.
    const std::wstring wide = Wide(text);
    const VersionComponents first = CheckedParse(wide.substr(0, wide.size() / 2));
    const VersionComponents second = CheckedParse(wide.substr(wide.size() / 2));
    const bool newer = Sparlin::IsNewerVersion(first, second);
    Check(newer == NewerByOrder(first, second));
    Check(!(newer && Sparlin::IsNewerVersion(second, first)));
    Check(!Sparlin::IsNewerVersion(first, first));
    VersionComponents padded = first;
    padded.push_back(0);
    Check(Sparlin::IsNewerVersion(padded, second) == newer);

    for (const std::wstring& own : {std::wstring(L"1.2.35.0"), Wide(delimiter)}) {
        Check(Sparlin::AnswerOffersNewerVersion(text, own) == AnswerByLines(text, own));
    }
    return 0;
}
