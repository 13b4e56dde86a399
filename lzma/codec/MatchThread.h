#pragma once

#include "MatchFinder.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

namespace lzma::detail {

// MatchFinder's interface for the coder, with the finding done in a thread of
// its own. That thread searches the tree at every position, ahead of the
// coder, and hands the matches over in blocks through a short queue. What a
// position's matches are depends only on the bytes before it, not on which
// positions were skipped, so the coder gets the matches a MatchFinder of its
// own would give it.
//
// The 2- and 3-byte heads are kept on the coder's side: the finding thread
// is the slower one, and their checks are then made only where the coder
// asks for matches.
//
// The window's bytes are shared: the finding thread only appends to them,
// except when it moves them to the buffer's front, and it does that only while
// the coder waits for a block with every earlier block consumed.
class alignas(64) MatchThread {
public:
    // As MatchFinder's; firstPos only for tests.
    MatchThread(InStream& in, uint32_t dictSize, unsigned niceLen, unsigned depth, uint64_t sizeHint,
                uint32_t firstPos = 0);
    ~MatchThread();
    MatchThread(const MatchThread&) = delete;
    MatchThread& operator=(const MatchThread&) = delete;

    unsigned GetMatches(Match* out) {
        if (!left_)
            NextBlock();
        Prefetch();
        unsigned n = 0;
        uint32_t maxLen = 1;
        const uint32_t avail = end_ - pos_;
        if (avail >= 4) {
            const uint8_t* cur = Data(pos_);
            const uint32_t lenLimit = std::min<uint32_t>(avail, nice_);
            uint32_t& head2 = hash2_[MatchFinder::Hash2(cur)];
            uint32_t& head3 = hash3_[MatchFinder::Hash3(cur)];
            const uint32_t d2 = pos_ - head2, d3 = pos_ - head3;
            head2 = head3 = pos_;
            n = MatchFinder::HeadMatches(cur, d2, d3, cyclicSize_, lenLimit, out, maxLen);
        }
        // The tree's lengths rise: those up to maxLen are what the heads gave.
        const unsigned count = next_->len;
        const Match* found = next_ + 1;
        unsigned k = 0;
        while (k < count && found[k].len <= maxLen)
            ++k;
        std::memcpy(out + n, found + k, (count - k) * sizeof(Match));
        next_ += 1 + count;
        --left_;
        ++pos_;
        return n + count - k;
    }
    void Skip(unsigned n) {
        for (; n; --n) {
            if (!left_)
                NextBlock();
            // In a run of one byte every position writes the same 2- and
            // 3-byte heads: only the last position's writes matter.
            if (IsRunEntry(next_)) {
                unsigned k = 1;
                while (k < n && k < left_ && IsRunEntry(next_ + 2 * k))
                    ++k;
                const uint32_t last = pos_ + k - 1;
                hash2_[MatchFinder::Hash2(Data(last))] = last;
                hash3_[MatchFinder::Hash3(Data(last))] = last;
                next_ += 2 * k;
                left_ -= k;
                pos_ += k;
                n -= k - 1;
                continue;
            }
            Prefetch();
            if (end_ - pos_ >= 4) {
                const uint8_t* cur = Data(pos_);
                hash2_[MatchFinder::Hash2(cur)] = pos_;
                hash3_[MatchFinder::Hash3(cur)] = pos_;
            }
            next_ += 1 + next_->len;
            --left_;
            ++pos_;
        }
    }
    uint32_t Pos() const { return pos_; }
    uint32_t AvailFrom(uint32_t pos) const { return end_ - pos; }
    uint32_t Avail() {
        if (!left_ && !last_)
            NextBlock();
        return end_ - pos_;
    }
    const uint8_t* Data(uint32_t pos) const { return base_ + int32_t(pos - basePos_); }
    unsigned NiceLen() const { return nice_; }
    // The finding thread rebases its own positions; the coder's only wrap around.
    void Normalize() {}

    static constexpr unsigned kMaxMatches = MatchFinder::kMaxMatches;

private:
    static constexpr unsigned kBlocks = 8;
    static constexpr size_t kBlockSize = size_t(1) << 15; // in Matches
    static constexpr uint32_t kBlockPositions = 4096; // bounds the wait when the window moves
    static constexpr size_t kMaxEntry = 1 + size_t(kMaxMatches);
    static constexpr uint32_t kHeadsAhead = 8, kBytesAhead = 4;

    struct Block {
        std::unique_ptr<Match[]> entries; // per position: {count, 0}, then the matches
        size_t used = 0;                  // in Matches
        uint32_t positions = 0;
        const uint8_t* base = nullptr; // the byte at basePos, in the coder's numbering
        uint32_t basePos = 0, end = 0;
        bool last = false;
    };
    struct Stopped {};

    // The heads a few positions on, then the bytes they point at, are mostly
    // cache misses: asked for early, they arrive in time. (Inlined: GCC drops
    // calls to a function that only prefetches.)
    [[gnu::always_inline]] void Prefetch() {
        const uint32_t avail = end_ - pos_;
        if (avail >= kHeadsAhead + 4) {
            const uint8_t* p = Data(pos_ + kHeadsAhead);
            __builtin_prefetch(&hash2_[MatchFinder::Hash2(p)], 1);
            __builtin_prefetch(&hash3_[MatchFinder::Hash3(p)], 1);
        }
        if (avail >= kBytesAhead + 4) {
            const uint32_t at = pos_ + kBytesAhead;
            const uint8_t* p = Data(at);
            const uint32_t d2 = at - hash2_[MatchFinder::Hash2(p)], d3 = at - hash3_[MatchFinder::Hash3(p)];
            if (d2 < cyclicSize_)
                __builtin_prefetch(p - d2);
            if (d3 < cyclicSize_)
                __builtin_prefetch(p - d3);
        }
    }
    // Just {nice_, 0}: the bytes from the position before on are all the same.
    bool IsRunEntry(const Match* entry) const { return entry[0].len == 1 && entry[1].len == nice_ && !entry[1].dist; }
    void NextBlock();
    void Find();
    Block& Acquire();
    void Publish(bool last);
    void WaitForIdleCoder();
    void ForgetOldHeads();

    // Each thread's hot fields on cache lines of their own: the coder
    // writes its side at every position.
    static constexpr size_t kLine = 64;

    alignas(kLine) MatchFinder finder_;
    alignas(kLine) const unsigned nice_;
    const uint32_t cyclicSize_;

    // The coder's 2- and 3-byte heads, in its numbering, which wraps around:
    // now and then heads too old to count are moved to just out of reach, so
    // that a wrap never brings them back into it.
    std::unique_ptr<uint32_t[]> hash2_, hash3_;
    uint32_t checkedAt_;

    // The coder's side.
    const Match* next_ = nullptr;
    uint32_t left_ = 0; // positions left in the block being read
    uint32_t pos_;
    const uint8_t* base_ = nullptr;
    uint32_t basePos_, end_;
    bool last_ = false;

    // The finding thread's side.
    alignas(kLine) Block* filling_ = nullptr;
    uint32_t offset_ = 0; // coder's numbering minus the finder's, changed by its rebasing

    // Shared, under mutex_. Block n lives in blocks_[n % kBlocks].
    alignas(kLine) std::mutex mutex_;
    std::condition_variable toCoder_, toFinder_;
    Block blocks_[kBlocks];
    uint64_t published_ = 0, taken_ = 0, released_ = 0;
    bool coderWaiting_ = false, finished_ = false, stop_ = false;
    std::exception_ptr error_;

    alignas(kLine) std::thread thread_;
};

} // namespace lzma::detail
