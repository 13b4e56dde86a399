#include "Hash.h"

#include "../FileSystem/File.h"

#include <cstddef>
#include <vector>

namespace Kova {
namespace Security {

void Hash::Calculate(const FileSystem::File& file)
{
    UpdateFromFile(file, 0);
    Final();
}

void Hash::UpdateFromFile(const FileSystem::File& file, std::uint64_t offset)
{
    // In pieces: memory stays the same whatever the file's size.
    const std::uint64_t size = file.GetSize();
    const std::uint64_t rest = offset < size ? size - offset : 0;
    const std::uint32_t chunkSize = rest < FileChunkSize ? static_cast<std::uint32_t>(rest) : FileChunkSize;
    std::vector<std::uint8_t> chunk(chunkSize);
    while (offset < size) {
        const std::uint64_t left = size - offset;
        const std::uint32_t piece = left < chunkSize ? static_cast<std::uint32_t>(left) : chunkSize;
        file.ReadAt(offset, chunk.data(), piece);
        Update(chunk.data(), piece);
        offset += piece;
    }
}

void Hash::Calculate(const std::wstring& text)
{
    // Fed in pieces: no copy of the whole text, and no byte count that could
    // outgrow 32 bits for a huge string.
    std::uint8_t chunk[512];
    std::size_t used = 0;
    auto put = [&](std::uint32_t unit) {
        chunk[used++] = static_cast<std::uint8_t>(unit & 0xFF);
        chunk[used++] = static_cast<std::uint8_t>((unit >> 8) & 0xFF);
        if (used == sizeof chunk) {
            Update(chunk, static_cast<std::uint32_t>(used));
            used = 0;
        }
    };
    for (wchar_t character : text) {
        auto value = static_cast<std::uint32_t>(character);
        if (value <= 0xFFFF) {
            put(value);
        } else if (value <= 0x10FFFF) {
            value -= 0x10000;
            put(0xD800 + (value >> 10));
            put(0xDC00 + (value & 0x3FF));
        } else {
            put(0xFFFD);
        }
    }
    Update(chunk, static_cast<std::uint32_t>(used));
    Final();
}

void Hash::Calculate(const Buffer& buffer)
{
    Calculate(buffer.GetData(), buffer.GetSize());
}

void Hash::Calculate(const void* data, std::uint32_t size)
{
    Update(data, size);
    Final();
}

} // namespace Security
} // namespace Kova
