// Entry order of a funnel map: the levels by index, then the special
// primary, then the special fallback, each by ascending slot.
//
// Iteration, the first entry a popitem takes, rebuilds, clear and
// destruction all follow it, and so does the search for a free slot for a
// key the rules cannot place.  It is read straight from the control bytes,
// a group of 16 slots at a time.  The order depends on the map's seed and
// is stable between two mutations.
#pragma once

#include <cstdint>
#include <optional>

#include "common/layout/table_scan.hpp"
#include "funnel/slot_location.hpp"

namespace quorvel::funnel {

// The first slot at or after `from` in entry order that `next_in(table,
// from_slot)` finds in its region's table; a region for which
// `passed_over(region)` holds has none and is not read.
template <class Levels, class Primary, class Fallback, class PassedOver, class NextIn>
std::optional<SlotLocation> first_slot_from(const Levels& levels, const Primary& primary, const Fallback& fallback,
                                            SlotLocation from, PassedOver passed_over, NextIn next_in) noexcept {
    const auto start = [&](FunnelRegion region, std::uint32_t level) {
        return from.region == region && from.level == level ? from.slot : 0;
    };
    if (from.region == FunnelRegion::level) {
        for (std::uint32_t i = from.level; i < levels.size(); ++i) {
            if (passed_over(levels[i])) continue;
            if (const auto s = next_in(levels[i].table(), start(FunnelRegion::level, i)))
                return SlotLocation::level_slot(i, *s);
        }
    }
    if (from.region != FunnelRegion::fallback && !passed_over(primary)) {
        if (const auto s = next_in(primary.table(), start(FunnelRegion::primary, 0)))
            return SlotLocation::primary_slot(*s);
    }
    if (!passed_over(fallback)) {
        if (const auto s = next_in(fallback.table(), start(FunnelRegion::fallback, 0)))
            return SlotLocation::fallback_slot(*s);
    }
    return std::nullopt;
}

// The first occupied slot at or after `from` in entry order.
template <class Levels, class Primary, class Fallback>
std::optional<SlotLocation> first_occupied(const Levels& levels, const Primary& primary, const Fallback& fallback,
                                           SlotLocation from) noexcept {
    return first_slot_from(
        levels, primary, fallback, from, [](const auto& region) { return region.len() == 0; },
        [](const auto& table, std::uint32_t slot) { return next_full_slot(table, slot); });
}

// The first free (EMPTY or DELETED) slot at or after `from` in entry order.
template <class Levels, class Primary, class Fallback>
std::optional<SlotLocation> first_free(const Levels& levels, const Primary& primary, const Fallback& fallback,
                                       SlotLocation from) noexcept {
    return first_slot_from(
        levels, primary, fallback, from, [](const auto& region) { return region.is_full(); },
        [](const auto& table, std::uint32_t slot) { return next_free_slot(table, slot); });
}

// f(location, entry) for every occupied slot in entry order; f may move
// the entry out of its slot.  The regions are const or not, and so is the
// entry f is given.  ahead(entry) runs a few groups before f
// (table_scan.hpp).
template <class Levels, class Primary, class Fallback, class F, class Ahead = NoLookahead>
void for_each_occupied(Levels& levels, Primary& primary, Fallback& fallback, F&& f, Ahead ahead = {}) {
    const auto walk = [&](auto& region, auto at) {
        if (region.len() == 0) return;
        for_each_full_slot(
            region.table(), [&](std::uint32_t s) { f(at(s), region.entry(s)); },
            lookahead_in(ahead, [&region](std::uint32_t s) -> const auto& { return region.entry(s); }));
    };
    for (std::uint32_t i = 0; i < levels.size(); ++i) {
        walk(levels[i], [i](std::uint32_t s) { return SlotLocation::level_slot(i, s); });
    }
    walk(primary, [](std::uint32_t s) { return SlotLocation::primary_slot(s); });
    walk(fallback, [](std::uint32_t s) { return SlotLocation::fallback_slot(s); });
}

}  // namespace quorvel::funnel
