#include "FileSystem/File.h"
#include "Hex.h"
#include "Security/Sha1.h"
#include "Security/Sha256.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#if KOVA_REFERENCE_OPENSSL
#include <openssl/sha.h>
#else
#include "ReferenceDigests.h"
#endif

namespace Kova::Security {

struct HashStateAccess {
    template <typename H>
    static void SetLength(H& hash, std::uint32_t high, std::uint32_t low)
    {
        hash.lengthHigh = high;
        hash.lengthLow = low;
    }
    template <typename H>
    static std::uint32_t High(const H& hash) { return hash.lengthHigh; }
};

} // namespace Kova::Security

namespace {

using Kova::Buffer;
using Kova::ToHex;
using Kova::Security::HashStateAccess;
using Kova::Security::Sha1;
using Kova::Security::Sha256;
using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t MaxRandomLength = 200;

// Must match GenerateReferenceDigests.py.
Bytes RandomBytes(std::size_t length)
{
    std::uint32_t state = static_cast<std::uint32_t>(length * 2654435761u + 1);
    Bytes bytes;
    for (std::size_t i = 0; i < length; ++i) {
        state = state * 1664525u + 1013904223u;
        bytes.push_back(static_cast<std::uint8_t>(state >> 24));
    }
    return bytes;
}

Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

struct Sha1Traits {
    using Type = Sha1;
    static constexpr std::uint32_t Size = 20;
    static constexpr const wchar_t* Empty = L"DA39A3EE5E6B4B0D3255BFEF95601890AFD80709";
    static constexpr const wchar_t* Abc = L"A9993E364706816ABA3E25717850C26C9CD0D89D";
    static constexpr const wchar_t* TwoBlocks = L"84983E441C3BD26EBAAE4AA1F95129E5E54670F1";
    static constexpr const wchar_t* MillionA = L"34AA973CD4C4DAA4F61EEB2BDBAD27316534016F";
    static std::wstring Reference(const Bytes& bytes)
    {
#if KOVA_REFERENCE_OPENSSL
        std::uint8_t digest[SHA_DIGEST_LENGTH];
        SHA1(bytes.data(), bytes.size(), digest);
        return ToHex(Buffer(digest, sizeof digest));
#else
        return ReferenceSha1[bytes.size()];
#endif
    }
};

struct Sha256Traits {
    using Type = Sha256;
    static constexpr std::uint32_t Size = 32;
    static constexpr const wchar_t* Empty = L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855";
    static constexpr const wchar_t* Abc = L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";
    static constexpr const wchar_t* TwoBlocks = L"248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1";
    static constexpr const wchar_t* MillionA = L"CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0";
    static std::wstring Reference(const Bytes& bytes)
    {
#if KOVA_REFERENCE_OPENSSL
        std::uint8_t digest[SHA256_DIGEST_LENGTH];
        SHA256(bytes.data(), bytes.size(), digest);
        return ToHex(Buffer(digest, sizeof digest));
#else
        return ReferenceSha256[bytes.size()];
#endif
    }
};

// The same SHA-256 through each compression engine: the portable code and
// the processor's SHA instructions must agree on every vector below.
template <Sha256::Engine engine>
struct Sha256With : Sha256 {
    Sha256With() : Sha256(engine) {}
};

struct Sha256PortableTraits : Sha256Traits {
    using Type = Sha256With<Sha256::Engine::Portable>;
    static bool Available() { return true; }
};

struct Sha256ProcessorTraits : Sha256Traits {
    using Type = Sha256With<Sha256::Engine::Processor>;
    static bool Available() { return Sha256::ProcessorEngineAvailable(); }
};

template <typename Traits>
class HashTest : public ::testing::Test {
protected:
    using H = typename Traits::Type;

    void SetUp() override
    {
        if constexpr (requires { Traits::Available(); }) {
            if (!Traits::Available()) {
                GTEST_SKIP() << "this processor has no SHA instructions; the portable engine is tested alone";
            }
        }
    }

    static std::wstring Digest(const H& hash) { return ToHex(hash.GetDigest()); }

