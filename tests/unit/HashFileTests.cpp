#include "TestSupport.h"

#include "Kova/Exception.h"
#include "Kova/FileSystem/File.h"
#include "Kova/Hex.h"
#include "Kova/Security/Sha256.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <vector>

using Kova::FileSystem::File;
using Kova::Security::Sha256;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t chunk = Kova::Security::Hash::FileChunkSize;

Bytes Pattern(std::size_t size)
{
    Bytes bytes(size);
    std::uint32_t state = 12345;
    for (auto& byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

std::wstring Digest(Sha256::Engine engine, const void* data, std::size_t size)
{
    Sha256 hash(engine);
    hash.Calculate(data, static_cast<std::uint32_t>(size));
    return Kova::ToHex(hash.GetDigest());
}

void ExpectPublishedVectors(Sha256::Engine engine)
{
    EXPECT_EQ(Digest(engine, "", 0), L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    EXPECT_EQ(Digest(engine, "abc", 3), L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
    const char* twoBlocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    EXPECT_EQ(Digest(engine, twoBlocks, std::strlen(twoBlocks)),
              L"248D6A61D20638B8E5C026930C3E6039A33CE45964FF2167F6ECEDD419DB06C1");
    const std::vector<char> millionA(1000000, 'a');
    EXPECT_EQ(Digest(engine, millionA.data(), millionA.size()),
              L"CDC76E5C9914FB9281A1C7E284D73E67F1809A48A497200E046D39CCC7112CD0");
}

} // namespace

TEST(Sha256EngineTest, PortableEngineGivesThePublishedDigests)
{
    ExpectPublishedVectors(Sha256::Engine::Portable);
}

TEST(Sha256EngineTest, ProcessorEngineGivesThePublishedDigestsAndAgreesWithPortable)
{
    if (!Sha256::ProcessorEngineAvailable()) {
        // Said and recorded rather than GTEST_SKIP, which ends this program
        // under Wine.
        std::printf("skipped: this processor (or its emulator) reports no SHA instructions; "
                    "only the portable engine runs here\n");
        RecordProperty("processor_engine", "not available");
        EXPECT_EQ(Sha256().GetEngine(), Sha256::Engine::Portable);
        return;
    }
    EXPECT_EQ(Sha256().GetEngine(), Sha256::Engine::Processor);
    ExpectPublishedVectors(Sha256::Engine::Processor);
    const Bytes bytes = Pattern(3 * chunk + 77);
    for (std::size_t size : {std::size_t(55), std::size_t(64), std::size_t(1000), bytes.size()}) {
        EXPECT_EQ(Digest(Sha256::Engine::Processor, bytes.data(), size),
                  Digest(Sha256::Engine::Portable, bytes.data(), size))
            << size << " bytes";
    }
}

class ChunkedHashTest : public testing::Test {
protected:
    std::wstring WriteFile(const wchar_t* name, const Bytes& bytes, std::size_t size)
    {
        const std::wstring path = folder.File(name);
        File file = File::Create(path);
        file.Write(bytes.data(), static_cast<std::uint32_t>(size));
        return path;
    }

    Testing::TempFolder folder;
};

TEST_F(ChunkedHashTest, FilesOfEverySizeAroundTheChunkGiveTheDigestOfTheirWholeContent)
{
    const Bytes bytes = Pattern(3 * chunk + 12345);
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(chunk - 1), std::size_t(chunk),
                             std::size_t(chunk + 1), bytes.size()}) {
        const std::wstring path = WriteFile(L"sized.bin", bytes, size);
        Sha256 hash;
        hash.Calculate(File::Open(path));
        EXPECT_EQ(Kova::ToHex(hash.GetDigest()), Digest(Sha256::Engine::Portable, bytes.data(), size))
            << size << " bytes";
    }
}

TEST_F(ChunkedHashTest, ReadsFromTheStartWhereverTheFilePointerStands)
{
    const Bytes bytes = Pattern(chunk + 500);
    const File file = File::Open(WriteFile(L"moved.bin", bytes, bytes.size()));
    const LARGE_INTEGER end{};
    ASSERT_TRUE(SetFilePointerEx(file.GetHandle(), end, nullptr, FILE_END));
    ASSERT_EQ(file.GetFilePointer(), bytes.size());
    Sha256 hash;
    hash.Calculate(file);
    EXPECT_EQ(Kova::ToHex(hash.GetDigest()), Digest(Sha256::Engine::Portable, bytes.data(), bytes.size()));

    Bytes middle(100);
    file.ReadAt(chunk + 100, middle.data(), 100);
    EXPECT_EQ(std::memcmp(middle.data(), bytes.data() + chunk + 100, 100), 0);
}

// A file that another handle (which sharing let in) cut short while it was
// being read: the read that comes up short fails instead of leaving zeros.
TEST_F(ChunkedHashTest, AReadThatComesUpShortFails)
{
    const Bytes bytes = Pattern(2 * chunk);
    const std::wstring path = WriteFile(L"shrinking.bin", bytes, bytes.size());
    HANDLE shared = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(shared, INVALID_HANDLE_VALUE);
    const File file(Kova::KernelHandle(shared), path.c_str());
    ASSERT_EQ(file.GetSize(), bytes.size());

    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    LARGE_INTEGER cut{};
    cut.QuadPart = chunk + 10;
    ASSERT_TRUE(SetFilePointerEx(writer, cut, nullptr, FILE_BEGIN));
    ASSERT_TRUE(SetEndOfFile(writer));
    CloseHandle(writer);

    Bytes piece(chunk);
    file.ReadAt(0, piece.data(), chunk);
    try {
        file.ReadAt(chunk, piece.data(), chunk);
        FAIL() << "a short read passed";
    } catch (const Kova::Win32Exception& failure) {
        EXPECT_EQ(failure.GetCode(), static_cast<std::uint32_t>(ERROR_HANDLE_EOF));
        EXPECT_STREQ(failure.GetFunction(), "Kova::FileSystem::File::ReadAt");
        EXPECT_STREQ(failure.GetFile(), "FileSystem/File");
    }
    EXPECT_THROW(file.ReadAt(bytes.size(), piece.data(), 1), Kova::Win32Exception);
}

TEST_F(ChunkedHashTest, ReadAtReachesPastFourGiB)
{
    const std::wstring path = folder.File(L"huge.bin");
    {
        // Sparse where the file system allows it: nothing is written.
        HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        LARGE_INTEGER end{};
        end.QuadPart = 0x100000000LL + 3;
        const bool grown = SetFilePointerEx(handle, end, nullptr, FILE_BEGIN) && SetEndOfFile(handle);
        CloseHandle(handle);
        if (!grown) {
            std::printf("skipped: no room for a file of 4 GiB here\n");
            return;
        }
    }
    const File file = File::Open(path);
    EXPECT_EQ(file.GetSize(), 0x100000003ull);
    // The 64-bit offset reaches past 4 GiB.
    std::uint8_t tail[3] = {1, 1, 1};
    file.ReadAt(0x100000000ull, tail, 3);
    EXPECT_EQ(tail[0] | tail[1] | tail[2], 0);
}
