#include "Sha1.h"

#include <cstring>

namespace Kova {
namespace Security {

namespace {

std::uint32_t RotateLeft(std::uint32_t value, int bits)
{
    return (value << bits) | (value >> (32 - bits));
}

} // namespace

Sha1::Sha1()
{
    Reset();
}

Sha1::~Sha1() = default;

void Sha1::Reset()
{
    words[0] = 0x67452301;
    words[1] = 0xEFCDAB89;
    words[2] = 0x98BADCFE;
    words[3] = 0x10325476;
    words[4] = 0xC3D2E1F0;
    lengthLow = 0;
    lengthHigh = 0;
    std::memset(block, 0, sizeof block);
    blockIndex = 0;
    computed = false;
    corrupted = false;
}

void Sha1::Update(const void* data, std::uint32_t size)
{
    if (data == nullptr || size == 0) {
        return;
    }
    if (computed || corrupted) {
        corrupted = true;
        return;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::uint32_t i = 0; i < size && !corrupted; ++i) {
        block[blockIndex++] = bytes[i];
        lengthLow += 8;
        if (lengthLow == 0 && ++lengthHigh == 0) {
            corrupted = true;
        }
        if (blockIndex == 64) {
            ProcessBlock();
        }
    }
}

void Sha1::Final()
{
    if (corrupted || computed) {
        return;
    }
    block[blockIndex++] = 0x80;
    if (blockIndex > 56) {
        std::memset(block + blockIndex, 0, 64 - blockIndex);
        ProcessBlock();
    }
    std::memset(block + blockIndex, 0, 56 - blockIndex);
    for (int i = 0; i < 4; ++i) {
        block[56 + i] = static_cast<std::uint8_t>(lengthHigh >> (24 - 8 * i));
        block[60 + i] = static_cast<std::uint8_t>(lengthLow >> (24 - 8 * i));
    }
    ProcessBlock();

    // Nothing of the message stays behind in the object.
    std::memset(block, 0, sizeof block);
    lengthLow = 0;
    lengthHigh = 0;
    computed = true;
}

Buffer Sha1::GetDigest() const
{
    if (corrupted || !computed) {
        return Buffer();
    }
    Buffer digest(DigestSize);
    std::uint8_t* out = digest.GetData();
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 4; ++j) {
            out[4 * i + j] = static_cast<std::uint8_t>(words[i] >> (24 - 8 * j));
        }
    }
    return digest;
}

void Sha1::ProcessBlock()
{
    std::uint32_t schedule[80];
    for (int t = 0; t < 16; ++t) {
        schedule[t] = static_cast<std::uint32_t>(block[4 * t]) << 24 | static_cast<std::uint32_t>(block[4 * t + 1]) << 16 |
                      static_cast<std::uint32_t>(block[4 * t + 2]) << 8 | static_cast<std::uint32_t>(block[4 * t + 3]);
    }
    for (int t = 16; t < 80; ++t) {
        schedule[t] = RotateLeft(schedule[t - 3] ^ schedule[t - 8] ^ schedule[t - 14] ^ schedule[t - 16], 1);
    }

    std::uint32_t a = words[0];
    std::uint32_t b = words[1];
    std::uint32_t c = words[2];
    std::uint32_t d = words[3];
    std::uint32_t e = words[4];
    for (int t = 0; t < 80; ++t) {
        std::uint32_t f;
        std::uint32_t k;
        if (t < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (t < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (t < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t temp = RotateLeft(a, 5) + f + e + schedule[t] + k;
        e = d;
        d = c;
        c = RotateLeft(b, 30);
        b = a;
        a = temp;
    }
    words[0] += a;
    words[1] += b;
    words[2] += c;
    words[3] += d;
    words[4] += e;

    blockIndex = 0;
}

} // namespace Security
} // namespace Kova
