#ifndef KOVA_SECURITY_IHASH_H
#define KOVA_SECURITY_IHASH_H

#include "../Buffer.h"

#include <cstdint>
#include <string>

namespace Kova {
namespace FileSystem {
class File;
}

namespace Security {

// An incremental message digest. The order of the operations below is the
// order of the virtual table; keep it.
class IHash {
public:
    virtual ~IHash() = default;

    virtual void Calculate(const FileSystem::File& file) = 0;
    virtual void Calculate(const std::wstring& text) = 0;
    virtual void Calculate(const Buffer& buffer) = 0;
    virtual void Calculate(const void* data, std::uint32_t size) = 0;

    virtual void Update(const void* data, std::uint32_t size) = 0;
    virtual void Final() = 0;
    virtual void Reset() = 0;
    // Empty until Final, and after any misuse.
    virtual Buffer GetDigest() const = 0;
};

} // namespace Security
} // namespace Kova

#endif
