#include "MessageBox.h"

#include "Kova/String.h"

#include <windows.h>

#include <atomic>

namespace Sparlin {

const char* const productName = "KOVA Sparlin";

namespace {

int SystemMessageBox(const std::wstring& text, const std::wstring& caption, unsigned int style)
{
    return MessageBoxW(nullptr, text.c_str(), caption.c_str(), style);
}

// Both threads may show boxes; the seam itself must not tear.
std::atomic<MessageBoxFunction> current{&SystemMessageBox};

} // namespace

MessageBoxFunction SetMessageBoxFunction(MessageBoxFunction function)
{
    return current.exchange(function ? function : &SystemMessageBox);
}

int ShowMessageBox(const std::wstring& text, unsigned int style)
{
    return current.load()(text, Kova::AnsiToWide(productName), style);
}

} // namespace Sparlin
