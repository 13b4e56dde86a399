#include "ErrorReporting.h"

#include "MessageBox.h"
#include "../resources/resource.h"

#include "Kova/Application.h"
#include "Kova/Exception.h"
#include "Kova/String.h"

#include <windows.h>

#include <exception>
#include <functional>
#include <new>
#include <stdexcept>
#include <string_view>

namespace Sparlin {

namespace {

// libstdc++'s what() texts ("std::bad_alloc", "basic_string::_M_create")
// are not the short texts users know from Windows programs; the standard
// failures the launcher can meet are shown with those.
const char* StandardText(const std::exception& failure)
{
    const std::string_view what = failure.what();
    const bool fromString = what.substr(0, 12) == "basic_string";
    if (dynamic_cast<const std::bad_array_new_length*>(&failure) != nullptr) {
        return "bad array new length";
    }
    if (dynamic_cast<const std::bad_alloc*>(&failure) != nullptr) {
        return "bad allocation";
    }
    if (dynamic_cast<const std::bad_function_call*>(&failure) != nullptr) {
        return "bad function call";
    }
    if (fromString && dynamic_cast<const std::length_error*>(&failure) != nullptr) {
        return "string too long";
    }
    if (fromString && dynamic_cast<const std::out_of_range*>(&failure) != nullptr) {
        return "invalid string position";
    }
    return failure.what();
}

} // namespace

std::wstring DescribeCurrentException()
{
    try {
        throw;
    } catch (const Kova::Exception& failure) {
        return failure.GetMessageText();
    } catch (const std::exception& failure) {
        return Kova::AnsiToWide(StandardText(failure));
    } catch (...) {
        try {
            return Kova::Application::LoadStringResource(IDS_UNKNOWN_EXCEPTION);
        } catch (...) {
            // A damaged string table must not turn a shown failure into a crash.
            return L"Unknown exception";
        }
    }
}

void ShowExceptionMessage()
{
    ShowMessageBox(DescribeCurrentException(), MB_OK | MB_ICONERROR);
}

} // namespace Sparlin
