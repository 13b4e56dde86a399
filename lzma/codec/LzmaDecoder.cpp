#include "LzmaDecoder.h"

#include "MemoryStreams.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__GNUC__)
#define LZMA_INLINE inline __attribute__((always_inline))
#define LZMA_NOINLINE __attribute__((noinline))
#else
#define LZMA_INLINE inline
#define LZMA_NOINLINE
#endif

#ifdef LZMA_DECODE_STATS
#include <cstdio>
#endif

// The sanitizers see overruns of a malloc'd window, not of a mapping.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LZMA_NO_MAPPED_WINDOW 1
#endif
#endif
#ifndef LZMA_NO_MAPPED_WINDOW
#define LZMA_MAPPED_WINDOW 1
#endif
#endif

namespace lzma {
namespace {

using namespace detail;

#ifdef LZMA_DECODE_STATS
// Profiling aid (bench/lzma/profile.sh): symbols and bytes per kind, and
// match copies by how far back they read, printed to stderr at exit.
struct DecodeStats {
    enum Kind { kLit, kMatchedLit, kShortRep, kRep0, kRep123, kMatch, kKinds };
    enum CopyClass { kRun, kNear, kOverlap, kApart, kWrapPath, kClasses };
    uint64_t symbols[kKinds] = {}, bytes[kKinds] = {}, copies[kClasses] = {}, copyBytes[kClasses] = {};
    uint64_t inBytes = 0;
    ~DecodeStats() {
        static const char* const kinds[] = {"literal", "matched-literal", "short-rep", "rep0", "rep1-3", "match"};
        static const char* const classes[] = {"dist 1", "dist 2-15", "dist 16-31 or < len", "dist >= len, >= 16",
                                              "source or end wraps"};
        for (int k = 0; k < kKinds; ++k)
            std::fprintf(stderr, "stats kind %s %llu %llu\n", kinds[k], (unsigned long long)symbols[k],
                         (unsigned long long)bytes[k]);
        for (int c = 0; c < kClasses; ++c)
            std::fprintf(stderr, "stats copy %s %llu %llu\n", classes[c], (unsigned long long)copies[c],
                         (unsigned long long)copyBytes[c]);
        std::fprintf(stderr, "stats input %llu\n", (unsigned long long)inBytes);
    }
} g_stats;
#define LZMA_STAT(x) (g_stats.x)
#define LZMA_STAT_ONLY(...) __VA_ARGS__
#else
#define LZMA_STAT(x) ((void)0)
#define LZMA_STAT_ONLY(...)
#endif

// One symbol reads at most 48 bytes (match: 1+1+10 length, 6 slot, 26 direct, 4 align).
constexpr size_t kMaxSymbolBytes = 64;
constexpr size_t kMinWindow = 4096;
// A window that wraps is this much longer than the farthest distance it
// accepts: what a copy writes past its match there is older than any byte
// a stream may refer to, so copies move whole words there too.
constexpr size_t kSpill = 16;

const char kTruncated[] = "the compressed data is truncated";
const char kCorrupt[] = "the compressed data is corrupt";
const char kOverlong[] = "the compressed data continues past the declared size";

// Out of line: a throw inside the symbol loop costs it a register on x86.
[[noreturn]] LZMA_NOINLINE void ThrowCorrupt() { throw Error(kCorrupt); }

struct Rc {
    uint32_t range;
    uint32_t code;
    const uint8_t* in;

