#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace sparlin::pack {

using Bytes = std::vector<uint8_t>;

// Everything the packer refuses; what() is the one line the user sees.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Little-endian access with bounds checks: every offset here may come from a hostile file.
inline uint32_t Get(const uint8_t* data, size_t size, size_t offset, unsigned width, const char* what) {
    if (offset > size || size - offset < width)
        throw Error(std::string(what) + " is cut short");
    uint32_t v = 0;
    for (unsigned i = width; i-- > 0;)
        v = (v << 8) | data[offset + i];
    return v;
}
inline uint16_t Get16(const Bytes& b, size_t offset, const char* what) { return uint16_t(Get(b.data(), b.size(), offset, 2, what)); }
inline uint32_t Get32(const Bytes& b, size_t offset, const char* what) { return Get(b.data(), b.size(), offset, 4, what); }

// Writes stay inside the buffer even where a hostile file's offsets chose the place.
inline void Put(Bytes& b, size_t offset, uint32_t value, unsigned width) {
    if (offset > b.size() || b.size() - offset < width)
        throw Error("the stub's headers lie outside the file");
    for (unsigned i = 0; i < width; ++i)
        b[offset + i] = uint8_t(value >> (8 * i));
}
inline void Put16(Bytes& b, size_t offset, uint32_t v) { Put(b, offset, v, 2); }
inline void Put32(Bytes& b, size_t offset, uint32_t v) { Put(b, offset, v, 4); }
inline void Append16(Bytes& b, uint32_t v) { b.push_back(uint8_t(v)); b.push_back(uint8_t(v >> 8)); }
inline void Append32(Bytes& b, uint32_t v) { Append16(b, v & 0xFFFF); Append16(b, v >> 16); }

inline uint64_t AlignUp(uint64_t v, uint64_t to) { return (v + to - 1) / to * to; }

} // namespace sparlin::pack
