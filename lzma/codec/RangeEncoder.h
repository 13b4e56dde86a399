#pragma once

#include "LzmaCommon.h"

#include <vector>

namespace lzma::detail {

// Carry-propagating range encoder; the bytes go to `out` in blocks.
class RangeEncoder {
public:
    explicit RangeEncoder(OutStream& out) : out_(out), buf_(size_t(1) << 16) {}

    void Bit(Prob& p, unsigned bit) {
        const uint32_t bound = (range_ >> kProbBits) * p;
        if (!bit) {
            range_ = bound;
            p = Prob(p + ((kProbOne - p) >> kMoveBits));
        } else {
            low_ += bound;
            range_ -= bound;
            p = Prob(p - (p >> kMoveBits));
        }
        // One shift always suffices: a bit never shrinks the range below 2^16.
        if (range_ < kTopValue) {
            range_ <<= 8;
            ShiftLow();
        }
    }

    void Direct(uint32_t value, unsigned n) {
        do {
            range_ >>= 1;
            --n;
            low_ += range_ & (0u - ((value >> n) & 1u));
            if (range_ < kTopValue) {
                range_ <<= 8;
                ShiftLow();
            }
        } while (n);
    }

    template <unsigned N>
    void Tree(Prob* probs, unsigned sym) {
        unsigned m = 1;
        for (unsigned i = N; i--;) {
            const unsigned b = (sym >> i) & 1u;
            Bit(probs[m], b);
            m = (m << 1) | b;
        }
    }

    void ReverseTree(Prob* probs, unsigned n, unsigned sym) {
        unsigned m = 1;
        for (unsigned i = 0; i < n; ++i) {
            const unsigned b = sym & 1u;
            sym >>= 1;
            Bit(probs[m], b);
            m = (m << 1) | b;
        }
    }

    void Finish() {
        for (int i = 0; i < 5; ++i)
            ShiftLow();
        FlushBuffer();
    }

    uint64_t BytesWritten() const { return written_ + used_; }

private:
    void ShiftLow() {
        if (uint32_t(low_) < 0xFF000000u || (low_ >> 32) != 0) {
            const uint8_t carry = uint8_t(low_ >> 32);
            uint8_t b = cache_;
            do {
                Put(uint8_t(b + carry));
                b = 0xFF;
            } while (--cacheSize_ != 0);
            cache_ = uint8_t(low_ >> 24);
        }
        ++cacheSize_;
        low_ = (low_ & 0x00FFFFFFu) << 8;
    }

    void Put(uint8_t b) {
        buf_[used_++] = b;
        if (used_ == buf_.size())
            FlushBuffer();
    }

    void FlushBuffer() {
        if (used_)
            out_.Write(buf_.data(), used_);
        written_ += used_;
        used_ = 0;
    }

    OutStream& out_;
    std::vector<uint8_t> buf_;
    size_t used_ = 0;
    uint64_t written_ = 0;
    uint64_t low_ = 0;
    uint32_t range_ = 0xFFFFFFFFu;
    uint8_t cache_ = 0;
    uint64_t cacheSize_ = 1;
};

} // namespace lzma::detail
