#ifndef KOVA_HEX_H
#define KOVA_HEX_H

#include "Buffer.h"

#include <string>

namespace Kova {

// Two upper-case hexadecimal digits per byte, in order, no separator (the
// output of "%02X" for each byte); an empty buffer gives an empty string.
std::wstring ToHex(const Buffer& buffer);

} // namespace Kova

#endif
