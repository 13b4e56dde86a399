#ifndef KOVA_STRING_H
#define KOVA_STRING_H

#include <string>

namespace Kova {

// Conversions between the ANSI code page and UTF-16. Characters the code
// page lacks become the system's best-fit or default character.
std::wstring AnsiToWide(const std::string& text);
std::string WideToAnsi(const std::wstring& text);

// printf-style formatting with the Windows runtime's wide conventions: "%s"
// takes a wide string (a null one prints "(null)"), "%IX" a pointer-sized
// value. The size is counted first, so nothing is ever truncated.
std::wstring Format(const wchar_t* format, ...);
// Replaces the whole content of target.
void Format(std::wstring& target, const wchar_t* format, ...);

} // namespace Kova

#endif
