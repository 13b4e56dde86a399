#include "MatchFinder.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace lzma::detail {

static_assert(std::endian::native == std::endian::little, "CommonLength assumes little-endian words");

namespace {
// How far ahead the heads, the first tree node, then its children are asked for (see Prefetch).
constexpr uint32_t kHeadsAhead = 24;
constexpr uint32_t kNodeAhead = 12;
constexpr uint32_t kChildrenAhead = 6;
constexpr size_t kLeadIn = 16;      // zeros before the first byte: "previous byte" of position 0
constexpr size_t kPadAfter = 16;    // word compares may look a few bytes past the data
constexpr size_t kParserSpan = 8192; // how far behind the finder the parser still reads

inline uint32_t Read32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
} // namespace

TableMemory::TableMemory(size_t bytes) : size_(bytes) {
#if defined(__linux__)
    data_ = MapLarge(bytes, false);
#else
    data_ = static_cast<uint8_t*>(std::calloc(bytes, 1));
#endif
    if (!data_)
        throw std::bad_alloc();
}

TableMemory::~TableMemory() {
    if (!data_)
        return;
#if defined(__linux__)
    UnmapLarge(data_, size_);
#else
    std::free(data_);
#endif
}

TableMemory::TableMemory(TableMemory&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(other.size_) {}

TableMemory& TableMemory::operator=(TableMemory&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
}

MatchFinder::MatchFinder(InStream& in, uint32_t dictSize, unsigned niceLen, unsigned depth, uint64_t sizeHint,
                         uint32_t firstPos)
    : in_(in) {
    if (dictSize > (1u << 30))
        throw Error("the encoder supports dictionaries up to 1 GiB");
    uint32_t dict = std::max<uint32_t>(dictSize, 1);
    if (sizeHint != kUnknownSize && sizeHint < dict)
        dict = uint32_t(std::max<uint64_t>(sizeHint, 1));
    cyclicSize_ = dict + 1;
    nice_ = std::clamp(niceLen, 5u, kMatchMaxLen);
    depth_ = depth ? depth : 16 + nice_ / 2;

    const unsigned bits = std::clamp(unsigned(std::bit_width(dict - 1)) - 1, 16u, 24u);
    hash4Shift_ = 32 - bits;
    hash4Size_ = size_t(1) << bits;
    keepBefore_ = size_t(dict) + kParserSpan;
    // Each time the window fills up, the kept dictionary moves to its front:
    // reading a whole dictionary's worth between moves keeps that to a byte
    // moved per byte read.
    const size_t block = std::clamp<size_t>(dict, size_t(1) << 16, size_t(1) << 24);
    bufCap_ = keepBefore_ + block + kLookahead;

    const size_t words = size_t(cyclicSize_) * 2 + hash4Size_ + (size_t(1) << kHash3Bits) + kHash2Size;
    memory_ = TableMemory(words * 4 + kLeadIn + bufCap_ + kPadAfter);
    son_ = reinterpret_cast<uint32_t*>(memory_.get());
    hash4_ = son_ + size_t(cyclicSize_) * 2;
    hash3_ = hash4_ + hash4Size_;
    hash2_ = hash3_ + (size_t(1) << kHash3Bits);
    buf_ = memory_.get() + words * 4 + kLeadIn;

    // Starting at cyclicSize makes the empty value 0 look infinitely far away.
    pos_ = bufPos_ = end_ = runStart_ = runEnd_ = std::max(cyclicSize_, firstPos);
    cyclicPos_ = pos_ % cyclicSize_;
}

void MatchFinder::Refill() {
    size_t used = end_ - bufPos_;
    if (bufCap_ - used < kLookahead * 4) {
        const size_t behind = pos_ - bufPos_;
        if (behind > keepBefore_) {
            const size_t drop = behind - keepBefore_;
            if (beforeMove_)
                beforeMove_();
            std::memmove(buf_, buf_ + drop, used - drop);
            bufPos_ += uint32_t(drop);
            used -= drop;
        }
    }
    while (used < bufCap_ && !eof_) {
        const size_t r = in_.Read(buf_ + used, bufCap_ - used);
        if (!r)
            eof_ = true;
        used += r;
        bytesRead_ += r;
    }
    end_ = bufPos_ + uint32_t(used);
    std::memset(buf_ + used, 0, std::min(kPadAfter, bufCap_ + kPadAfter - used));
}

void MatchFinder::Normalize() {
    if (pos_ < 0xE0000000u)
        return;
    const uint32_t sub = pos_ - cyclicSize_;
    auto rebase = [sub](uint32_t* v, size_t n) {
        for (size_t i = 0; i < n; ++i)
            v[i] = v[i] > sub ? v[i] - sub : 0;
    };
    rebase(hash2_, kHash2Size);
    rebase(hash3_, size_t(1) << kHash3Bits);
    rebase(hash4_, hash4Size_);
    rebase(son_, size_t(cyclicSize_) * 2);
    pos_ -= sub;
    bufPos_ -= sub;
    end_ -= sub;
    runStart_ = runEnd_ = pos_;
}

uint32_t MatchFinder::Hash4(const uint8_t* p) const { return (Read32(p) * 0x9E3779B1u) >> hash4Shift_; }

// Nearly every search starts with cache misses: the heads, then the first
// node's pair and bytes, all anywhere in tens of MB. Asked for a few
// positions early, they arrive while the searches before are made. A head
// read early may change before it is used; then only the hint is wasted.
// (Inlined: GCC drops calls to a function that only prefetches.)
[[gnu::always_inline]] inline void MatchFinder::Prefetch(const uint8_t* cur, bool allHeads, uint32_t later) {
    // later: for the position that many bytes after pos_.
    const uint32_t avail = end_ - pos_;
    const uint32_t headsAhead = kHeadsAhead + later, nodeAhead = kNodeAhead + later,
                   childrenAhead = kChildrenAhead + later;
    if (avail >= headsAhead + 4) {
        const uint8_t* p = cur + headsAhead;
        __builtin_prefetch(hash4_ + Hash4(p), 1);
        if (allHeads) {
            __builtin_prefetch(hash3_ + Hash3(p), 1);
            __builtin_prefetch(hash2_ + Hash2(p), 1);
        }
    }
    // The pair of the node `delta` before position pos_ + ahead.
    const auto pairOf = [this](uint32_t ahead, uint32_t delta) {
        uint32_t at = cyclicPos_ + ahead;
        if (at >= cyclicSize_)
            at -= cyclicSize_;
        return son_ + size_t(at - delta + (delta > at ? cyclicSize_ : 0)) * 2;
    };
    // The node at `match` in the tree of position pos_ + ahead.
    const auto node = [&](uint32_t ahead, uint32_t match) {
        const uint32_t delta = pos_ + ahead - match;
        if (delta < cyclicSize_) {
            __builtin_prefetch(pairOf(ahead, delta), 1);
            __builtin_prefetch(cur + ahead - delta);
        }
    };
    if (avail >= nodeAhead + 4)
        node(nodeAhead, hash4_[Hash4(cur + nodeAhead)]);
    // Then the first node's children, once its pair has come.
    if (avail >= childrenAhead + 4) {
        const uint32_t head = hash4_[Hash4(cur + childrenAhead)];
        if (pos_ + childrenAhead - head < cyclicSize_) {
            const uint32_t* pair = pairOf(childrenAhead, pos_ + childrenAhead - head);
            node(childrenAhead, pair[0]);
            node(childrenAhead, pair[1]);
        }
    }
}

namespace {
// A tree search in progress: SearchTree's, or one of GetTreeMatchesPair's.
struct Walk {
    const uint8_t* cur;
    uint32_t pos, cyclicPos, lenLimit, maxLen, curMatch, len0, len1;
    uint32_t *ptr0, *ptr1;
    unsigned cut, n;
    Match* out;
};

// One node of a tree search (see SearchTree); false once the search has
// ended. A search with a shadow reads and writes `shadow` for the node
// `cyclicSize - 1` back, whose pair the other search is overwriting.
template <bool kShadow>
[[gnu::always_inline]] inline bool Step(Walk& w, uint32_t* son, uint32_t cyclicSize, uint32_t* shadow) {
    const uint32_t delta = w.pos - w.curMatch;
    if (w.cut == 0 || delta >= cyclicSize) {
        *w.ptr0 = *w.ptr1 = 0;
        return false;
    }
    --w.cut;
    uint32_t* pair = son + size_t(w.cyclicPos - delta + (delta > w.cyclicPos ? cyclicSize : 0)) * 2;
    if (kShadow && delta == cyclicSize - 1)
        pair = shadow;
    const uint8_t* pb = w.cur - delta;
    uint32_t len = std::min(w.len0, w.len1);
    if (pb[len] == w.cur[len]) {
        len = CommonLength(w.cur, pb, len + 1, w.lenLimit);
        if (len > w.maxLen) {
            w.maxLen = len;
            w.out[w.n++] = {len, delta - 1};
            if (len == w.lenLimit) {
                *w.ptr1 = pair[0];
                *w.ptr0 = pair[1];
                return false;
            }
        }
    }
    const unsigned k = pb[len] < w.cur[len];
    uint32_t* const at = k ? w.ptr1 : w.ptr0;
    *at = w.curMatch;
    uint32_t* const next = pair + k;
    w.ptr1 = k ? next : w.ptr1;
    w.ptr0 = k ? w.ptr0 : next;
    w.len1 = k ? len : w.len1;
    w.len0 = k ? w.len0 : len;
    w.curMatch = *next;
    return true;
}
} // namespace

unsigned MatchFinder::GetMatches(Match* out) {
    Fill();
    uint32_t lenLimit = std::min<uint32_t>(end_ - pos_, nice_);
    if (lenLimit < 4) {
        MovePos();
        return 0;
    }
    const uint8_t* cur = Data(pos_);
    Prefetch(cur, true);
    const uint32_t h2 = Hash2(cur);
    const uint32_t h3 = Hash3(cur);
    const uint32_t h4 = Hash4(cur);
    const uint32_t d2 = pos_ - hash2_[h2];
    const uint32_t d3 = pos_ - hash3_[h3];
    const uint32_t curMatch = hash4_[h4];
    hash2_[h2] = hash3_[h3] = hash4_[h4] = pos_;

    uint32_t maxLen = 1;
    unsigned n = HeadMatches(cur, d2, d3, cyclicSize_, lenLimit, out, maxLen);
    if (maxLen == lenLimit)
        SkipTree(curMatch, lenLimit);
    else
        n = SearchTree(curMatch, lenLimit, maxLen, out, n);
    MovePos();
    return n;
}

unsigned MatchFinder::GetTreeMatches(Match* out) {
    Fill();
    const uint32_t lenLimit = std::min<uint32_t>(end_ - pos_, nice_);
    if (lenLimit < 4) {
        MovePos();
        return 0;
    }
    const uint8_t* cur = Data(pos_);
    Prefetch(cur, false);
    const uint32_t h4 = Hash4(cur);
    const uint32_t curMatch = hash4_[h4];
    hash4_[h4] = pos_;
    // The tree changes the same way whatever maxLen is: it stops at the first
    // node of length lenLimit, which SearchTree reports and SkipTree does not.
    const unsigned n = SearchTree(curMatch, lenLimit, 1, out, 0);
    MovePos();
    return n;
}

uint32_t MatchFinder::SkipRun(uint32_t maxCount) {
    Fill();
    if (end_ - pos_ < nice_ || !maxCount)
        return 0;
    // Cheap enough to ask at every position: most fail here.
    const uint8_t* cur = Data(pos_);
    if (cur[-1] != cur[0] || cur[0] != cur[nice_ - 1])
        return 0;
    uint32_t& head = hash4_[Hash4(cur)];
    if (head != pos_ - 1)
        return 0;
    // Where the run ends is looked for once per run: each byte is compared
    // once, however many positions ask.
    if (pos_ - 1 - runStart_ >= runEnd_ - runStart_)
        runStart_ = pos_ - 1, runEnd_ = pos_;
    if (runEnd_ - pos_ < nice_) {
        const uint8_t* p = Data(runEnd_);
        runEnd_ += CommonLength(p, p - 1, 0, end_ - runEnd_);
        if (runEnd_ - pos_ < nice_)
            return 0;
    }
    // Within a run of one byte, each position's search ends at its first
    // node, the position before, with a match as long as the limit: the new
    // root takes over that node's subtrees. Padding is often megabytes of
    // such runs. Fill would have nothing to do at any of these positions: it
    // reads on only within kLookahead of the end. (Differences only:
    // positions may wrap around before the caller rebases them.)
    uint32_t count = std::min(runEnd_ - pos_ - nice_ + 1, maxCount);
    if (!eof_)
        count = std::min(count, end_ - pos_ >= kLookahead ? end_ - pos_ - kLookahead + 1 : 0);
    if (!count)
        return 0;
    const uint32_t* prev = son_ + size_t(cyclicPos_ ? cyclicPos_ - 1 : cyclicSize_ - 1) * 2;
    const uint32_t left = prev[0], right = prev[1];
    for (uint32_t i = 0; i < count; ++i) {
        son_[size_t(cyclicPos_) * 2] = left;
        son_[size_t(cyclicPos_) * 2 + 1] = right;
        MovePos();
    }
    head = pos_ - 1;
    return count;
}

// Positions with different 4-byte hashes have disjoint trees, so their
// searches can run side by side: one search's misses then no longer wait
// for the other's. Only one node is shared: the second position takes over
// the pair of the node cyclicSize back, which the first may still visit as
// its node cyclicSize - 1 back. The first gets a copy of it, and the second
// overwrites the original, as when they run one after the other.
bool MatchFinder::GetTreeMatchesPair(Match* outA, unsigned& nA, Match* outB, unsigned& nB) {
    Fill();
    // The second position needs its lookahead as much as the first.
    const uint32_t avail = end_ - pos_;
    if (avail < 5 || (!eof_ && avail <= kLookahead) || cyclicSize_ < 4)
        return false;
    const uint8_t* cur = Data(pos_);
    const uint32_t hA = Hash4(cur), hB = Hash4(cur + 1);
    if (hA == hB)
        return false;
    Prefetch(cur, false, 0);
    Prefetch(cur, false, 1);
    const uint32_t cyclicB = cyclicPos_ + 1 == cyclicSize_ ? 0 : cyclicPos_ + 1;
    uint32_t shadow[2] = {son_[size_t(cyclicB) * 2], son_[size_t(cyclicB) * 2 + 1]};
    Walk a{cur, pos_, cyclicPos_, std::min<uint32_t>(avail, nice_), 1, hash4_[hA], 0, 0,
           son_ + size_t(cyclicPos_) * 2 + 1, son_ + size_t(cyclicPos_) * 2, depth_, 0, outA};
    Walk b{cur + 1, pos_ + 1, cyclicB, std::min<uint32_t>(avail - 1, nice_), 1, hash4_[hB], 0, 0,
           son_ + size_t(cyclicB) * 2 + 1, son_ + size_t(cyclicB) * 2, depth_, 0, outB};
    hash4_[hA] = pos_;
    hash4_[hB] = pos_ + 1;
    bool goA = true, goB = true;
    while (goA && goB) {
        goA = Step<true>(a, son_, cyclicSize_, shadow);
        goB = Step<false>(b, son_, cyclicSize_, nullptr);
    }
    while (goA)
        goA = Step<true>(a, son_, cyclicSize_, shadow);
    while (goB)
        goB = Step<false>(b, son_, cyclicSize_, nullptr);
    nA = a.n;
    nB = b.n;
    MovePos();
    MovePos();
    return true;
}

void MatchFinder::Skip(unsigned count) {
    for (; count; --count) {
        // A run goes in bulk: all its positions write the same 2- and 3-byte
        // heads, so only the last position's writes matter.
        if (const uint32_t k = SkipRun(count)) {
            const uint8_t* last = Data(pos_ - 1);
            hash2_[Hash2(last)] = hash3_[Hash3(last)] = pos_ - 1;
            count -= k - 1;
            continue;
        }
        Fill();
        const uint32_t lenLimit = std::min<uint32_t>(end_ - pos_, nice_);
        if (lenLimit >= 4) {
            const uint8_t* cur = Data(pos_);
            Prefetch(cur, true);
            const uint32_t h4 = Hash4(cur);
            const uint32_t curMatch = hash4_[h4];
            hash2_[Hash2(cur)] = pos_;
            hash3_[Hash3(cur)] = pos_;
            hash4_[h4] = pos_;
            SkipTree(curMatch, lenLimit);
        }
        MovePos();
    }
}

// Inserts the current position as the new root and collects matches longer
// than maxLen on the way down. pair[0] holds the smaller subtree, pair[1] the larger.
unsigned MatchFinder::SearchTree(uint32_t curMatch, uint32_t lenLimit, uint32_t maxLen, Match* out, unsigned n) {
    uint32_t* const own = son_ + size_t(cyclicPos_) * 2;
    Walk w{Data(pos_), pos_, cyclicPos_, lenLimit, maxLen, curMatch, 0, 0, own + 1, own, depth_, n, out};
    while (Step<false>(w, son_, cyclicSize_, nullptr)) {
    }
    return w.n;
}

void MatchFinder::SkipTree(uint32_t curMatch, uint32_t lenLimit) {
    const uint8_t* cur = Data(pos_);
    uint32_t* ptr0 = son_ + size_t(cyclicPos_) * 2 + 1;
    uint32_t* ptr1 = son_ + size_t(cyclicPos_) * 2;
    uint32_t len0 = 0, len1 = 0;
    for (unsigned cut = depth_;; --cut) {
        const uint32_t delta = pos_ - curMatch;
        if (cut == 0 || delta >= cyclicSize_) {
            *ptr0 = *ptr1 = 0;
            return;
        }
        uint32_t* pair = son_ + size_t(cyclicPos_ - delta + (delta > cyclicPos_ ? cyclicSize_ : 0)) * 2;
        const uint8_t* pb = cur - delta;
        uint32_t len = std::min(len0, len1);
        if (pb[len] == cur[len]) {
            len = CommonLength(cur, pb, len + 1, lenLimit);
            if (len == lenLimit) {
                *ptr1 = pair[0];
                *ptr0 = pair[1];
                return;
            }
        }
        if (pb[len] < cur[len]) {
            *ptr1 = curMatch;
            ptr1 = pair + 1;
            curMatch = *ptr1;
            len1 = len;
        } else {
            *ptr0 = curMatch;
            ptr0 = pair;
            curMatch = *ptr0;
            len0 = len;
        }
    }
}

} // namespace lzma::detail
