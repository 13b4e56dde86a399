#include "LzmaEncoder.h"

#include "MatchFinder.h"
#include "MatchThread.h"
#include "MemoryStreams.h"
#include "RangeEncoder.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace lzma {
namespace {

using namespace detail;

constexpr unsigned kPriceBits = 4; // prices are in 1/16 bit
constexpr uint32_t kInfPrice = 1u << 30;
constexpr unsigned kNumOpts = 1u << 12;
constexpr uint32_t kLit = 0xFFFFFFFFu; // "back" of a literal; 0..3 rep index, else distance + 4
constexpr unsigned kLenPriceInterval = 64;
constexpr unsigned kDistPriceInterval = 128;
constexpr uint64_t kReportInterval = 1u << 18;

// Refuses to read past the declared size and remembers how much it read.
class CountingInStream : public InStream {
public:
    CountingInStream(InStream& in, uint64_t limit) : in_(in), limit_(limit) {}
    size_t Read(uint8_t* buf, size_t size) override {
        const size_t n = in_.Read(buf, size);
        count_ += n;
        if (count_ > limit_)
            throw Error("the input is longer than the declared size");
        return n;
    }
    uint64_t Count() const { return count_; }

private:
    InStream& in_;
    uint64_t limit_;
    uint64_t count_ = 0;
};

// A node of the parse: the cheapest way found to reach this position.
// kind 0 is one step (back, len); kind 1 is a literal followed by rep0 of
// len2; kind 2 is (back, len), a literal, then rep0 of len2.
struct Opt {
    uint32_t price;
    uint32_t prev;
    uint32_t back;
    uint32_t len;
    uint32_t len2;
    unsigned kind;
    uint32_t reps[4];
    unsigned state;
};

void ApplyStep(unsigned& state, uint32_t* reps, uint32_t back, unsigned len) {
    if (back == kLit) {
        state = NextAfterLiteral(state);
    } else if (back < 4) {
        if (len == 1) {
            state = NextAfterShortRep(state);
        } else {
            state = NextAfterRep(state);
            const uint32_t d = reps[back];
            for (unsigned i = back; i > 0; --i)
                reps[i] = reps[i - 1];
            reps[0] = d;
        }
    } else {
        state = NextAfterMatch(state);
        reps[3] = reps[2];
        reps[2] = reps[1];
        reps[1] = reps[0];
        reps[0] = back - 4;
    }
}

struct Step {
    uint32_t back;
    uint32_t len;
};

// Finder is MatchFinder, or MatchThread to find matches in a second thread.
template <class Finder> class StreamEncoder {
public:
    StreamEncoder(InStream& in, OutStream& out, const EncoderOptions& o, uint64_t declared)
        : out_(out), opt_(o), declared_(declared), counted_(in, declared), rc_(out),
          mf_(counted_, o.props.dictSize, o.niceLen, o.depth, declared) {
        if (!ValidProperties(o.props))
            throw Error("invalid lc/lp/pb values");
        if (declared == kUnknownSize)
            opt_.endMarker = true;
        for (unsigned i = 0; i < (kProbOne >> 2); ++i) {
            const double p = double((i << 2) + 2) / kProbOne;
            bitPrice_[i] = uint32_t(std::lround(-std::log2(p) * (1 << kPriceBits)));
        }
        lc_ = o.props.lc;
        lpMask_ = (1u << o.props.lp) - 1;
        pbMask_ = (1u << o.props.pb) - 1;
        numPosStates_ = 1u << o.props.pb;
        model_.Reset();
        lit_.assign(LiteralProbCount(o.props), Prob(kProbOne / 2));
        opts_.resize(kNumOpts + 2 * kMatchMaxLen + 4);
        steps_.resize(3 * kNumOpts + 3);
        if (opt_.progress)
            nextReport_ = 0;
    }

    uint64_t Run();

private:
    uint32_t P0(Prob p) const { return bitPrice_[p >> 2]; }
    uint32_t P1(Prob p) const { return bitPrice_[(kProbOne - p) >> 2]; }
    uint32_t PBit(Prob p, unsigned b) const { return b ? P1(p) : P0(p); }

    Prob* LitProbs(uint64_t pos, unsigned prevByte) {
        return lit_.data() + kLiteralCoderSize * (((uint32_t(pos) & lpMask_) << lc_) + (prevByte >> (8 - lc_)));
    }
    uint32_t TreePrice(const Prob* probs, unsigned bits, unsigned sym) const;
    uint32_t ReverseTreePrice(const Prob* probs, unsigned bits, unsigned sym) const;
    uint32_t LiteralPrice(unsigned state, uint64_t pos, const uint8_t* p, uint32_t rep0);
    uint32_t RepIndexPrice(unsigned rep, unsigned state, unsigned ps) const;
    uint32_t ShortRepPrice(unsigned state, unsigned ps) const {
        return P0(model_.isRepG0[state]) + P0(model_.isRep0Long[state][ps]);
    }
    uint32_t DistPrice(uint32_t dist, unsigned lenState) const {
        if (dist < kFullDistances)
            return distPrices_[lenState][dist];
        return slotPrices_[lenState][PosSlot(dist)] + alignPrices_[dist & (kAlignSize - 1)];
    }
    void UpdateLenPrices(const LenModel& lm, uint32_t (*table)[kLenSymbols]);
    void UpdateDistPrices();
    void UpdatePricesIfDue();

    void EncodeLiteral();
    void EncodeLen(LenModel& lm, unsigned sym, unsigned ps);
    void EncodeDist(uint32_t dist, unsigned len);
    void EncodeMatch(uint32_t dist, unsigned len);
    void EncodeRep(unsigned rep, unsigned len);
    void EncodeStep(uint32_t back, unsigned len) {
        if (back == kLit)
            EncodeLiteral();
        else if (back < 4)
            EncodeRep(back, len);
        else
            EncodeMatch(back - 4, len);
    }

    unsigned RepLengths(const uint8_t* cur, const uint32_t* reps, uint32_t avail, unsigned* lens) const;
    void OptimalBlock();
    void GreedyStep();

    OutStream& out_;
    EncoderOptions opt_;
    uint64_t declared_;
    CountingInStream counted_;
    RangeEncoder rc_;
    Finder mf_;

    Model model_;
    std::vector<Prob> lit_;
    unsigned lc_ = 0, lpMask_ = 0, pbMask_ = 0, numPosStates_ = 0;
    unsigned state_ = 0;
    uint32_t reps_[4] = {0, 0, 0, 0};
    uint64_t nowPos_ = 0;  // bytes coded so far
    uint32_t codePos_ = 0; // match finder position of the next byte to code
    uint64_t nextReport_ = ~uint64_t(0);

    uint32_t bitPrice_[kProbOne >> 2];
    uint32_t lenPrices_[kPosStatesMax][kLenSymbols];
    uint32_t repLenPrices_[kPosStatesMax][kLenSymbols];
    uint32_t slotPrices_[kLenToPosStates][1u << kPosSlotBits];
    uint32_t distPrices_[kLenToPosStates][kFullDistances];
    uint32_t alignPrices_[kAlignSize];
    unsigned lenCount_ = 0, repLenCount_ = 0, distCount_ = 0;

    std::vector<Opt> opts_;
    std::vector<Step> steps_;
    Match matches_[MatchFinder::kMaxMatches];
};

template <class Finder>
uint32_t StreamEncoder<Finder>::TreePrice(const Prob* probs, unsigned bits, unsigned sym) const {
    uint32_t price = 0;
    sym |= 1u << bits;
    while (sym > 1) {
        price += PBit(probs[sym >> 1], sym & 1u);
        sym >>= 1;
    }
    return price;
}

template <class Finder>
uint32_t StreamEncoder<Finder>::ReverseTreePrice(const Prob* probs, unsigned bits, unsigned sym) const {
    uint32_t price = 0;
    unsigned m = 1;
    for (unsigned i = 0; i < bits; ++i) {
        const unsigned b = sym & 1u;
        sym >>= 1;
        price += PBit(probs[m], b);
        m = (m << 1) | b;
    }
    return price;
}

template <class Finder>
uint32_t StreamEncoder<Finder>::LiteralPrice(unsigned state, uint64_t pos, const uint8_t* p, uint32_t rep0) {
    const Prob* probs = LitProbs(pos, p[-1]);
    unsigned sym = p[0] | 0x100u;
    uint32_t price = 0;
    if (IsLiteralState(state)) {
        while (sym > 1) {
            price += PBit(probs[sym >> 1], sym & 1u);
            sym >>= 1;
        }
        return price;
    }
    unsigned mb = p[-ptrdiff_t(rep0) - 1];
    unsigned offs = 0x100;
    for (unsigned m = 1; m < 0x100;) {
        mb <<= 1;
        const unsigned bit = mb & offs;
        const unsigned b = (sym >> 7) & 1u;
        sym <<= 1;
        price += PBit(probs[offs + bit + m], b);
        m = (m << 1) | b;
        offs &= (0u - b) ^ ~bit;
    }
    return price;
}

template <class Finder>
uint32_t StreamEncoder<Finder>::RepIndexPrice(unsigned rep, unsigned state, unsigned ps) const {
    if (rep == 0)
        return P0(model_.isRepG0[state]) + P1(model_.isRep0Long[state][ps]);
    uint32_t price = P1(model_.isRepG0[state]);
    if (rep == 1)
        return price + P0(model_.isRepG1[state]);
    return price + P1(model_.isRepG1[state]) + PBit(model_.isRepG2[state], rep - 2);
}

template <class Finder>
void StreamEncoder<Finder>::UpdateLenPrices(const LenModel& lm, uint32_t (*table)[kLenSymbols]) {
    const uint32_t a0 = P0(lm.choice), a1 = P1(lm.choice);
    const uint32_t b0 = a1 + P0(lm.choice2), b1 = a1 + P1(lm.choice2);
    uint32_t high[256];
    for (unsigned s = 0; s < 256; ++s)
        high[s] = b1 + TreePrice(lm.high, 8, s);
    for (unsigned ps = 0; ps < numPosStates_; ++ps) {
        uint32_t* t = table[ps];
        for (unsigned s = 0; s < 8; ++s) {
            t[s] = a0 + TreePrice(lm.low[ps], 3, s);
            t[8 + s] = b0 + TreePrice(lm.mid[ps], 3, s);
        }
        std::memcpy(t + 16, high, sizeof(uint32_t) * (kLenSymbols - 16));
    }
}

template <class Finder>
void StreamEncoder<Finder>::UpdateDistPrices() {
    for (unsigned ls = 0; ls < kLenToPosStates; ++ls)
        for (unsigned slot = 0; slot < (1u << kPosSlotBits); ++slot) {
            uint32_t p = TreePrice(model_.posSlot[ls], kPosSlotBits, slot);
            if (slot >= kEndPosModel)
                p += ((slot >> 1) - 1 - kAlignBits) << kPriceBits;
            slotPrices_[ls][slot] = p;
        }
    for (uint32_t d = 0; d < kFullDistances; ++d) {
        const unsigned slot = PosSlot(d);
        uint32_t extra = 0;
        if (slot >= kStartPosModel) {
            const unsigned direct = (slot >> 1) - 1;
            const uint32_t base = (2u | (slot & 1u)) << direct;
            extra = ReverseTreePrice(model_.posSpecial + base - slot, direct, d - base);
        }
        for (unsigned ls = 0; ls < kLenToPosStates; ++ls)
            distPrices_[ls][d] = slotPrices_[ls][slot] + extra;
    }
    for (unsigned i = 0; i < kAlignSize; ++i)
        alignPrices_[i] = ReverseTreePrice(model_.align, kAlignBits, i);
}

template <class Finder>
void StreamEncoder<Finder>::UpdatePricesIfDue() {
    if (lenCount_ >= kLenPriceInterval) {
        UpdateLenPrices(model_.matchLen, lenPrices_);
        lenCount_ = 0;
    }
    if (repLenCount_ >= kLenPriceInterval) {
        UpdateLenPrices(model_.repLen, repLenPrices_);
        repLenCount_ = 0;
    }
    if (distCount_ >= kDistPriceInterval) {
        UpdateDistPrices();
        distCount_ = 0;
    }
}

template <class Finder>
void StreamEncoder<Finder>::EncodeLiteral() {
    const uint8_t* p = mf_.Data(codePos_);
    const unsigned ps = unsigned(nowPos_) & pbMask_;
    rc_.Bit(model_.isMatch[state_][ps], 0);
    Prob* probs = LitProbs(nowPos_, p[-1]);
    const unsigned sym = p[0];
    if (IsLiteralState(state_)) {
        rc_.Tree<8>(probs, sym);
    } else {
        unsigned mb = p[-ptrdiff_t(reps_[0]) - 1];
        unsigned offs = 0x100;
        unsigned m = 1;
        for (unsigned i = 8; i--;) {
            mb <<= 1;
            const unsigned bit = mb & offs;
            const unsigned b = (sym >> i) & 1u;
            rc_.Bit(probs[offs + bit + m], b);
            m = (m << 1) | b;
            offs &= (0u - b) ^ ~bit;
        }
    }
    state_ = NextAfterLiteral(state_);
    ++codePos_;
    ++nowPos_;
}

template <class Finder>
void StreamEncoder<Finder>::EncodeLen(LenModel& lm, unsigned sym, unsigned ps) {
    if (sym < 8) {
        rc_.Bit(lm.choice, 0);
        rc_.Tree<3>(lm.low[ps], sym);
    } else if (sym < 16) {
        rc_.Bit(lm.choice, 1);
        rc_.Bit(lm.choice2, 0);
        rc_.Tree<3>(lm.mid[ps], sym - 8);
    } else {
        rc_.Bit(lm.choice, 1);
        rc_.Bit(lm.choice2, 1);
        rc_.Tree<8>(lm.high, sym - 16);
    }
}

template <class Finder>
void StreamEncoder<Finder>::EncodeDist(uint32_t dist, unsigned len) {
    const unsigned slot = PosSlot(dist);
    rc_.Tree<kPosSlotBits>(model_.posSlot[LenToPosState(len)], slot);
    if (slot < kStartPosModel)
        return;
    const unsigned direct = (slot >> 1) - 1;
    const uint32_t base = (2u | (slot & 1u)) << direct;
    const uint32_t reduced = dist - base;
    if (slot < kEndPosModel) {
        rc_.ReverseTree(model_.posSpecial + base - slot, direct, reduced);
    } else {
        rc_.Direct(reduced >> kAlignBits, direct - kAlignBits);
        rc_.ReverseTree(model_.align, kAlignBits, reduced & (kAlignSize - 1));
    }
}

template <class Finder>
void StreamEncoder<Finder>::EncodeMatch(uint32_t dist, unsigned len) {
    const unsigned ps = unsigned(nowPos_) & pbMask_;
    rc_.Bit(model_.isMatch[state_][ps], 1);
    rc_.Bit(model_.isRep[state_], 0);
    EncodeLen(model_.matchLen, len - kMatchMinLen, ps);
    EncodeDist(dist, len);
    reps_[3] = reps_[2];
    reps_[2] = reps_[1];
    reps_[1] = reps_[0];
    reps_[0] = dist;
    state_ = NextAfterMatch(state_);
    codePos_ += len;
    nowPos_ += len;
    ++lenCount_;
    ++distCount_;
}

template <class Finder>
void StreamEncoder<Finder>::EncodeRep(unsigned rep, unsigned len) {
    const unsigned ps = unsigned(nowPos_) & pbMask_;
    rc_.Bit(model_.isMatch[state_][ps], 1);
    rc_.Bit(model_.isRep[state_], 1);
    if (rep == 0) {
        rc_.Bit(model_.isRepG0[state_], 0);
        rc_.Bit(model_.isRep0Long[state_][ps], len != 1);
    } else {
        rc_.Bit(model_.isRepG0[state_], 1);
        if (rep == 1) {
            rc_.Bit(model_.isRepG1[state_], 0);
        } else {
            rc_.Bit(model_.isRepG1[state_], 1);
            rc_.Bit(model_.isRepG2[state_], rep - 2);
        }
        const uint32_t d = reps_[rep];
        for (unsigned i = rep; i > 0; --i)
            reps_[i] = reps_[i - 1];
        reps_[0] = d;
    }
    if (len == 1) {
        state_ = NextAfterShortRep(state_);
    } else {
        EncodeLen(model_.repLen, len - kMatchMinLen, ps);
        state_ = NextAfterRep(state_);
        ++repLenCount_;
    }
    codePos_ += len;
    nowPos_ += len;
}

template <class Finder>
unsigned StreamEncoder<Finder>::RepLengths(const uint8_t* cur, const uint32_t* reps, uint32_t avail, unsigned* lens) const {
    unsigned best = 0;
    for (unsigned r = 0; r < 4; ++r) {
        const uint8_t* src = cur - ptrdiff_t(reps[r]) - 1;
        lens[r] = (src[0] == cur[0] && src[1] == cur[1]) ? CommonLength(cur, src, 2, avail) : 0;
        if (lens[r] > lens[best])
            best = r;
    }
    return best;
}

// Price-based parse of the stretch ahead: a shortest-path search over
// positions where each edge is a literal, a short rep, a rep match or a
// match, priced with the current model. The stretch ends where no path
// reaches further, at a match of at least niceLen, or at kNumOpts.
template <class Finder>
void StreamEncoder<Finder>::OptimalBlock() {
    const uint32_t P = mf_.Pos();
    unsigned nm = mf_.GetMatches(matches_);
    const uint32_t avail = std::min<uint32_t>(mf_.AvailFrom(P), kMatchMaxLen);
    const uint8_t* data = mf_.Data(P);
    const unsigned nice = mf_.NiceLen();
    if (avail < 2) {
        EncodeLiteral();
        return;
    }
    unsigned repLens[4];
    const unsigned bestRep = RepLengths(data, reps_, avail, repLens);
    if (repLens[bestRep] >= nice) {
        EncodeRep(bestRep, repLens[bestRep]);
        mf_.Skip(repLens[bestRep] - 1);
        return;
    }
    unsigned mainLen = nm ? matches_[nm - 1].len : 0;
    if (mainLen >= nice) {
        const uint32_t dist = matches_[nm - 1].dist;
        mainLen = CommonLength(data, data - ptrdiff_t(dist) - 1, mainLen, avail);
        EncodeMatch(dist, mainLen);
        mf_.Skip(mainLen - 1);
        return;
    }
    const uint8_t curByte = data[0];
    const uint8_t matchByte = data[-ptrdiff_t(reps_[0]) - 1];
    if (mainLen < 2 && curByte != matchByte && repLens[bestRep] < 2) {
        EncodeLiteral();
        return;
    }

    Opt* o = opts_.data();
    const unsigned ps0 = unsigned(nowPos_) & pbMask_;
    o[0].price = 0;
    o[0].state = state_;
    std::memcpy(o[0].reps, reps_, sizeof(reps_));

    const uint32_t matchPrice0 = P1(model_.isMatch[state_][ps0]);
    const uint32_t repMatchPrice0 = matchPrice0 + P1(model_.isRep[state_]);
    o[1].price = P0(model_.isMatch[state_][ps0]) + LiteralPrice(state_, nowPos_, data, reps_[0]);
    o[1].prev = 0;
    o[1].back = kLit;
    o[1].len = 1;
    o[1].kind = 0;
    if (matchByte == curByte) {
        const uint32_t sr = repMatchPrice0 + ShortRepPrice(state_, ps0);
        if (sr < o[1].price) {
            o[1].price = sr;
            o[1].back = 0;
        }
    }
    unsigned lenEnd = std::max(mainLen, repLens[bestRep]);
    if (lenEnd < 2) {
        EncodeStep(o[1].back, 1);
        return;
    }
    for (unsigned i = 2; i <= lenEnd; ++i)
        o[i].price = kInfPrice;

    // Targets must lie within lenEnd; extend() first when they may not.
    auto extend = [o, &lenEnd](unsigned t) {
        while (lenEnd < t)
            o[++lenEnd].price = kInfPrice;
    };
    auto relax = [o](unsigned t, uint32_t price, unsigned from, uint32_t back, unsigned len, unsigned kind = 0,
                     unsigned len2 = 0) {
        if (price < o[t].price) {
            o[t].price = price;
            o[t].prev = from;
            o[t].back = back;
            o[t].len = len;
            o[t].kind = kind;
            o[t].len2 = len2;
        }
    };
    // Price of "literal, then rep0 of the longest length" right after a step
    // that leaves `state` at `at` bytes past the node; relaxes that target.
    auto literalThenRep0 = [&](unsigned from, uint32_t basePrice, unsigned state, const uint8_t* c, unsigned at,
                               uint64_t now, uint32_t avail, uint32_t rep0, uint32_t back, unsigned len, unsigned kind) {
        if (at + 3 > avail)
            return;
        const uint8_t* q = c + at;
        const uint8_t* src = q - ptrdiff_t(rep0) - 1;
        if (q[0] == src[0] || q[1] != src[1] || q[2] != src[2])
            return;
        const unsigned len2 = CommonLength(q + 1, src + 1, 2, std::min<uint32_t>(avail - at - 1, mf_.NiceLen()));
        const unsigned ps1 = unsigned(now + at) & pbMask_;
        uint32_t price = basePrice + P0(model_.isMatch[state][ps1]) + LiteralPrice(state, now + at, q, rep0);
        const unsigned s2 = NextAfterLiteral(state);
        const unsigned ps2 = unsigned(now + at + 1) & pbMask_;
        price += P1(model_.isMatch[s2][ps2]) + P1(model_.isRep[s2]) + RepIndexPrice(0, s2, ps2) +
                 repLenPrices_[ps2][len2 - kMatchMinLen];
        extend(from + at + 1 + len2);
        relax(from + at + 1 + len2, price, from, back, len, kind, len2);
    };
    auto addEdges = [&](unsigned from, const Opt& n, unsigned ps, const unsigned* rl, unsigned count,
                        const uint8_t* c, uint64_t now, uint32_t avail) {
        const uint32_t matchPrice = n.price + P1(model_.isMatch[n.state][ps]);
        const uint32_t repMatchPrice = matchPrice + P1(model_.isRep[n.state]);
        extend(from + std::max({rl[0], rl[1], rl[2], rl[3], count ? matches_[count - 1].len : 0u}));
        if (c[0] != c[-ptrdiff_t(n.reps[0]) - 1])
            literalThenRep0(from, n.price, n.state, c, 0, now, avail, n.reps[0], kLit, 1, 1);
        for (unsigned r = 0; r < 4; ++r) {
            if (rl[r] < 2)
                continue;
            const uint32_t base = repMatchPrice + RepIndexPrice(r, n.state, ps);
            const uint32_t* lp = repLenPrices_[ps];
            for (unsigned l = 2; l <= rl[r]; ++l)
                relax(from + l, base + lp[l - kMatchMinLen], from, r, l);
            literalThenRep0(from, base + lp[rl[r] - kMatchMinLen], NextAfterRep(n.state), c, rl[r], now, avail,
                            n.reps[r], r, rl[r], 2);
        }
        if (!count)
            return;
        const uint32_t base = matchPrice + P0(model_.isRep[n.state]);
        const uint32_t* lp = lenPrices_[ps];
        // A rep0 match of the same length is nearly always cheaper.
        unsigned l = rl[0] >= 2 ? rl[0] + 1 : 2;
        for (unsigned j = 0; j < count; ++j) {
            if (matches_[j].len < l)
                continue;
            const uint32_t dist = matches_[j].dist;
            const uint32_t back = dist + 4;
            const unsigned top = matches_[j].len;
            for (; l <= top && l < kLenToPosStates + kMatchMinLen; ++l)
                relax(from + l, base + lp[l - kMatchMinLen] + DistPrice(dist, l - kMatchMinLen), from, back, l);
            if (l <= top) {
                const uint32_t b = base + DistPrice(dist, kLenToPosStates - 1);
                for (; l <= top; ++l)
                    relax(from + l, b + lp[l - kMatchMinLen], from, back, l);
            }
            literalThenRep0(from, base + lp[top - kMatchMinLen] + DistPrice(dist, LenToPosState(top)),
                            NextAfterMatch(n.state), c, top, now, avail, dist, back, top, 2);
        }
    };
    addEdges(0, o[0], ps0, repLens, nm, data, nowPos_, avail);

    unsigned cur = 0;
    bool pending = false;
    uint32_t pendBack = 0;
    unsigned pendLen = 0;
    for (;;) {
        ++cur;
        if (cur == lenEnd || cur >= kNumOpts)
            break;
        Opt& n = o[cur];
        const Opt& pr = o[n.prev];
        n.state = pr.state;
        std::memcpy(n.reps, pr.reps, sizeof(n.reps));
        if (n.kind == 1) {
            n.state = NextAfterRep(NextAfterLiteral(n.state));
        } else {
            ApplyStep(n.state, n.reps, n.back, n.len);
            if (n.kind == 2)
                n.state = NextAfterRep(NextAfterLiteral(n.state));
        }

        const uint32_t pos = P + cur;
        nm = mf_.GetMatches(matches_);
        const uint32_t availHere = std::min<uint32_t>(mf_.AvailFrom(pos), kMatchMaxLen);
        const uint8_t* c = mf_.Data(pos);
        const uint64_t now = nowPos_ + cur;
        const unsigned ps = unsigned(now) & pbMask_;

        mainLen = nm ? matches_[nm - 1].len : 0;
        if (mainLen >= nice) {
            const uint32_t dist = matches_[nm - 1].dist;
            pendLen = CommonLength(c, c - ptrdiff_t(dist) - 1, mainLen, availHere);
            pendBack = dist + 4;
            pending = true;
            break;
        }
        unsigned rl[4] = {0, 0, 0, 0};
        unsigned best = 0;
        if (availHere >= 2) {
            best = RepLengths(c, n.reps, availHere, rl);
            if (rl[best] >= nice) {
                pendLen = rl[best];
                pendBack = best;
                pending = true;
                break;
            }
        }

        const unsigned mb = c[-ptrdiff_t(n.reps[0]) - 1];
        relax(cur + 1, n.price + P0(model_.isMatch[n.state][ps]) + LiteralPrice(n.state, now, c, n.reps[0]), cur,
              kLit, 1);
        if (mb == c[0]) {
            relax(cur + 1,
                  n.price + P1(model_.isMatch[n.state][ps]) + P1(model_.isRep[n.state]) + ShortRepPrice(n.state, ps),
                  cur, 0, 1);
        }
        addEdges(cur, n, ps, rl, nm, c, now, availHere);
    }

    unsigned count = 0;
    for (unsigned i = cur; i > 0; i = o[i].prev) {
        const Opt& n = o[i];
        if (n.kind != 0) {
            steps_[count++] = {0, n.len2};
            steps_[count++] = {kLit, 1};
            if (n.kind == 2)
                steps_[count++] = {n.back, n.len};
        } else {
            steps_[count++] = {n.back, n.len};
        }
    }
    while (count--)
        EncodeStep(steps_[count].back, steps_[count].len);
    if (pending) {
        EncodeStep(pendBack, pendLen);
        mf_.Skip(pendLen - 1);
    }
}

// -a0: take the longest candidate at each position, preferring rep matches.
template <class Finder>
void StreamEncoder<Finder>::GreedyStep() {
    const uint32_t P = mf_.Pos();
    const unsigned nm = mf_.GetMatches(matches_);
    const uint32_t avail = std::min<uint32_t>(mf_.AvailFrom(P), kMatchMaxLen);
    const uint8_t* cur = mf_.Data(P);
    if (avail < 2) {
        EncodeLiteral();
        return;
    }
    unsigned repLens[4];
    const unsigned bestRep = RepLengths(cur, reps_, avail, repLens);
    unsigned mainLen = nm ? matches_[nm - 1].len : 0;
    const uint32_t dist = nm ? matches_[nm - 1].dist : 0;
    if (mainLen >= mf_.NiceLen())
        mainLen = CommonLength(cur, cur - ptrdiff_t(dist) - 1, mainLen, avail);
    if (repLens[bestRep] >= 2 && repLens[bestRep] + 1 >= mainLen) {
        EncodeRep(bestRep, repLens[bestRep]);
        mf_.Skip(repLens[bestRep] - 1);
        return;
    }
    if (mainLen >= 3 || (mainLen == 2 && dist < 128)) {
        EncodeMatch(dist, mainLen);
        mf_.Skip(mainLen - 1);
        return;
    }
    const unsigned ps = unsigned(nowPos_) & pbMask_;
    if (cur[0] == cur[-ptrdiff_t(reps_[0]) - 1] &&
        P1(model_.isRep[state_]) + ShortRepPrice(state_, ps) + P1(model_.isMatch[state_][ps]) <
            P0(model_.isMatch[state_][ps]) + LiteralPrice(state_, nowPos_, cur, reps_[0])) {
        EncodeRep(0, 1);
        return;
    }
    EncodeLiteral();
}

template <class Finder>
uint64_t StreamEncoder<Finder>::Run() {
    uint8_t header[kHeaderSize];
    WriteHeader(header, Header{opt_.props, declared_});
    out_.Write(header, kHeaderSize);

    UpdateLenPrices(model_.matchLen, lenPrices_);
    UpdateLenPrices(model_.repLen, repLenPrices_);
    UpdateDistPrices();

    if (mf_.Avail() > 0) {
        // Nothing to refer back to yet: the first byte is always a literal.
        codePos_ = mf_.Pos();
        mf_.GetMatches(matches_);
        EncodeLiteral();
    }
    while (mf_.Avail() > 0) {
        if (nowPos_ >= nextReport_) {
            opt_.progress(nowPos_);
            nextReport_ = nowPos_ + kReportInterval;
        }
        mf_.Normalize();
        codePos_ = mf_.Pos();
        UpdatePricesIfDue();
        if (opt_.fast)
            GreedyStep();
        else
            OptimalBlock();
    }
    if (declared_ != kUnknownSize && counted_.Count() != declared_)
        throw Error("the input is shorter than the declared size");
    if (opt_.endMarker) {
        const unsigned ps = unsigned(nowPos_) & pbMask_;
        rc_.Bit(model_.isMatch[state_][ps], 1);
        rc_.Bit(model_.isRep[state_], 0);
        EncodeLen(model_.matchLen, 0, ps);
        EncodeDist(kEndMarkerDist, kMatchMinLen);
    }
    rc_.Finish();
    if (opt_.progress)
        opt_.progress(nowPos_);
    return kHeaderSize + rc_.BytesWritten();
}

} // namespace

uint64_t Encode(InStream& in, OutStream& out, const EncoderOptions& options, uint64_t declaredSize) {
    if (options.threads > 1)
        return std::make_unique<StreamEncoder<MatchThread>>(in, out, options, declaredSize)->Run();
    return std::make_unique<StreamEncoder<MatchFinder>>(in, out, options, declaredSize)->Run();
}

std::vector<uint8_t> EncodeBuffer(const uint8_t* data, size_t size, const EncoderOptions& options, bool declareSize) {
    MemoryInStream in(data, size);
    VectorOutStream out;
    Encode(in, out, options, declareSize ? uint64_t(size) : kUnknownSize);
    return std::move(out.data);
}

} // namespace lzma
