#ifndef KOVA_SYSTEM_H
#define KOVA_SYSTEM_H

#include <string>

namespace Kova {
namespace System {

// The running Windows' version as "major.minor.build", as GetVersionExW
// reports it to this process.
std::wstring GetFullVersion();

} // namespace System
} // namespace Kova

#endif
