// The funnel map's sizing rules: worked shapes, bucket sequences and option
// sanitising.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "funnel/bucket_sequence.hpp"
#include "common/log2.hpp"
#include "funnel/shape.hpp"

namespace quorvel {
namespace {

using Counts = std::vector<std::uint32_t>;

// The non-zero level bucket counts, each at its level index.
std::vector<std::pair<std::uint32_t, std::uint32_t>> non_zero_levels(const FunnelShape& shape) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (std::uint32_t i = 0; i < shape.level_bucket_counts.size(); ++i) {
        if (shape.level_bucket_counts[i] != 0) out.emplace_back(i, shape.level_bucket_counts[i]);
    }
    return out;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>> leading(const Counts& counts) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> out;
    for (std::uint32_t i = 0; i < counts.size(); ++i) out.emplace_back(i, counts[i]);
    return out;
}

struct WorkedShape {
    std::uint32_t capacity;
    std::uint32_t probe_limit;
    std::uint32_t primary_slots;
    std::uint32_t fallback_slots;
    std::uint32_t fallback_width;
    std::uint32_t fallback_buckets;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> levels;  // (index, buckets), non-zero only
    std::uint32_t max_insertions;
};

TEST(FunnelShape, WorkedTableWithDefaultReserveFraction) {
    const std::vector<WorkedShape> table = {
        {0, 1, 0, 0, 2, 0, {}, 0},
        {1, 1, 1, 0, 2, 0, {}, 1},
        {16, 2, 0, 0, 4, 0, {{23, 1}}, 15},
        {32, 3, 0, 0, 6, 0, {{0, 1}, {1, 1}}, 29},
        {100, 3, 2, 2, 6, 1, leading({2, 2, 1, 1}), 90},
        {1000, 4, 36, 36, 8, 5, leading({15, 11, 8, 6, 5, 4, 3, 2, 2, 1, 1}), 900},
        {4096, 4, 152, 152, 8, 19,
         leading({59, 44, 33, 25, 19, 14, 11, 8, 6, 5, 4, 3, 2, 2, 1, 1}), 3687},
    };
    for (const WorkedShape& row : table) {
        SCOPED_TRACE(testing::Message() << "capacity " << row.capacity);
        const FunnelShape shape = funnel_shape(FunnelOptions{row.capacity, 0.1, std::nullopt});
        EXPECT_EQ(shape.level_count, 24u);
        EXPECT_EQ(shape.bucket_width, 16u);
        EXPECT_EQ(shape.level_bucket_counts.size(), 24u);
        EXPECT_EQ(shape.primary_probe_limit, row.probe_limit);
        EXPECT_EQ(shape.special_size, row.primary_slots + row.fallback_slots);
        EXPECT_EQ(shape.primary_slots, row.primary_slots);
        EXPECT_EQ(shape.fallback_slots, row.fallback_slots);
        EXPECT_EQ(shape.fallback_bucket_width, row.fallback_width);
        EXPECT_EQ(shape.fallback_bucket_count, row.fallback_buckets);
        EXPECT_EQ(non_zero_levels(shape), row.levels);
        EXPECT_EQ(shape.max_insertions, row.max_insertions);
    }
}

// Every slot of the capacity belongs to exactly one region, and the level
// counts follow the 3/4 rule, for many capacities and reserve fractions.
TEST(FunnelShape, SlotsAddUpToTheCapacity) {
    for (const double delta : {0.125, 0.1, 0.01, 0.004, 0.001, 0.000001}) {
        for (std::uint32_t n = 0; n < 3000; n += 7) {
            SCOPED_TRACE(testing::Message() << "delta " << delta << " capacity " << n);
            const FunnelShape shape = funnel_shape(FunnelOptions{n, delta, std::nullopt});
            std::uint64_t level_slots = 0;
            for (const std::uint32_t buckets : shape.level_bucket_counts) {
                level_slots += std::uint64_t{buckets} * shape.bucket_width;
            }
            EXPECT_EQ(level_slots + shape.special_size, n);
            EXPECT_EQ(shape.primary_slots + shape.fallback_slots, shape.special_size);
            EXPECT_LE(shape.max_insertions, n);
        }
    }
}

TEST(FunnelShape, ReserveFractionIsClampedAndSanitised) {
    struct Row {
        double given;
        double used;
        std::uint32_t level_count;
        std::uint32_t bucket_width;
    };
    const std::vector<Row> rows = {
        {0.125, 0.125, 22, 16},
        {0.5, 0.125, 22, 16},
        {1.0, 0.125, 22, 16},
        {0.1, 0.1, 24, 16},
        {0.00390625, 0.00390625, 42, 16},
        {0.001, 0.001, 50, 32},
        {0.000001, 0.000001, 90, 48},
        {1e-9, 0.000001, 90, 48},
        {0.0, 0.000001, 90, 48},
        {-3.0, 0.000001, 90, 48},
        {std::numeric_limits<double>::quiet_NaN(), 0.1, 24, 16},
        {std::numeric_limits<double>::infinity(), 0.1, 24, 16},
        {-std::numeric_limits<double>::infinity(), 0.1, 24, 16},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "reserve fraction " << row.given);
        const FunnelShape shape = funnel_shape(FunnelOptions{1000, row.given, std::nullopt});
        EXPECT_EQ(shape.reserve_fraction, row.used);
        EXPECT_EQ(shape.level_count, row.level_count);
        EXPECT_EQ(shape.bucket_width, row.bucket_width);
    }
}

