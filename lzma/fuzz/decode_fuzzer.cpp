// Arbitrary bytes as an LZMA-alone stream: the decoder must fail cleanly or
// produce exactly the declared size, and never anything past it.
#include "LzmaDecoder.h"
#include "MemoryStreams.h"

#include <cstdlib>

namespace {

struct Stop {};

class CountingSink : public lzma::OutStream {
public:
    void Write(const uint8_t*, size_t size) override {
        total += size;
        // Unknown-size streams could run for long; enough has been seen by then.
        if (total > (size_t(1) << 24))
            throw Stop{};
    }
    uint64_t total = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lzma::MemoryInStream in(data, size);
    CountingSink out;
    lzma::DecodeOptions opt;
    opt.inBufferSize = 512; // exercise refills on small inputs too
    try {
        const lzma::DecodeResult r = lzma::Decode(in, out, opt);
        if (r.header.unpackSize != lzma::kUnknownSize && out.total != r.header.unpackSize)
            std::abort();
        if (r.outSize != out.total)
            std::abort();
    } catch (const lzma::Error&) {
    } catch (const Stop&) {
        return 0;
    }
    if (size >= lzma::kHeaderSize) {
        uint64_t declared = 0;
        for (int i = 0; i < 8; ++i)
            declared |= uint64_t(data[5 + i]) << (8 * i);
        if (declared != lzma::kUnknownSize && out.total > declared)
            std::abort();
    }
    return 0;
}
