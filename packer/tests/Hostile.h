#pragma once

// Crafted stubs and icons that once cost the packer unbounded memory or time,
// or gave a broken launcher: each must be refused. Also the fuzzers' seeds.

#include "TestImage.h"

namespace sparlin::pack::test {

struct Hostile {
    const char* what;
    Bytes stub, icon; // icon empty: none
};

inline std::vector<Hostile> HostileInputs() {
    std::vector<Hostile> all;
    const Bytes good = StubImage();
    constexpr size_t opt = 0x98, dirs = opt + 96, text = opt + 224, rsrc = text + 40;
    constexpr uint32_t kHigh = 0x80000000u, kMany = 0xFFFF;
    auto edited = [&](const char* what, std::initializer_list<std::pair<size_t, uint32_t>> fields) {
        Bytes b = good;
        for (auto [at, v] : fields)
            Put32(b, at, v);
        all.push_back({what, std::move(b), {}});
    };

    // 131,070 leaves sharing one empty data entry, each under two 65,535-character names.
    {
        const size_t langDir = 16 + 8 * size_t(kMany);
        Bytes r(56 + 2 * langDir + 16, 0);
        const uint32_t data = uint32_t(r.size() - 16), name = uint32_t(r.size());
        Append16(r, kMany);
        r.resize(r.size() + 2 * size_t(kMany), 'A');
        Put16(r, 12, 1), Put32(r, 16, kHigh | name), Put32(r, 20, kHigh | 24);
        Put16(r, 24 + 12, 2);
        for (uint32_t k = 0; k < 2; ++k) {
            const uint32_t lang = uint32_t(56 + k * langDir);
            Put32(r, 24 + 16 + 8 * k, kHigh | name), Put32(r, 24 + 20 + 8 * k, kHigh | lang);
            Put16(r, lang + 14, kMany);
            for (uint32_t i = 0; i < kMany; ++i)
                Put32(r, lang + 16 + 8 * i, i), Put32(r, lang + 20 + 8 * i, data);
        }
        Put32(r, data, 0x2000);
        all.push_back({"leaves that each copy two long names", StubWithSection(r), {}});
    }
    // The resources' raw data starts inside the headers.
    {
        const Bytes f = StubImage(StubResources(), false);
        Bytes b(f.begin(), f.begin() + 0x200);
        b.insert(b.end(), f.begin() + 0x600, f.end());
        Put32(b, text + 16, 0), Put32(b, text + 20, 0), Put32(b, rsrc + 20, 0x200);
        all.push_back({"headers inside the resources' raw data", std::move(b), {}});
    }
    edited("FileAlignment 2^31", {{opt + 32, kHigh}, {opt + 36, kHigh}});
    edited("FileAlignment above SectionAlignment", {{opt + 32, 0x200}, {opt + 36, 0x1000}});
    edited("SizeOfHeaders inside the section table", {{opt + 60, 0x100}});
    edited("an empty TLS directory after the resources", {{dirs + 8 * 9, 0x3000}});
    edited("a debug entry whose data lies in the resources",
           {{dirs + 8 * 6, 0x1150}, {dirs + 8 * 6 + 4, 28}, {0x550 + 16, 16}, {0x550 + 24, 0x700}});

    // 65,535 entries naming one 1 MiB image.
    Bytes ico = {0, 0, 1, 0, 0xFF, 0xFF};
    const uint32_t image = 6 + 16 * kMany;
    for (uint32_t i = 0; i < kMany; ++i) {
        ico.insert(ico.end(), {16, 16, 0, 0, 1, 0, 32, 0});
        Append32(ico, 1 << 20);
        Append32(ico, image);
    }
    ico.resize(image + (1 << 20), 0);
    Put32(ico, image, 40);
    all.push_back({"icon entries sharing one image", good, std::move(ico)});
    return all;
}

} // namespace sparlin::pack::test
