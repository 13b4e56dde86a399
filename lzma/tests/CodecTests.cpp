#include "LzmaDecoder.h"
#include "LzmaEncoder.h"
#include "MatchFinder.h"
#include "MatchThread.h"
#include "MemoryStreams.h"
#include "RangeEncoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <string>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Random(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& x : b)
        x = uint8_t(rng());
    return b;
}

// Word salad: many short repeats at varied distances, like text.
Bytes Text(size_t n, uint32_t seed) {
    static const char* words[] = {"the ", "launcher ", "unpacks ", "a ", "payload ", "into ", "temporary ",
                                  "files, ", "and ", "runs ", "it.\n", "window ", "dictionary ", "of "};
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < n) {
        const char* w = words[rng() % (sizeof(words) / sizeof(*words))];
        b.insert(b.end(), w, w + std::strlen(w));
    }
    b.resize(n);
    return b;
}

// Records with counters and repeated fields, like tables in an executable.
Bytes Records(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = (i % 16 < 4) ? uint8_t(i >> (8 * (i % 4) + 4)) : uint8_t("\x8b\x45\xfc\x89\xe5\x00\x00\x00\x55\x48\xc3\x90"[i % 12]);
    return b;
}

// Runs of one byte, of every length up to a few thousand, between stretches
// of text: like padding in an executable, and where a run ends matters.
Bytes Runs(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    const Bytes text = Text(n, seed);
    Bytes b;
    while (b.size() < n) {
        const size_t from = rng() % (n - 600);
        b.insert(b.end(), text.begin() + from, text.begin() + from + rng() % 600);
        b.insert(b.end(), rng() % 5000, uint8_t(rng() % 3 ? 0 : rng()));
    }
    b.resize(n);
    return b;
}

