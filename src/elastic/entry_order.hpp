// Entry order of an elastic map: level by level, slots ascending.
//
// Iteration, the first entry a popitem takes, clear and destruction all
// follow it.  It is read straight from the control bytes, a group of 16
// slots at a time: the occupied ones are those not free, and the spare
// positions past a level's last slot are EMPTY, so never taken for entries.
// The order depends on the map's seed and is stable between two mutations.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/layout/table_scan.hpp"

namespace quorvel {

// One occupied slot: level index and slot index within the level.
struct ElasticLocation {
    std::uint32_t level;
    std::uint32_t slot;

    friend constexpr auto operator<=>(const ElasticLocation&, const ElasticLocation&) = default;
};

namespace elastic {

// The first occupied slot at or after `from` in entry order.
template <class Level>
std::optional<ElasticLocation> first_occupied(const std::vector<Level>& levels, ElasticLocation from) noexcept {
    for (std::uint32_t i = from.level; i < levels.size(); ++i) {
        const Level& level = levels[i];
        const std::uint32_t start = i == from.level ? from.slot : 0;
        if (level.live() == 0 || start >= level.slots()) continue;
        if (const auto slot = next_full_slot(level.table(), start)) return ElasticLocation{i, *slot};
    }
    return std::nullopt;
}

// f(location) for every occupied slot in entry order.  `f` may move the
// entry out of its slot.  `Levels` is a vector of levels, const or not.
// ahead(location) runs a few groups before f (table_scan.hpp).
template <class Levels, class F, class Ahead = NoLookahead>
void for_each_occupied(Levels& levels, F&& f, Ahead ahead = {}) {
    for (std::uint32_t i = 0; i < levels.size(); ++i) {
        const auto& level = levels[i];
        if (level.live() == 0) continue;
        const auto at = [i](std::uint32_t slot) { return ElasticLocation{i, slot}; };
        for_each_full_slot(level.table(), [&](std::uint32_t slot) { f(at(slot)); }, lookahead_in(ahead, at));
    }
}

}  // namespace elastic
}  // namespace quorvel