    static std::wstring OneShot(const Bytes& bytes)
    {
        H hash;
        hash.Calculate(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
        return Digest(hash);
    }
};

using Algorithms = ::testing::Types<Sha1Traits, Sha256Traits, Sha256PortableTraits, Sha256ProcessorTraits>;
TYPED_TEST_SUITE(HashTest, Algorithms);

TYPED_TEST(HashTest, PublishedVectors)
{
    EXPECT_EQ(this->OneShot({}), TypeParam::Empty);
    EXPECT_EQ(this->OneShot(Text("abc")), TypeParam::Abc);
    EXPECT_EQ(this->OneShot(Text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")), TypeParam::TwoBlocks);
    EXPECT_EQ(this->OneShot(Bytes(1000000, 'a')), TypeParam::MillionA);

    typename TypeParam::Type fresh;
    fresh.Final();
    EXPECT_EQ(this->Digest(fresh), TypeParam::Empty);
}

TYPED_TEST(HashTest, EverySplitOfEveryLengthMatchesReference)
{
    for (std::size_t length = 0; length <= MaxRandomLength; ++length) {
        const Bytes bytes = RandomBytes(length);
        const std::wstring expected = TypeParam::Reference(bytes);
        ASSERT_EQ(this->OneShot(bytes), expected) << "length " << length;
        for (std::size_t split = 0; split <= length; ++split) {
            typename TypeParam::Type hash;
            hash.Update(bytes.data(), static_cast<std::uint32_t>(split));
            hash.Update(bytes.data() + split, static_cast<std::uint32_t>(length - split));
            hash.Final();
            ASSERT_EQ(this->Digest(hash), expected) << "length " << length << " split " << split;
        }
    }
}

TYPED_TEST(HashTest, PaddingEdgesByteByByte)
{
    for (std::size_t length : {55, 56, 63, 64, 65, 119, 120, 128}) {
        const Bytes bytes = RandomBytes(length);
        typename TypeParam::Type hash;
        for (std::uint8_t byte : bytes) {
            hash.Update(&byte, 1);
        }
        hash.Final();
        EXPECT_EQ(this->Digest(hash), TypeParam::Reference(bytes)) << "length " << length;
    }
}

TYPED_TEST(HashTest, DigestOnlyAfterFinalAndStable)
{
    typename TypeParam::Type hash;
    EXPECT_EQ(hash.GetDigest().GetSize(), 0u);
    hash.Update("abc", 3);
    EXPECT_EQ(hash.GetDigest().GetSize(), 0u);
    EXPECT_EQ(hash.GetDigest().GetData(), nullptr);
    hash.Final();
    EXPECT_EQ(hash.GetDigest().GetSize(), TypeParam::Size);
    hash.Final();
    EXPECT_EQ(this->Digest(hash), TypeParam::Abc);
    EXPECT_EQ(this->Digest(hash), TypeParam::Abc);
}

TYPED_TEST(HashTest, NullOrZeroUpdateChangesNothingEvenAfterFinal)
{
    typename TypeParam::Type hash;
    hash.Update(nullptr, 5);
    hash.Update("x", 0);
    hash.Update("abc", 3);
    hash.Update(nullptr, 0);
    hash.Final();
    hash.Update(nullptr, 3);
    hash.Update("abc", 0);
    EXPECT_EQ(this->Digest(hash), TypeParam::Abc);
}

TYPED_TEST(HashTest, UpdateAfterFinalCorruptsUntilReset)
{
    typename TypeParam::Type hash;
    hash.Calculate("abc", 3);
    hash.Update("d", 1);
    EXPECT_EQ(hash.GetDigest().GetSize(), 0u);
    hash.Final();
    hash.Update("e", 1);
    EXPECT_EQ(hash.GetDigest().GetSize(), 0u);

    // Calculate does not reset, so a second one on the same object is misuse.
    typename TypeParam::Type reused;
    reused.Calculate("abc", 3);
    reused.Calculate("abc", 3);
    EXPECT_EQ(reused.GetDigest().GetSize(), 0u);

    hash.Reset();
    hash.Calculate("abc", 3);
    EXPECT_EQ(this->Digest(hash), TypeParam::Abc);
}

TYPED_TEST(HashTest, ResetDropsPartialInput)
{
    typename TypeParam::Type hash;
    const Bytes noise = RandomBytes(100);
    hash.Update(noise.data(), 100);
    hash.Reset();
    hash.Calculate("abc", 3);
    EXPECT_EQ(this->Digest(hash), TypeParam::Abc);
}

TYPED_TEST(HashTest, LengthCounter)
{
    typename TypeParam::Type carry;
    HashStateAccess::SetLength(carry, 0, 0xFFFFFFF8);
    carry.Update("a", 1);
    EXPECT_EQ(HashStateAccess::High(carry), 1u);
    carry.Final();
    EXPECT_EQ(carry.GetDigest().GetSize(), TypeParam::Size);

    typename TypeParam::Type lastBit;
    HashStateAccess::SetLength(lastBit, 0xFFFFFFFF, 0xFFFFFFF0);
    lastBit.Update("a", 1);
    lastBit.Final();
    EXPECT_EQ(lastBit.GetDigest().GetSize(), TypeParam::Size);

    typename TypeParam::Type overflow;
    HashStateAccess::SetLength(overflow, 0xFFFFFFFF, 0xFFFFFFF0);
    overflow.Update("ab", 2);
    overflow.Final();
    EXPECT_EQ(overflow.GetDigest().GetSize(), 0u);
    overflow.Reset();
    overflow.Calculate("abc", 3);
    EXPECT_EQ(this->Digest(overflow), TypeParam::Abc);
}

TYPED_TEST(HashTest, BufferWideStringAndFileForms)
{
    const Bytes bytes = RandomBytes(150);
    typename TypeParam::Type fromBuffer;
    fromBuffer.Calculate(Buffer(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
    EXPECT_EQ(this->Digest(fromBuffer), this->OneShot(bytes));
    typename TypeParam::Type fromEmptyBuffer;
    fromEmptyBuffer.Calculate(Buffer());
    EXPECT_EQ(this->Digest(fromEmptyBuffer), TypeParam::Empty);

    // UTF-16LE on every platform; the long text crosses the internal chunking.
    std::wstring longText;
    Bytes longBytes;
    for (int i = 0; i < 700; ++i) {
        const wchar_t c = static_cast<wchar_t>(0x41 + i % 0x300);
        longText += c;
        longBytes.push_back(static_cast<std::uint8_t>(c & 0xFF));
        longBytes.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    const std::pair<std::wstring, Bytes> texts[] = {
        {L"", {}},
        {L"Ab\u00E9\u20AC", {0x41, 0, 0x62, 0, 0xE9, 0, 0xAC, 0x20}},
        {std::wstring(1, static_cast<wchar_t>(0x1F600)), {0x3D, 0xD8, 0x00, 0xDE}},
        {longText, longBytes},
    };
    for (const auto& [text, expected] : texts) {
        typename TypeParam::Type hash;
        hash.Calculate(text);
        EXPECT_EQ(this->Digest(hash), this->OneShot(expected)) << text.size() << " characters";
    }

    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("kova_hash_" + std::to_string(TypeParam::Size) + ".bin");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), 150);
    typename TypeParam::Type fromFile;
    fromFile.Calculate(Kova::FileSystem::File::Open(path.wstring()));
    EXPECT_EQ(this->Digest(fromFile), this->OneShot(bytes));
    std::ofstream(path, std::ios::binary | std::ios::trunc);
    typename TypeParam::Type fromEmptyFile;
    fromEmptyFile.Calculate(Kova::FileSystem::File::Open(path.wstring()));
    EXPECT_EQ(this->Digest(fromEmptyFile), TypeParam::Empty);
    std::filesystem::remove(path);
}

// Files are hashed in chunks: sizes around and across the chunk boundary must
// give the digest of the whole content.
TYPED_TEST(HashTest, FilesAcrossChunkBoundaries)
{
    constexpr std::size_t chunk = Kova::Security::Hash::FileChunkSize;
    const Bytes content = RandomBytes(2 * chunk + 1000);
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("kova_chunks_" + std::to_string(TypeParam::Size) + ".bin");
    for (std::size_t size : {chunk - 1, chunk, chunk + 1, 2 * chunk + 1000}) {
        std::ofstream(path, std::ios::binary | std::ios::trunc)
            .write(reinterpret_cast<const char*>(content.data()), static_cast<std::streamsize>(size));
        typename TypeParam::Type fromFile;
        fromFile.Calculate(Kova::FileSystem::File::Open(path.wstring()));
        EXPECT_EQ(this->Digest(fromFile), this->OneShot(Bytes(content.begin(), content.begin() + size)))
            << size << " bytes";
    }
    std::filesystem::remove(path);
}

TEST(Sha256EngineTest, AutomaticTakesTheProcessorWhereItCan)
{
    const Sha256 automatic;
    EXPECT_EQ(automatic.GetEngine(),
              Sha256::ProcessorEngineAvailable() ? Sha256::Engine::Processor : Sha256::Engine::Portable);
    EXPECT_EQ(Sha256(Sha256::Engine::Portable).GetEngine(), Sha256::Engine::Portable);
}

// Many blocks in one call take the multi-block path of each engine, with
// its state carried from block to block.
TEST(Sha256EngineTest, EnginesAgreeOnLongInputsInUnevenPieces)
{
    if (!Sha256::ProcessorEngineAvailable()) {
        GTEST_SKIP() << "this processor has no SHA instructions";
    }
    const Bytes bytes = RandomBytes(100000);
    const std::uint32_t pieces[] = {1, 63, 64, 65, 4096, 30000};
    Sha256 portable(Sha256::Engine::Portable);
    Sha256 processor(Sha256::Engine::Processor);
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < bytes.size(); ++i) {
        const auto piece = static_cast<std::uint32_t>(std::min<std::size_t>(pieces[i % 6], bytes.size() - offset));
        portable.Update(bytes.data() + offset, piece);
        processor.Update(bytes.data() + offset, piece);
        offset += piece;
    }
    portable.Final();
    processor.Final();
    EXPECT_EQ(ToHex(processor.GetDigest()), ToHex(portable.GetDigest()));
#if KOVA_REFERENCE_OPENSSL
    EXPECT_EQ(ToHex(portable.GetDigest()), Sha256Traits::Reference(bytes));
#endif
}

} // namespace
