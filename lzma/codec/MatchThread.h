#pragma once

#include "MatchFinder.h"

#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

namespace lzma::detail {

// MatchFinder's interface for the coder, with the finding done in a thread of
// its own. That thread finds the matches at every position, ahead of the
// coder, and hands them over in blocks through a short queue; the coder's
// Skip() just passes positions by. What a position's matches are depends only
// on the bytes before it, not on which positions were skipped, so the coder
// gets the matches a MatchFinder of its own would give it.
//
// The window's bytes are shared: the finding thread only appends to them,
// except when it moves them to the buffer's front, and it does that only while
// the coder waits for a block with every earlier block consumed.
class MatchThread {
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
        const unsigned n = *next_++;
        std::memcpy(out, next_, n * sizeof(Match));
        next_ += 2 * n;
        --left_;
        ++pos_;
        return n;
    }
    void Skip(unsigned n) {
        while (n--) {
            if (!left_)
                NextBlock();
            next_ += 1 + 2 * *next_;
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
    static constexpr size_t kBlockWords = size_t(1) << 15;
    static constexpr uint32_t kBlockPositions = 4096; // bounds the wait when the window moves
    static constexpr size_t kMaxEntry = 1 + 2 * size_t(kMaxMatches);

    struct Block {
        std::unique_ptr<uint32_t[]> words; // per position: the count, then (len, dist) pairs
        size_t used = 0;
        uint32_t positions = 0;
        const uint8_t* base = nullptr; // the byte at basePos, in the coder's numbering
        uint32_t basePos = 0, end = 0;
        bool last = false;
    };
    struct Stopped {};

    void NextBlock();
    void Find();
    Block& Acquire();
    void Publish(bool last);
    void WaitForIdleCoder();

    MatchFinder finder_;
    const unsigned nice_;

    // The coder's side.
    const uint32_t* next_ = nullptr;
    uint32_t left_ = 0; // positions left in the block being read
    uint32_t pos_;
    const uint8_t* base_ = nullptr;
    uint32_t basePos_, end_;
    bool last_ = false;

    // The finding thread's side.
    Block* filling_ = nullptr;
    uint32_t offset_ = 0; // coder's numbering minus the finder's, changed by its rebasing

    // Shared, under mutex_. Block n lives in blocks_[n % kBlocks].
    std::mutex mutex_;
    std::condition_variable toCoder_, toFinder_;
    Block blocks_[kBlocks];
    uint64_t published_ = 0, taken_ = 0, released_ = 0;
    bool coderWaiting_ = false, finished_ = false, stop_ = false;
    std::exception_ptr error_;

    std::thread thread_;
};

} // namespace lzma::detail
