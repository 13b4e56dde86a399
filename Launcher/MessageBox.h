#ifndef SPARLIN_MESSAGEBOX_H
#define SPARLIN_MESSAGEBOX_H

#include <string>

namespace Sparlin {

// The product name, as 8-bit text; every message box of the launcher uses
// it, widened each time, as its caption.
extern const char* const productName;

// Every message box of the launcher goes through here, so that tests can
// see caption, text and style without a display.
using MessageBoxFunction = int (*)(const std::wstring& text, const std::wstring& caption, unsigned int style);

// Owner-less MessageBoxW by default; returns the previous function.
MessageBoxFunction SetMessageBoxFunction(MessageBoxFunction function);

// Shows a box captioned with the product name; returns the box's answer.
int ShowMessageBox(const std::wstring& text, unsigned int style);

} // namespace Sparlin

#endif
