// Encodes arbitrary data with settings taken from the first two bytes, with
// one thread and with two, and checks that both give the same stream and that
// it decodes to the same bytes.
#include "LzmaDecoder.h"
#include "LzmaEncoder.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    lzma::EncoderOptions o;
    o.props.lc = data[0] % 9;
    o.props.lp = (data[0] / 9) % 5;
    o.props.pb = data[1] % 5;
    o.fast = data[1] & 0x80;
    o.niceLen = 5 + (data[1] >> 3 & 7) * 38;
    o.props.dictSize = (data[1] & 0x40) ? 256 : 1u << 16;
    const bool declare = data[1] & 0x08;
    const uint8_t* body = data + 2;
    const size_t n = size - 2;
    const std::vector<uint8_t> packed = lzma::EncodeBuffer(body, n, o, declare);
    o.threads = 2;
    if (lzma::EncodeBuffer(body, n, o, declare) != packed)
        std::abort();
    const std::vector<uint8_t> back = lzma::DecodeBuffer(packed.data(), packed.size());
    if (back.size() != n || !std::equal(back.begin(), back.end(), body))
        std::abort();
    return 0;
}
