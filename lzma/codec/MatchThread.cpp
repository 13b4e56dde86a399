#include "MatchThread.h"

namespace lzma::detail {

MatchThread::MatchThread(InStream& in, uint32_t dictSize, unsigned niceLen, unsigned depth, uint64_t sizeHint,
                         uint32_t firstPos)
    : finder_(in, dictSize, niceLen, depth, sizeHint, firstPos), nice_(finder_.NiceLen()),
      cyclicSize_(finder_.CyclicSize()), hash2_(new uint32_t[MatchFinder::kHash2Size]),
      hash3_(new uint32_t[size_t(1) << MatchFinder::kHash3Bits]), checkedAt_(finder_.Pos()), pos_(finder_.Pos()),
      basePos_(pos_), end_(pos_) {
    std::fill_n(hash2_.get(), MatchFinder::kHash2Size, pos_ - cyclicSize_);
    std::fill_n(hash3_.get(), size_t(1) << MatchFinder::kHash3Bits, pos_ - cyclicSize_);
    for (Block& b : blocks_)
        b.entries.reset(new Match[kBlockSize]);
    finder_.BeforeMove([this] { WaitForIdleCoder(); });
    thread_ = std::thread(&MatchThread::Find, this);
}

MatchThread::~MatchThread() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    toFinder_.notify_all();
    thread_.join();
}

void MatchThread::ForgetOldHeads() {
    const uint32_t far = pos_ - cyclicSize_;
    auto forget = [this, far](uint32_t* v, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (pos_ - v[i] >= cyclicSize_)
                v[i] = far;
    };
    forget(hash2_.get(), MatchFinder::kHash2Size);
    forget(hash3_.get(), size_t(1) << MatchFinder::kHash3Bits);
    checkedAt_ = pos_;
}

void MatchThread::NextBlock() {
    // Every head is then at most cyclicSize + 2^30 + a block behind: less than a wrap.
    if (pos_ - checkedAt_ >= (1u << 30))
        ForgetOldHeads();
    std::unique_lock<std::mutex> lock(mutex_);
    released_ = taken_;
    coderWaiting_ = true;
    toFinder_.notify_one();
    toCoder_.wait(lock, [this] { return taken_ < published_ || finished_; });
    coderWaiting_ = false;
    if (taken_ == published_) {
        if (error_)
            std::rethrow_exception(error_);
        throw Error("the encoder read past the end of its input");
    }
    const Block& b = blocks_[taken_++ % kBlocks];
    lock.unlock();
    next_ = b.entries.get();
    left_ = b.positions;
    base_ = b.base;
    basePos_ = b.basePos;
    end_ = b.end;
    last_ = b.last;
}

MatchThread::Block& MatchThread::Acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    toFinder_.wait(lock, [this] { return published_ - released_ < kBlocks || stop_; });
    if (stop_)
        throw Stopped{};
    Block& b = blocks_[published_ % kBlocks];
    b.used = 0;
    b.positions = 0;
    return b;
}

void MatchThread::Publish(bool last) {
    Block& b = *filling_;
    const uint32_t pos = finder_.Pos();
    b.base = finder_.Data(pos);
    b.basePos = pos + offset_;
    b.end = pos + finder_.AvailFrom(pos) + offset_;
    b.last = last;
    filling_ = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++published_;
    }
    toCoder_.notify_one();
}

// Before the window moves: what was found so far goes out, then the coder
// must have read all of it and be waiting, holding no pointer into the window.
void MatchThread::WaitForIdleCoder() {
    if (filling_ && filling_->positions)
        Publish(false);
    std::unique_lock<std::mutex> lock(mutex_);
    toFinder_.wait(lock, [this] { return (coderWaiting_ && taken_ == published_) || stop_; });
    if (stop_)
        throw Stopped{};
}

void MatchThread::Find() {
    try {
        Match second[kMaxMatches];
        bool run = false;
        while (finder_.Avail() > 0) {
            if (!filling_) {
                filling_ = &Acquire();
                const uint32_t before = finder_.Pos();
                finder_.Normalize();
                offset_ += before - finder_.Pos();
            }
            Block& b = *filling_;
            Match* const at = b.entries.get() + b.used;
            // Inside a run of one byte, the positions after it go in bulk.
            const uint32_t count =
                run ? finder_.SkipRun(std::min<size_t>(kBlockPositions - b.positions, (kBlockSize - b.used) / 2)) : 0;
            unsigned n, n2;
            if (count) {
                for (uint32_t i = 0; i < count; ++i) {
                    at[2 * i] = {1, 0};
                    at[2 * i + 1] = {nice_, 0};
                }
                b.used += 2 * size_t(count);
                b.positions += count;
            } else if (b.positions + 2 <= kBlockPositions && b.used + 2 * kMaxEntry <= kBlockSize &&
                       finder_.GetTreeMatchesPair(at + 1, n, second, n2)) {
                Match* const to = at + 1 + n;
                *to = {n2, 0};
                std::copy_n(second, n2, to + 1);
                *at = {n, 0};
                b.used += 2 + size_t(n) + n2;
                b.positions += 2;
                run = false;
            } else {
                n = finder_.GetTreeMatches(at + 1);
                *at = {n, 0};
                run = IsRunEntry(at);
                b.used += 1 + size_t(n);
                ++b.positions;
            }
            if (b.positions == kBlockPositions || b.used + kMaxEntry > kBlockSize)
                Publish(false);
        }
        if (!filling_)
            filling_ = &Acquire();
        Publish(true);
    } catch (const Stopped&) {
        return;
    } catch (...) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            error_ = std::current_exception();
            finished_ = true;
        }
        toCoder_.notify_one();
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
}

} // namespace lzma::detail
