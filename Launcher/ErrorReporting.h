#ifndef SPARLIN_ERRORREPORTING_H
#define SPARLIN_ERRORREPORTING_H

#include <string>

namespace Sparlin {

// The text the user sees for the exception being handled: a library
// failure's own text, a standard failure's what() text, or the string-table
// fallback. Only to be called inside a catch block.
std::wstring DescribeCurrentException();

// Shows the exception being handled in one error box. Only to be called
// inside a catch block.
void ShowExceptionMessage();

} // namespace Sparlin

#endif
