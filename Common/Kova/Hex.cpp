#include "Hex.h"

namespace Kova {

std::wstring ToHex(const Buffer& buffer)
{
    static const wchar_t digits[] = L"0123456789ABCDEF";
    const std::uint8_t* bytes = buffer.GetData();
    std::wstring text;
    text.reserve(static_cast<std::size_t>(buffer.GetSize()) * 2);
    for (std::uint32_t i = 0; i < buffer.GetSize(); ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

} // namespace Kova
