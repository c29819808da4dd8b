// The insertion path of a funnel map, defined out of the class so that
// funnel_map.hpp reads as the map's state and interface: the one walk that
// looks a key up and finds its slot, the rules' choice of a slot, growth,
// settling under churn, and the placement of keys the rules cannot place.
//
// When the rules have no slot for a new key, the map grows only while it is
// being filled - no removal since it was built empty or cleared - and holds at
// least half of `max_insertions`: that is the overload the rules provide
// growth for.  Otherwise the key takes the first free slot of the map in
// entry order and is recorded in the overflow index: keys sharing one map
// hash (which growth cannot help), and a map kept at its fill limit by
// removals and insertions, whose free slots drift where few new keys'
// windows fall (growth would double a map of constant size).  The rules stay
// exact for every key they can place.
//
// Under removals the map keeps an estimate of what a miss costs (miss_cost)
// and when it has grown past 1 + STEADY_SLACK times its value when the map
// last settled (the churn began, or the map was rebuilt), the next new key
// first rebuilds the map at its capacity, which re-places every entry by the
// rules, empties the overflow index and restarts the hints.
#pragma once

#include "funnel/funnel_map.hpp"

namespace quorvel {

// The lookup visits the named levels until a window with an EMPTY slot;
// the placement wants the first window with a free slot, named or not.
// Both read the same windows, so they walk together, each dropping out
// when it is done; a window read for the placement alone ends the lookup
// too when it holds an EMPTY slot.
template <MapKey K, class V>
inline auto FunnelHashMap<K, V>::probe_for_insert(const K& key, MapHash h) const -> InsertProbe {
    InsertProbe out;
    const std::uint32_t named = hints_.candidates(h);
    // All levels share one bucket width; buckets of 16 slots (the usual
    // case) make every window one group, and of 32 slots two: a group
    // count known at compile time.
    const std::uint32_t groups = levels_.empty() ? 0 : levels_.front().groups_per_bucket();
    const bool over = groups == 1   ? probe_levels_for_insert<1>(key, h, named, out)
                      : groups == 2 ? probe_levels_for_insert<2>(key, h, named, out)
                                    : probe_levels_for_insert<0>(key, h, named, out);
    if (over) return out;
    // No window with an EMPTY slot: the key may still be outside the levels.
    if ((named >> SPECIAL_HINT) != 0) {
        out.found = locate_outside_levels(key, h);
        if (out.found.slot != NO_SLOT) return out;
    }
    ProbeCounter::end_lookup();
    if (!out.vacancy) out.vacancy = choose_outside_levels(h);
    return out;
}

// The levels' part of probe_for_insert: true when it settled the lookup
// (the key found, or an EMPTY slot showed it absent).  `Groups` is the
// window's group count when known at compile time (1), else 0.
template <MapKey K, class V>
template <std::uint32_t Groups>
inline bool FunnelHashMap<K, V>::probe_levels_for_insert(const K& key, MapHash h, std::uint32_t named,
                                                         InsertProbe& out) const {
    const Group::Needle needle = Group::needle(h.tag());
    if constexpr (Groups != 0 && !counting_probes) {
        if (!churned_) return probe_unchurned_levels<Groups>(key, h, needle, named, out);
    }
    // The last level the lookup needs: the highest named one.
    const std::uint32_t named_levels = named & (LEVEL_HINTS | (1u << DEEP_HINT));
    const std::uint32_t last_named =
        (named_levels >> DEEP_HINT) != 0 ? max_populated_level_
        : named_levels != 0              ? static_cast<std::uint32_t>(std::bit_width(named_levels) - 1)
                                         : 0;
    bool searching = named_levels != 0;
    for (std::uint32_t i = 0; i < levels_.size(); ++i) {
        if (i > last_named) searching = false;
        const Level& level = levels_[i];
        const bool look = searching && ((named >> std::min(i, DEEP_HINT)) & 1u) != 0 && level.len() != 0;
        const bool place = !out.vacancy && level.bucket_count() != 0 && !level.is_full();
        if (!look && !place) {
            if (!searching && out.vacancy) break;
            continue;
        }
        const std::uint32_t per_bucket = Groups != 0 ? Groups : level.groups_per_bucket();
        const std::uint32_t first = level.window_group(h);
        std::uint32_t g = first;
        do {
            ProbeCounter::group();
            const Group group = Group::load(level.table().group(g));
            if (look) {
                for (const std::uint32_t bit : group.match(needle)) {
                    const std::uint32_t slot = g * GROUP_WIDTH + bit;
                    if (KeyOps<K>::equal(level.entry(slot).key, key)) {
                        out.found = Location::level_slot(i, slot);
                        return true;
                    }
                }
            }
            if (place && !out.vacancy) {
                if (const BitMask free = group.match_free()) {
                    out.vacancy = Location::level_slot(i, g * GROUP_WIDTH + free.lowest());
                }
            }
            if (group.match_tag(EMPTY)) {
                // Nothing lies past this window: the key is absent.
                ProbeCounter::end_lookup();
                return true;
            }
        } while (++g < first + per_bucket);
        if (!searching && out.vacancy) break;
    }
    return false;
}

// probe_levels_for_insert for windows of `Groups` groups (1 or 2) in a map
// without a removal since it was built: no slot of any level is DELETED, so
// the first window with a free slot is the first with an EMPTY one, where
// the lookup ends too - and within a window, at the first group with a free
// slot, since every key placed in the window took its lowest free slot.
// The walk is then one loop over the levels in order, a level's candidates
// compared only when the key's bucket names it (masked, not branched on:
// which levels are named depends on the key), to the first free slot.  It
// compares exactly the keys of the general walk, in its order; it only also
// reads the windows of full levels the key's bucket does not name, in which
// it finds no candidate and no free slot.  Probe counting builds take the
// general walk, so that the counts stay those of the windows it examines.
template <MapKey K, class V>
template <std::uint32_t Groups>
inline bool FunnelHashMap<K, V>::probe_unchurned_levels(const K& key, MapHash h, Group::Needle needle,
                                                        std::uint32_t named, InsertProbe& out) const {
    for (std::uint32_t i = 0; i < levels_.size(); ++i) {
        const Level& level = levels_[i];
        if (level.bucket_count() == 0) continue;
        const std::uint32_t named_mask = 0u - ((named >> std::min(i, DEEP_HINT)) & 1u);
        const std::uint32_t first = level.window_group(h);
        for (std::uint32_t g = first; g < first + Groups; ++g) {
            const Group group = Group::load(level.table().group(g));
            for (const std::uint32_t bit : BitMask(group.match(needle).bits() & named_mask)) {
                const std::uint32_t slot = g * GROUP_WIDTH + bit;
                if (KeyOps<K>::equal(level.entry(slot).key, key)) {
                    out.found = Location::level_slot(i, slot);
                    return true;
                }
            }
            if (const BitMask free = group.match_free()) {
                out.vacancy = Location::level_slot(i, g * GROUP_WIDTH + free.lowest());
                return true;
            }
        }
    }
    return false;
}

template <MapKey K, class V>
inline auto FunnelHashMap<K, V>::choose_slot(MapHash h) const noexcept -> std::optional<Location> {
    for (std::uint32_t i = 0; i < levels_.size(); ++i) {
        if (const auto slot = levels_[i].first_free(h)) return Location::level_slot(i, *slot);
    }
    return choose_outside_levels(h);
}

template <MapKey K, class V>
inline auto FunnelHashMap<K, V>::choose_outside_levels(MapHash h) const noexcept -> std::optional<Location> {
    if (const auto slot = primary_.first_free(h)) return Location::primary_slot(*slot);
    if (const auto slot = fallback_.first_free(h)) return Location::fallback_slot(*slot);
    return std::nullopt;
}

template <MapKey K, class V>
void FunnelHashMap<K, V>::insert_in_any_case(std::optional<Location> location, MapHash h, K key, V value) {
    if (churned_ && this->len_ < this->max_insertions_ && settle_due() && try_settle()) location = choose_slot(h);
    const bool overloaded = !location && !churned_ && 2 * std::uint64_t{this->len_} >= this->max_insertions_;
    if (this->len_ >= this->max_insertions_ || overloaded) {
        resize(grown_capacity(this->capacity_));
        location = choose_slot(h);
    }
    ProbeCounter::end_insertion();
    if (location) {
        place_new_entry(*location, h, std::move(key), std::move(value));
        return;
    }
    overflow_.reserve(overflow_.size() + 1);  // the only step that can fail
    const auto slot = overflow_slot();
    if (!slot) throw InternalError("no free slot found after resize");
    place_with_hint(*slot, h, SPECIAL_HINT, std::move(key), std::move(value));
    overflow_.add(h.value, *slot);
}

// Whether churn has let the cost of a miss grow enough to settle the map
// again (see the top of the file).  While the map still fills, its cost
// at the new length becomes the measure.
template <MapKey K, class V>
inline bool FunnelHashMap<K, V>::settle_due() noexcept {
    const double cost = miss_cost();
    if (settled_cost_ == 0.0 || this->len_ > settled_len_) {
        settled_cost_ = cost;
        settled_len_ = this->len_;
        return false;
    }
    return cost > (1.0 + STEADY_SLACK) * settled_cost_;
}

// A rebuild at the same capacity; skipped when it cannot get its memory
// (the placement works without it).
template <MapKey K, class V>
inline bool FunnelHashMap<K, V>::try_settle() noexcept {
    try {
        resize(this->capacity_);
    } catch (const std::bad_alloc&) {
        return false;
    }
    settled_cost_ = miss_cost();
    settled_len_ = this->len_;
    return true;
}

// Where a key the rules cannot place goes: any free slot serves, since
// its lookups go through the overflow index.  Under churn such a key
// nearly always comes right after a removal, and the slot that removal
// freed is taken at once; otherwise the scan from the free cursor finds
// the first free slot, whose cost grows with the gaps between free slots
// (about 1/δ slots in a map kept at its limit).
template <MapKey K, class V>
inline auto FunnelHashMap<K, V>::overflow_slot() noexcept -> std::optional<Location> {
    if (last_freed_) {
        const Location loc = *std::exchange(last_freed_, std::nullopt);
        if (is_free(visit(*this, loc, [](const auto& region, std::uint32_t slot) { return region.control(slot); })))
            return loc;
    }
    return first_free_anywhere();
}

// The first free slot of the whole map at or after the free cursor, in
// entry order; no free slot lies before the cursor.
template <MapKey K, class V>
inline auto FunnelHashMap<K, V>::first_free_anywhere() noexcept -> std::optional<Location> {
    const std::optional<Location> found = funnel::first_free(levels_, primary_, fallback_, location_of(free_cursor_));
    if (found) free_cursor_ = order_key(*found);
    return found;
}

// Overflow placement during a rebuild: there is always a free slot (the
// new capacity is at least len), and recording cannot fail.
template <MapKey K, class V>
inline void FunnelHashMap<K, V>::place_stranded(MapHash h, EntryType&& entry) noexcept {
    const Location slot = *first_free_anywhere();
    place_with_hint(slot, h, SPECIAL_HINT, std::move(entry));
    overflow_.add_or_saturate(h.value, slot);
}

// The rebuild (see its declaration).
template <MapKey K, class V>
inline void FunnelHashMap<K, V>::resize(std::uint32_t new_capacity) {
    if (this->len_ > new_capacity) throw InternalError("resized funnel map should have free slot");
    FunnelOptions options{new_capacity, reserve_fraction_, primary_probe_limit_};
    FunnelHashMap next(funnel_shape(options), this->seed_, this->global_seed_);
    next.overflow_.reserve(overflow_.size());
    next.churned_ = churned_;

    bool stranded = false;
    walk_entries(*this, [&](Location from, EntryType& entry) {
        const MapHash h = this->hash_key(entry.key);
        const auto to = next.choose_slot(h);
        if (!to) {
            stranded = true;
            return;
        }
        next.place_new_entry(*to, h, relocate_out(from));
    });
    if (stranded) {
        walk_entries(*this, [&](Location from, EntryType& entry) {
            const MapHash h = this->hash_key(entry.key);
            next.place_stranded(h, relocate_out(from));
        });
    }
    ProbeCounter::discard();
    next.rebuilds_ = this->rebuilds_ + 1;
    *this = std::move(next);
}

}  // namespace quorvel
