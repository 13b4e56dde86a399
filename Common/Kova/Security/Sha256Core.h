#ifndef KOVA_SECURITY_SHA256CORE_H
#define KOVA_SECURITY_SHA256CORE_H

#include <cstddef>
#include <cstdint>

namespace Kova {
namespace Security {

// SHA-256 (FIPS 180-4) over bytes in memory: the block compression (portable,
// or the x86 SHA instructions where the processor has them), the buffering of
// partial blocks and the padding. It knows nothing of files, Windows or
// misuse rules, so that the launcher's hash and the packer run the same code.
class Sha256Core {
public:
    static constexpr std::size_t DigestSize = 32;

    // Automatic takes the processor's SHA instructions when it has them
    // (checked once with CPUID), else the portable code; the other two exist
    // so that tests can compare both. Processor falls back to Portable where
    // the instructions are missing.
    enum class Engine { Automatic, Portable, Processor };

    explicit Sha256Core(Engine engine = Engine::Automatic);

    // Whether this processor (and this build) can use the SHA instructions.
    static bool ProcessorEngineAvailable();
    Engine GetEngine() const;

    void Reset();
    // Whole blocks are compressed straight from `data`, without a copy. The
    // caller keeps the message below 2^64 bits.
    void Update(const void* data, std::size_t size);
    // Pads for a message of `bits` bits, which callers with their own length
    // rules count themselves, and writes the digest. Nothing of the message
    // stays behind; Reset before the next one.
    void Final(std::uint64_t bits, std::uint8_t* digest);
    // The same for the bytes given to Update.
    void Final(std::uint8_t* digest) { Final(bytes << 3, digest); }

private:
    using Compression = void (*)(std::uint32_t* state, const std::uint8_t* blocks, std::size_t count);

    std::uint32_t words[8];
    std::uint8_t block[64];
    std::uint32_t blockIndex;
    std::uint64_t bytes;
    Compression compress;
};

} // namespace Security
} // namespace Kova

#endif
