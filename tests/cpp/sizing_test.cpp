// Size arithmetic both maps share: the correctly rounded log2 every sizing
// rule is written with, and the saturating and truncating conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "common/log2.hpp"
#include "common/sizing.hpp"

namespace quorvel {
namespace {

// Correctly rounded values (computed with 400-bit arithmetic).
TEST(Log2, MatchesCorrectlyRoundedReferences) {
    const std::vector<std::pair<double, double>> cases = {
        {10.0, 0x1.a934f0979a371p+1},
        {100.0, 0x1.a934f0979a371p+2},
        {1000.0, 0x1.3ee7b471b3a95p+3},
        {1000000.0, 0x1.3ee7b471b3a95p+4},
        {3.0, 0x1.95c01a39fbd68p+0},
        {5.0, 0x1.2934f0979a371p+1},
        {7.0, 0x1.675767f54042dp+1},
        {65535.0, 0x1.ffffd1d55a205p+3},
        {65537.0, 0x1.000017153bda9p+4},
        {4294967295.0, 0x1.ffffffffe8eacp+4},
        {0x1.ffffffffe8eacp+4, 0x1.3ffffffffbd66p+2},
        {0x1.6a09e667f3bccp+3, 3.5},
        {0x1.306fe0a31b715p+16, 16.25},
        // Inputs on which the C library's log2 is one ulp off.
        {0x1.5b3be3b9961dap+30, 0x1.e70946288b8ccp+4},
        {0x1.3f778c54f5b06p+31, 0x1.f51cc42f975d6p+4},
        {0x1.dd716e533b57dp+30, 0x1.ee630fc68b4a0p+4},
        {0x1.37f7cebe3bca3p+26, 0x1.a49066beb02f3p+4},
        {0x1.0ece81b8bf4f1p+31, 0x1.f14c43e7913acp+4},
        {0x1.29774996a43c1p+30, 0x1.e3771d6fcf16ep+4},
        {0x1.b97f985b7dd84p+31, 0x1.fc948a0ad3163p+4},
        {0x1.84706f940aac9p+30, 0x1.e99feda635564p+4},
    };
    for (const auto& [x, expected] : cases) {
        EXPECT_EQ(log2_correctly_rounded(x), expected) << std::hexfloat << "log2(" << x << ")";
    }
}

TEST(Log2, PowersOfTwoAreExact) {
    for (int e = -1074; e <= 1023; ++e) {
        ASSERT_EQ(log2_correctly_rounded(std::ldexp(1.0, e)), static_cast<double>(e)) << "2^" << e;
    }
    EXPECT_TRUE(std::isnan(log2_correctly_rounded(0.0)));
    EXPECT_TRUE(std::isnan(log2_correctly_rounded(-1.0)));
    EXPECT_TRUE(std::isnan(log2_correctly_rounded(std::numeric_limits<double>::infinity())));
}

TEST(Sizing, ConversionsSaturateInsteadOfWrapping) {
    EXPECT_EQ(saturate_u32(0), 0u);
    EXPECT_EQ(saturate_u32(U32_MAX), U32_MAX);
    EXPECT_EQ(saturate_u32(std::uint64_t{U32_MAX} + 1), U32_MAX);
    EXPECT_EQ(truncate_to_u32(2.999), 2u);
    EXPECT_EQ(truncate_to_u32(-0.5), 0u);
    EXPECT_EQ(truncate_to_u32(std::nan("")), 0u);
    EXPECT_EQ(truncate_to_u32(4294967295.5), U32_MAX);
    EXPECT_EQ(truncate_to_u32(1e300), U32_MAX);
}

TEST(Sizing, GrowthDoublesFromSixteenAndStopsAtTheLargestSize) {
    EXPECT_EQ(grown_capacity(0), 16u);
    EXPECT_EQ(grown_capacity(5), 10u);
    EXPECT_EQ(grown_capacity(0x7FFF'FFFFu), 0xFFFF'FFFEu);
    EXPECT_EQ(grown_capacity(0x8000'0000u), U32_MAX);
    EXPECT_EQ(grown_capacity(U32_MAX), U32_MAX);
}

}  // namespace
}  // namespace quorvel