    LZMA_INLINE void Normalize() {
#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
        // Whether a bit needs another input byte is close to random; a
        // branch on it was the decoder's most mispredicted one. The byte
        // is read either way: the input buffer has padding behind its end.
        const uint32_t range8 = range << 8, code8 = (code << 8) | *in;
        __asm__("cmpl %[top], %[range]\n\t"
                "cmovbl %[range8], %[range]\n\t"
                "cmovbl %[code8], %[code]\n\t"
                "adc %[zero], %[in]"
                : [range] "+r"(range), [code] "+r"(code), [in] "+r"(in)
                : [range8] "r"(range8), [code8] "r"(code8), [top] "i"(kTopValue), [zero] "i"(0)
                : "cc");
#else
        if (range < kTopValue) {
            range <<= 8;
            code = (code << 8) | *in++;
        }
#endif
    }
    LZMA_INLINE unsigned Bit(Prob& p) {
        Normalize();
        const uint32_t bound = (range >> kProbBits) * p;
        if (code < bound) {
            range = bound;
            p = Prob(p + ((kProbOne - p) >> kMoveBits));
            return 0;
        }
        range -= bound;
        code -= bound;
        p = Prob(p - (p >> kMoveBits));
        return 1;
    }
    // The same bit without a branch on its value: for literal and tree bits,
    // which a branch predictor cannot guess. v is *p, loaded by the caller
    // (ahead of time where it can). Returns all ones for a 0 bit, else 0.
    LZMA_INLINE uint32_t BitKnown(Prob& p, uint32_t v) {
        Normalize();
        uint32_t bound = (range >> kProbBits) * v;
        uint32_t keep;
#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
        // Compilers turn the portable form below into a branch on the bit,
        // which mispredicts about every other literal bit. Four registers:
        // 32-bit x86 has few to spare.
        __asm__("subl %[bound], %[range]\n\t"
                "subl %[bound], %[code]\n\t"
                "cmovbl %[bound], %[range]\n\t"
                "sbbl %[keep], %[keep]\n\t"
                "andl %[keep], %[bound]\n\t"
                "addl %[bound], %[code]"
                : [range] "+r"(range), [code] "+r"(code), [bound] "+r"(bound), [keep] "=&r"(keep)
                :
                : "cc");
#else
        keep = 0u - uint32_t(code < bound);
        range = bound + ((range - 2 * bound) & ~keep);
        code -= bound & ~keep;
#endif
        // Both adaptation steps in one: floor((2048 - v) / 32) up, or v / 32 down.
        p = Prob(v - uint32_t(int32_t(v - (keep & (kProbOne - (1u << kMoveBits) + 1))) >> kMoveBits));
        return keep;
    }
#if defined(__GNUC__) && defined(__OPTIMIZE__) && (defined(__i386__) || defined(__x86_64__))
#define LZMA_LITERAL_ASM 1
    // One bit of a plain literal. *pp is its probability, v its value; both
    // move on to the next bit's. Written out because compilers for 32-bit
    // x86 spill range or code here, onto the chain from bit to bit. Seven
    // registers; base (the coder's first probability) may stay in memory.
    // The two candidates for the next probability are one 32-bit load whose
    // address does not wait for this bit. Only for DecodeSymbols: in a
    // 32-bit PIC function that calls through the PLT, ebx is taken and the
    // seven registers cannot be had.
    LZMA_INLINE void LiteralStep(Prob*& pp, uint32_t& v, const Prob* base) {
        uint32_t a;
        uintptr_t b;
        __asm__("movzbl (%[in]), %k[a]\n\t"
                "movl %k[code], %k[b]\n\t"
                "shll $8, %k[b]\n\t"
                "orl %k[a], %k[b]\n\t"
                "movl %k[range], %k[a]\n\t"
                "shll $8, %k[a]\n\t"
                "cmpl %[top], %k[range]\n\t"
                "cmovbl %k[a], %k[range]\n\t"
                "cmovbl %k[b], %k[code]\n\t"
                "adc %[zero], %[in]\n\t"
                "movl %k[range], %k[a]\n\t"
                "shrl %[probBits], %k[a]\n\t"
                "imull %k[v], %k[a]\n\t"
                "subl %k[a], %k[range]\n\t"
                "subl %k[a], %k[code]\n\t"
                "cmovbl %k[a], %k[range]\n\t"
                "sbb %[b], %[b]\n\t"
                "andl %k[b], %k[a]\n\t"
                "addl %k[a], %k[code]\n\t"
                // v -= (v - (b & 0x7e1)) >> 5: up by (2048 - v) / 32 for a 0, down by v / 32 for a 1.
                "movl %k[b], %k[a]\n\t"
                "andl %[adapt], %k[a]\n\t"
                "negl %k[a]\n\t"
                "addl %k[v], %k[a]\n\t"
                "sarl %[moveBits], %k[a]\n\t"
                "subl %k[a], %k[v]\n\t"
                "movw %w[v], (%[pp])\n\t"
                "add %[pp], %[pp]\n\t"
                "sub %[base], %[pp]\n\t"
                "movl (%[pp]), %k[a]\n\t"
                "lea 2(%[pp],%[b],2), %[pp]\n\t"
                "movl %k[a], %k[v]\n\t"
                "shrl $16, %k[v]\n\t"
                "movzwl %w[a], %k[a]\n\t"
                "test %[b], %[b]\n\t"
                "cmovnel %k[a], %k[v]"
                : [range] "+r"(range), [code] "+r"(code), [in] "+r"(in), [pp] "+r"(pp), [v] "+r"(v),
                  [a] "=&r"(a), [b] "=&r"(b)
                : [base] "rm"(base), [top] "i"(kTopValue), [zero] "i"(0), [probBits] "i"(kProbBits),
                  [moveBits] "i"(kMoveBits), [adapt] "i"(kProbOne - (1u << kMoveBits) + 1)
                : "cc", "memory");
    }
#endif
    // A tree bit: both children's probabilities are loaded while the bit
    // is decoded, so the load is off the chain from one bit to the next.
    LZMA_INLINE uint32_t TreeStep(Prob* probs, unsigned& m, uint32_t& v, bool last) {
        uint32_t v0 = 0, v1 = 0;
        if (!last) {
            v0 = probs[2 * m];
            v1 = probs[2 * m + 1];
        }
        const uint32_t keep = BitKnown(probs[m], v);
        m = 2 * m + 1 + keep;
        v = v1 ^ ((v0 ^ v1) & keep);
        return keep + 1;
    }
    template <unsigned N>
    LZMA_INLINE unsigned Tree(Prob* probs) {
        unsigned m = 1;
        uint32_t v = probs[1];
        // Unrolled: a loop's exit branch mispredicts once per tree.
#pragma GCC unroll 8
        for (unsigned i = 0; i < N; ++i)
            TreeStep(probs, m, v, i + 1 == N);
        return m - (1u << N);
    }
    // The children of the last bit are read too: callers' trees lie inside
    // Model with 2 << n probabilities from their start.
    LZMA_INLINE unsigned ReverseTree(Prob* probs, unsigned n) {
        unsigned m = 1, sym = 0;
        uint32_t v = probs[1];
        for (unsigned i = 0; i < n; ++i)
            sym |= TreeStep(probs, m, v, false) << i;
        return sym;
    }
    LZMA_INLINE uint32_t Direct(unsigned n) {
        uint32_t r = 0;
        do {
            Normalize();
            range >>= 1;
            const uint32_t bit = code >= range;
            code -= range & (0u - bit);
            r = (r << 1) | bit;
        } while (--n);
        return r;
    }
    LZMA_INLINE unsigned Len(LenModel& lm, unsigned posState) {
        if (!Bit(lm.choice))
            return Tree<3>(lm.low[posState]);
        if (!Bit(lm.choice2))
            return 8 + Tree<3>(lm.mid[posState]);
        return 16 + Tree<8>(lm.high);
    }
    LZMA_INLINE uint32_t Dist(Model& m, unsigned len) {
        const unsigned slot = Tree<kPosSlotBits>(m.posSlot[LenToPosState(len)]);
        if (slot < kStartPosModel)
            return slot;
        const unsigned direct = (slot >> 1) - 1;
        uint32_t dist = (2u | (slot & 1u)) << direct;
        if (slot < kEndPosModel)
            return dist + ReverseTree(m.posSpecial + dist - slot, direct);
        dist += Direct(direct - kAlignBits) << kAlignBits;
        return dist + ReverseTree(m.align, kAlignBits);
    }
};

// Copies a match inside the circular window; dist is known to be in range.
LZMA_INLINE void CopyMatch(uint8_t* w, size_t cap, size_t p, uint32_t dist, size_t n) {
    size_t src = p > dist ? p - dist - 1 : p + cap - dist - 1;
    uint8_t* d = w + p;
    if (src < p) {
        const uint8_t* s = w + src;
        if (dist >= 7) {
            // Eight bytes apart or more: whole words never read what they write.
            while (n >= 8) {
                std::memcpy(d, s, 8);
                d += 8;
                s += 8;
                n -= 8;
            }
        }
        while (n--)
            *d++ = *s++;
        return;
    }
    while (n--) {
        *d++ = w[src];
        if (++src == cap)
            src = 0;
    }
}

// The window's storage: malloc'd and grown by realloc, or on Linux one
// mapping reserved up front for the largest window, in which it grows
// without copies. Pages of the mapping cost memory only once written.
class WindowMemory {
public:
    WindowMemory() = default;
    WindowMemory(const WindowMemory&) = delete;
    WindowMemory& operator=(const WindowMemory&) = delete;
    ~WindowMemory() {
#ifdef LZMA_MAPPED_WINDOW
        if (mapped_) {
            UnmapLarge(p_, mapped_);
            return;
        }
#endif
        std::free(p_);
    }
    uint8_t* get() const { return p_; }
    // Room for `size` bytes; `most` is the most that will ever be asked
    // for and `roundTo` how far the reservation may be rounded up.
    bool Grow(size_t size, size_t most, size_t roundTo) {
#ifdef LZMA_MAPPED_WINDOW
        if (!p_ && Map(most, roundTo))
            return true;
        if (mapped_)
            return size <= mapped_;
#else
        (void)most;
        (void)roundTo;
#endif
        void* p = std::realloc(p_, size);
        if (!p)
            return false;
        p_ = static_cast<uint8_t*>(p);
        return true;
    }

private:
#ifdef LZMA_MAPPED_WINDOW
    // A fault per 4 KiB page cost a tenth of the decode time; on a machine
    // that has transparent huge pages, the window takes 2 MiB pages in one
    // fault each. The reservation is rounded up to whole ones only within
    // what the caller allows, so memory stays within its bound.
    bool Map(size_t most, size_t roundTo) {
        constexpr size_t kHuge = size_t(1) << 21, kPage = 4096;
        if (most > SIZE_MAX - 2 * kHuge)
            return false;
        size_t len = (most + kPage - 1) & ~(kPage - 1);
        const size_t huge = (most + kHuge - 1) & ~(kHuge - 1);
        if (huge <= roundTo)
            len = huge;
        p_ = MapLarge(len, true);
        if (!p_)
            return false;
        mapped_ = len;
        return true;
    }
    size_t mapped_ = 0;
#endif
    uint8_t* p_ = nullptr;
};

class StreamDecoder {
public:
    StreamDecoder(InStream& in, OutStream& out, const DecodeOptions& o)
        : in_(in), out_(out), opt_(o) {
        bufSize_ = std::max<size_t>(o.inBufferSize, 4 * kMaxSymbolBytes);
        // Not zeroed: a small file never touches most of it.
        inBuf_.reset(new uint8_t[bufSize_ + kMaxSymbolBytes]);
    }

