#include "Sha256.h"

#include <cstring>

namespace Kova {
namespace Security {

Sha256::Sha256() : Sha256(Engine::Automatic) {}

Sha256::Sha256(Engine engine) : core(engine)
{
    Reset();
}

bool Sha256::ProcessorEngineAvailable()
{
    return Sha256Core::ProcessorEngineAvailable();
}

Sha256::Engine Sha256::GetEngine() const
{
    return core.GetEngine();
}

Sha256::~Sha256() = default;

void Sha256::Reset()
{
    core.Reset();
    lengthLow = 0;
    lengthHigh = 0;
    std::memset(digest, 0, sizeof digest);
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
    // The message may hold at most 2^64 - 1 bits; the byte that would reach
    // 2^64 corrupts the object, and with it everything after it.
    const std::uint64_t before = static_cast<std::uint64_t>(lengthHigh) << 32 | lengthLow;
    const std::uint64_t room = (~before) >> 3;
    if (size > room) {
        size = static_cast<std::uint32_t>(room);
        corrupted = true;
    }
    const std::uint64_t after = before + (static_cast<std::uint64_t>(size) << 3);
    lengthLow = static_cast<std::uint32_t>(after);
    lengthHigh = static_cast<std::uint32_t>(after >> 32);
    core.Update(data, size);
}

void Sha256::Final()
{
    if (corrupted || computed) {
        return;
    }
    core.Final(static_cast<std::uint64_t>(lengthHigh) << 32 | lengthLow, digest);
    lengthLow = 0;
    lengthHigh = 0;
    computed = true;
}

Buffer Sha256::GetDigest() const
{
    if (corrupted || !computed) {
        return Buffer();
    }
    return Buffer(digest, DigestSize);
}

} // namespace Security
} // namespace Kova
