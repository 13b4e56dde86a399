#pragma once

#include "LzmaCommon.h"

#include <functional>
#include <memory>
#include <vector>

namespace lzma::detail {

struct Match {
    uint32_t len;
    uint32_t dist; // zero-based, as coded
};

// Zeroed memory for the match finder. Its lookups land anywhere in tens of
// MB, so where the system offers large pages it asks for them: with 4 KiB
// pages most lookups in a large window would also miss the TLB.
class TableMemory {
public:
    TableMemory() = default;
    explicit TableMemory(size_t bytes);
    ~TableMemory();
    TableMemory(TableMemory&& other) noexcept;
    TableMemory& operator=(TableMemory&& other) noexcept;
    uint8_t* get() const { return data_; }

private:
    uint8_t* data_ = nullptr;
    size_t size_ = 0;
};

// Binary-tree match finder over a sliding window, with exact 2-byte and
// hashed 3- and 4-byte heads. Reads its input itself and keeps the last
// dictionary's worth of bytes (plus a margin for the parser) in memory.
//
// Positions are 32-bit counters that only change meaning in Normalize(),
// which the caller invokes between parsing blocks.
class MatchFinder {
public:
    // sizeHint: expected input size or kUnknownSize; shrinks the tables for small inputs.
    // firstPos lets tests start the counter close to where Normalize() acts.
    MatchFinder(InStream& in, uint32_t dictSize, unsigned niceLen, unsigned depth, uint64_t sizeHint,
                uint32_t firstPos = 0);

    // Fills `out` with matches at the current position (lengths strictly
    // increasing, each the nearest found for its length, capped at niceLen),
    // then moves one byte on. Returns the number of matches.
    unsigned GetMatches(Match* out);
    void Skip(unsigned n);
    // As GetMatches, but from the tree alone, and without keeping the 2- and
    // 3-byte heads: for a caller that keeps those itself. The tree's matches
    // longer than what the heads give are the ones GetMatches reports.
    unsigned GetTreeMatches(Match* out);
    // GetTreeMatches at the current position and the next, with the two
    // searches interleaved so that their cache misses overlap. Does nothing
    // and returns false where that could give other matches than two calls.
    bool GetTreeMatchesPair(Match* outA, unsigned& nA, Match* outB, unsigned& nB);
    // Moves over up to maxCount positions inside a run of one byte, where
    // GetTreeMatches would give just {NiceLen(), 0}, as it would; returns
    // how many. Leaves the 2- and 3-byte heads to the caller.
    uint32_t SkipRun(uint32_t maxCount);

    uint32_t Pos() const { return pos_; }
    // Bytes from pos to the end of the data read so far (read ahead at least kLookahead unless at the end).
    uint32_t AvailFrom(uint32_t pos) const { return end_ - pos; }
    uint32_t Avail() {
        Fill();
        return end_ - pos_;
    }
    const uint8_t* Data(uint32_t pos) const { return buf_ + int32_t(pos - bufPos_); }
    uint64_t BytesRead() const { return bytesRead_; }
    unsigned NiceLen() const { return nice_; }
    uint32_t CyclicSize() const { return cyclicSize_; }

    // Rebases all stored positions when the counter nears its limit.
    void Normalize();

    // Called before the bytes kept move to the front of the buffer, so that a
    // reader in another thread can stop using pointers into it first.
    void BeforeMove(std::function<void()> hook) { beforeMove_ = std::move(hook); }

