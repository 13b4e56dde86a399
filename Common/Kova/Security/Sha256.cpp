#include "Sha256.h"

#include <cstring>

namespace Kova {
namespace Security {

namespace {

const std::uint32_t RoundConstants[64] = {
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

} // namespace

Sha256::Sha256()
{
    Reset();
}

Sha256::~Sha256() = default;

void Sha256::Reset()
{
    words[0] = 0x6a09e667;
    words[1] = 0xbb67ae85;
    words[2] = 0x3c6ef372;
    words[3] = 0xa54ff53a;
    words[4] = 0x510e527f;
    words[5] = 0x9b05688c;
    words[6] = 0x1f83d9ab;
    words[7] = 0x5be0cd19;
    lengthLow = 0;
    lengthHigh = 0;
    std::memset(block, 0, sizeof block);
    blockIndex = 0;
    computed = false;
    corrupted = false;
}

void Sha256::Update(const void* data, std::uint32_t size)
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

void Sha256::Final()
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

Buffer Sha256::GetDigest() const
{
    if (corrupted || !computed) {
        return Buffer();
    }
    Buffer digest(DigestSize);
    std::uint8_t* out = digest.GetData();
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j) {
            out[4 * i + j] = static_cast<std::uint8_t>(words[i] >> (24 - 8 * j));
        }
    }
    return digest;
}

void Sha256::ProcessBlock()
{
    std::uint32_t schedule[64];
    for (int t = 0; t < 16; ++t) {
        schedule[t] = static_cast<std::uint32_t>(block[4 * t]) << 24 | static_cast<std::uint32_t>(block[4 * t + 1]) << 16 |
                      static_cast<std::uint32_t>(block[4 * t + 2]) << 8 | static_cast<std::uint32_t>(block[4 * t + 3]);
    }
    for (int t = 16; t < 64; ++t) {
        const std::uint32_t s0 = RotateRight(schedule[t - 15], 7) ^ RotateRight(schedule[t - 15], 18) ^ (schedule[t - 15] >> 3);
        const std::uint32_t s1 = RotateRight(schedule[t - 2], 17) ^ RotateRight(schedule[t - 2], 19) ^ (schedule[t - 2] >> 10);
        schedule[t] = schedule[t - 16] + s0 + schedule[t - 7] + s1;
    }

    std::uint32_t a = words[0];
    std::uint32_t b = words[1];
    std::uint32_t c = words[2];
    std::uint32_t d = words[3];
    std::uint32_t e = words[4];
    std::uint32_t f = words[5];
    std::uint32_t g = words[6];
    std::uint32_t h = words[7];
    for (int t = 0; t < 64; ++t) {
        const std::uint32_t sum1 = RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25);
        const std::uint32_t choose = (e & f) ^ (~e & g);
        const std::uint32_t temp1 = h + sum1 + choose + RoundConstants[t] + schedule[t];
        const std::uint32_t sum0 = RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22);
        const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
        const std::uint32_t temp2 = sum0 + majority;
        h = g;
        g = f;
        f = e;
        e = d + temp1;
        d = c;
        c = b;
        b = a;
        a = temp1 + temp2;
    }
    words[0] += a;
    words[1] += b;
    words[2] += c;
    words[3] += d;
    words[4] += e;
    words[5] += f;
    words[6] += g;
    words[7] += h;

    blockIndex = 0;
}

} // namespace Security
} // namespace Kova
