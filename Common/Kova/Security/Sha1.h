#ifndef KOVA_SECURITY_SHA1_H
#define KOVA_SECURITY_SHA1_H

#include "Hash.h"

#include <cstdint>

namespace Kova {
namespace Security {

// SHA-1 (FIPS 180-4), with the misuse handling of RFC 3174: Update after
// Final, or more than 2^64 - 1 bits of input, corrupts the object until Reset,
// and a corrupted object only ever gives an empty digest.
class Sha1 : public Hash {
public:
    static constexpr std::uint32_t DigestSize = 20;

    Sha1();
    ~Sha1() override;

    void Update(const void* data, std::uint32_t size) override;
    void Final() override;
    void Reset() override;
    Buffer GetDigest() const override;

private:
    // Lets tests reach the length counter without feeding 2^61 bytes.
    friend struct HashStateAccess;

    void ProcessBlock();

    std::uint32_t words[5];
    std::uint32_t lengthLow;
    std::uint32_t lengthHigh;
    std::uint8_t block[64];
    std::uint32_t blockIndex;
    bool computed;
    bool corrupted;
};

} // namespace Security
} // namespace Kova

#endif