    DecodeResult Run();

private:
    void Refill();
    uint8_t NextByte();
    void MakeWindowRoom();
    void Flush();
    // Apart from the rest, so that the symbol loop gets the registers to itself.
    LZMA_NOINLINE bool DecodeSymbols(size_t limit, const uint8_t* inLimit);
    void CopyPending(size_t limit);
    bool DecodeEndMarker();

    InStream& in_;
    OutStream& out_;
    DecodeOptions opt_;

    std::unique_ptr<uint8_t[]> inBuf_;
    size_t bufSize_ = 0;
    size_t inPos_ = 0, inEnd_ = 0;
    bool inEof_ = false;

    Header header_;
    Model m_;
    std::vector<Prob> lit_;
    unsigned lc_ = 0, lpMask_ = 0, pbMask_ = 0;

    // The window is also the output buffer: it is written out when it wraps.
    WindowMemory win_;
    uint8_t* Window() { return win_.get() + 1; }
    size_t cap_ = 0, winMax_ = 0, pos_ = 0, flushed_ = 0, peak_ = 0;
    size_t distMax_ = 0; // distances reach below this once the window wraps
    bool wrapped_ = false;
    uint64_t winBase_ = 0; // output offset of window index 0

    uint32_t range_ = 0, code_ = 0;
    unsigned state_ = 0;
    uint32_t rep_[4] = {0, 0, 0, 0};
    unsigned remain_ = 0; // bytes of the last match not yet copied
};

void StreamDecoder::Refill() {
    const size_t left = inEnd_ - inPos_;
    std::memmove(inBuf_.get(), inBuf_.get() + inPos_, left);
    inPos_ = 0;
    inEnd_ = left;
    while (inEnd_ < bufSize_ && !inEof_) {
        const size_t r = in_.Read(inBuf_.get() + inEnd_, bufSize_ - inEnd_);
        if (!r)
            inEof_ = true;
        inEnd_ += r;
    }
    // Zero padding lets the symbol loop run near the end without bounds checks per byte.
    std::memset(inBuf_.get() + inEnd_, 0, kMaxSymbolBytes);
}

uint8_t StreamDecoder::NextByte() {
    if (inPos_ >= inEnd_) {
        if (!inEof_)
            Refill();
        if (inPos_ >= inEnd_)
            throw Error(kTruncated);
    }
    return inBuf_[inPos_++];
}

void StreamDecoder::MakeWindowRoom() {
    if (cap_ < winMax_) {
        const size_t next = cap_ == 0 ? std::min(winMax_, std::max<size_t>(opt_.initialWindow, 1))
                                      : (cap_ > winMax_ / 2 ? winMax_ : cap_ * 2);
        // One byte in front holds the byte before index 0: the literal
        // context then needs no test for the window's start.
        // Pages of 2 MiB may round the storage up, within the dictionary's size.
        if (!win_.Grow(next + 1, winMax_ + 1, size_t(header_.props.dictSize) + 1))
            throw Error("not enough memory for a window of " + std::to_string(next) + " bytes");
        if (cap_ == 0)
            win_.get()[0] = 0;
        cap_ = next;
        peak_ = std::max(peak_, cap_);
        return;
    }
    Flush();
    Window()[-1] = Window()[cap_ - 1];
    winBase_ += cap_;
    pos_ = 0;
    flushed_ = 0;
    wrapped_ = true;
}

void StreamDecoder::Flush() {
    if (pos_ > flushed_)
        out_.Write(Window() + flushed_, pos_ - flushed_);
    flushed_ = pos_;
}

void StreamDecoder::CopyPending(size_t limit) {
    const size_t n = std::min<size_t>(remain_, limit - pos_);
    CopyMatch(Window(), cap_, pos_, rep_[0], n);
    pos_ += n;
    remain_ -= unsigned(n);
}

bool StreamDecoder::DecodeSymbols(size_t limit, const uint8_t* inLimit) {
    uint8_t* const w = Window();
    const size_t cap = cap_;
    const bool wrapped = wrapped_;
    const size_t distMax = distMax_;
    const uint32_t base = uint32_t(winBase_);
    const unsigned pbMask = pbMask_, lpMask = lpMask_, lc = lc_;
    Prob* const lit = lit_.data();
    Model& m = m_;
    Rc rc{range_, code_, inBuf_.get() + inPos_};
    size_t p = pos_;
    unsigned st = state_;
    uint32_t r0 = rep_[0], r1 = rep_[1], r2 = rep_[2], r3 = rep_[3];
    unsigned remain = 0;
    bool marker = false;

    while (p < limit && rc.in < inLimit) {
        const uint32_t absPos = base + uint32_t(p);
        const unsigned ps = absPos & pbMask;
        if (!rc.Bit(m.isMatch[st][ps])) {
            const unsigned prev = (w - 1)[p];
            Prob* probs = lit + kLiteralCoderSize * (((absPos & lpMask) << lc) + (prev >> (8 - lc)));
            unsigned sym;
            // Each step loads both candidates for the next bit's probability
            // while this bit is decoded, and then picks one: the load is off
            // the chain that runs from one bit to the next.
            if (IsLiteralState(st)) {
#ifdef LZMA_LITERAL_ASM
                Prob* pp = probs + 1;
                uint32_t v = probs[1];
#pragma GCC unroll 8
                for (int i = 0; i < 8; ++i)
                    rc.LiteralStep(pp, v, probs);
                sym = unsigned(pp - probs);
#else
                sym = 1;
                uint32_t v = probs[1];
#pragma GCC unroll 8
                for (int i = 0; i < 8; ++i) {
                    const uint32_t v0 = probs[2 * sym], v1 = probs[2 * sym + 1];
                    const uint32_t keep = rc.BitKnown(probs[sym], v);
                    sym = 2 * sym + 1 + keep;
                    v = v1 ^ ((v0 ^ v1) & keep);
                }
#endif
            } else {
                unsigned mb = w[p > r0 ? p - r0 - 1 : p + cap - r0 - 1] << 1;
                unsigned offs = 0x100, bit = mb & offs, idx = offs + bit + 1;
                uint32_t v = probs[idx];
                sym = 1;
#pragma GCC unroll 8
                for (int i = 0; i < 8; ++i) {
                    if (i == 7) {
                        sym = 2 * sym + 1 + rc.BitKnown(probs[idx], v);
                        break;
                    }
                    // offs stays on while the decoded bits equal the match byte's.
                    mb <<= 1;
                    const unsigned offs0 = offs & ~bit, offs1 = offs & bit;
                    const unsigned idx0 = offs0 + (mb & offs0) + 2 * sym;
                    const unsigned idx1 = offs1 + (mb & offs1) + 2 * sym + 1;
                    const uint32_t v0 = probs[idx0], v1 = probs[idx1];
                    const uint32_t keep = rc.BitKnown(probs[idx], v);
                    sym = 2 * sym + 1 + keep;
                    offs = offs1 ^ ((offs0 ^ offs1) & keep);
                    idx = idx1 ^ ((idx0 ^ idx1) & keep);
                    v = v1 ^ ((v0 ^ v1) & keep);
                    bit = mb & offs;
                }
            }
            w[p++] = uint8_t(sym);
            LZMA_STAT(symbols[IsLiteralState(st) ? DecodeStats::kLit : DecodeStats::kMatchedLit]++);
            st = NextAfterLiteral(st);
            continue;
        }
        unsigned len;
        LZMA_STAT_ONLY(int kind = DecodeStats::kMatch);
        if (rc.Bit(m.isRep[st])) {
            LZMA_STAT_ONLY(kind = DecodeStats::kRep0);
            if (p == 0 && !wrapped)
                ThrowCorrupt();
            if (!rc.Bit(m.isRepG0[st])) {
                if (!rc.Bit(m.isRep0Long[st][ps])) {
                    w[p] = w[p > r0 ? p - r0 - 1 : p + cap - r0 - 1];
                    ++p;
                    LZMA_STAT(symbols[DecodeStats::kShortRep]++);
                    st = NextAfterShortRep(st);
                    continue;
                }
            } else {
                LZMA_STAT_ONLY(kind = DecodeStats::kRep123);
                uint32_t d;
                if (!rc.Bit(m.isRepG1[st])) {
                    d = r1;
                } else {
                    if (!rc.Bit(m.isRepG2[st])) {
                        d = r2;
                    } else {
                        d = r3;
                        r3 = r2;
                    }
                    r2 = r1;
                }
                r1 = r0;
                r0 = d;
            }
            len = rc.Len(m.repLen, ps) + kMatchMinLen;
            st = NextAfterRep(st);
        } else {
            r3 = r2;
            r2 = r1;
            r1 = r0;
            len = rc.Len(m.matchLen, ps) + kMatchMinLen;
            st = NextAfterMatch(st);
            r0 = rc.Dist(m, len);
            if (r0 >= (wrapped ? distMax : p)) {
                if (r0 == kEndMarkerDist) {
                    marker = true;
                    break;
                }
                ThrowCorrupt();
            }
        }
        LZMA_STAT_ONLY(g_stats.symbols[kind]++; g_stats.bytes[kind] += len;
                       const int cls = r0 >= p || cap - p < len + 16 ? DecodeStats::kWrapPath
                                       : r0 == 0 ? DecodeStats::kRun
                                       : r0 < 15 ? DecodeStats::kNear
                                       : r0 < 31 || r0 < len ? DecodeStats::kOverlap
                                                             : DecodeStats::kApart;
                       g_stats.copies[cls]++; g_stats.copyBytes[cls] += len);
        size_t n = len;
        if (n > limit - p) {
            n = limit - p;
            remain = unsigned(len - n);
        }
        // The bytes after the match hold nothing yet or nothing a stream may
        // refer to (kSpill), so a copy may spill up to 15 bytes past it and
        // move whole words. Matches whose source or end wraps go the slow way.
        if (r0 < p && cap - p >= n + 16) {
            uint8_t* d = w + p;
            p += n;
            const uint8_t* s = d - r0 - 1;
            if (r0 >= 15) {
                do {
                    std::memcpy(d, s, 16);
                    d += 16;
                    s += 16;
                } while (d < w + p);
            } else if (r0 >= 7) {
                do {
                    std::memcpy(d, s, 8);
                    d += 8;
                    s += 8;
                } while (d < w + p);
            } else if (r0 == 0) {
                const uint64_t v = d[-1] * 0x0101010101010101ull;
                do {
                    std::memcpy(d, &v, 8);
                    d += 8;
                } while (d < w + p);
            } else {
                // Byte by byte, as each may repeat one written just before.
                do
                    *d++ = *s++;
                while (--n);
            }
            continue;
        }
        CopyMatch(w, cap, p, r0, n);
        p += n;
    }

    LZMA_STAT(inBytes += size_t(rc.in - inBuf_.get()) - inPos_);
    range_ = rc.range;
    code_ = rc.code;
    inPos_ = size_t(rc.in - inBuf_.get());
    pos_ = p;
    state_ = st;
    rep_[0] = r0;
    rep_[1] = r1;
    rep_[2] = r2;
    rep_[3] = r3;
    remain_ = remain;
    return marker;
}

bool StreamDecoder::DecodeEndMarker() {
    if (!inEof_ && inEnd_ - inPos_ < kMaxSymbolBytes)
        Refill();
    Rc rc{range_, code_, inBuf_.get() + inPos_};
    const unsigned ps = unsigned(header_.unpackSize) & pbMask_;
    bool marker = false;
    if (rc.Bit(m_.isMatch[state_][ps]) && !rc.Bit(m_.isRep[state_])) {
        const unsigned len = rc.Len(m_.matchLen, ps) + kMatchMinLen;
        marker = rc.Dist(m_, len) == kEndMarkerDist;
    }
    range_ = rc.range;
    code_ = rc.code;
    inPos_ = size_t(rc.in - inBuf_.get());
    if (inPos_ > inEnd_)
        throw Error(kTruncated);
    return marker;
}

DecodeResult StreamDecoder::Run() {
    Refill();
    if (inEnd_ < kHeaderSize)
        throw Error("the input is too short for an LZMA stream header");
    header_ = ParseHeader(inBuf_.get());
    inPos_ = kHeaderSize;
    const Properties& props = header_.props;
    const bool known = header_.unpackSize != kUnknownSize;

    m_.Reset();
    lit_.assign(LiteralProbCount(props), Prob(kProbOne / 2));
    lc_ = props.lc;
    lpMask_ = (1u << props.lp) - 1;
    pbMask_ = (1u << props.pb) - 1;

    // Never more window than the output can fill; it grows as data arrives.
    uint64_t winMax = std::max<uint64_t>(props.dictSize, kMinWindow);
    if (known)
        winMax = std::min(winMax, header_.unpackSize);
    if (winMax > SIZE_MAX - 1 - kSpill)
        winMax = SIZE_MAX - 1 - kSpill;
    distMax_ = size_t(winMax);
    winMax_ = size_t(winMax);
    if (!known || header_.unpackSize > winMax)
        winMax_ += kSpill;

    if (NextByte() != 0)
        throw Error(kCorrupt);
    code_ = 0;
    for (int i = 0; i < 4; ++i)
        code_ = (code_ << 8) | NextByte();
    range_ = 0xFFFFFFFFu;
    if (code_ == range_)
        throw Error(kCorrupt);

    constexpr size_t kRefillBelow = 4 * kMaxSymbolBytes;
    bool marker = false;
    for (;;) {
        const uint64_t done = winBase_ + pos_;
        if (known && done == header_.unpackSize)
            break;
        if (pos_ == cap_)
            MakeWindowRoom();
        else if (pos_ - flushed_ >= opt_.writeStep)
            Flush();
        if (!inEof_ && inEnd_ - inPos_ < kRefillBelow)
            Refill();
        size_t limit = cap_;
        if (known && header_.unpackSize - done < limit - pos_)
            limit = pos_ + size_t(header_.unpackSize - done);
        if (remain_) {
            CopyPending(limit);
            continue;
        }
        const uint8_t* inLimit = inEof_ ? inBuf_.get() + inEnd_ + 1 : inBuf_.get() + inEnd_ - kMaxSymbolBytes;
        marker = DecodeSymbols(limit, inLimit);
        if (inPos_ > inEnd_)
            throw Error(kTruncated);
        if (marker)
            break;
    }

    if (marker) {
        if (known && winBase_ + pos_ != header_.unpackSize)
            throw Error("the stream ends before the declared size");
    } else {
        if (remain_)
            throw Error(kOverlong);
        if (range_ < kTopValue) {
            range_ <<= 8;
            code_ = (code_ << 8) | NextByte();
        }
        if (code_ != 0) {
            if (!DecodeEndMarker())
                throw Error(kOverlong);
            marker = true;
        }
    }
    if (marker) {
        if (range_ < kTopValue) {
            range_ <<= 8;
            code_ = (code_ << 8) | NextByte();
        }
        if (code_ != 0)
            throw Error(kCorrupt);
    }
    Flush();

    DecodeResult r;
    r.header = header_;
    r.outSize = winBase_ + pos_;
    r.endMarker = marker;
    r.peakWindow = peak_;
    return r;
}

} // namespace

DecodeResult Decode(InStream& in, OutStream& out, const DecodeOptions& options) {
    StreamDecoder d(in, out, options);
    return d.Run();
}

std::vector<uint8_t> DecodeBuffer(const uint8_t* data, size_t size, DecodeResult* result) {
    MemoryInStream in(data, size);
    VectorOutStream out;
    DecodeResult r = Decode(in, out);
    if (result)
        *result = r;
    return std::move(out.data);
}

} // namespace lzma