// δ near 2^(-k/4): log2(1/δ) is exactly k/4, on the jump of both ceilings.
TEST(FunnelShape, CeilingsAtQuarterPowersOfTwo) {
    struct Row {
        double delta;  // the double nearest to 2^(-k/4)
        double l;      // log2(1/delta), exactly k/4
        std::uint32_t level_count;
        std::uint32_t raw_width;
    };
    const std::vector<Row> rows = {
        {0x1.ae89f995ad3adp-4, 3.25, 23, 7},
        {0x1.6a09e667f3bcdp-4, 3.5, 24, 7},
        {0x1.306fe0a31b715p-4, 3.75, 25, 8},
        {0x1.6a09e667f3bcdp-9, 8.5, 44, 17},
        {0x1.306fe0a31b715p-20, 19.75, 89, 40},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "log2(1/delta) " << row.l);
        EXPECT_EQ(log2_correctly_rounded(1.0 / row.delta), row.l);
        const FunnelShape shape = funnel_shape(FunnelOptions{100, row.delta, std::nullopt});
        EXPECT_EQ(shape.level_count, row.level_count);
        EXPECT_EQ(shape.bucket_width, (row.raw_width + 15) / 16 * 16);
    }
}

TEST(FunnelShape, ProbeLimit) {
    // Explicit limits are kept, 0 is used as 1 (fallback buckets of 2).
    const FunnelShape zero = funnel_shape(FunnelOptions{1000, 0.1, 0u});
    EXPECT_EQ(zero.primary_probe_limit, 1u);
    EXPECT_EQ(zero.fallback_bucket_width, 2u);
    EXPECT_EQ(funnel_shape(FunnelOptions{1000, 0.1, 7u}).primary_probe_limit, 7u);
    EXPECT_EQ(funnel_shape(FunnelOptions{1000, 0.1, 7u}).fallback_bucket_width, 14u);
    // Default: ceil(log2(max(log2 n, 2))), with n below 5 read as 4.
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> defaults = {
        {0, 1}, {4, 1}, {5, 2}, {16, 2}, {17, 3}, {256, 3}, {257, 4}, {65536, 4}, {65537, 5},
        {4294967295u, 5}};
    for (const auto& [n, limit] : defaults) {
        EXPECT_EQ(funnel_detail::primary_probe_limit(n, std::nullopt), limit) << "capacity " << n;
    }
}

TEST(FunnelBucketSequence, WorkedExamples) {
    auto padded = [](Counts head, std::size_t levels) {
        head.resize(levels, 0);
        return head;
    };
    Counts ones_last(24, 0);
    ones_last[23] = 1;
    EXPECT_EQ(build_funnel_bucket_sequence(1, 24, 0), std::optional(ones_last));
    EXPECT_EQ(build_funnel_bucket_sequence(2, 24, 1), std::optional(padded({1, 1}, 24)));
    EXPECT_EQ(build_funnel_bucket_sequence(6, 24, 2), std::optional(padded({2, 2, 1, 1}, 24)));
    EXPECT_EQ(build_funnel_bucket_sequence(58, 24, 10),
              std::optional(padded({10, 8, 6, 5, 4, 3, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 1, 1}, 24)));
    EXPECT_EQ(build_funnel_bucket_sequence(5, 3, 0), std::nullopt);
    EXPECT_EQ(build_funnel_bucket_sequence(3, 4, 4), std::nullopt);  // first above total
    EXPECT_EQ(build_funnel_bucket_sequence(7, 1, 7), std::optional(Counts{7}));
    EXPECT_EQ(build_funnel_bucket_sequence(7, 1, 6), std::nullopt);  // one level takes all
    EXPECT_EQ(build_funnel_bucket_sequence(100, 2, 100), std::nullopt);  // 100 cannot drop to 0
}

// Whatever the total, the search finds a sequence that respects the rules.
TEST(FunnelBucketSequence, LevelCountsFollowTheThreeQuarterRule) {
    for (const std::uint32_t levels : {22u, 24u, 50u, 90u}) {
        for (std::uint32_t total = 0; total < 2000; total += 3) {
            const Counts counts = level_bucket_counts(total, levels, 16, total * 16);
            ASSERT_EQ(counts.size(), levels);
            std::uint64_t sum = 0;
            for (std::size_t i = 0; i < counts.size(); ++i) {
                sum += counts[i];
                if (i > 0) {
                    ASSERT_GE(counts[i], funnel_detail::sequence_down(counts[i - 1]))
                        << "total " << total << " level " << i;
                    ASSERT_LE(counts[i], funnel_detail::sequence_up(counts[i - 1]))
                        << "total " << total << " level " << i;
                }
            }
            ASSERT_EQ(sum, total);
        }
    }
}

}  // namespace
}  // namespace quorvel
