#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace sparlin::pack {

// The digests the launcher checks; its own implementation lives in the
// launcher, this one only has to agree with it on the bytes.
class Sha256 {
public:
    Sha256();
    void Update(const uint8_t* data, size_t size);
    std::array<uint8_t, 32> Finish();
    // Lower-case hexadecimal, as the build has always stored it.
    std::string FinishHex();

private:
    void Block(const uint8_t* p);
    uint32_t h_[8];
    uint8_t buf_[64];
    size_t used_ = 0;
    uint64_t total_ = 0;
};

std::string Sha256Hex(const void* data, size_t size);

} // namespace sparlin::pack
