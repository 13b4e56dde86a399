#include "Kova/Buffer.h"
#include "Kova/ScopedHandle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <vector>

namespace {

std::vector<int> closed;

void RecordClose(int value)
{
    closed.push_back(value);
}

using CountedHandle = Kova::ScopedHandle<int>;

} // namespace

TEST(ScopedHandleTest, ClosesExactlyOnceAcrossMovesAndResets)
{
    closed.clear();
    {
        CountedHandle empty(&RecordClose);
        CountedHandle first(7, &RecordClose);
        CountedHandle second(9, &RecordClose);
        second = std::move(first);       // closes 9, takes 7
        EXPECT_EQ(closed, std::vector<int>{9});
        EXPECT_TRUE(first.IsEmpty());
        second = std::move(second);      // self-move: nothing
        EXPECT_EQ(second.Get(), 7);
        first = std::move(empty);        // both empty: nothing
        EXPECT_EQ(closed, std::vector<int>{9});
    }
    EXPECT_EQ(closed, (std::vector<int>{9, 7}));
}

TEST(ScopedHandleTest, ReleaseHandsOverWithoutClosing)
{
    closed.clear();
    {
        CountedHandle holder(3, &RecordClose);
        EXPECT_EQ(holder.Release(), 3);
    }
    EXPECT_TRUE(closed.empty());
}

TEST(ScopedHandleTest, KernelHandleIsReallyClosedAndMovesKeepOneOwner)
{
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE duplicate = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &duplicate, 0, FALSE,
                                DUPLICATE_SAME_ACCESS));
    {
        Kova::KernelHandle first(duplicate);
        Kova::KernelHandle second(std::move(first));
        EXPECT_TRUE(first.IsEmpty());
        EXPECT_EQ(second.Get(), duplicate);
    }
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(duplicate, &flags));
    EXPECT_TRUE(GetHandleInformation(event, &flags));
    CloseHandle(event);
}

TEST(BufferTest, SizedBufferIsZeroedAndMoveEmptiesTheSource)
{
    Kova::Buffer zeroed(16);
    ASSERT_NE(zeroed.GetData(), nullptr);
    for (std::uint32_t i = 0; i < zeroed.GetSize(); ++i) {
        EXPECT_EQ(zeroed.GetData()[i], 0);
    }
    const char bytes[] = "abc";
    Kova::Buffer copy(bytes, 3);
    EXPECT_NE(static_cast<const void*>(copy.GetData()), static_cast<const void*>(bytes));
    Kova::Buffer moved(std::move(copy));
    EXPECT_EQ(copy.GetData(), nullptr);
    EXPECT_EQ(copy.GetSize(), 0u);
    EXPECT_EQ(moved.GetSize(), 3u);
    EXPECT_EQ(moved.GetData()[2], 'c');
    EXPECT_EQ(Kova::Buffer(0).GetData(), nullptr);
    EXPECT_EQ(Kova::Buffer(nullptr, 0).GetData(), nullptr);
}

TEST(ScopedHandleTest, MoveConstructionKeepsTheSourcesCloser)
{
    closed.clear();
    {
        CountedHandle source(5, &RecordClose);
        CountedHandle moved(std::move(source));
    }
    EXPECT_EQ(closed, std::vector<int>{5});
}