// Hands out data in small pieces of varying size to exercise buffer refills.
class ChunkedIn : public lzma::InStream {
public:
    ChunkedIn(const Bytes& d, uint32_t seed) : d_(d), rng_(seed) {}
    size_t Read(uint8_t* buf, size_t size) override {
        size_t n = std::min<size_t>({size, d_.size() - pos_, 1 + rng_() % 700});
        std::memcpy(buf, d_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    const Bytes& d_;
    std::mt19937 rng_;
    size_t pos_ = 0;
};

uint64_t HeaderSize(const Bytes& s) {
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i)
        v |= uint64_t(s[5 + i]) << (8 * i);
    return v;
}

void SetHeaderSize(Bytes& s, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        s[5 + i] = uint8_t(v >> (8 * i));
}

void SetDict(Bytes& s, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        s[1 + i] = uint8_t(v >> (8 * i));
}

std::string DecodeError(const Bytes& s) {
    try {
        lzma::DecodeBuffer(s.data(), s.size());
    } catch (const lzma::Error& e) {
        return e.what();
    }
    return "";
}

// ---------------------------------------------------------------- header

TEST(Header, PropertiesByteRoundTripsAndRejectsOutOfRange) {
    for (unsigned b = 0; b < 256; ++b) {
        uint8_t h[lzma::kHeaderSize] = {uint8_t(b), 0, 0, 0x80, 0, 1, 2, 3, 4, 5, 6, 7, 8};
        if (b >= 225) {
            EXPECT_THROW(lzma::ParseHeader(h), lzma::Error) << b;
            continue;
        }
        const lzma::Header p = lzma::ParseHeader(h);
        EXPECT_EQ((p.props.pb * 5 + p.props.lp) * 9 + p.props.lc, b);
        EXPECT_EQ(p.props.dictSize, 1u << 23);
        EXPECT_EQ(p.unpackSize, 0x0807060504030201ull);
        uint8_t back[lzma::kHeaderSize];
        lzma::WriteHeader(back, p);
        EXPECT_EQ(0, std::memcmp(back, h, sizeof h));
    }
}

TEST(Header, EncoderWritesDefaultsAndUnknownSizeWithMarker) {
    const Bytes d = Text(1000, 1);
    const Bytes known = lzma::EncodeBuffer(d.data(), d.size());
    EXPECT_EQ(known[0], 0x5D);
    EXPECT_EQ(known[1] | known[2] << 8 | known[3] << 16 | known[4] << 24, 1 << 23);
    EXPECT_EQ(HeaderSize(known), 1000u);
    const Bytes unknown = lzma::EncodeBuffer(d.data(), d.size(), {}, false);
    EXPECT_EQ(HeaderSize(unknown), lzma::kUnknownSize);
    lzma::DecodeResult r;
    EXPECT_EQ(lzma::DecodeBuffer(unknown.data(), unknown.size(), &r), d);
    EXPECT_TRUE(r.endMarker);
    lzma::DecodeBuffer(known.data(), known.size(), &r);
    EXPECT_FALSE(r.endMarker);
}

// ---------------------------------------------------------------- round trips

struct Case {
    const char* name;
    lzma::EncoderOptions opt;
    bool declare;
};

lzma::EncoderOptions Opt(unsigned lc, unsigned lp, unsigned pb, uint32_t dict, unsigned nice = 64, bool fast = false,
                         bool eos = false, unsigned depth = 0) {
    lzma::EncoderOptions o;
    o.props = {lc, lp, pb, dict};
    o.niceLen = nice;
    o.fast = fast;
    o.endMarker = eos;
    o.depth = depth;
    return o;
}

const Case kCases[] = {
    {"default", Opt(3, 0, 2, 1 << 23), true},
    {"eos_unknown", Opt(3, 0, 2, 1 << 23), false},
    {"eos_known", Opt(3, 0, 2, 1 << 23, 64, false, true), true},
    {"fast", Opt(3, 0, 2, 1 << 20, 32, true), true},
    {"lc0_lp2_pb0", Opt(0, 2, 0, 1 << 16), true},
    {"lc8_lp4_pb4", Opt(8, 4, 4, 1 << 16), false},
    {"small_dict", Opt(3, 0, 2, 4096), true},
    {"nice5_depth1", Opt(1, 1, 1, 1 << 18, 5, false, false, 1), true},
    {"nice273", Opt(4, 0, 2, 1 << 22, 273), true},
};

TEST(RoundTrip, AllDataKindsAndSettings) {
    const std::pair<const char*, Bytes> inputs[] = {
        {"empty", {}},
        {"one", {0x42}},
        {"zeros", Bytes(300000, 0)},
        {"random", Random(100000, 7)},
        {"text", Text(200000, 3)},
        {"records", Records(150000)},
        {"runs", Runs(300000, 4)},
        // A period longer than the small dictionary: matches must stop at the window.
        {"period", [] {
             Bytes r = Random(5000, 9), b;
             for (int i = 0; i < 20; ++i)
                 b.insert(b.end(), r.begin(), r.end());
             return b;
         }()},
    };
    for (const Case& c : kCases) {
        for (const auto& [name, d] : inputs) {
            SCOPED_TRACE(std::string(c.name) + "/" + name);
            const Bytes s = lzma::EncodeBuffer(d.data(), d.size(), c.opt, c.declare);
            lzma::EncoderOptions two = c.opt;
            two.threads = 2;
            ASSERT_EQ(lzma::EncodeBuffer(d.data(), d.size(), two, c.declare), s);
            lzma::DecodeResult r;
            ASSERT_EQ(lzma::DecodeBuffer(s.data(), s.size(), &r), d);
            EXPECT_EQ(r.endMarker, c.opt.endMarker || !c.declare);
            EXPECT_EQ(r.header.props.lc, c.opt.props.lc);
            EXPECT_EQ(r.header.props.lp, c.opt.props.lp);
            EXPECT_EQ(r.header.props.pb, c.opt.props.pb);
            EXPECT_LE(r.peakWindow, c.declare ? d.size() : std::max<size_t>(2 * d.size(), 1 << 16));
        }
    }
}

TEST(RoundTrip, CompressesRedundancyAndBarelyExpandsNoise) {
    const Bytes zeros(1 << 20, 0);
    EXPECT_LT(lzma::EncodeBuffer(zeros.data(), zeros.size()).size(), 400u);
    const Bytes noise = Random(1 << 18, 5);
    EXPECT_LT(lzma::EncodeBuffer(noise.data(), noise.size()).size(), noise.size() + noise.size() / 64 + 64);
    const Bytes text = Text(1 << 18, 5);
    EXPECT_LT(lzma::EncodeBuffer(text.data(), text.size()).size(), text.size() / 4);
}

// The match finder slides its buffer and the decoder wraps its window many
// times here; how the input arrives, and whether the matches are found in a
// second thread, must not change a single output byte.
TEST(RoundTrip, StreamingIsIndependentOfChunking) {
    Bytes d = Text(1500000, 11);
    const Bytes r = Random(300000, 12);
    d.insert(d.begin() + 700000, r.begin(), r.end());
    for (auto opt : {Opt(3, 0, 2, 1 << 16), Opt(3, 0, 2, 1 << 16, 64, true)}) {
        const Bytes whole = lzma::EncodeBuffer(d.data(), d.size(), opt);
        for (unsigned threads : {1u, 2u}) {
            opt.threads = threads;
            ChunkedIn in(d, 1);
            lzma::VectorOutStream out;
            lzma::Encode(in, out, opt, d.size());
            ASSERT_EQ(out.data, whole) << threads;
        }

        ChunkedIn cin(whole, 2);
        lzma::VectorOutStream dec;
        lzma::DecodeOptions dopt;
        dopt.inBufferSize = 1;
        dopt.initialWindow = 1;
        const lzma::DecodeResult res = lzma::Decode(cin, dec, dopt);
        ASSERT_EQ(dec.data, d);
        EXPECT_GE(res.peakWindow, size_t(1) << 16);
        EXPECT_LE(res.peakWindow, (size_t(1) << 16) + 64);
    }
}

// Runs of every short period and of lengths around the word sizes the
// decoder copies in, at both ends of a growing window and across a wrapping
// one: each copy path must give the same bytes as the simple one.
TEST(RoundTrip, MatchesOfEveryShortDistanceAndLength) {
    Bytes d;
    std::mt19937 rng(21);
    for (unsigned dist = 1; dist <= 40; ++dist) {
        for (unsigned len : {2u, 3u, 7u, 8u, 9u, 10u, 15u, 16u, 17u, 24u, 31u, 32u, 33u, 273u, 280u, 1000u}) {
            const size_t start = d.size();
            for (unsigned i = 0; i < dist; ++i)
                d.push_back(uint8_t(rng() % 4 ? rng() : 0));
            for (unsigned i = 0; i < len; ++i)
                d.push_back(d[d.size() - dist]);
            // A literal that breaks the run, so the next one starts afresh.
            d.push_back(uint8_t(d[start] ^ 0x5a));
        }
    }
    for (uint32_t dict : {1u << 20, 4096u}) {
        const Bytes s = lzma::EncodeBuffer(d.data(), d.size(), Opt(3, 0, 2, dict));
        for (size_t window : {size_t(1), size_t(4096), size_t(1) << 16}) {
            // Written out at every turn, too: partial writes between wraps.
            const size_t step = window == 4096 ? 1 : size_t(1) << 20;
            SCOPED_TRACE("dict " + std::to_string(dict) + ", first window " + std::to_string(window));
            ChunkedIn in(s, dict + unsigned(window));
            lzma::VectorOutStream out;
            lzma::DecodeOptions o;
            o.initialWindow = window;
            o.inBufferSize = 1000;
            o.writeStep = step;
            lzma::Decode(in, out, o);
            ASSERT_EQ(out.data.size(), d.size());
            ASSERT_TRUE(out.data == d) << "first difference at "
                                       << std::mismatch(d.begin(), d.end(), out.data.begin()).first - d.begin();
        }
    }
}

// A window that ends inside a match, at every offset from the match's end:
// the copies that may write past a match must never write past the window
// (the sanitizer build watches), and the bytes must still be right.
TEST(RoundTrip, WindowEndsAtEveryOffsetOfAMatch) {
    Bytes d = Text(20000, 31);
    const Bytes r = Records(8000);
    d.insert(d.begin() + 9000, r.begin(), r.end());
    const Bytes s = lzma::EncodeBuffer(d.data(), d.size(), Opt(3, 0, 2, 4096));
    for (uint32_t extra = 0; extra <= 40; ++extra) {
        Bytes t = s;
        SetDict(t, 4096 + extra); // moves where the wrapping window ends
        ASSERT_TRUE(lzma::DecodeBuffer(t.data(), t.size()) == d) << "window " << 4096 + extra;
    }
}

// ---------------------------------------------------------------- bad input

TEST(BadInput, EveryTruncationFailsWithoutOverrun) {
    const Bytes d = Text(3000, 21);
    for (bool declare : {true, false}) {
        const Bytes s = lzma::EncodeBuffer(d.data(), d.size(), {}, declare);
        for (size_t n = 0; n < s.size(); ++n) {
            Bytes t(s.begin(), s.begin() + n);
            lzma::MemoryInStream in(t.data(), t.size());
            lzma::VectorOutStream out;
            EXPECT_THROW(lzma::Decode(in, out), lzma::Error) << n;
            EXPECT_LE(out.data.size(), d.size());
        }
    }
}

TEST(BadInput, CorruptBytesNeverOverrunTheDeclaredSize) {
    const Bytes d = Records(20000);
    const Bytes s = lzma::EncodeBuffer(d.data(), d.size());
    std::mt19937 rng(3);
    int failures = 0;
    for (int i = 0; i < 3000; ++i) {
        Bytes t = s;
        const size_t at = lzma::kHeaderSize + rng() % (t.size() - lzma::kHeaderSize);
        t[at] ^= uint8_t(1 + rng() % 255);
        lzma::MemoryInStream in(t.data(), t.size());
        lzma::VectorOutStream out;
        try {
            lzma::Decode(in, out);
            EXPECT_EQ(out.data.size(), d.size());
        } catch (const lzma::Error&) {
            ++failures;
            EXPECT_LE(out.data.size(), d.size());
        }
    }
    EXPECT_GT(failures, 2000); // nearly every flip is detected one way or another
}

TEST(BadInput, SizeAndMarkerDisagreements) {
    const Bytes d = Text(5000, 4);
    Bytes plain = lzma::EncodeBuffer(d.data(), d.size());
    Bytes marked = lzma::EncodeBuffer(d.data(), d.size(), Opt(3, 0, 2, 1 << 23, 64, false, true));

    // More data than declared: an error, whether or not a marker follows.
    Bytes t = plain;
    SetHeaderSize(t, 2500);
    EXPECT_NE(DecodeError(t).find("past the declared size"), std::string::npos);
    t = marked;
    SetHeaderSize(t, 2500);
    EXPECT_NE(DecodeError(t).find("past the declared size"), std::string::npos);

    // Marker before the declared size.
    t = marked;
    SetHeaderSize(t, 6000);
    EXPECT_NE(DecodeError(t), "");
    // Unknown size but no marker: the data runs out.
    t = plain;
    SetHeaderSize(t, lzma::kUnknownSize);
    EXPECT_NE(DecodeError(t).find("truncated"), std::string::npos);
    // Declared larger than the data.
    t = plain;
    SetHeaderSize(t, 5001);
    EXPECT_NE(DecodeError(t), "");

    // Bytes after a complete stream are ignored.
    for (Bytes s : {plain, marked, lzma::EncodeBuffer(d.data(), d.size(), {}, false)}) {
        s.insert(s.end(), {1, 2, 3, 0xFF, 0});
        EXPECT_EQ(lzma::DecodeBuffer(s.data(), s.size()), d);
    }
}

TEST(BadInput, HeaderProblems) {
    const Bytes d = Text(100, 4);
    const Bytes s = lzma::EncodeBuffer(d.data(), d.size());
    EXPECT_NE(DecodeError(Bytes(s.begin(), s.begin() + 12)).find("too short"), std::string::npos);
    Bytes t = s;
    t[0] = 225;
    EXPECT_NE(DecodeError(t).find("properties"), std::string::npos);
    t = s;
    t[lzma::kHeaderSize] = 1; // the range coder's first byte is always zero
    EXPECT_NE(DecodeError(t).find("corrupt"), std::string::npos);
}

// Memory follows the data actually produced, not what the header claims.
TEST(BadInput, WindowIsBoundedByRealOutput) {
    const Bytes d = Text(10000, 8);
    Bytes s = lzma::EncodeBuffer(d.data(), d.size());
    SetDict(s, 0xFFFFFFFFu);
    lzma::DecodeResult r;
    EXPECT_EQ(lzma::DecodeBuffer(s.data(), s.size(), &r), d);
    EXPECT_EQ(r.peakWindow, d.size());

    Bytes u = lzma::EncodeBuffer(d.data(), d.size(), {}, false);
    SetDict(u, 0xFFFFFFFFu);
    EXPECT_EQ(lzma::DecodeBuffer(u.data(), u.size(), &r), d);
    EXPECT_LE(r.peakWindow, size_t(1) << 16);

    SetHeaderSize(s, uint64_t(1) << 60);
    lzma::MemoryInStream in(s.data(), s.size());
    lzma::VectorOutStream out;
    EXPECT_THROW(lzma::Decode(in, out), lzma::Error);
}

// Streams no encoder of ours would write, built bit by bit.
Bytes Craft(uint64_t size, const std::function<void(lzma::detail::RangeEncoder&, lzma::detail::Model&, lzma::detail::Prob*)>& body) {
    using namespace lzma::detail;
    lzma::VectorOutStream out;
    uint8_t h[lzma::kHeaderSize];
    lzma::WriteHeader(h, lzma::Header{lzma::Properties{}, size});
    out.Write(h, sizeof h);
    RangeEncoder rc(out);
    Model m;
    m.Reset();
    std::vector<Prob> lit(LiteralProbCount(lzma::Properties{}), Prob(1024));
    body(rc, m, lit.data());
    rc.Finish();
    return out.data;
}

TEST(BadInput, ReferencesBeforeTheStartAreRejected) {
    using namespace lzma::detail;
    // A match as the very first symbol.
    const Bytes match = Craft(10, [](RangeEncoder& rc, Model& m, Prob*) {
        rc.Bit(m.isMatch[0][0], 1);
        rc.Bit(m.isRep[0], 0);
        rc.Bit(m.matchLen.choice, 0);
        rc.Tree<3>(m.matchLen.low[0], 0);
        rc.Tree<6>(m.posSlot[0], 0);
    });
    EXPECT_NE(DecodeError(match).find("corrupt"), std::string::npos);
    // A rep match as the very first symbol.
    const Bytes rep = Craft(10, [](RangeEncoder& rc, Model& m, Prob*) {
        rc.Bit(m.isMatch[0][0], 1);
        rc.Bit(m.isRep[0], 1);
    });
    EXPECT_NE(DecodeError(rep).find("corrupt"), std::string::npos);
    // One literal, then a match three bytes back.
    const Bytes far = Craft(10, [](RangeEncoder& rc, Model& m, Prob* lit) {
        rc.Bit(m.isMatch[0][0], 0);
        rc.Tree<8>(lit, 'a');
        rc.Bit(m.isMatch[0][1], 1);
        rc.Bit(m.isRep[0], 0);
        rc.Bit(m.matchLen.choice, 0);
        rc.Tree<3>(m.matchLen.low[1], 0);
        rc.Tree<6>(m.posSlot[0], 2);
    });
    EXPECT_NE(DecodeError(far).find("corrupt"), std::string::npos);
    // The same literal followed by a match one byte back is fine.
    const Bytes ok = Craft(3, [](RangeEncoder& rc, Model& m, Prob* lit) {
        rc.Bit(m.isMatch[0][0], 0);
        rc.Tree<8>(lit, 'a');
        rc.Bit(m.isMatch[0][1], 1);
        rc.Bit(m.isRep[0], 0);
        rc.Bit(m.matchLen.choice, 0);
        rc.Tree<3>(m.matchLen.low[1], 0);
        rc.Tree<6>(m.posSlot[0], 0);
    });
    EXPECT_EQ(lzma::DecodeBuffer(ok.data(), ok.size()), (Bytes{'a', 'a', 'a'}));
}

// Rebasing the 32-bit positions (every ~3.5 GiB of input) must not change
// what the finder reports, nor what the finder in a thread of its own hands
// over, whose positions for the coder wrap around instead.
TEST(Encoder, MatchFinderRebaseKeepsResults) {
    using lzma::detail::Match;
    using lzma::detail::MatchFinder;
    using lzma::detail::MatchThread;
    const Bytes d = Runs(400000, 6);
    lzma::MemoryInStream a(d.data(), d.size()), b(d.data(), d.size()), c(d.data(), d.size());
    MatchFinder plain(a, 1 << 16, 32, 0, d.size());
    MatchFinder shifted(b, 1 << 16, 32, 0, d.size(), 0xE0000000u - 100000);
    MatchThread threaded(c, 1 << 16, 32, 0, d.size(), 0xFFFFFFFFu - 100000);
    Match ma[MatchFinder::kMaxMatches], mb[MatchFinder::kMaxMatches], mc[MatchFinder::kMaxMatches];
    bool rebased = false;
    for (size_t i = 0; i < d.size(); ++i) {
        const uint32_t before = shifted.Pos();
        shifted.Normalize();
        rebased |= shifted.Pos() != before;
        ASSERT_EQ(plain.Avail(), shifted.Avail());
        ASSERT_EQ(std::min(plain.Avail(), MatchFinder::kLookahead), std::min(threaded.Avail(), MatchFinder::kLookahead));
        ASSERT_EQ(plain.Data(plain.Pos())[0], threaded.Data(threaded.Pos())[0]) << i;
        if (i >= 65000)
            ASSERT_EQ(plain.Data(plain.Pos() - 65000)[0], threaded.Data(threaded.Pos() - 65000)[0]) << i;
        const unsigned na = plain.GetMatches(ma), nb = shifted.GetMatches(mb), nc = threaded.GetMatches(mc);
        ASSERT_EQ(na, nb) << i;
        ASSERT_EQ(na, nc) << i;
        for (unsigned k = 0; k < na; ++k) {
            ASSERT_EQ(ma[k].len, mb[k].len) << i;
            ASSERT_EQ(ma[k].dist, mb[k].dist) << i;
            ASSERT_EQ(ma[k].len, mc[k].len) << i;
            ASSERT_EQ(ma[k].dist, mc[k].dist) << i;
        }
        if (i % 1000 == 0) {
            plain.Skip(7);
            shifted.Skip(7);
            threaded.Skip(7);
            i += 7;
        }
    }
    EXPECT_TRUE(rebased);
    EXPECT_EQ(threaded.Avail(), 0u);
}

TEST(Encoder, InputMustMatchTheDeclaredSize) {
    const Bytes d = Text(1000, 2);
    for (uint64_t declared : {999ull, 1001ull, 0ull}) {
        lzma::MemoryInStream in(d.data(), d.size());
        lzma::VectorOutStream out;
        EXPECT_THROW(lzma::Encode(in, out, {}, declared), lzma::Error) << declared;
    }
}

// A real executable (this test), with a window that moves every 64 KiB:
// both encoders give the same bytes and report the same progress. A failure
// on either side of the second thread, or a stop asked for by the progress
// callback, ends the encoding with that failure and leaves no thread behind.
TEST(Encoder, SecondThreadOnARealExecutableAndWhenStopped) {
    constexpr size_t kSize = 1500000;
    Bytes own(kSize);
    {
        FILE* f = std::fopen("/proc/self/exe", "rb");
        ASSERT_TRUE(f);
        own.resize(std::fread(own.data(), 1, own.size(), f));
        std::fclose(f);
    }
    ASSERT_GT(own.size(), 100000u);
    // How large this program is depends on the build: repeated up to a size
    // that every stop and failure below falls within.
    Bytes exe;
    while (exe.size() < kSize)
        exe.insert(exe.end(), own.begin(), own.begin() + std::min(own.size(), kSize - exe.size()));
    std::vector<uint64_t> reported[2];
    Bytes streams[2];
    for (unsigned threads : {1u, 2u}) {
        lzma::EncoderOptions o = Opt(3, 0, 2, 1 << 18);
        o.threads = threads;
        o.progress = [&](uint64_t done) { reported[threads - 1].push_back(done); };
        streams[threads - 1] = lzma::EncodeBuffer(exe.data(), exe.size(), o);
    }
    ASSERT_EQ(streams[0], streams[1]);
    EXPECT_EQ(reported[0], reported[1]);
    EXPECT_GT(reported[1].size(), 4u);
    EXPECT_TRUE(std::is_sorted(reported[1].begin(), reported[1].end()));
    EXPECT_EQ(reported[1].back(), exe.size());

    struct Stop {};
    lzma::EncoderOptions o = Opt(3, 0, 2, 1 << 18);
    o.threads = 2;
    o.progress = [](uint64_t done) {
        if (done > 300000)
            throw Stop{};
    };
    EXPECT_THROW(lzma::EncodeBuffer(exe.data(), exe.size(), o), Stop);

    class FailingIn : public lzma::InStream {
    public:
        explicit FailingIn(const Bytes& d) : in_(d.data(), d.size()) {}
        size_t Read(uint8_t* buf, size_t size) override {
            if (read_ > 400000)
                throw lzma::Error("cannot read the disk");
            const size_t n = in_.Read(buf, std::min<size_t>(size, 1000));
            read_ += n;
            return n;
        }

    private:
        lzma::MemoryInStream in_;
        size_t read_ = 0;
    };
    class FailingOut : public lzma::OutStream {
    public:
        void Write(const uint8_t*, size_t size) override {
            if ((written_ += size) > 20000)
                throw lzma::Error("the disk is full");
        }

    private:
        size_t written_ = 0;
    };
    o.progress = nullptr;
    for (bool failIn : {true, false}) {
        FailingIn failing(exe);
        lzma::MemoryInStream whole(exe.data(), exe.size());
        FailingOut full;
        lzma::VectorOutStream out;
        try {
            lzma::Encode(failIn ? static_cast<lzma::InStream&>(failing) : whole,
                         failIn ? static_cast<lzma::OutStream&>(out) : full, o, exe.size());
            ADD_FAILURE() << "no failure";
        } catch (const lzma::Error& e) {
            EXPECT_STREQ(e.what(), failIn ? "cannot read the disk" : "the disk is full");
        }
    }
}

} // namespace
