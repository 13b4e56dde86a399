#include "Sha256Core.h"

#include <cstring>

#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
#define KOVA_SHA256_PROCESSOR 1
#include <cpuid.h>
#include <immintrin.h>
#else
#define KOVA_SHA256_PROCESSOR 0
#endif

namespace Kova {
namespace Security {

namespace {

// Aligned, so that the SHA instructions' rounds can add them straight from memory.
alignas(16) const std::uint32_t RoundConstants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

std::uint32_t RotateRight(std::uint32_t value, int bits)
{
    return (value >> bits) | (value << (32 - bits));
}

std::uint32_t LoadBigEndian(const std::uint8_t* bytes)
{
    return static_cast<std::uint32_t>(bytes[0]) << 24 | static_cast<std::uint32_t>(bytes[1]) << 16 |
           static_cast<std::uint32_t>(bytes[2]) << 8 | static_cast<std::uint32_t>(bytes[3]);
}

// FIPS 180-4 compression, word at a time, with a rolling 16-word schedule.
void CompressPortable(std::uint32_t* state, const std::uint8_t* blocks, std::size_t count)
{
    for (; count > 0; --count, blocks += 64) {
        std::uint32_t w[16];
        for (int t = 0; t < 16; ++t) {
            w[t] = LoadBigEndian(blocks + 4 * t);
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        // Eight rounds per step with the variables renamed instead of shifted.
#define KOVA_SHA256_ROUND(a, b, c, d, e, f, g, h, t)                                                        \
    do {                                                                                                    \
        std::uint32_t word;                                                                                 \
        if ((t) < 16) {                                                                                     \
            word = w[(t)&15];                                                                               \
        } else {                                                                                            \
            const std::uint32_t x = w[((t) + 1) & 15], y = w[((t) + 14) & 15];                              \
            word = w[(t)&15] += (RotateRight(x, 7) ^ RotateRight(x, 18) ^ (x >> 3)) + w[((t) + 9) & 15] +   \
                                (RotateRight(y, 17) ^ RotateRight(y, 19) ^ (y >> 10));                      \
        }                                                                                                   \
        const std::uint32_t temp1 = h + (RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25)) +     \
                                    (g ^ (e & (f ^ g))) + RoundConstants[t] + word;                         \
        d += temp1;                                                                                         \
        h = temp1 + (RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22)) + ((a & b) | (c & (a | b))); \
    } while (false)
        for (int t = 0; t < 64; t += 8) {
            KOVA_SHA256_ROUND(a, b, c, d, e, f, g, h, t);
            KOVA_SHA256_ROUND(h, a, b, c, d, e, f, g, t + 1);
            KOVA_SHA256_ROUND(g, h, a, b, c, d, e, f, t + 2);
            KOVA_SHA256_ROUND(f, g, h, a, b, c, d, e, t + 3);
            KOVA_SHA256_ROUND(e, f, g, h, a, b, c, d, t + 4);
            KOVA_SHA256_ROUND(d, e, f, g, h, a, b, c, t + 5);
            KOVA_SHA256_ROUND(c, d, e, f, g, h, a, b, t + 6);
            KOVA_SHA256_ROUND(b, c, d, e, f, g, h, a, t + 7);
        }
#undef KOVA_SHA256_ROUND
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#if KOVA_SHA256_PROCESSOR

bool DetectShaExtensions()
{
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (__get_cpuid_max(0, nullptr) < 7) {
        return false;
    }
    __cpuid_count(1, 0, eax, ebx, ecx, edx);
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}

alignas(16) const std::uint8_t ByteSwapMask[16] = {3, 2, 1, 0, 7, 6, 5, 4, 11, 10, 9, 8, 15, 14, 13, 12};

// The x86 SHA extensions: two rounds per SHA256RNDS2, with the state kept as
// the (A,B,E,F) and (C,D,G,H) halves the instruction works on.
//
// Shaped for the 32-bit build's eight xmm registers: the two state halves,
// four schedule words, the message (xmm0, which SHA256RNDS2 reads) and one
// temporary. The constants and the byte-swap mask stay in memory; left to
// itself the compiler would hoist all sixteen constants out of the block
// loop and spill them, and keep the schedule in a stack array.
__attribute__((target("sha,sse4.1,ssse3"))) void CompressWithShaExtensions(std::uint32_t* state,
                                                                            const std::uint8_t* blocks,
                                                                            std::size_t count)
{
    __m128i badc = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state)), 0xB1);
    __m128i cdgh = _mm_shuffle_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(state + 4)), 0x1B);
    __m128i abef = _mm_alignr_epi8(badc, cdgh, 8);
    cdgh = _mm_blend_epi16(cdgh, badc, 0xF0);

    for (; count > 0; --count, blocks += 64) {
        const __m128i* constants = reinterpret_cast<const __m128i*>(RoundConstants);
        const __m128i* mask = reinterpret_cast<const __m128i*>(ByteSwapMask);
        // Opaque to the optimiser, so that both are read where used, inside the loop.
        __asm__("" : "+r"(constants), "+r"(mask));
        const __m128i savedAbef = abef;
        const __m128i savedCdgh = cdgh;
        __m128i message, temporary;
        __m128i w0 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks)), *mask);
        __m128i w1 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 16)), *mask);
        __m128i w2 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 32)), *mask);
        __m128i w3 = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(blocks + 48)), *mask);

