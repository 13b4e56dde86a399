#ifndef SPARLIN_VERSION_H
#define SPARLIN_VERSION_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace Sparlin {

// What NextToken returns once the text is used up.
inline constexpr std::size_t NoToken = std::string::npos;

// Cuts the next token off text at position, which moves past the delimiter.
// Returns the delimiter's index, text.size() when the last token ran to the
// end, or NoToken (token untouched) when nothing is left. Consecutive
// delimiters give empty tokens, a delimiter at the very end gives no empty
// last token. The delimiter must not be empty; an empty one is never found.
std::size_t NextToken(const std::string& text, const std::string& delimiter, std::size_t& position, std::string& token);
std::size_t NextToken(const std::wstring& text, const std::wstring& delimiter, std::size_t& position, std::wstring& token);

using VersionComponents = std::vector<std::uint32_t>;

// One component per dotted part: the first run of decimal digits in the part,
// saturating at 4294967295; 0 for a part without digits, an empty one
// included. A final full stop adds no component; an empty text gives none.
VersionComponents ParseVersion(const std::wstring& text);

// True when candidate is strictly higher; trailing zero components do not
// count, and an empty candidate is never newer.
bool IsNewerVersion(const VersionComponents& candidate, const VersionComponents& reference);

// Turns one 8-bit answer line into wide text. The launcher passes the ANSI
// code page conversion; the default maps each byte to the same code point.
using Widener = std::function<std::wstring(const std::string&)>;
std::wstring WidenLatin1(const std::string& text);

// The update server's answer offers something newer when any of its lines
// (split at line feeds) reads as a version above ownVersion. Each line counts
// only up to its first zero byte, as the Windows conversion of a C string
// would see it. Lines after the first newer one are not looked at.
bool AnswerOffersNewerVersion(const std::string& answer, const std::wstring& ownVersion,
                              const Widener& widen = WidenLatin1);

} // namespace Sparlin

#endif
