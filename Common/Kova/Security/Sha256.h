#ifndef KOVA_SECURITY_SHA256_H
#define KOVA_SECURITY_SHA256_H

#include "Hash.h"
#include "Sha256Core.h"

#include <cstddef>
#include <cstdint>

namespace Kova {
namespace Security {

// SHA-256 (FIPS 180-4), with the same state rules as Sha1: Update after Final,
// or more than 2^64 - 1 bits of input, corrupts the object until Reset, and a
// corrupted object only ever gives an empty digest.
class Sha256 : public Hash {
public:
    static constexpr std::uint32_t DigestSize = 32;

    // How the blocks are compressed; see Sha256Core.
    using Engine = Sha256Core::Engine;

    Sha256();
    explicit Sha256(Engine engine);
    ~Sha256() override;

    static bool ProcessorEngineAvailable();
    Engine GetEngine() const;

    void Update(const void* data, std::uint32_t size) override;
    void Final() override;
    void Reset() override;
    Buffer GetDigest() const override;

private:
    // Lets tests reach the length counter without feeding 2^61 bytes.
    friend struct HashStateAccess;

    Sha256Core core;
    std::uint32_t lengthLow;
    std::uint32_t lengthHigh;
    std::uint8_t digest[DigestSize];
    bool computed;
    bool corrupted;
};

} // namespace Security
} // namespace Kova

#endif
