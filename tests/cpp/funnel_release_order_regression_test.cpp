// Regression, found by the funnel map's fuzzer: clear and destruction must
// release each entry's key and then its value, entries in entry order.  The
// funnel map used to destroy each Entry as a whole, whose members go in
// reverse order: the value before the key.  The fuzzer's minimised input is
// fuzz/corpus/funnel/regression-release-key-before-value (capacity 1, one
// insertion, then the map is destroyed).
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>
#include <vector>

#include "funnel_adapter.hpp"

namespace quorvel {
namespace {

using fuzz::Census;
using fuzz::FuzzKey;
using fuzz::FuzzValue;
using Log = std::vector<std::pair<char, std::uint64_t>>;
using Map = FunnelHashMap<FuzzKey, FuzzValue>;

// Each key id i carries value 100 + i.
Map map_with_keys(std::uint32_t count) {
    Map map = Map::with_options_and_hasher(FunnelOptions{64, 0.1, std::nullopt}, 99, 0x243F'6A88'85A3'08D3ull | SEED_BITS);
    for (std::uint32_t id = 0; id < count; ++id) map.insert(FuzzKey(id, fuzz::mix64(id)), FuzzValue(100 + id));
    return map;
}

Log key_then_value_in_entry_order(const Map& map) {
    Log order;
    map.for_each([&](const FuzzKey& k, const FuzzValue& v) {
        order.emplace_back('k', k.id());
        order.emplace_back('v', v.payload());
    });
    return order;
}

TEST(FunnelReleaseOrderRegression, ClearReleasesKeyThenValueInEntryOrder) {
    Census::reset();
    Map map = map_with_keys(10);
    const Log expected = key_then_value_in_entry_order(map);
    Log released;
    Census::release_log = &released;
    map.clear();
    Census::release_log = nullptr;
    EXPECT_EQ(released, expected);
}

TEST(FunnelReleaseOrderRegression, DestructionReleasesKeyThenValueInEntryOrder) {
    Census::reset();
    Log expected, released;
    {
        Map map = map_with_keys(10);
        expected = key_then_value_in_entry_order(map);
        Census::release_log = &released;
    }
    Census::release_log = nullptr;
    EXPECT_EQ(released, expected);
}

TEST(FunnelReleaseOrderRegression, MinimisedFuzzInputReplaysCleanly) {
    const std::vector<std::uint8_t> input = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_NO_THROW(fuzz::run_program<fuzz::FunnelAdapter>(input.data(), input.size()));
}

}  // namespace
}  // namespace quorvel
