#include "Hex.h"

#include <gtest/gtest.h>

TEST(ToHex, UpperCasePairsInOrder)
{
    const std::uint8_t bytes[] = {0x00, 0x0F, 0xA5, 0x10, 0xFF, 0x7e};
    EXPECT_EQ(Kova::ToHex(Kova::Buffer(bytes, sizeof bytes)), L"000FA510FF7E");
    EXPECT_EQ(Kova::ToHex(Kova::Buffer()), L"");
    EXPECT_EQ(Kova::ToHex(Kova::Buffer(3)), L"000000");
}
