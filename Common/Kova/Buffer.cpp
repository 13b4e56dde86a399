#include "Buffer.h"

#include <cstring>

namespace Kova {

Buffer::Buffer() : data(nullptr), size(0) {}

Buffer::Buffer(std::uint32_t size) : data(size ? new std::uint8_t[size]() : nullptr), size(size) {}

Buffer::Buffer(const void* source, std::uint32_t size) : data(nullptr), size(0)
{
    if (size != 0) {
        data = new std::uint8_t[size];
        std::memcpy(data, source, size);
        this->size = size;
    }
}

Buffer::Buffer(Buffer&& other) noexcept : data(other.data), size(other.size)
{
    other.data = nullptr;
    other.size = 0;
}

Buffer::~Buffer()
{
    delete[] data;
    data = nullptr;
    size = 0;
}

} // namespace Kova
