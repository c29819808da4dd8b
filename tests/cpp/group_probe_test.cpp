// Control bytes, group masks, step tables, reduction and the group walk.
#include <gtest/gtest.h>

#include <cstdint>
#include <numeric>
#include <random>
#include <vector>

#include "common/control.hpp"
#include "common/probe.hpp"

namespace quorvel {
namespace {

std::uint8_t random_control(std::mt19937& rng) {
    switch (rng() % 4) {
        case 0: return EMPTY;
        case 1: return DELETED;
        default: return static_cast<std::uint8_t>(1 + rng() % 127);
    }
}

TEST(GroupMasks, AgreeWithTheScalarReference) {
    std::mt19937 rng(7);
    std::uint8_t bytes[GROUP_WIDTH];
    for (int round = 0; round < 20000; ++round) {
        for (auto& b : bytes) b = random_control(rng);
        if (round % 7 == 0) bytes[rng() % GROUP_WIDTH] = 0x7F;  // the largest tag
        std::uint32_t free_ref = 0;
        for (std::uint32_t j = 0; j < GROUP_WIDTH; ++j) free_ref |= std::uint32_t{(bytes[j] & 0x7F) == 0} << j;
        ASSERT_EQ(match_free(bytes).bits(), free_ref);
        ASSERT_EQ(PortableGroup::load(bytes).match_free().bits(), free_ref);
        for (std::uint8_t tag : {std::uint8_t{1}, bytes[0], bytes[15], std::uint8_t{127}}) {
            if (tag == EMPTY || tag == DELETED) continue;
            std::uint32_t tag_ref = 0;
            for (std::uint32_t j = 0; j < GROUP_WIDTH; ++j) tag_ref |= std::uint32_t{bytes[j] == tag} << j;
            ASSERT_EQ(match_tag(bytes, tag).bits(), tag_ref);
            ASSERT_EQ(PortableGroup::load(bytes).match_tag(tag).bits(), tag_ref);
        }
    }
}

TEST(GroupMasks, EmptyAndDeletedAreFreeTagsAreNot) {
    std::uint8_t bytes[GROUP_WIDTH] = {EMPTY, DELETED, 1, 0x7F, 0x40};
    EXPECT_EQ(match_free(bytes).bits(), 0xFFFFu & ~0b11100u);
    EXPECT_EQ(match_tag(bytes, 0x7F).bits(), 0b1000u);
    EXPECT_FALSE(match_tag(bytes, 0x33).any());
}

TEST(BitMask, VisitsSetBitsLowestFirst) {
    std::vector<std::uint32_t> seen;
    for (auto j : BitMask(0b1000'0000'0010'0101u)) seen.push_back(j);
    EXPECT_EQ(seen, (std::vector<std::uint32_t>{0, 2, 5, 15}));
    EXPECT_EQ(BitMask(0b1000u).lowest(), 3u);
    EXPECT_FALSE(BitMask(0).any());
}

TEST(GroupSteps, AreTheUnitsBelowN) {
    using V = std::vector<std::uint32_t>;
    EXPECT_EQ(ProbeOps::build_group_steps(0), V{1});
    EXPECT_EQ(ProbeOps::build_group_steps(1), V{1});
    EXPECT_EQ(ProbeOps::build_group_steps(2), V{1});
    EXPECT_EQ(ProbeOps::build_group_steps(4), (V{1, 3}));
    EXPECT_EQ(ProbeOps::build_group_steps(9), (V{1, 2, 4, 5, 7, 8}));
    V prime;
    for (std::uint32_t i = 1; i < 13; ++i) prime.push_back(i);
    EXPECT_EQ(ProbeOps::build_group_steps(13), prime);
    EXPECT_EQ(ProbeOps::build_group_steps(1000).size(), 400u);  // Euler's phi(1000)
}

TEST(GroupSteps, AreExactlyTheNumbersCoprimeWithN) {
    for (std::uint32_t n = 2; n <= 2100; ++n) {
        std::vector<std::uint32_t> expected;
        for (std::uint32_t i = 1; i < n; ++i) {
            if (std::gcd(i, n) == 1) expected.push_back(i);
        }
        ASSERT_EQ(ProbeOps::build_group_steps(n), expected) << "n = " << n;
    }
}

TEST(ReduceMod, IsExactAtTheEdges) {
    const std::uint32_t max = 0xFFFF'FFFFu;
    for (std::uint32_t n : {2u, 3u, 7u, 16u, 1000u, 65537u, 0x8000'0000u, max - 1, max}) {
        const std::uint64_t m = reciprocal(n);
        for (std::uint32_t u : {0u, n - 1, n, max, max - 1, n + 1, 2 * n - 1}) {
            ASSERT_EQ(reduce_mod(u, n, m), u % n) << u << " mod " << n;
        }
    }
    EXPECT_EQ(reciprocal(0), 0u);
    EXPECT_EQ(reciprocal(1), 0u);
}

TEST(ReduceMod, MatchesModuloOverARandomSample) {
    std::mt19937 rng(1234);
    for (int i = 0; i < 2000; ++i) {
        std::uint32_t n = 2 + rng() % 0xFFFF'FFFEu;
        if (i % 3 == 0) n = 2 + rng() % 5000;
        const std::uint64_t m = reciprocal(n);
        for (int j = 0; j < 500; ++j) {
            const std::uint32_t u = rng();
            ASSERT_EQ(reduce_mod(u, n, m), u % n) << u << " mod " << n;
        }
    }
}

TEST(GroupWalk, VisitsEveryGroupOnce) {
    for (std::uint32_t n : {1u, 2u, 3u, 4u, 9u, 16u, 97u, 100u}) {
        for (std::uint32_t step : ProbeOps::build_group_steps(n)) {
            for (std::uint32_t start = 0; start < n; start += 1 + n / 5) {
                std::vector<int> hits(n);
                GroupWalk walk(start, step, n);
                for (std::uint32_t i = 0; i < n; ++i, walk.advance()) ++hits[walk.group()];
                EXPECT_EQ(walk.group(), start) << "the walk is a cycle of length n";
                for (auto h : hits) ASSERT_EQ(h, 1) << "n=" << n << " step=" << step;
            }
        }
    }
}

TEST(GroupWalk, DoesNotWrapNearTheLargestGroupCount) {
    const std::uint32_t n = 0xFFFF'FFFFu;
    GroupWalk walk(n - 1, n - 2, n);
    walk.advance();
    EXPECT_EQ(walk.group(), n - 3);
}

}  // namespace
}  // namespace quorvel
