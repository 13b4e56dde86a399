#ifndef KOVA_BUFFER_H
#define KOVA_BUFFER_H

#include <cstdint>

namespace Kova {

// A block of raw bytes with one owner and a fixed size. An empty buffer has
// no allocation at all.
class Buffer {
public:
    Buffer();
    explicit Buffer(std::uint32_t size);                    // zero-filled
    Buffer(const void* source, std::uint32_t size);         // copy of source
    Buffer(Buffer&& other) noexcept;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer& operator=(Buffer&&) = delete;
    virtual ~Buffer();

    std::uint8_t* GetData() const { return data; }
    std::uint32_t GetSize() const { return size; }

private:
    std::uint8_t* data;
    std::uint32_t size;
};

} // namespace Kova

#endif
