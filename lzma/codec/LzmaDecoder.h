#pragma once

#include "LzmaCommon.h"

#include <vector>

namespace lzma {

struct DecodeResult {
    Header header;
    uint64_t outSize = 0;
    bool endMarker = false;
    // Largest window the decoder held; lets callers check the memory bound.
    // On Linux its storage may be rounded up to whole 2 MiB pages, within
    // the dictionary's size.
    size_t peakWindow = 0;
};

struct DecodeOptions {
    // Small: a fresh page costs a fault, and a larger buffer reads no faster.
    size_t inBufferSize = size_t(1) << 15;
    // The window starts this small and doubles as output is produced.
    size_t initialWindow = size_t(1) << 16;
    // Output is also written out whenever this much is pending, not only when
    // the window wraps: a reader of the output file can follow it, and the
    // system can write it back, while decoding goes on.
    size_t writeStep = size_t(1) << 20;
};

// Decodes one LZMA-alone stream, header included. With a known size the
// stream ends there (an end marker right after it is accepted); with an
// unknown size it must end with the marker. Bytes after the end of the
// compressed data are ignored. Throws Error; `out` may then have received
// a prefix of the data, never anything past the declared size.
DecodeResult Decode(InStream& in, OutStream& out, const DecodeOptions& options = {});

std::vector<uint8_t> DecodeBuffer(const uint8_t* data, size_t size, DecodeResult* result = nullptr);

} // namespace lzma
