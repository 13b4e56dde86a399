#ifndef KOVA_SECURITY_HASH_H
#define KOVA_SECURITY_HASH_H

#include "IHash.h"

namespace Kova {
namespace Security {

// One-shot hashing on top of the incremental operations. Calculate does not
// Reset: on a fresh object it leaves the digest of exactly its input, and on
// a finished one it corrupts the state like any Update after Final.
class Hash : public IHash {
public:
    static constexpr std::uint32_t FileChunkSize = 256 * 1024;

    ~Hash() override = default;

    // Reads the file from its start through its handle, FileChunkSize bytes
    // at a time; a file that ends before its size was read throws.
    void Calculate(const FileSystem::File& file) override;
    // Feeds the file from `offset` to its end the same way, without Final:
    // the rest of a file whose start was hashed already.
    void UpdateFromFile(const FileSystem::File& file, std::uint64_t offset);
    // Hashes the UTF-16 code units, two bytes each, low byte first: on Windows
    // exactly the bytes the string holds in memory (length * 2, not length).
    // Where wchar_t is 32 bits wide the text is encoded to UTF-16 first, so a
    // text gives the same digest on every platform; a value that is no Unicode
    // code point counts as U+FFFD.
    void Calculate(const std::wstring& text) override;
    void Calculate(const Buffer& buffer) override;
    void Calculate(const void* data, std::uint32_t size) override;
};

} // namespace Security
} // namespace Kova

#endif
