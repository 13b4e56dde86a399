#pragma once

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace lzma {

// Every failure of the codec: bad input, an unsupported header, a sink that
// refused data. The text is meant for the user.
class Error : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Byte source. Read returns 0 only at the end of the data; it may return
// fewer bytes than asked for at any time.
class InStream {
public:
    virtual ~InStream() = default;
    virtual size_t Read(uint8_t* buf, size_t size) = 0;
};

class OutStream {
public:
    virtual ~OutStream() = default;
    virtual void Write(const uint8_t* buf, size_t size) = 0;
};

struct Properties {
    unsigned lc = 3;
    unsigned lp = 0;
    unsigned pb = 2;
    uint32_t dictSize = 1u << 23;
};

constexpr uint64_t kUnknownSize = ~uint64_t(0);
constexpr size_t kHeaderSize = 13;
constexpr unsigned kMaxLc = 8, kMaxLp = 4, kMaxPb = 4;

struct Header {
    Properties props;
    uint64_t unpackSize = kUnknownSize;
};

void WriteHeader(uint8_t out[kHeaderSize], const Header& header);
// Throws Error for a properties byte outside the format's range.
Header ParseHeader(const uint8_t in[kHeaderSize]);
bool ValidProperties(const Properties& props);

namespace detail {

#if defined(__linux__)
// Zeroed memory at a 2 MiB boundary, offered transparent huge pages: lookups
// anywhere in tens of MB then rarely miss the TLB, and a growing buffer takes
// a fault per 2 MiB instead of per 4 KiB. Pages cost memory only once
// written. Returns nullptr if the mapping fails; release with UnmapLarge.
uint8_t* MapLarge(size_t bytes, bool noReserve);
void UnmapLarge(uint8_t* p, size_t bytes);
#endif

constexpr unsigned kNumStates = 12;
constexpr unsigned kPosStatesMax = 1u << kMaxPb;
constexpr unsigned kLenToPosStates = 4;
constexpr unsigned kPosSlotBits = 6;
constexpr unsigned kStartPosModel = 4;
constexpr unsigned kEndPosModel = 14;
constexpr unsigned kFullDistances = 1u << (kEndPosModel >> 1);
constexpr unsigned kAlignBits = 4;
constexpr unsigned kAlignSize = 1u << kAlignBits;
constexpr unsigned kMatchMinLen = 2;
constexpr unsigned kMatchMaxLen = 273;
constexpr unsigned kLenSymbols = kMatchMaxLen - kMatchMinLen + 1;
constexpr unsigned kProbBits = 11;
constexpr unsigned kProbOne = 1u << kProbBits;
constexpr unsigned kMoveBits = 5;
constexpr uint32_t kTopValue = 1u << 24;
constexpr uint32_t kEndMarkerDist = 0xFFFFFFFFu;
constexpr unsigned kLiteralCoderSize = 0x300;

using Prob = uint16_t;

struct LenModel {
    Prob choice;
    Prob choice2;
    Prob low[kPosStatesMax][8];
    Prob mid[kPosStatesMax][8];
    Prob high[256];
};

// All adaptive probabilities except the literal coders, whose count depends
// on lc and lp and which therefore live in a separate array.
struct Model {
    Prob isMatch[kNumStates][kPosStatesMax];
    Prob isRep[kNumStates];
    Prob isRepG0[kNumStates];
    Prob isRepG1[kNumStates];
    Prob isRepG2[kNumStates];
    Prob isRep0Long[kNumStates][kPosStatesMax];
    Prob posSlot[kLenToPosStates][1u << kPosSlotBits];
    Prob posSpecial[1 + kFullDistances - kEndPosModel];
    Prob align[kAlignSize];
    LenModel matchLen;
    LenModel repLen;

    void Reset();
};

inline size_t LiteralProbCount(const Properties& p) { return size_t(kLiteralCoderSize) << (p.lc + p.lp); }

inline unsigned NextAfterLiteral(unsigned s) {
    // A table, not comparisons: the decoder calls this for every literal.
    static constexpr uint8_t kNext[kNumStates] = {0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 4, 5};
    return kNext[s];
}
inline unsigned NextAfterMatch(unsigned s) { return s < 7 ? 7 : 10; }
inline unsigned NextAfterRep(unsigned s) { return s < 7 ? 8 : 11; }
inline unsigned NextAfterShortRep(unsigned s) { return s < 7 ? 9 : 11; }
inline bool IsLiteralState(unsigned s) { return s < 7; }

inline unsigned LenToPosState(unsigned len) {
    return len < kLenToPosStates + kMatchMinLen ? len - kMatchMinLen : kLenToPosStates - 1;
}

inline unsigned PosSlot(uint32_t dist) {
    if (dist < 4)
        return dist;
    unsigned top = 31u - unsigned(__builtin_clz(dist));
    return (top << 1) | ((dist >> (top - 1)) & 1u);
}

} // namespace detail
} // namespace lzma
