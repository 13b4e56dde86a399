#include "LzmaCommon.h"

#include <algorithm>

#if defined(__linux__)
#include <sys/mman.h>
#endif

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

#if defined(__linux__)
namespace {
constexpr size_t kPage = 4096, kHugePage = size_t(1) << 21;
size_t PageRounded(size_t bytes) { return (bytes + kPage - 1) & ~(kPage - 1); }
} // namespace

uint8_t* MapLarge(size_t bytes, bool noReserve) {
    if (bytes > SIZE_MAX - 2 * kHugePage)
        return nullptr;
    const size_t len = PageRounded(bytes);
    // Mapped 2 MiB longer, then trimmed to the boundary.
    const size_t slack = len >= kHugePage ? kHugePage : 0;
    void* m = mmap(nullptr, len + slack, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | (noReserve ? MAP_NORESERVE : 0), -1, 0);
    if (m == MAP_FAILED)
        return nullptr;
    uint8_t* const b = static_cast<uint8_t*>(m);
    uint8_t* a = b;
    if (slack) {
        a = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(b) + kHugePage - 1) & ~uintptr_t(kHugePage - 1));
        if (a > b)
            munmap(b, size_t(a - b));
        if (b + slack > a)
            munmap(a + len, size_t(b + slack - a));
        madvise(a, len, MADV_HUGEPAGE); // a hint; without it the pages are small
    }
    return a;
}

void UnmapLarge(uint8_t* p, size_t bytes) { munmap(p, PageRounded(bytes)); }
#endif

void Model::Reset() {
    // The struct holds nothing but probabilities, so it can be filled as one array.
    static_assert(sizeof(Model) % sizeof(Prob) == 0);
    Prob* p = reinterpret_cast<Prob*>(this);
    std::fill(p, p + sizeof(Model) / sizeof(Prob), Prob(kProbOne / 2));
}

} // namespace detail
} // namespace lzma
