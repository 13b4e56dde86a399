#pragma once

// A small launcher stub built in memory: what the linker makes, cut down to
// the parts the packer reads and moves.

#include "Pe.h"
#include "Resources.h"

namespace sparlin::pack::test {

inline Bytes StringBlock(std::vector<std::pair<unsigned, std::u16string>> texts) {
    Bytes b;
    for (unsigned i = 0; i < 16; ++i) {
        std::u16string t;
        for (auto& [index, text] : texts)
            if (index == i)
                t = text;
        Append16(b, uint32_t(t.size()));
        for (char16_t c : t)
            Append16(b, c);
    }
    return b;
}

inline std::vector<Resource> StubResources() {
    Bytes group = {0, 0, 1, 0, 1, 0, 16, 16, 0, 0, 1, 0, 32, 0, 4, 0, 0, 0, 7, 0};
    return {
        {ResourceId::Name("EXE"), ResourceId::Name("LZMA"), 0x409, Bytes{'M', 'Z', 1, 2, 3}},
        {ResourceId::Name("SHA256"), ResourceId::Name("LZMA"), 0x409, Bytes(64, 'a')},
        {ResourceId::Number(kRtIcon), ResourceId::Number(7), 0x409, Bytes{1, 2, 3, 4}},
        {ResourceId::Number(kRtGroupIcon), ResourceId::Number(101), 0x409, group},
        {ResourceId::Number(kRtString), ResourceId::Number(7), 0x409,
         StringBlock({{7, u"Unknown exception"}, {14, u"updates.example"}, {15, u"www.example"}})},
        {ResourceId::Number(16), ResourceId::Number(1), 0x409, Bytes(92, 0x56)},
    };
}

// .text, .rsrc holding `rsrc` at 0x2000, and .reloc, with 0x200 file and 0x1000 section alignment.
inline Bytes StubWithSection(const Bytes& rsrc, bool withReloc = true) {
    const unsigned sections = withReloc ? 3 : 2;
    Bytes f(0x400, 0);
    f[0] = 'M', f[1] = 'Z';
    Put32(f, 0x3C, 0x80);
    Put32(f, 0x80, 0x4550);
    Put16(f, 0x84, kMachineI386);
    Put16(f, 0x86, sections);
    Put16(f, 0x94, 224);
    Put16(f, 0x96, 0x0102);
    const size_t opt = 0x98;
    Put16(f, opt, 0x10B);
    Put32(f, opt + 8, 0x1234);  // SizeOfInitializedData
    Put32(f, opt + 28, 0x400000);
    Put32(f, opt + 32, 0x1000);
    Put32(f, opt + 36, 0x200);
    Put32(f, opt + 60, 0x400);
    Put16(f, opt + 68, 2);
    Put32(f, opt + 92, 16);
    auto section = [&](unsigned i, const char* name, uint32_t vsize, uint32_t va, uint32_t raw, uint32_t ptr) {
        const size_t at = opt + 224 + 40 * i;
        for (unsigned c = 0; name[c]; ++c)
            f[at + c] = uint8_t(name[c]);
        Put32(f, at + 8, vsize), Put32(f, at + 12, va), Put32(f, at + 16, raw), Put32(f, at + 20, ptr);
    };
    Bytes text(0x200);
    for (size_t i = 0; i < text.size(); ++i)
        text[i] = uint8_t(i * 7);
    section(0, ".text", 0x180, 0x1000, 0x200, 0x400);
    f.insert(f.end(), text.begin(), text.end());
    const uint32_t rsrcRaw = uint32_t(AlignUp(rsrc.size(), 0x200));
    section(1, ".rsrc", uint32_t(rsrc.size()), 0x2000, rsrcRaw, 0x600);
    f.insert(f.end(), rsrc.begin(), rsrc.end());
    f.resize(0x600 + rsrcRaw, 0);
    Put32(f, opt + 96 + 8 * kDirResource, 0x2000);
    Put32(f, opt + 96 + 8 * kDirResource + 4, uint32_t(rsrc.size()));
    uint32_t end = uint32_t(AlignUp(0x2000 + rsrc.size(), 0x1000));
    Put32(f, opt + 96 + 8, 0x1100), Put32(f, opt + 96 + 12, 0x40); // imports inside .text
    if (withReloc) {
        section(2, ".reloc", 0x10, end, 0x200, uint32_t(f.size()));
        Put32(f, opt + 96 + 8 * kDirReloc, end);
        Put32(f, opt + 96 + 8 * kDirReloc + 4, 0x10);
        for (unsigned i = 0; i < 0x200; ++i)
            f.push_back(uint8_t(0xC0 + i % 16));
        end += 0x1000;
    }
    Put32(f, opt + 56, end);
    Put32(f, opt + 64, PeCheckSum(f));
    return f;
}

inline Bytes StubImage(std::vector<Resource> resources = StubResources(), bool withReloc = true) {
    return StubWithSection(BuildResourceSection(resources, 0x2000), withReloc);
}

} // namespace sparlin::pack::test
