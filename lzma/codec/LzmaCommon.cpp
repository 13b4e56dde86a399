#include "LzmaCommon.h"

#include <algorithm>

namespace lzma {

bool ValidProperties(const Properties& p) {
    return p.lc <= kMaxLc && p.lp <= kMaxLp && p.pb <= kMaxPb;
}

void WriteHeader(uint8_t out[kHeaderSize], const Header& h) {
    if (!ValidProperties(h.props))
        throw Error("invalid lc/lp/pb values");
    out[0] = uint8_t((h.props.pb * 5 + h.props.lp) * 9 + h.props.lc);
    for (int i = 0; i < 4; ++i)
        out[1 + i] = uint8_t(h.props.dictSize >> (8 * i));
    for (int i = 0; i < 8; ++i)
        out[5 + i] = uint8_t(h.unpackSize >> (8 * i));
}

Header ParseHeader(const uint8_t in[kHeaderSize]) {
    unsigned d = in[0];
    if (d >= 9 * 5 * 5)
        throw Error("unsupported properties byte " + std::to_string(d) + " in the stream header");
    Header h;
    h.props.lc = d % 9;
    d /= 9;
    h.props.lp = d % 5;
    h.props.pb = d / 5;
    h.props.dictSize = 0;
    for (int i = 0; i < 4; ++i)
        h.props.dictSize |= uint32_t(in[1 + i]) << (8 * i);
    h.unpackSize = 0;
    for (int i = 0; i < 8; ++i)
        h.unpackSize |= uint64_t(in[5 + i]) << (8 * i);
    return h;
}

namespace detail {

void Model::Reset() {
    // The struct holds nothing but probabilities, so it can be filled as one array.
    static_assert(sizeof(Model) % sizeof(Prob) == 0);
    Prob* p = reinterpret_cast<Prob*>(this);
    std::fill(p, p + sizeof(Model) / sizeof(Prob), Prob(kProbOne / 2));
}

} // namespace detail
} // namespace lzma