    static constexpr uint32_t kLookahead = kMatchMaxLen + 1;
    static constexpr unsigned kMaxMatches = kMatchMaxLen + 2;
    static constexpr uint32_t kHash2Size = 1u << 16;
    static constexpr unsigned kHash3Bits = 16;
    static uint32_t Hash2(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }
    static uint32_t Hash3(const uint8_t* p) {
        return ((uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16) * 0x9E3779B1u) >> (32 - kHash3Bits);
    }
    // The matches at the 2- and 3-byte heads' distances d2 and d3 into out;
    // raises maxLen to the longest.
    static unsigned HeadMatches(const uint8_t* cur, uint32_t d2, uint32_t d3, uint32_t cyclicSize, uint32_t lenLimit,
                                Match* out, uint32_t& maxLen);

private:
    // Inline: called at every position, and it rarely has anything to do.
    void Fill() {
        if (!eof_ && end_ - pos_ < kLookahead)
            Refill();
    }
    void Refill();
    void MovePos() {
        ++pos_;
        if (++cyclicPos_ == cyclicSize_)
            cyclicPos_ = 0;
    }
    unsigned SearchTree(uint32_t curMatch, uint32_t lenLimit, uint32_t maxLen, Match* out, unsigned n);
    void SkipTree(uint32_t curMatch, uint32_t lenLimit);
    uint32_t Hash4(const uint8_t* p) const;
    void Prefetch(const uint8_t* cur, bool allHeads, uint32_t later = 0);

    InStream& in_;
    bool eof_ = false;
    uint64_t bytesRead_ = 0;

    TableMemory memory_;     // the tables, then the window's storage
    uint8_t* buf_ = nullptr; // the storage past a zeroed lead-in
    size_t bufCap_ = 0;
    uint32_t bufPos_ = 0; // position of buf_[0]
    uint32_t pos_ = 0;
    uint32_t end_ = 0;    // position after the last byte read
    size_t keepBefore_ = 0;

    uint32_t cyclicSize_ = 0, cyclicPos_ = 0;
    unsigned nice_ = 0, depth_ = 0, hash4Shift_ = 0;
    size_t hash4Size_ = 0;
    uint32_t *hash2_ = nullptr, *hash3_ = nullptr, *hash4_ = nullptr, *son_ = nullptr;
    uint32_t runStart_ = 0, runEnd_ = 0; // the bytes from runStart_ up to runEnd_ are all the same
    std::function<void()> beforeMove_;
};

// Length of the common prefix of a and b, up to limit bytes.
inline uint32_t CommonLength(const uint8_t* a, const uint8_t* b, uint32_t start, uint32_t limit) {
    uint32_t len = start;
    // Most searches end on a match as long as the limit: one branch per 16 bytes there.
    while (len + 16 <= limit) {
        uint64_t x0, y0, x1, y1;
        __builtin_memcpy(&x0, a + len, 8);
        __builtin_memcpy(&y0, b + len, 8);
        __builtin_memcpy(&x1, a + len + 8, 8);
        __builtin_memcpy(&y1, b + len + 8, 8);
        const uint64_t d0 = x0 ^ y0, d1 = x1 ^ y1;
        if (d0 | d1)
            return len + (d0 ? unsigned(__builtin_ctzll(d0)) >> 3 : 8 + (unsigned(__builtin_ctzll(d1)) >> 3));
        len += 16;
    }
    while (len + 8 <= limit) {
        uint64_t x, y;
        __builtin_memcpy(&x, a + len, 8);
        __builtin_memcpy(&y, b + len, 8);
        if (x != y)
            return len + (unsigned(__builtin_ctzll(x ^ y)) >> 3);
        len += 8;
    }
    while (len < limit && a[len] == b[len])
        ++len;
    return len;
}

inline unsigned MatchFinder::HeadMatches(const uint8_t* cur, uint32_t d2, uint32_t d3, uint32_t cyclicSize,
                                         uint32_t lenLimit, Match* out, uint32_t& maxLen) {
    unsigned n = 0;
    if (d2 < cyclicSize && cur[-ptrdiff_t(d2)] == cur[0] && cur[1 - ptrdiff_t(d2)] == cur[1]) {
        maxLen = CommonLength(cur, cur - d2, 2, lenLimit);
        out[n++] = {maxLen, d2 - 1};
    }
    if (d3 != d2 && d3 < cyclicSize && __builtin_memcmp(cur - d3, cur, 3) == 0) {
        const uint32_t len = CommonLength(cur, cur - d3, 3, lenLimit);
        if (len > maxLen) {
            maxLen = len;
            out[n++] = {len, d3 - 1};
        }
    }
    return n;
}

} // namespace lzma::detail
