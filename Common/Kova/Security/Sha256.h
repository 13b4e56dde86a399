#ifndef KOVA_SECURITY_SHA256_H
#define KOVA_SECURITY_SHA256_H

#include "Hash.h"

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

    // How the blocks are compressed. Automatic takes the processor's SHA
    // instructions when it has them (checked once with CPUID), else the
    // portable code; the other two exist so that tests can compare both.
    enum class Engine { Automatic, Portable, Processor };

    Sha256();
    // Processor falls back to Portable where the instructions are missing.
    explicit Sha256(Engine engine);
    ~Sha256() override;

    // Whether this processor (and this build) can use the SHA instructions.
    static bool ProcessorEngineAvailable();
    Engine GetEngine() const;

    void Update(const void* data, std::uint32_t size) override;
    void Final() override;
    void Reset() override;
    Buffer GetDigest() const override;

private:
    // Lets tests reach the length counter without feeding 2^61 bytes.
    friend struct HashStateAccess;

    using Compression = void (*)(std::uint32_t* state, const std::uint8_t* blocks, std::size_t count);

    std::uint32_t words[8];
    std::uint32_t lengthLow;
    std::uint32_t lengthHigh;
    std::uint8_t block[64];
    std::uint32_t blockIndex;
    bool computed;
    bool corrupted;
    Compression compress;
};

} // namespace Security
} // namespace Kova

#endif
