// SHA-1 and SHA-256 fed in random pieces must agree with one-shot hashing,
// with the wide-string form, across SHA-256 engines and, when available, with
// OpenSSL.
#include "Hex.h"
#include "Security/Sha1.h"
#include "Security/Sha256.h"

#include <cstdlib>
#include <cstring>

#if KOVA_REFERENCE_OPENSSL
#include <openssl/sha.h>
#endif

namespace {

void Check(bool condition)
{
    if (!condition) {
        std::abort();
    }
}

bool Same(const Kova::Buffer& a, const Kova::Buffer& b)
{
    return a.GetSize() == b.GetSize() && (a.GetSize() == 0 || std::memcmp(a.GetData(), b.GetData(), a.GetSize()) == 0);
}

template <typename H>
Kova::Buffer CheckAlgorithm(const std::uint8_t* data, std::size_t size, std::uint32_t seed)
{
    const auto length = static_cast<std::uint32_t>(size);
    H oneShot;
    oneShot.Calculate(data, length);
    const Kova::Buffer expected = oneShot.GetDigest();
    Check(expected.GetSize() == H::DigestSize);

    H pieces;
    std::uint32_t state = seed | 1;
    for (std::uint32_t offset = 0; offset < length;) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const std::uint32_t piece = std::min(length - offset, state % 130);
        pieces.Update(data + offset, piece);
        if (state & 0x100) {
            pieces.Update(nullptr, piece);
        }
        offset += piece;
    }
    Check(pieces.GetDigest().GetSize() == 0);
    pieces.Final();
    Check(Same(pieces.GetDigest(), expected));
    pieces.Final();
    Check(Same(pieces.GetDigest(), expected));

    // Sixteen-bit units, low byte first, are what the wide form hashes.
    std::wstring text;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        text += static_cast<wchar_t>(data[i] | data[i + 1] << 8);
    }
    H wide;
    wide.Calculate(text);
    H even;
    even.Calculate(data, static_cast<std::uint32_t>(size & ~std::size_t(1)));
    Check(Same(wide.GetDigest(), even.GetDigest()));

    pieces.Update(data, 1);
    Check(pieces.GetDigest().GetSize() == 0);
    return Kova::Buffer(expected.GetData(), expected.GetSize());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::uint32_t seed = 0;
    for (std::size_t i = 0; i < size && i < 4; ++i) {
        seed = seed << 8 | data[i];
    }
    const Kova::Buffer sha1 = CheckAlgorithm<Kova::Security::Sha1>(data, size, seed);
    const Kova::Buffer sha256 = CheckAlgorithm<Kova::Security::Sha256>(data, size, seed);
    // The portable engine must agree with the one chosen by CPUID.
    Kova::Security::Sha256 portable(Kova::Security::Sha256::Engine::Portable);
    portable.Calculate(data, static_cast<std::uint32_t>(size));
    Check(Same(portable.GetDigest(), sha256));
#if KOVA_REFERENCE_OPENSSL
    std::uint8_t reference1[SHA_DIGEST_LENGTH];
    std::uint8_t reference256[SHA256_DIGEST_LENGTH];
    SHA1(data, size, reference1);
    SHA256(data, size, reference256);
    Check(Same(sha1, Kova::Buffer(reference1, sizeof reference1)));
    Check(Same(sha256, Kova::Buffer(reference256, sizeof reference256)));
#endif
    Check(Kova::ToHex(sha1).size() == 40);
    return 0;
}
