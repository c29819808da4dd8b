// The entry-order walk the Python iterators are built on, for both maps:
// first_location_from / next_location give exactly the entries for_each
// gives, in its order; the lookahead of for_each runs ahead of it; and the
// group masks the iterators step and prefetch with
// (full_slots_after, full_slots_of_group) name exactly the full slots of a
// group - none past a region's last group - after inserts and removals
// have left full, DELETED and EMPTY slots mixed.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include "common/control.hpp"
#include "elastic/elastic_map.hpp"
#include "funnel/funnel_map.hpp"

namespace quorvel {
namespace {

constexpr std::uint64_t GLOBAL_SEED = 0x5EED'0F'7E57ull;

template <class Map>
Map make(std::uint32_t capacity, double delta);

template <>
ElasticHashMap<std::uint64_t, std::uint64_t> make(std::uint32_t capacity, double delta) {
    return ElasticHashMap<std::uint64_t, std::uint64_t>::with_options_and_hasher({delta, 16.0, capacity}, 3,
                                                                                  GLOBAL_SEED);
}
template <>
FunnelHashMap<std::uint64_t, std::uint64_t> make(std::uint32_t capacity, double delta) {
    return FunnelHashMap<std::uint64_t, std::uint64_t>::with_options_and_hasher({capacity, delta, std::nullopt},
                                                                                 3, GLOBAL_SEED);
}

// A location's region and group as a sortable tuple (slot dropped).
template <class Location>
auto region_group(Location loc) {
    Location region = loc;
    region.slot = 0;
    return std::make_tuple(region, loc.slot / GROUP_WIDTH);
}

template <class Map>
class EntryWalk : public ::testing::Test {};

using Maps =
    ::testing::Types<ElasticHashMap<std::uint64_t, std::uint64_t>, FunnelHashMap<std::uint64_t, std::uint64_t>>;
TYPED_TEST_SUITE(EntryWalk, Maps);

TYPED_TEST(EntryWalk, StepsAndGroupMasksMatchTheEntries) {
    using Map = TypeParam;
    using Location = typename Map::Location;
    for (const double delta : {0.1, 0.01}) {
        Map map = make<Map>(3000, delta);
        std::mt19937_64 rng(11);
        std::vector<std::uint64_t> keys;
        for (std::uint32_t i = 0; i < map.max_insertions(); ++i) {
            keys.push_back(rng());
            map.insert(keys.back(), i);
        }
        for (std::size_t i = 0; i < keys.size(); i += 3) map.remove(keys[i]);  // DELETED bytes among the full

        std::vector<Location> expected;
        std::vector<std::uint64_t> walked_keys;
        for (auto at = map.first_location_from(Location{}); at; at = map.next_location(*at)) {
            expected.push_back(*at);
            walked_keys.push_back(map.entry_at(*at).key);
        }
        std::vector<std::uint64_t> each;
        map.for_each([&](const std::uint64_t& k, const std::uint64_t&) { each.push_back(k); });
        ASSERT_EQ(walked_keys, each);
        ASSERT_EQ(expected.size(), map.len());

        // The lookahead names entries only, each once and before f reaches
        // it; f still sees every entry in order.
        std::map<std::uint64_t, int> seen;  // 1: looked at ahead, 2: visited
        std::vector<std::uint64_t> visited;
        std::size_t looked_ahead = 0;
        map.for_each(
            [&](const std::uint64_t& k, const std::uint64_t&) {
                visited.push_back(k);
                seen[k] = 2;
            },
            [&](const auto& entry) {
                EXPECT_EQ(seen.count(entry.key), 0u) << "looked at twice, or after its visit";
                seen[entry.key] = 1;
                ++looked_ahead;
            });
        ASSERT_EQ(visited, each);
        EXPECT_GT(looked_ahead, each.size() / 2);

        using Key = decltype(region_group(Location{}));
        std::map<Key, std::uint32_t> masks;
        for (const Location loc : expected) masks[region_group(loc)] |= 1u << (loc.slot % GROUP_WIDTH);
        const auto mask_of = [&](Location in, std::uint32_t group) {
            Location at = in;
            at.slot = group * GROUP_WIDTH;
            const auto found = masks.find(region_group(at));
            return found == masks.end() ? 0u : found->second;
        };
        for (const Location loc : expected) {
            const std::uint32_t g = loc.slot / GROUP_WIDTH;
            EXPECT_EQ(map.full_slots_after(loc), mask_of(loc, g) & (FULL_GROUP_MASK << (loc.slot % GROUP_WIDTH + 1)));
            for (const std::uint32_t ahead : {0u, 1u, 2u, 3u}) {
                EXPECT_EQ(map.full_slots_of_group(loc, g + ahead), mask_of(loc, g + ahead));
            }
            EXPECT_EQ(map.full_slots_of_group(loc, 1u << 27), 0u) << "past the region's last group";
        }
    }
}

}  // namespace
}  // namespace quorvel
