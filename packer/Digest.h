#pragma once

#include "Kova/Security/Sha256Core.h"

#include <string>

namespace sparlin::pack {

using Kova::Security::Sha256Core;

// Lower-case hexadecimal, as the build has always stored digests.
inline std::string Hex(const uint8_t* data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += kDigits[data[i] >> 4];
        hex += kDigits[data[i] & 15];
    }
    return hex;
}

inline std::string FinishHex(Sha256Core& sha) {
    uint8_t digest[Sha256Core::DigestSize];
    sha.Final(digest);
    return Hex(digest, sizeof digest);
}

inline std::string Sha256Hex(const void* data, size_t size) {
    Sha256Core sha;
    sha.Update(data, size);
    return FinishHex(sha);
}

} // namespace sparlin::pack
