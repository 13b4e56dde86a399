#pragma once

#include "LzmaCommon.h"

#include <vector>

namespace lzma {

struct EncoderOptions {
    Properties props;
    unsigned niceLen = 64; // a match this long is taken without looking further
    unsigned depth = 0;    // match finder search depth; 0 picks 16 + niceLen / 2
    bool fast = false;     // greedy parsing instead of price-based
    bool endMarker = false;
};

// Writes the header and the compressed stream. declaredSize goes into the
// header; kUnknownSize implies an end marker. With a declared size the input
// must hold exactly that many bytes, otherwise Error is thrown.
// Returns the number of bytes written, header included.
uint64_t Encode(InStream& in, OutStream& out, const EncoderOptions& options, uint64_t declaredSize);

std::vector<uint8_t> EncodeBuffer(const uint8_t* data, size_t size, const EncoderOptions& options = {},
                                  bool declareSize = true);

} // namespace lzma
