// Levels with a power-of-two group count compute start group and step with
// masks instead of reductions and a step list.  The answers must be exactly
// those of the general rule, or keys would land elsewhere than they always
// did: this checks both against each other on random hashes, for every
// group count from 1 to 2^12 and a few large ones.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "common/hash.hpp"
#include "common/layout/raw_table.hpp"
#include "common/probe.hpp"
#include "elastic/level.hpp"

namespace quorvel {
namespace {

using IntLevel = elastic::Level<std::uint64_t, std::uint64_t>;

// The general rule: both indices by division-free reduction, the step read
// from the list of steps coprime with the group count.
elastic::LevelWalk reference_start(const IntLevel& level, const std::vector<std::uint32_t>& steps, MapHash h) {
    const std::uint32_t groups = level.groups();
    const std::uint64_t salt = level.salt();
    const std::uint32_t u = h.lo() ^ static_cast<std::uint32_t>(salt);
    const std::uint32_t v = (u << 29) | ((h.hi() ^ static_cast<std::uint32_t>(salt >> 32)) >> 3);
    const auto count = static_cast<std::uint32_t>(steps.size());
    const std::uint32_t start = groups <= 1 ? 0 : reduce_mod(u, groups, reciprocal(groups));
    const std::uint32_t step = count == 1 ? steps[0] : steps[reduce_mod(v, count, reciprocal(count))];
    return {start, step};
}

void expect_reference_walk(std::uint32_t slots, std::uint32_t index, std::mt19937_64& rng, int hashes) {
    const IntLevel level = IntLevel::with_capacity(slots, 0.1, 16.0, index);
    const std::vector<std::uint32_t> steps = ProbeOps::build_group_steps(level.groups());
    for (int i = 0; i < hashes; ++i) {
        const MapHash h{rng()};
        const elastic::LevelWalk want = reference_start(level, steps, h);
        ASSERT_EQ(level.start_group(h), want.group) << "slots " << slots << " hash " << h.value;
        ASSERT_EQ(level.step(h), want.stride) << "slots " << slots << " hash " << h.value;
    }
}

TEST(ElasticPowerOfTwo, MasksAgreeWithTheGeneralRule) {
    std::mt19937_64 rng(20261209);
    for (std::uint32_t groups = 1; groups <= 4096; ++groups) {
        // Full groups and a ragged last group give the same group count.
        expect_reference_walk(groups * 16, groups % 7, rng, 64);
        expect_reference_walk(groups * 16 - 15, groups % 5, rng, 16);
    }
    for (const std::uint32_t slots : {1u << 20, 1u << 24, (1u << 24) + 16, 3u << 20}) {
        expect_reference_walk(slots, 2, rng, 4096);
    }
}

TEST(ElasticPowerOfTwo, OnlyOtherGroupCountsKeepAStepList) {
    const IntLevel pow2 = IntLevel::with_capacity(1 << 16, 0.1, 16.0, 0);
    EXPECT_TRUE(pow2.power_of_two_groups());
    EXPECT_EQ(pow2.group_steps().size(), 2048u);  // the odd numbers below 4096, made on demand
    const IntLevel other = IntLevel::with_capacity(1000, 0.1, 16.0, 0);
    EXPECT_FALSE(other.power_of_two_groups());
    EXPECT_EQ(other.group_steps().size(), 36u);  // phi(63)
    // The list costs memory only where it is read.
    const RawTable<IntLevel::EntryType> table(1 << 16);
    EXPECT_EQ(pow2.allocated_bytes(), table.allocated_bytes() + pow2.probe_limits().allocated_bytes() +
                                          pow2.lookup_bounds().allocated_bytes());
}

}  // namespace
}  // namespace quorvel
