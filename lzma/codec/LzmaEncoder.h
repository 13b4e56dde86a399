#pragma once

#include "LzmaCommon.h"

#include <functional>
#include <vector>

namespace lzma {

struct EncoderOptions {
    Properties props;
    unsigned niceLen = 64; // a match this long is taken without looking further
    unsigned depth = 0;    // match finder search depth; 0 picks 16 + niceLen / 2
    bool fast = false;     // greedy parsing instead of price-based
    bool endMarker = false;
    // 2 finds matches in a second thread; the output is the same.
    unsigned threads = 1;
    // Told the number of input bytes coded, every 256 KiB or so and at the
    // end, from the thread that called Encode. May throw to stop the encoding.
    std::function<void(uint64_t)> progress;
};

// Writes the header and the compressed stream. declaredSize goes into the
// header; kUnknownSize implies an end marker. With a declared size the input
// must hold exactly that many bytes, otherwise Error is thrown.
// Returns the number of bytes written, header included.
uint64_t Encode(InStream& in, OutStream& out, const EncoderOptions& options, uint64_t declaredSize);

std::vector<uint8_t> EncodeBuffer(const uint8_t* data, size_t size, const EncoderOptions& options = {},
                                  bool declareSize = true);

} // namespace lzma