#define KOVA_SHA256_ROUNDS(i, w)                                                                          \
    message = _mm_add_epi32((w), constants[(i)]);                                                        \
    cdgh = _mm_sha256rnds2_epu32(cdgh, abef, message);                                                   \
    message = _mm_shuffle_epi32(message, 0x0E);                                                          \
    abef = _mm_sha256rnds2_epu32(abef, cdgh, message)
// W[t..t+3] into the slot of W[t-16..t-13], from it, W[t-12..t-9], W[t-8..t-5] and W[t-4..t-1].
#define KOVA_SHA256_SCHEDULE(oldest, older, old, newest)                                                   \
    oldest = _mm_sha256msg1_epu32(oldest, older);                                                        \
    temporary = _mm_alignr_epi8(newest, old, 4);                                                         \
    oldest = _mm_sha256msg2_epu32(_mm_add_epi32(oldest, temporary), newest)

        KOVA_SHA256_ROUNDS(0, w0);
        KOVA_SHA256_ROUNDS(1, w1);
        KOVA_SHA256_ROUNDS(2, w2);
        KOVA_SHA256_ROUNDS(3, w3);
        for (int i = 4; i < 16; i += 4) {
            KOVA_SHA256_SCHEDULE(w0, w1, w2, w3);
            KOVA_SHA256_ROUNDS(i, w0);
            KOVA_SHA256_SCHEDULE(w1, w2, w3, w0);
            KOVA_SHA256_ROUNDS(i + 1, w1);
            KOVA_SHA256_SCHEDULE(w2, w3, w0, w1);
            KOVA_SHA256_ROUNDS(i + 2, w2);
            KOVA_SHA256_SCHEDULE(w3, w0, w1, w2);
            KOVA_SHA256_ROUNDS(i + 3, w3);
        }
#undef KOVA_SHA256_SCHEDULE
#undef KOVA_SHA256_ROUNDS
        abef = _mm_add_epi32(abef, savedAbef);
        cdgh = _mm_add_epi32(cdgh, savedCdgh);
    }

    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(state + 4), _mm_alignr_epi8(dchg, feba, 8));
}

#endif

bool HasShaExtensions()
{
#if KOVA_SHA256_PROCESSOR
    static const bool available = DetectShaExtensions();
    return available;
#else
    return false;
#endif
}

} // namespace

Sha256Core::Sha256Core(Engine engine) : compress(&CompressPortable)
{
#if KOVA_SHA256_PROCESSOR
    if (engine != Engine::Portable && HasShaExtensions()) {
        compress = &CompressWithShaExtensions;
    }
#else
    (void)engine;
#endif
    Reset();
}

bool Sha256Core::ProcessorEngineAvailable()
{
    return HasShaExtensions();
}

Sha256Core::Engine Sha256Core::GetEngine() const
{
    return compress == &CompressPortable ? Engine::Portable : Engine::Processor;
}

void Sha256Core::Reset()
{
    words[0] = 0x6a09e667;
    words[1] = 0xbb67ae85;
    words[2] = 0x3c6ef372;
    words[3] = 0xa54ff53a;
    words[4] = 0x510e527f;
    words[5] = 0x9b05688c;
    words[6] = 0x1f83d9ab;
    words[7] = 0x5be0cd19;
    std::memset(block, 0, sizeof block);
    blockIndex = 0;
    bytes = 0;
}

void Sha256Core::Update(const void* data, std::size_t size)
{
    if (size == 0) {
        return;
    }
    const auto* in = static_cast<const std::uint8_t*>(data);
    bytes += size;
    if (blockIndex > 0) {
        const std::size_t taken = size < 64 - blockIndex ? size : 64 - blockIndex;
        std::memcpy(block + blockIndex, in, taken);
        blockIndex += static_cast<std::uint32_t>(taken);
        in += taken;
        size -= taken;
        if (blockIndex < 64) {
            return;
        }
        compress(words, block, 1);
        blockIndex = 0;
    }
    const std::size_t whole = size / 64;
    if (whole > 0) {
        compress(words, in, whole);
        in += 64 * whole;
        size -= 64 * whole;
    }
    std::memcpy(block, in, size);
    blockIndex = static_cast<std::uint32_t>(size);
}

void Sha256Core::Final(std::uint64_t bits, std::uint8_t* digest)
{
    block[blockIndex++] = 0x80;
    if (blockIndex > 56) {
        std::memset(block + blockIndex, 0, 64 - blockIndex);
        compress(words, block, 1);
        blockIndex = 0;
    }
    std::memset(block + blockIndex, 0, 56 - blockIndex);
    for (int i = 0; i < 8; ++i) {
        block[56 + i] = static_cast<std::uint8_t>(bits >> (56 - 8 * i));
    }
    compress(words, block, 1);
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<std::uint8_t>(words[i] >> (24 - 8 * j));
        }
    }
    std::memset(block, 0, sizeof block);
    std::memset(words, 0, sizeof words);
    blockIndex = 0;
    bytes = 0;
}

} // namespace Security
} // namespace Kova
