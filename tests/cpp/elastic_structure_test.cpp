// Construction of elastic maps and levels: level sizes, batch quotas, growth
// threshold, fill thresholds, probe budgets, salts and option sanitising.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <vector>

#include "elastic/elastic_map.hpp"
#include "elastic/level.hpp"
#include "elastic/sizing.hpp"
#include "elastic_test_support.hpp"

namespace quorvel {
namespace {

using elastic::ProbeLimits;
using Map = ElasticHashMap<std::uint64_t, std::uint64_t>;
using IntLevel = elastic::Level<std::uint64_t, std::uint64_t>;

Map make_map(std::uint32_t capacity, double reserve_fraction = 0.1, double probe_scale = 16.0) {
    return Map::with_options_and_hasher({reserve_fraction, probe_scale, capacity}, 7, test::TEST_GLOBAL_SEED);
}

struct SizingCase {
    std::uint32_t capacity;
    std::vector<std::uint32_t> level_sizes;
    std::uint32_t max_insertions;
    std::vector<std::uint32_t> quotas;
};

const std::vector<SizingCase> SIZING_CASES = {
    {0, {}, 0, {}},
    {1, {1}, 1, {1}},
    {2, {1, 1}, 2, {1, 1}},
    {3, {2, 1}, 3, {2, 1}},
    {16, {8, 4, 2, 1, 1}, 15, {6, 5, 3, 1, 0}},
    {17, {9, 4, 2, 1, 1}, 16, {7, 5, 3, 1, 0}},
    {100, {50, 25, 12, 6, 3, 1, 1, 1, 1}, 90, {38, 29, 14, 8, 1, 0, 0, 0, 0}},
};

TEST(ElasticStructure, WorkedSizingTable) {
    for (const SizingCase& c : SIZING_CASES) {
        SCOPED_TRACE(testing::Message() << "capacity " << c.capacity);
        const Map map = make_map(c.capacity);
        std::vector<std::uint32_t> sizes;
        for (const auto& level : map.levels()) sizes.push_back(level.slots());
        EXPECT_EQ(sizes, c.level_sizes);
        EXPECT_EQ(map.max_insertions(), c.max_insertions);
        EXPECT_EQ(map.quotas(), c.quotas);
        EXPECT_EQ(map.capacity(), c.capacity);
        EXPECT_EQ(map.len(), 0u);
        EXPECT_EQ(map.batch(), 0u);
        EXPECT_EQ(map.quota_left(), c.quotas.empty() ? 0u : c.quotas[0]);
        EXPECT_EQ(map.max_level(), 0u);
    }
}

// The quota rules hold for every capacity, not just the worked ones: the
// quotas sum to max_insertions, there are as many as levels or one more,
// and every map of at least one slot admits an insertion.
void expect_consistent_sizing(std::uint32_t n, double delta) {
    const std::vector<std::uint32_t> sizes = elastic::level_sizes(n);
    std::uint64_t total = 0;
    for (std::size_t k = 0; k < sizes.size(); ++k) {
        total += sizes[k];
        if (k > 0) {
            ASSERT_LE(sizes[k], sizes[k - 1]) << "n=" << n;
        }
    }
    ASSERT_EQ(total, n);
    const std::vector<std::uint32_t> quotas = elastic::batch_quotas(sizes, n, delta);
    const std::uint32_t limit = elastic::max_insertions(n, delta);
    std::uint64_t sum = 0;
    for (const std::uint32_t q : quotas) sum += q;
    ASSERT_EQ(sum, limit) << "n=" << n << " delta=" << delta;
    ASSERT_GE(limit, 1u) << "n=" << n << " delta=" << delta;
    ASSERT_TRUE(quotas.size() == sizes.size() || quotas.size() == sizes.size() + 1) << "n=" << n;
}

TEST(ElasticStructure, QuotasSumToMaxInsertionsForEveryCapacity) {
    for (const double delta : {0.000001, 0.1, 0.5, 0.999999}) {
        for (std::uint32_t n = 1; n <= 4096; ++n) expect_consistent_sizing(n, delta);
        std::mt19937_64 rng(12345);
        for (int i = 0; i < 2000; ++i) expect_consistent_sizing(static_cast<std::uint32_t>(rng() | 1), delta);
        for (const std::uint32_t n : {252645121u, 0x7FFF'FFFFu, 0x8000'0000u, 0xFFFF'FFFEu, 0xFFFF'FFFFu})
            expect_consistent_sizing(n, delta);
    }
}

TEST(ElasticStructure, SanitisesOptions) {
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        double requested, effective;
    } fractions[] = {{nan, 0.1}, {inf, 0.1},          {-inf, 0.1},    {0.0, 0.000001},    {-3.0, 0.000001},
                     {1e-9, 0.000001}, {1.0, 0.999999}, {7.0, 0.999999}, {0.25, 0.25}};
    for (const auto& f : fractions) {
        EXPECT_EQ(make_map(16, f.requested).reserve_fraction(), f.effective) << f.requested;
    }
    const double subnormal = std::numeric_limits<double>::denorm_min();
    const struct {
        double requested, effective;
    } scales[] = {{0.0, 16.0}, {-1.0, 16.0}, {nan, 16.0}, {inf, 16.0}, {-inf, 16.0}, {subnormal, subnormal}, {3.5, 3.5}};
    for (const auto& s : scales) {
        EXPECT_EQ(make_map(16, 0.1, s.requested).probe_scale(), s.effective) << s.requested;
    }
}

// Expected probe budgets, written as runs over free counts as in the design
// notes: {from, to, groups}.
struct BudgetRun {
    std::uint32_t from, to, groups;
};

struct LevelCase {
    std::uint32_t slots, groups, fill_threshold;
    std::vector<BudgetRun> budgets;
};

const std::vector<LevelCase> LEVEL_CASES = {
    {16, 1, 0, {{0, 16, 1}}},
    {17, 2, 0, {{0, 0, 1}, {1, 8, 2}, {9, 17, 1}}},
    {64, 4, 3, {{0, 0, 1}, {1, 19, 4}, {20, 24, 3}, {25, 31, 2}, {32, 64, 1}}},
    {100, 7, 5, {{0, 0, 1}, {1, 30, 4}, {31, 37, 3}, {38, 49, 2}, {50, 100, 1}}},
    {1000, 63, 50, {{0, 0, 1}, {1, 301, 4}, {302, 375, 3}, {376, 499, 2}, {500, 1000, 1}}},
};

void expect_budgets(const ProbeLimits& limits, std::uint32_t slots, const std::vector<BudgetRun>& runs) {
    std::uint32_t next = 0;
    for (const BudgetRun& run : runs) {
        ASSERT_EQ(run.from, next);
        for (std::uint32_t free = run.from; free <= run.to; ++free) {
            ASSERT_EQ(limits.budget(free), run.groups) << "slots " << slots << ", free " << free;
        }
        next = run.to + 1;
    }
    ASSERT_EQ(next, slots + 1);
}

TEST(ElasticStructure, WorkedLevelTable) {
    for (const LevelCase& c : LEVEL_CASES) {
        SCOPED_TRACE(testing::Message() << "slots " << c.slots);
        const IntLevel level = IntLevel::with_capacity(c.slots, 0.1, 16.0, 0);
        EXPECT_EQ(level.groups(), c.groups);
        EXPECT_EQ(level.fill_threshold(), c.fill_threshold);
        expect_budgets(level.probe_limits(), c.slots, c.budgets);
    }
    // Stored as runs, not one word per free count.
    const IntLevel level = IntLevel::with_capacity(64, 0.1, 16.0, 0);
    const std::vector<ProbeLimits::Run> runs = {{31, 2}, {24, 3}, {19, 4}};
    EXPECT_EQ(level.probe_limits().runs(), runs);
}

TEST(ElasticStructure, NoBudgetBeyondOneGroupWhenTheHorizonIsShort) {
    // delta = 0.5 gives log2(1/delta) = 1, reached at once; scale 4 gives o = 4 >= 3.32 at i = 2.
    for (const auto [delta, scale] : {std::pair{0.5, 16.0}, std::pair{0.1, 4.0}}) {
        const IntLevel level = IntLevel::with_capacity(1000, delta, scale, 0);
        EXPECT_TRUE(level.probe_limits().runs().empty());
        expect_budgets(level.probe_limits(), 1000, {{0, 1000, 1}});
    }
}

TEST(ElasticStructure, EmptyLevelIsValid) {
    const IntLevel level = IntLevel::with_capacity(0, 0.1, 16.0, 0);
    EXPECT_EQ(level.slots(), 0u);
    EXPECT_EQ(level.groups(), 0u);
    EXPECT_EQ(level.group_steps(), std::vector<std::uint32_t>{1});
    EXPECT_EQ(level.probe_limits().budget(0), 1u);
    EXPECT_EQ(level.fill_threshold(), 0u);
    EXPECT_EQ(level.group_reciprocal(), 0u);
    EXPECT_EQ(level.step_reciprocal(), 0u);
}

TEST(ElasticStructure, SaltsAndReciprocals) {
    const IntLevel big = IntLevel::with_capacity(1000, 0.1, 16.0, 3);
    EXPECT_EQ(big.salt(), 4 * 0x9E3779B97F4A7C15ull);
    EXPECT_EQ(big.group_steps().size(), 36u);  // phi(63)
    EXPECT_EQ(big.group_reciprocal(), 0x0410'4104'1041'0411ull);  // floor((2^64 - 1) / 63) + 1
    EXPECT_EQ(big.step_reciprocal(), 0x071C'71C7'1C71'C71Dull);   // the same for 36

    const IntLevel two_groups = IntLevel::with_capacity(17, 0.1, 16.0, 0);
    EXPECT_EQ(two_groups.salt(), 0x9E3779B97F4A7C15ull);
    EXPECT_EQ(two_groups.group_steps(), std::vector<std::uint32_t>{1});
    EXPECT_EQ(two_groups.group_reciprocal(), 0x8000'0000'0000'0000ull);
    EXPECT_EQ(two_groups.step_reciprocal(), 0u);

    // Salts wrap modulo 2^64.
    const IntLevel last = IntLevel::with_capacity(1, 0.1, 16.0, 40);
    EXPECT_EQ(last.salt(), 41 * 0x9E3779B97F4A7C15ull);
}

TEST(ElasticStructure, GrowthDoublesUpToTheLargestCapacity) {
    EXPECT_EQ(grown_capacity(0), 16u);
    EXPECT_EQ(grown_capacity(16), 32u);
    EXPECT_EQ(grown_capacity(0x7FFF'FFFFu), 0xFFFF'FFFEu);
    EXPECT_EQ(grown_capacity(0x8000'0000u), 0xFFFF'FFFFu);
    EXPECT_EQ(grown_capacity(0xFFFF'FFFFu), 0xFFFF'FFFFu);
}

// A rebuild grows on the way exactly when an insertion into the map it
// fills would: one growth check per entry placed.
TEST(ElasticStructure, RebuildCapacitiesFollowTheGrowthChecks) {
    using V = std::vector<std::uint32_t>;
    EXPECT_EQ(elastic::rebuild_capacities(32, 15, 0.1), V{32});
    EXPECT_EQ(elastic::rebuild_capacities(16, 15, 0.1), V{16});
    EXPECT_EQ(elastic::rebuild_capacities(16, 100, 0.1), (V{16, 32, 64, 128}));
    EXPECT_EQ(elastic::rebuild_capacities(0, 0, 0.1), V{0});
    // max_insertions is 1 here: the second entry grows the map, the third
    // grows it again, and the rebuild of those two grows once more.
    EXPECT_EQ(elastic::rebuild_capacities(64, 2, 0.999999), (V{64, 128}));
    EXPECT_EQ(elastic::rebuild_capacities(256, 3, 0.999999), (V{256, 512, 1024, 2048}));
    EXPECT_THROW(elastic::rebuild_capacities(0xFFFF'FFFFu, 0xFFFF'FFFFu, 0.1), std::bad_alloc);
    EXPECT_EQ(elastic::rebuild_capacities(0xFFFF'FFFFu, elastic::max_insertions(0xFFFF'FFFFu, 0.1), 0.1),
              V{0xFFFF'FFFFu});
}

}  // namespace
}  // namespace quorvel
