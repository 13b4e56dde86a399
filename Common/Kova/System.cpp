#include "System.h"

#include "Exception.h"
#include "String.h"

#include <windows.h>

namespace Kova {
namespace System {

std::wstring GetFullVersion()
{
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    if (!GetVersionExW(&info)) {
        throw LastErrorException("Kova::System::GetFullVersion", 83, "System");
    }
#pragma GCC diagnostic pop
    std::wstring text;
    Format(text, L"%u.%u.%u", static_cast<unsigned>(info.dwMajorVersion), static_cast<unsigned>(info.dwMinorVersion),
           static_cast<unsigned>(info.dwBuildNumber));
    return text;
}

} // namespace System
} // namespace Kova
