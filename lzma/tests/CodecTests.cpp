#include "LzmaDecoder.h"
#include "LzmaEncoder.h"
#include <gtest/gtest.h>
TEST(Smoke, RoundTrip) {
    std::vector<uint8_t> d(100000);
    for (size_t i = 0; i < d.size(); ++i) d[i] = uint8_t((i * 7) ^ (i >> 5));
    auto c = lzma::EncodeBuffer(d.data(), d.size());
    auto r = lzma::DecodeBuffer(c.data(), c.size());
    EXPECT_EQ(r, d);
}
