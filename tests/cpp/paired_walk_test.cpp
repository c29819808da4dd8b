// The size range in which lookups read two levels at a time: from 2^13
// slots (2^8 for keys that are not integers) up to 4 MiB of entries, both
// ends included.  The rule is one unsigned comparison, so the ends and the
// wrap below the lower one are where it could go wrong.
#include <gtest/gtest.h>

#include <cstdint>

#include "common/paired_walk.hpp"
#include "common/sizing.hpp"

namespace quorvel {
namespace {

struct Entry24 {
    unsigned char bytes[24];
};
struct Entry16 {
    unsigned char bytes[16];
};
struct Huge {
    unsigned char bytes[1024];  // 4 MiB hold fewer than 2^13 of them
};

TEST(PairedWalk, RangeIsInclusiveAtBothEnds) {
    constexpr std::uint32_t most24 = (4u << 20) / 24;
    EXPECT_FALSE(reads_levels_in_pairs<Entry24>(0));
    EXPECT_FALSE(reads_levels_in_pairs<Entry24>(PAIRED_WALK_MIN_SLOTS - 1));
    EXPECT_TRUE(reads_levels_in_pairs<Entry24>(PAIRED_WALK_MIN_SLOTS));
    EXPECT_TRUE(reads_levels_in_pairs<Entry24>(most24));
    EXPECT_FALSE(reads_levels_in_pairs<Entry24>(most24 + 1));
    EXPECT_FALSE(reads_levels_in_pairs<Entry24>(U32_MAX));
    EXPECT_TRUE(reads_levels_in_pairs<Entry16>(1u << 18));
    EXPECT_FALSE(reads_levels_in_pairs<Entry16>((1u << 18) + 1));
}

TEST(PairedWalk, KeysOtherThanIntegersPairFromSmallerTables) {
    struct Opaque {
        std::uint64_t id;
    };
    static_assert(paired_walk_min_slots<std::uint64_t> == PAIRED_WALK_MIN_SLOTS);
    static_assert(paired_walk_min_slots<Opaque> == PAIRED_WALK_MIN_SLOTS_OTHER_KEYS);
    static_assert(PAIRED_WALK_MIN_SLOTS_OTHER_KEYS < PAIRED_WALK_MIN_SLOTS);
    constexpr std::uint32_t low = PAIRED_WALK_MIN_SLOTS_OTHER_KEYS;
    constexpr std::uint32_t most24 = (4u << 20) / 24;
    EXPECT_FALSE((reads_levels_in_pairs<Entry24, low>(0)));
    EXPECT_FALSE((reads_levels_in_pairs<Entry24, low>(low - 1)));
    EXPECT_TRUE((reads_levels_in_pairs<Entry24, low>(low)));
    EXPECT_TRUE((reads_levels_in_pairs<Entry24, low>(PAIRED_WALK_MIN_SLOTS - 1)));
    EXPECT_TRUE((reads_levels_in_pairs<Entry24, low>(most24)));
    EXPECT_FALSE((reads_levels_in_pairs<Entry24, low>(most24 + 1)));
    EXPECT_FALSE((reads_levels_in_pairs<Entry24, low>(U32_MAX)));
}

TEST(PairedWalk, MatchesTheProductRuleEverywhere) {
    for (std::uint64_t c = 0; c <= U32_MAX; c += 997) {
        const auto capacity = static_cast<std::uint32_t>(c);
        const bool expected = capacity >= PAIRED_WALK_MIN_SLOTS && std::uint64_t{capacity} * 24 <= PAIRED_WALK_MAX_BYTES;
        ASSERT_EQ(reads_levels_in_pairs<Entry24>(capacity), expected) << capacity;
    }
}

TEST(PairedWalk, EntriesTooLargeForTheRangeNeverPair) {
    for (std::uint32_t capacity : {0u, 4096u, PAIRED_WALK_MIN_SLOTS, 1u << 20, U32_MAX}) {
        EXPECT_FALSE(reads_levels_in_pairs<Huge>(capacity)) << capacity;
    }
}

}  // namespace
}  // namespace quorvel
