// The packer against what Windows' loader and the signing tools expect.

#include "Compress.h"
#include "Digest.h"
#include "Hostile.h"
#include "Icon.h"
#include "Inspect.h"
#include "LzmaEncoder.h"
#include "Pack.h"
#include "TestImage.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <random>

using namespace sparlin::pack;
using namespace sparlin::pack::test;

// Every allocation is counted, so that a hostile input's appetite fails a
// test instead of swapping the machine out. Encoders allocate on threads of
// their own, and the library frees with plain delete what it got from the
// nothrow form, so every form goes through here.
static std::atomic<size_t> gLive{0};
static size_t gCap = SIZE_MAX;
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    if (n > gCap - std::min(gCap, gLive.load()))
        return nullptr;
    auto* p = static_cast<size_t*>(std::malloc(n + 16));
    if (!p)
        return nullptr;
    *p = n;
    gLive += n;
    return p + 2;
}
void* operator new(size_t n) {
    if (void* p = operator new(n, std::nothrow))
        return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return operator new(n, std::nothrow); }
void operator delete(void* p) noexcept {
    if (p) {
        size_t* h = static_cast<size_t*>(p) - 2;
        gLive -= *h;
        std::free(h);
    }
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { operator delete(p); }
void operator delete[](void* p) noexcept { operator delete(p); }
void operator delete[](void* p, size_t) noexcept { operator delete(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { operator delete(p); }

namespace {

PackRequest Request(Bytes stub = StubImage()) {
    PackRequest r;
    r.stub = std::move(stub);
    for (const EntryKind& k : kEntries)
        r.payloads.push_back({k.entry, Bytes(3000 + k.machine % 7, uint8_t(k.entry[0])), std::string(64, 'c')});
    return r;
}

// The loader's lookup: a binary search per level, names by UTF-16 code unit
// before numbers. An unsorted tree finds some entries and misses others.
const uint8_t* Lookup(const Bytes& f, const PeImage& img, const std::vector<ResourceId>& path, uint32_t& size) {
    const size_t root = img.Offset(img.dirs[kDirResource].rva, 16, "root");
    size_t dir = root;
    for (size_t level = 0; level < 3; ++level) {
        const unsigned named = Get16(f, dir + 12, "dir"), ids = Get16(f, dir + 14, "dir");
        const ResourceId& want = path[level];
        int lo = want.name.empty() ? int(named) : 0, hi = want.name.empty() ? int(named + ids) - 1 : int(named) - 1;
        uint32_t target = 0;
        bool found = false;
        while (lo <= hi && !found) {
            const int mid = (lo + hi) / 2;
            const uint32_t key = Get32(f, dir + 16 + 8 * size_t(mid), "entry");
            int cmp;
            if (want.name.empty()) {
                cmp = int(want.id) - int(key);
            } else {
                const size_t s = root + (key & 0x7FFFFFFF);
                std::u16string name;
                for (unsigned c = 0; c < Get16(f, s, "name"); ++c)
                    name += char16_t(Get16(f, s + 2 + 2 * c, "name"));
                cmp = want.name.compare(name);
            }
            if (cmp == 0)
                found = true, target = Get32(f, dir + 16 + 8 * size_t(mid) + 4, "entry");
            else if (cmp < 0)
                hi = mid - 1;
            else
                lo = mid + 1;
        }
        if (!found)
            return nullptr;
        dir = root + (target & 0x7FFFFFFF);
    }
    size = Get32(f, dir + 4, "data");
    return f.data() + img.Offset(Get32(f, dir, "data"), size, "data");
}

uint32_t Field(const Bytes& f, const PeImage& img, size_t offset) { return Get32(f, img.optionalOffset + offset, "f"); }

TEST(Pack, ImageHeadersAndTreeAreWhatTheLoaderExpects) {
    const Bytes stub = StubImage();
    const PeImage before = ParsePe(stub.data(), stub.size());
    PackRequest request = Request();
    request.updateHost = "updates.vendor.example";
    request.downloadHost = "https://www.vendor.example:8443";
    const Bytes out = Pack(request);
    const PeImage img = ParsePe(out.data(), out.size());

    ASSERT_EQ(img.sections.size(), 3u);
    const Section &rsrc = img.sections[1], &reloc = img.sections[2];
    EXPECT_EQ(rsrc.virtualAddress, 0x2000u);
    EXPECT_EQ(img.dirs[kDirResource].rva, rsrc.virtualAddress);
    EXPECT_EQ(img.dirs[kDirResource].size, rsrc.virtualSize);
    EXPECT_EQ(rsrc.rawSize % 0x200, 0u);
    EXPECT_EQ(reloc.virtualAddress, AlignUp(rsrc.virtualAddress + rsrc.virtualSize, 0x1000));
    EXPECT_EQ(reloc.rawPointer, rsrc.rawPointer + rsrc.rawSize);
    EXPECT_EQ(img.dirs[kDirReloc].rva, reloc.virtualAddress);
    EXPECT_EQ(out.size(), size_t(reloc.rawPointer) + reloc.rawSize);
    EXPECT_EQ(Field(out, img, 56), AlignUp(reloc.virtualAddress + reloc.virtualSize, 0x1000)); // SizeOfImage
    EXPECT_EQ(Field(out, img, 8), 0x1234u + rsrc.rawSize - before.sections[1].rawSize);       // initialized data
    // Relocations and code move or stay, but never change.
    EXPECT_TRUE(std::equal(out.begin() + reloc.rawPointer, out.end(), stub.end() - 0x200));
    EXPECT_TRUE(std::equal(out.begin() + 0x400, out.begin() + 0x600, stub.begin() + 0x400));
    Bytes zeroed = out;
    Put32(zeroed, img.CheckSumOffset(), 0);
    EXPECT_EQ(Field(out, img, 64), PeCheckSum(zeroed));

    for (const Resource& r : ReadResources(out.data(), out.size(), img)) {
        uint32_t size = 0;
        const uint8_t* data = Lookup(out, img, {r.type, r.name, ResourceId::Number(r.language)}, size);
        ASSERT_NE(data, nullptr) << "a resource the loader would not find";
        EXPECT_EQ(Bytes(data, data + size), r.data);
    }
    uint32_t size = 0;
    const uint8_t* gui = Lookup(out, img, {ResourceId::Name("BIN64"), ResourceId::Name("GUI"), ResourceId::Number(0x409)}, size);
    ASSERT_NE(gui, nullptr);
    EXPECT_EQ(Bytes(gui, gui + size), request.payloads[2].compressed);
    const uint8_t* digest = Lookup(out, img, {ResourceId::Name("SHA256"), ResourceId::Name("HTMLAYOUT32"), ResourceId::Number(0x409)}, size);
    ASSERT_NE(digest, nullptr);
    EXPECT_EQ(std::string(digest, digest + size), std::string(64, 'c'));
    const uint8_t* strings = Lookup(out, img, {ResourceId::Number(kRtString), ResourceId::Number(7), ResourceId::Number(0x409)}, size);
    ASSERT_NE(strings, nullptr);
    EXPECT_EQ(Bytes(strings, strings + size),
              StringBlock({{7, u"Unknown exception"}, {14, u"updates.vendor.example"}, {15, u"https://www.vendor.example:8443"}}));
}

TEST(Pack, RepackingAndStrippingGiveTheBytesOfPackingTheStub) {
    const Bytes once = Pack(Request());
    EXPECT_EQ(Pack(Request(once)), once);
    PackRequest other = Request(once);
    other.payloads.pop_back();
    EXPECT_NE(Pack(other), once);

    // Signed: refused unless asked to strip; stripped, the same as never signed.
    Bytes signedStub = StubImage();
    const PeImage img = ParsePe(signedStub.data(), signedStub.size());
    Put32(signedStub, img.DirOffset(kDirSecurity), uint32_t(signedStub.size()));
    Put32(signedStub, img.DirOffset(kDirSecurity) + 4, 0x18);
    signedStub.resize(signedStub.size() + 0x18, 0x5A);
    try {
        Pack(Request(signedStub));
        FAIL() << "a signed stub was packed";
    } catch (const Error& e) {
        EXPECT_NE(std::string(e.what()).find("after packing"), std::string::npos) << e.what();
    }
    PackRequest strip = Request(signedStub);
    strip.stripSignature = true;
    EXPECT_EQ(Pack(strip), once);

    // The stub without relocations: the resources are simply last.
    const Bytes noReloc = Pack(Request(StubImage(StubResources(), false)));
    EXPECT_EQ(ParsePe(noReloc.data(), noReloc.size()).sections.size(), 2u);
}

TEST(Pack, RefusesStubsItCannotPackSoundly) {
    auto refused = [](Bytes stub, const char* why) {
        EXPECT_THROW(Pack(Request(std::move(stub))), Error) << why;
    };
    Bytes overlay = StubImage();
    overlay.resize(overlay.size() + 16, 1);
    refused(overlay, "data appended after the sections");
    auto resources = StubResources();
    resources.erase(resources.begin()); // no tool
    refused(StubImage(resources), "not a launcher");
    Bytes dll = StubImage();
    Put16(dll, 0x96, 0x2102);
    refused(dll, "a DLL");
    Bytes moved = StubImage();
    Put32(moved, 0x98 + 96 + 8 * 6, 0x2010), Put32(moved, 0x98 + 96 + 8 * 6 + 4, 0x1C); // debug data in .rsrc
    refused(moved, "a directory inside the bytes that move");
    // Cut anywhere: an error, never a crash (the sanitizer build watches).
    const Bytes whole = StubImage();
    for (size_t cut = 0; cut < whole.size(); cut += 61)
        refused(Bytes(whole.begin(), whole.begin() + cut), "truncated");
}

TEST(Pack, RefusesHostileStubsAndIconsInBoundedMemory) {
    for (const Hostile& h : HostileInputs()) {
        PackRequest r = Request(h.stub);
        if (!h.icon.empty())
            r.icon = h.icon;
        const size_t inputs = r.stub.size() + h.icon.size() + 4 * 3000;
        gCap = gLive + 8 * inputs + (1 << 20);
        try {
            Pack(r);
            ADD_FAILURE() << h.what << ": packed";
        } catch (const Error&) {
        } catch (const std::bad_alloc&) {
            ADD_FAILURE() << h.what << ": more than 8 times the inputs' memory";
        }
        gCap = SIZE_MAX;
    }

    // Every icon identifier taken: more entries than a table counts, and no free one.
    std::vector<Resource> all = StubResources();
    all[3].data = {0, 0, 1, 0, 0, 0};
    for (uint32_t id = 0; id <= 0xFFFF; ++id)
        if (id != 7)
            all.push_back({ResourceId::Number(kRtIcon), ResourceId::Number(uint16_t(id)), 0x409, Bytes(1)});
    std::vector<Resource> copy = all;
    ASSERT_THROW(BuildResourceSection(copy, 0x2000), Error);
    IconImage img{16, 16, 0, 1, 32, Bytes(40)};
    EXPECT_THROW(ReplaceIconGroup(all, 101, {img}), Error);
}

TEST(Icon, ReplacesTheGroupsImagesOnly) {
    Bytes ico = {0, 0, 1, 0, 2, 0};
    Bytes dib(40 + 16, 0), png(48, 0);
    Put32(dib, 0, 40), Put16(dib, 12, 1), Put16(dib, 14, 32);
    const uint8_t pngHead[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    std::copy(std::begin(pngHead), std::end(pngHead), png.begin());
    png[24] = 8, png[25] = 6;
    auto entry = [&](uint8_t w, const Bytes& img, uint32_t offset) {
        ico.insert(ico.end(), {w, w, 0, 0, 0, 0, 0, 0});
        Append32(ico, uint32_t(img.size()));
        Append32(ico, offset);
    };
    entry(16, dib, 38);
    entry(0, png, 38 + 56);
    ico.insert(ico.end(), dib.begin(), dib.end());
    ico.insert(ico.end(), png.begin(), png.end());

    PackRequest request = Request();
    request.icon = ico;
    const Bytes out = Pack(request);
    const PeImage img = ParsePe(out.data(), out.size());
    std::vector<Resource> icons;
    Bytes group;
    for (Resource& r : ReadResources(out.data(), out.size(), img)) {
        if (r.type == ResourceId::Number(kRtIcon))
            icons.push_back(r);
        if (r.type == ResourceId::Number(kRtGroupIcon))
            group = r.data;
    }
    ASSERT_EQ(icons.size(), 2u) << "the old image stays";
    EXPECT_EQ(icons[0].data, dib);
    EXPECT_EQ(icons[1].data, png);
    ASSERT_EQ(group.size(), 6u + 2 * 14);
    EXPECT_EQ(Get16(group, 4, "g"), 2u);
    EXPECT_EQ(group[6 + 14], 0) << "256 pixels stays 0";
    EXPECT_EQ(Get16(group, 6 + 14 + 6, "g"), 32u) << "bit count from the PNG header";
    EXPECT_EQ(Get16(group, 6 + 4, "g"), 1u) << "planes from the bitmap header";
    EXPECT_EQ(Get32(group, 6 + 8, "g"), dib.size());
    EXPECT_EQ(Get16(group, 6 + 12, "g"), icons[0].name.id);

    Bytes bad = ico;
    Put32(bad, 6 + 16 + 12, uint32_t(ico.size() - 10));
    request.icon = bad;
    EXPECT_THROW(Pack(request), Error);
    request.icon = Bytes{0, 0, 2, 0, 1, 0}; // a cursor
    EXPECT_THROW(Pack(request), Error);
}

TEST(Hosts, TheBuildsRules) {
    for (const char* good : {"updates.example.com", "127.0.0.1", "a-b"})
        EXPECT_NO_THROW(CheckUpdateHost(good)) << good;
    for (const char* bad : {"", "host:80", "http://host", "a b", "h\xC3\xA9", "x/y", "a\"b"})
        EXPECT_THROW(CheckUpdateHost(bad), Error) << bad;
    for (const char* good : {"www.example.com", "HTTPS://h:8443", "http://h", "h:1"})
        EXPECT_NO_THROW(CheckDownloadHost(good)) << good;
    for (const char* bad : {"", "ftp://h", "https://", "h:", "h:8a", "h/path", "https://h:1:2"})
        EXPECT_THROW(CheckDownloadHost(bad), Error) << bad;
    EXPECT_THROW(CheckUpdateHost(std::string(256, 'a')), Error);
}

TEST(Payload, CompressesAsTheToolDoesAndChecksTheMachine) {
    EXPECT_EQ(Sha256Hex("abc", 3), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    std::string million(1000000, 'a');
    EXPECT_EQ(Sha256Hex(million.data(), million.size()), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");

    const Bytes image = StubImage(); // an i386 program
    const std::string path = ::testing::TempDir() + "pack-input.exe";
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
    const Payload p = CompressFile(path, "input", kEntries[0]);
    EXPECT_EQ(p.compressed, lzma::EncodeBuffer(image.data(), image.size()));
    EXPECT_EQ(p.digest, Sha256Hex(image.data(), image.size()));
    for (int wrong : {1, 2, 3})
        EXPECT_THROW(CompressFile(path, "input", kEntries[wrong]), Error) << kEntries[wrong].option;
    EXPECT_THROW(CompressFile(path + ".missing", "input", kEntries[0]), Error);
    std::remove(path.c_str());
}

// --verify's bound on time: a stream is decoded no further than the limit,
// whether its header declares more or it has no declared size at all.
TEST(Inspect, VerifyUnpacksNoFurtherThanTheLimit) {
    const Bytes zeros(1 << 20, 0);
    PackRequest request;
    request.stub = StubImage();
    request.tool = Bytes{'M', 'Z'};
    const std::string digest = Sha256Hex(zeros.data(), zeros.size());
    request.payloads = {{"GUI32", lzma::EncodeBuffer(zeros.data(), zeros.size()), digest},
                        {"GUI64", lzma::EncodeBuffer(zeros.data(), zeros.size(), {}, false), digest}};
    const Bytes packed = Pack(request);

    const Inspection whole = Inspect(packed.data(), packed.size(), true, zeros.size());
    EXPECT_TRUE(whole.mismatches.empty()) << whole.mismatches[0];
    ASSERT_EQ(whole.payloads.size(), 2u);
    EXPECT_EQ(whole.payloads[1].unpackedSize, zeros.size()) << "counted while unpacking";

    const Inspection cut = Inspect(packed.data(), packed.size(), true, zeros.size() - 1);
    ASSERT_EQ(cut.mismatches.size(), 2u);
    EXPECT_EQ(cut.mismatches[0].rfind("GUI32 says it unpacks to 1048576 bytes, more than", 0), 0u) << cut.mismatches[0];
    EXPECT_EQ(cut.mismatches[1].rfind("GUI64 does not unpack", 0), 0u) << cut.mismatches[1];
}

// Inputs compressed at once give what each gives alone, on any number of
// threads (more than the inputs: each with a second encoder thread). An input
// that fails stops the others, and its own failure is what is thrown.
TEST(Payload, CompressingAtOnceAndStoppingAtAFailure) {
    std::mt19937 rng(5);
    auto write = [&](const std::string& name, size_t extra) {
        Bytes image = StubImage();
        for (size_t i = 0; i < extra; ++i)
            image.push_back(uint8_t(rng() % 4 ? "\x8b\x45\xfc\x89\xe5\x55\xc3"[i % 7] : rng()));
        const std::string path = ::testing::TempDir() + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), std::streamsize(image.size()));
        return path;
    };
    EntryKind any = kEntries[0];
    any.machine = 0;
    std::vector<Input> inputs;
    for (size_t extra : {300000, 0, 100000})
        inputs.push_back({write("at-once-" + std::to_string(extra), extra), "input", any});
    std::vector<Payload> alone;
    for (const Input& in : inputs)
        alone.push_back(CompressFile(in.path, "input", any));
    for (unsigned threads : {1u, 2u, 7u}) {
        const std::vector<Payload> payloads = CompressAll(inputs, threads, nullptr);
        ASSERT_EQ(payloads.size(), inputs.size());
        for (size_t i = 0; i < inputs.size(); ++i) {
            EXPECT_EQ(payloads[i].compressed, alone[i].compressed) << threads << " " << i;
            EXPECT_EQ(payloads[i].digest, alone[i].digest) << threads << " " << i;
        }
    }

    // The first input fails as it starts. On one thread it goes first, being the
    // larger, and the other never starts; on two, the other, large, must stop
    // long before its end.
    class FailFirst : public Progress {
    public:
        void Begin(const std::vector<std::string>&, const std::vector<uint64_t>&) override {}
        void Advanced(size_t input, uint64_t) override {
            ++advanced[input];
            if (input == 0)
                throw Error("the first input failed");
        }
        void Finished(size_t input, uint64_t) override { ++finished[input]; }
        void Tick() override {}
        std::atomic<int> advanced[2] = {0, 0}, finished[2] = {0, 0};
    };
    const Input large = {write("at-once-large", 4000000), "large", any};
    for (unsigned threads : {1u, 2u}) {
        const std::vector<Input> failing = threads == 1 ? std::vector<Input>{large, inputs[1]} : std::vector<Input>{inputs[1], large};
        FailFirst progress;
        try {
            CompressAll(failing, threads, &progress);
            ADD_FAILURE() << "no failure";
        } catch (const Error& e) {
            EXPECT_STREQ(e.what(), "the first input failed");
        }
        EXPECT_EQ(progress.finished[1], 0) << threads;
        EXPECT_LE(progress.advanced[1], 3) << threads;
    }
    for (const Input& in : inputs)
        std::remove(in.path.c_str());
    std::remove(large.path.c_str());
}

} // namespace
