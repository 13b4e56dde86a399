#ifndef KOVA_APPLICATION_H
#define KOVA_APPLICATION_H

#include "Buffer.h"

#include <cstdint>
#include <string>

namespace Kova {
namespace Application {

// One of this executable's own resources where it lies in the mapped image:
// read-only, valid as long as the process runs, no copy made.
struct ResourceView {
    const void* data;
    std::uint32_t size;
};
// Fails exactly as LoadResource does, with its sites.
ResourceView ViewResource(const wchar_t* name, const wchar_t* type);

// A copy of one of this executable's own resources.
Buffer LoadResource(const wchar_t* name, const wchar_t* type);

// A string-table text of this executable, of exactly its stored length.
// A missing and an empty text both throw.
std::wstring LoadStringResource(unsigned int id);

} // namespace Application
} // namespace Kova

#endif
