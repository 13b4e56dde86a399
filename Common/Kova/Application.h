#ifndef KOVA_APPLICATION_H
#define KOVA_APPLICATION_H

#include "Buffer.h"

#include <string>

namespace Kova {
namespace Application {

// A copy of one of this executable's own resources.
Buffer LoadResource(const wchar_t* name, const wchar_t* type);

// A string-table text of this executable, of exactly its stored length.
// A missing and an empty text both throw.
std::wstring LoadStringResource(unsigned int id);

} // namespace Application
} // namespace Kova

#endif
