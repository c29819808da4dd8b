// Whole-table walks over a RawTable's control bytes, 16 slots at a time.
//
// Iteration, release, rebuilds and the search for any free slot visit a
// table's slots in ascending order.  They read the control bytes a group at
// a time: a full slot is one whose byte is a tag, and the spare positions
// past the slot count are EMPTY for ever, so they never show up as full; a
// free position is only accepted below the slot count.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <type_traits>

#include "common/control.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/raw_table.hpp"

namespace quorvel {

inline constexpr std::uint32_t FULL_GROUP_MASK = 0xFFFF;

template <class T>
BitMask full_slots(const RawTable<T>& table, std::uint32_t group) noexcept {
    return BitMask(~match_free(table.group(group)).bits() & FULL_GROUP_MASK);
}

// The bits of group g that are real slots (all 16 except in a short last group).
template <class T>
std::uint32_t slots_in_group(const RawTable<T>& table, std::uint32_t group) noexcept {
    const std::uint64_t end = std::uint64_t{GROUP_WIDTH} * (group + 1);
    if (end <= table.slots()) return FULL_GROUP_MASK;
    return (1u << (table.slots() % GROUP_WIDTH)) - 1;
}

// The free slots of group g that are real slots.
template <class T>
BitMask free_slot_mask(const RawTable<T>& table, std::uint32_t group) noexcept {
    return BitMask(match_free(table.group(group)).bits() & slots_in_group(table, group));
}

// for_each_full_slot's default: nothing looked at ahead.
struct NoLookahead {
    void operator()(std::uint32_t) const noexcept {}
};

// How many groups ahead of the one being visited a walk's lookahead runs.
inline constexpr std::uint32_t LOOKAHEAD_GROUPS = 2;

// f(slot) for every full slot, ascending.  `f` may empty the slot it is
// given: each group's full slots are read before any of them is visited.
// Before a group is visited, ahead(slot) is called for the full slots of
// the group LOOKAHEAD_GROUPS further on: a walk whose f reaches memory the
// entries point to (objects lying anywhere, in slot order a cache miss
// each) can ask for it early, so that the misses overlap.
template <class T, class F, class Ahead = NoLookahead>
void for_each_full_slot(const RawTable<T>& table, F&& f, Ahead ahead = {}) {
    for (std::uint32_t g = 0; g < table.groups(); ++g) {
        if constexpr (!std::is_same_v<Ahead, NoLookahead>) {
            const std::uint32_t later = g + LOOKAHEAD_GROUPS;
            if (later < table.groups()) {
                for (const std::uint32_t bit : full_slots(table, later)) ahead(later * GROUP_WIDTH + bit);
            }
        }
        for (const std::uint32_t bit : full_slots(table, g)) f(g * GROUP_WIDTH + bit);
    }
}

// A lookahead over slots from one over a region's locations: `to_location`
// turns a slot into what `ahead` takes; NoLookahead stays itself.
template <class Ahead, class ToLocation>
auto lookahead_in(Ahead& ahead, ToLocation to_location) {
    if constexpr (std::is_same_v<Ahead, NoLookahead>) {
        return NoLookahead{};
    } else {
        return [&ahead, to_location](std::uint32_t slot) { ahead(to_location(slot)); };
    }
}

// The first full slot at or after `from`.
template <class T>
std::optional<std::uint32_t> next_full_slot(const RawTable<T>& table, std::uint32_t from) noexcept {
    for (std::uint32_t g = from / GROUP_WIDTH; g < table.groups(); ++g) {
        std::uint32_t mask = full_slots(table, g).bits();
        if (g == from / GROUP_WIDTH) mask &= FULL_GROUP_MASK << (from % GROUP_WIDTH);
        if (mask != 0) return g * GROUP_WIDTH + BitMask(mask).lowest();
    }
    return std::nullopt;
}

// The first free slot at or after `from`.
template <class T>
std::optional<std::uint32_t> next_free_slot(const RawTable<T>& table, std::uint32_t from) noexcept {
    for (std::uint32_t g = from / GROUP_WIDTH; g < table.groups(); ++g) {
        std::uint32_t mask = free_slot_mask(table, g).bits();
        if (g == from / GROUP_WIDTH) mask &= FULL_GROUP_MASK << (from % GROUP_WIDTH);
        if (mask != 0) return g * GROUP_WIDTH + BitMask(mask).lowest();
    }
    return std::nullopt;
}

// Releases every live entry, ascending, each key before its value; the
// control bytes are left as they are (for a table about to be freed).
template <class K, class V>
void destroy_entries(RawTable<Entry<K, V>>& table) noexcept {
    for_each_full_slot(table, [&](std::uint32_t slot) { release_entry(table.slot(slot)); });
}

// Releases every live entry, ascending, and makes every slot EMPTY again.
template <class K, class V>
void release_entries(RawTable<Entry<K, V>>& table) noexcept {
    destroy_entries(table);
    table.reset_controls();
}

}  // namespace quorvel
