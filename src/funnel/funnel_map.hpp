// FunnelHashMap: open addressing without reordering, by funnel hashing.
//
// Layout (all sizes from funnel/shape.hpp; n = capacity slots in all):
//
//     levels[0]   b0 buckets of R slots      R = 16, 32 or 48
//     levels[1]   b1 ~ 3/4 b0 buckets
//     ...         (α levels; small maps have many levels of 0 buckets)
//     primary     16-slot groups, a key walks at most P of them
//     fallback    buckets of max(2, 2P) slots, two per key
//
// Placement of a new key (choose_slot_for_new_key): the lowest free slot of
// its bucket in the first level, going down the levels, that has one; else
// the first primary group on its walk with a free slot; else the lowest
// free slot of its first, then second, fallback bucket.  An entry never
// moves until the whole map is rebuilt.
//
// Lookup follows the same path and stops as soon as the rules say the key
// cannot be further on: at a level window or primary group still holding an
// EMPTY slot (EMPTY only returns through clear or rebuild, and placements
// fill the first free slot of the first window or group that has one), or
// after the key's two fallback buckets.  Only levels up to
// `max_populated_level` are searched; every level above it is empty.  Tags
// are matched 16 at a time before any key is compared.
//
// The level walk is the whole cost of nearly every lookup (at load 7/8 a
// miss crosses about a dozen levels and never reaches the special array),
// so it is kept short: a window holding neither the key's tag nor an EMPTY
// byte - most windows of a walk - is passed after one test of both masks,
// and with 16-slot buckets (reserve fractions down to 1/256) the window is
// a single group, walked without a group loop.  Both only drop work that
// could not change the answer.  Software prefetching of later levels'
// windows was tried and measured: lookups became about twice as slow, so
// the walk has none (its addresses do not depend on its loads, and the
// processor runs ahead through the predictable "go on" branches).
//
// Keys sharing one map hash share all of those places.  When the rules have
// no slot for a new key and the map is under half of `max_insertions`, or
// even a freshly grown map has none, the key takes the first free slot of
// the whole map in entry order and its hash is counted in `overflow_`; a
// miss by the rules then scans the whole map, but only for hashes counted
// there.  Everyone else pays one flag test, and the rules stay exact for
// every key they can place.
//
// Removal leaves a DELETED byte and counts a tombstone in its region; a
// level or the fallback with more tombstones than half its slots, or a
// primary group with five, makes the map rebuild at the same capacity.
// Growth rebuilds at twice the capacity once `len` has reached
// `max_insertions`.  A rebuild builds the new tables first (if that fails
// the map is untouched), then moves every entry over in entry order without
// comparing keys; entries the rules cannot place go to overflow placement
// last, so no entry is ever lost.
//
// Entry order (iteration, popitem, rebuild): levels by index, then the
// primary, then the fallback, each by ascending slot.
//
// Key equality may throw to abort an operation; keys are compared only
// before anything is changed.  K and V must move without throwing.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "common/control.hpp"
#include "common/errors.hpp"
#include "common/hash.hpp"
#include "common/key.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/raw_table.hpp"
#include "common/probe_counter.hpp"
#include "common/seed.hpp"
#include "funnel/bucket_level.hpp"
#include "funnel/options.hpp"
#include "funnel/overflow_hashes.hpp"
#include "funnel/shape.hpp"
#include "funnel/slot_location.hpp"
#include "funnel/special_array.hpp"
#include "funnel/table_scan.hpp"

namespace quorvel {

template <MapKey K, class V>
class FunnelHashMap {
    static_assert(std::is_nothrow_move_constructible_v<K> && std::is_nothrow_move_constructible_v<V>,
                  "a rebuild moves every entry and must not fail half way");
    static_assert(std::is_move_assignable_v<V>, "replacing a value move-assigns it");

public:
    using Location = SlotLocation;
    using EntryType = Entry<K, V>;
    using Level = BucketLevel<K, V>;
    using Primary = SpecialPrimary<K, V>;
    using Fallback = SpecialFallback<K, V>;

    static FunnelHashMap with_options_and_hasher(const FunnelOptions& options, std::uint64_t seed) {
        return FunnelHashMap(funnel_shape(options), seed, GlobalSeed::get());
    }

    FunnelHashMap(FunnelHashMap&& other) noexcept
        : levels_(std::move(other.levels_)),
          primary_(std::move(other.primary_)),
          fallback_(std::move(other.fallback_)),
          overflow_(std::exchange(other.overflow_, OverflowHashes{})),
          len_(std::exchange(other.len_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          max_insertions_(std::exchange(other.max_insertions_, 0)),
          primary_probe_limit_(other.primary_probe_limit_),
          max_populated_level_(std::exchange(other.max_populated_level_, 0)),
          first_hint_(std::exchange(other.first_hint_, Location{})),
          reserve_fraction_(other.reserve_fraction_),
          seed_(other.seed_),
          global_seed_(other.global_seed_) {}

    FunnelHashMap& operator=(FunnelHashMap&& other) noexcept {
        if (this != &other) {
            std::destroy_at(this);
            std::construct_at(this, std::move(other));
        }
        return *this;
    }

    FunnelHashMap(const FunnelHashMap&) = delete;
    FunnelHashMap& operator=(const FunnelHashMap&) = delete;

    ~FunnelHashMap() { destroy_entries_in_order(); }

    // ---- sizes and options --------------------------------------------------

    std::uint32_t len() const noexcept { return len_; }
    std::uint32_t capacity() const noexcept { return capacity_; }
    std::uint64_t seed() const noexcept { return seed_; }
    std::uint32_t max_insertions() const noexcept { return max_insertions_; }
    double reserve_fraction() const noexcept { return reserve_fraction_; }
    std::uint32_t primary_probe_limit() const noexcept { return primary_probe_limit_; }
    std::uint32_t max_populated_level() const noexcept { return max_populated_level_; }

    const std::vector<Level>& levels() const noexcept { return levels_; }
    const Primary& primary() const noexcept { return primary_; }
    const Fallback& fallback() const noexcept { return fallback_; }
    const OverflowHashes& overflow_hashes() const noexcept { return overflow_; }

    std::size_t allocated_bytes() const noexcept {
        std::size_t bytes = levels_.capacity() * sizeof(Level);
        for (const Level& level : levels_) bytes += level.table.allocated_bytes();
        return bytes + primary_.allocated_bytes() + fallback_.table.allocated_bytes() +
               overflow_.allocated_bytes();
    }

    // ---- lookup -------------------------------------------------------------

    MapHash hash_key(const K& key) const noexcept {
        return map_hash(KeyOps<K>::hash(key), seed_, global_seed_);
    }

    std::optional<Location> find_slot_location_with_hash(const K& key, MapHash h) const {
        const RuleProbe probe = probe_by_rules<false>(key, h);
        if (probe.found || !overflow_.may_contain(h.value)) {
            count_lookup(probe.groups);
            return probe.found;
        }
        return find_anywhere(key, h, probe.groups);
    }
    std::optional<Location> find(const K& key, MapHash h) const {
        return find_slot_location_with_hash(key, h);
    }

    // The key's slot in its two fallback buckets, if it is there.
    std::optional<std::uint32_t> find_in_special_fallback(MapHash h, const K& key) const {
        RuleProbe probe;
        probe_fallback<false>(key, h, probe);
        if (!probe.found) return std::nullopt;
        return probe.found->slot;
    }

    V* get(const K& key) {
        const auto loc = find_slot_location_with_hash(key, hash_key(key));
        return loc ? &entry_at(*loc).value : nullptr;
    }
    const V* get(const K& key) const {
        const auto loc = find_slot_location_with_hash(key, hash_key(key));
        return loc ? &entry_at(*loc).value : nullptr;
    }

    EntryType& entry_at(Location loc) noexcept { return *slot_in(*this, loc); }
    const EntryType& entry_at(Location loc) const noexcept { return *slot_in(*this, loc); }

    // ---- placement ----------------------------------------------------------

    // The slot the rules give a new (absent) key, or none.
    std::optional<Location> choose_slot_for_new_key(MapHash h) const noexcept {
        std::uint64_t groups = 0;
        return choose_slot(h, groups);
    }

    std::optional<std::uint32_t> first_free_in_special_primary(MapHash h) const noexcept {
        std::uint64_t groups = 0;
        return primary_.first_free(h, groups);
    }

    // The previous value when the key is present (the stored key is kept and
    // `key` released); otherwise the key is placed, growing the map first
    // when it is due.
    std::optional<V> insert(K key, V value) {
        const MapHash h = hash_key(key);
        const RuleProbe probe = probe_by_rules<true>(key, h);
        std::optional<Location> found = probe.found;
        if (!found && overflow_.may_contain(h.value)) {
            found = find_anywhere(key, h, probe.groups);
        } else {
            count_lookup(probe.groups);
        }
        if (found) return std::exchange(entry_at(*found).value, std::move(value));
        insert_at_location_after_resize_check(probe.vacancy, probe.vacancy_groups, h, std::move(key),
                                              std::move(value));
        return std::nullopt;
    }

    // Places a key the caller knows to be absent; compares no keys.
    void insert_new(K key, V value) {
        const MapHash h = hash_key(key);
        std::uint64_t groups = 0;
        const auto location = choose_slot(h, groups);
        insert_at_location_after_resize_check(location, groups, h, std::move(key), std::move(value));
    }

    // ---- removal ------------------------------------------------------------

    std::optional<V> remove(const K& key) {
        const MapHash h = hash_key(key);
        const auto loc = find_slot_location_with_hash(key, h);
        if (!loc) return std::nullopt;
        return std::move(take_entry(*loc, h).value);
    }

    // Removes the entry at a known occupied slot; compares no keys.
    EntryType remove_at(Location loc) { return take_entry(loc, hash_key(entry_at(loc).key)); }

    // ---- rebuild and clear --------------------------------------------------

    // Rebuilds the map at `new_capacity` with the same seed, reserve fraction
    // and probe limit.  The new tables are built before anything moves: if
    // that throws, this map is unchanged.  Moving the entries cannot fail.
    void resize(std::uint32_t new_capacity) {
        FunnelOptions options{new_capacity, reserve_fraction_, primary_probe_limit_};
        FunnelHashMap next(funnel_shape(options), seed_, global_seed_);
        next.overflow_.reserve(overflow_.distinct());
        if (len_ > new_capacity) throw InternalError("resized funnel map should have free slot");

        bool stranded = false;
        walk_entries(*this, [&](Location from, EntryType& entry) {
            const MapHash h = hash_key(entry.key);
            const auto to = next.choose_slot_for_new_key(h);
            if (!to) {
                stranded = true;
                return;
            }
            next.place_new_entry(*to, h.tag(), std::move(entry));
            vacate(from);
        });
        if (stranded) {
            walk_entries(*this, [&](Location from, EntryType& entry) {
                next.place_stranded(hash_key(entry.key), std::move(entry));
                vacate(from);
            });
        }
        *this = std::move(next);
    }

    // Releases every entry in entry order; keeps the capacity and every table.
    void clear() noexcept {
        for (Level& level : levels_) level.clear();
        primary_.clear();
        fallback_.clear();
        overflow_.clear();
        len_ = 0;
        max_populated_level_ = 0;
        first_hint_ = Location{};
    }

    // ---- entry order --------------------------------------------------------

    // The first entry in entry order.  The search starts at a remembered
    // position before which no entry lies, so emptying a map by repeated
    // popitem does not rescan the slots it has already emptied.
    std::optional<Location> first_location() const noexcept {
        const std::optional<Location> found = first_location_from(first_hint_);
        if (found) first_hint_ = *found;
        return found;
    }

    // f(key, value) for every entry, in entry order.
    template <class F>
    void for_each(F&& f) const {
        walk_entries(*this, [&](Location, const EntryType& entry) { f(entry.key, entry.value); });
    }

private:
    std::optional<Location> first_location_from(Location hint) const noexcept {
        const auto from = [&](FunnelRegion region, std::uint32_t level) {
            return hint.region == region && hint.level == level ? hint.slot : 0;
        };
        if (hint.region == FunnelRegion::level) {
            for (std::uint32_t i = hint.level; i < levels_.size(); ++i) {
                if (levels_[i].len == 0) continue;
                if (auto s = next_full_slot(levels_[i].table, from(FunnelRegion::level, i)))
                    return Location::level_slot(i, *s);
            }
        }
        if (hint.region != FunnelRegion::fallback && primary_.len != 0) {
            if (auto s = next_full_slot(primary_.table, from(FunnelRegion::primary, 0)))
                return Location::primary_slot(*s);
        }
        if (fallback_.len != 0) {
            if (auto s = next_full_slot(fallback_.table, from(FunnelRegion::fallback, 0)))
                return Location::fallback_slot(*s);
        }
        return std::nullopt;
    }

    FunnelHashMap(const FunnelShape& shape, std::uint64_t seed, std::uint64_t global_seed)
        : primary_(shape.primary_slots, shape.primary_probe_limit),
          fallback_(shape.fallback_slots, shape.fallback_bucket_width, shape.fallback_bucket_count),
          capacity_(shape.capacity),
          max_insertions_(shape.max_insertions),
          primary_probe_limit_(shape.primary_probe_limit),
          reserve_fraction_(shape.reserve_fraction),
          seed_(seed),
          global_seed_(global_seed) {
        levels_.reserve(shape.level_bucket_counts.size());
        for (std::uint32_t i = 0; i < shape.level_bucket_counts.size(); ++i) {
            levels_.emplace_back(i, shape.level_bucket_counts[i], shape.bucket_width);
        }
    }

    std::optional<Location> choose_slot(MapHash h, std::uint64_t& groups) const noexcept {
        for (std::uint32_t i = 0; i < levels_.size(); ++i) {
            const Level& level = levels_[i];
            if (level.slots() == 0 || level.is_full() || level.bucket_count == 0) continue;
            if (const auto slot = level.first_free_in_window(h, groups)) return Location::level_slot(i, *slot);
        }
        if (const auto slot = primary_.first_free(h, groups)) return Location::primary_slot(*slot);
        if (const auto slot = fallback_.first_free(h, groups)) return Location::fallback_slot(*slot);
        return std::nullopt;
    }

    // What one pass of the rules found: the key's slot, or (when asked) the
    // slot choose_slot_for_new_key would give it, found on the same walk.
    struct RuleProbe {
        std::optional<Location> found;
        std::optional<Location> vacancy;
        std::uint64_t groups = 0;          // groups examined
        std::uint64_t vacancy_groups = 0;  // groups examined when the vacancy was found
    };

    // The lookup of find_slot_location_with_hash, by the rules only.  With
    // kTrack it also remembers the first free slot the placement rules would
    // take: a walk that stops at an EMPTY slot has met that slot already, and
    // regions the lookup skips for being empty offer their first candidate.
    template <bool kTrack>
    RuleProbe probe_by_rules(const K& key, MapHash h) const {
        RuleProbe out;
        if (probe_levels<kTrack>(key, h, out)) return out;
        if (!kTrack && primary_.len == 0 && fallback_.len == 0) return out;
        if (probe_primary<kTrack>(key, h, out)) return out;
        probe_fallback<kTrack>(key, h, out);
        return out;
    }

    template <bool kTrack>
    void note_vacancy(RuleProbe& out, Location loc) const noexcept {
        if constexpr (kTrack) {
            if (!out.vacancy) {
                out.vacancy = loc;
                out.vacancy_groups = out.groups;
            }
        }
    }

    // True when the search is over (found, or absent by the rules).
    template <bool kTrack>
    bool probe_levels(const K& key, MapHash h, RuleProbe& out) const {
        // All levels share one bucket width.  Buckets of 16 slots (the usual
        // case) make every window one group: the walk then needs no group
        // loop and no multiply per level.  A level with entries has buckets
        // of at least one group, so the walk's do-while reads at least one.
        if (!levels_.empty() && levels_.front().groups_per_bucket == 1) {
            return probe_levels_by<kTrack, 1>(key, h, out);
        }
        return probe_levels_by<kTrack, 0>(key, h, out);
    }

    // kGroups: the groups of a window when known at compile time, else 0.
    template <bool kTrack, std::uint32_t kGroups>
    bool probe_levels_by(const K& key, MapHash h, RuleProbe& out) const {
        const std::uint8_t tag = h.tag();
        const auto searched = static_cast<std::uint32_t>(
            std::min<std::uint64_t>(levels_.size(), std::uint64_t{max_populated_level_} + 1));
        const Level* const levels = levels_.data();
        for (std::uint32_t i = 0; i < searched; ++i) {
            const Level& level = levels[i];
            // A level without buckets has no slots, so len == 0 covers it too.
            if (level.len == 0) {
                if (kTrack && level.bucket_count != 0) {
                    note_vacancy<kTrack>(out, Location::level_slot(i, level.window_start(h)));
                }
                continue;
            }
            const std::uint32_t per_bucket = kGroups != 0 ? kGroups : level.groups_per_bucket;
            const std::uint32_t first = level.window_bucket(h) * per_bucket;
            std::uint32_t g = first;
            do {
                ++out.groups;
                const Group group = Group::load(level.table.group(g));
                const BitMask matches = group.match_tag(tag);
                const BitMask empty = group.match_tag(EMPTY);
                if constexpr (kTrack) {
                    if (const BitMask free = group.match_free()) {
                        note_vacancy<kTrack>(out, Location::level_slot(i, g * GROUP_WIDTH + free.lowest()));
                    }
                }
                // Most windows of a walk hold neither the tag nor an EMPTY
                // slot: one test passes them.
                if ((matches.bits() | empty.bits()) != 0) {
                    for (const std::uint32_t bit : matches) {
                        const std::uint32_t slot = g * GROUP_WIDTH + bit;
                        if (KeyOps<K>::equal(level.table.slot(slot)->key, key)) {
                            out.found = Location::level_slot(i, slot);
                            return true;
                        }
                    }
                    if (empty) return true;
                }
            } while (++g < first + per_bucket);
        }
        if constexpr (kTrack) {
            // Levels above max_populated_level are empty: the first with a
            // bucket offers the start of the key's bucket.
            for (std::uint32_t i = searched; i < levels_.size() && !out.vacancy; ++i) {
                if (levels_[i].bucket_count != 0) {
                    note_vacancy<kTrack>(out, Location::level_slot(i, levels_[i].window_start(h)));
                }
            }
        }
        return false;
    }

    template <bool kTrack>
    bool probe_primary(const K& key, MapHash h, RuleProbe& out) const {
        if (primary_.slots() == 0) return false;
        GroupWalk walk = primary_.probe_walk(h);
        if (primary_.len == 0) {
            note_vacancy<kTrack>(out, Location::primary_slot(walk.group() * GROUP_WIDTH));
            return false;
        }
        const std::uint8_t tag = h.tag();
        for (std::uint32_t i = 0; i < primary_.probe_groups; ++i, walk.advance()) {
            ++out.groups;
            const std::uint32_t g = walk.group();
            const Group group = Group::load(primary_.table.group(g));
            if (primary_.tag_filters[g].contains(tag)) {
                for (const std::uint32_t bit : group.match_tag(tag)) {
                    const std::uint32_t slot = g * GROUP_WIDTH + bit;
                    if (KeyOps<K>::equal(primary_.table.slot(slot)->key, key)) {
                        out.found = Location::primary_slot(slot);
                        return true;
                    }
                }
            }
            const std::uint32_t real = slots_in_group(primary_.table, g);
            if constexpr (kTrack) {
                if (const BitMask free(group.match_free().bits() & real); free) {
                    note_vacancy<kTrack>(out, Location::primary_slot(g * GROUP_WIDTH + free.lowest()));
                }
            }
            if (group.match_tag(EMPTY).bits() & real) return true;
        }
        return false;
    }

    template <bool kTrack>
    void probe_fallback(const K& key, MapHash h, RuleProbe& out) const {
        if (fallback_.slots() == 0 || fallback_.bucket_count == 0) return;
        if (fallback_.len == 0) {
            note_vacancy<kTrack>(out, Location::fallback_slot(fallback_.first_bucket(h).begin));
            return;
        }
        const std::uint8_t tag = h.tag();
        for (const auto bucket : {fallback_.first_bucket(h), fallback_.second_bucket(h)}) {
            ++out.groups;
            for (std::uint32_t s = bucket.begin; s < bucket.end; ++s) {
                const std::uint8_t control = fallback_.table.control(s);
                if (control == tag && KeyOps<K>::equal(fallback_.table.slot(s)->key, key)) {
                    out.found = Location::fallback_slot(s);
                    return;
                }
                if constexpr (kTrack) {
                    if (is_free(control)) note_vacancy<kTrack>(out, Location::fallback_slot(s));
                }
            }
        }
    }

    // The lookup of a key whose hash has entries outside their places: every
    // full slot of the map with the key's tag, in entry order.
    std::optional<Location> find_anywhere(const K& key, MapHash h, std::uint64_t groups) const {
        const std::uint8_t tag = h.tag();
        auto scan = [&](const RawTable<EntryType>& table) -> std::optional<std::uint32_t> {
            for (std::uint32_t g = 0; g < table.groups(); ++g) {
                ++groups;
                for (const std::uint32_t bit : match_tag(table.group(g), tag)) {
                    const std::uint32_t slot = g * GROUP_WIDTH + bit;
                    if (KeyOps<K>::equal(table.slot(slot)->key, key)) return slot;
                }
            }
            return std::nullopt;
        };
        std::optional<Location> found;
        for (std::uint32_t i = 0; i < levels_.size() && !found; ++i) {
            if (levels_[i].len == 0) continue;
            if (const auto slot = scan(levels_[i].table)) found = Location::level_slot(i, *slot);
        }
        if (!found && primary_.len != 0) {
            if (const auto slot = scan(primary_.table)) found = Location::primary_slot(*slot);
        }
        if (!found && fallback_.len != 0) {
            if (const auto slot = scan(fallback_.table)) found = Location::fallback_slot(*slot);
        }
        count_lookup(groups);
        return found;
    }

    // Whether `loc` is one of the places the rules could give hash h.
    bool is_rule_location(MapHash h, Location loc) const noexcept {
        switch (loc.region) {
            case FunnelRegion::level: return levels_[loc.level].in_window(h, loc.slot);
            case FunnelRegion::primary: return primary_.in_probe_sequence(h, loc.slot);
            case FunnelRegion::fallback: return fallback_.in_buckets(h, loc.slot);
        }
        return false;
    }

    // The first free slot of the whole map, in entry order.
    std::optional<Location> first_free_anywhere() const noexcept {
        for (std::uint32_t i = 0; i < levels_.size(); ++i) {
            if (levels_[i].is_full()) continue;
            if (const auto slot = first_free_slot(levels_[i].table)) return Location::level_slot(i, *slot);
        }
        if (!primary_.is_full()) {
            if (const auto slot = first_free_slot(primary_.table)) return Location::primary_slot(*slot);
        }
        if (!fallback_.is_full()) {
            if (const auto slot = first_free_slot(fallback_.table)) return Location::fallback_slot(*slot);
        }
        return std::nullopt;
    }

    std::uint32_t grown_capacity() const noexcept {
        if (capacity_ == 0) return 16;
        if (capacity_ >= 0x8000'0000u) return 0xFFFF'FFFFu;
        return 2 * capacity_;
    }

    // Grows first when the map holds max_insertions entries, or when the
    // rules have no slot and the map is at least half of max_insertions;
    // a key the rules cannot place (even after growing) takes the first
    // free slot of the map.
    // `groups`: how many groups the slot choice read, for the probe counters.
    void insert_at_location_after_resize_check(std::optional<Location> location, std::uint64_t groups,
                                               MapHash h, K key, V value) {
        const bool grow =
            len_ >= max_insertions_ || (!location && 2 * std::uint64_t{len_} >= max_insertions_);
        if (grow) {
            resize(grown_capacity());
            groups = 0;
            location = choose_slot(h, groups);
        }
        count_insertion(groups);
        if (location) {
            place_new_entry(*location, h.tag(), std::move(key), std::move(value));
            return;
        }
        overflow_.reserve(overflow_.distinct() + 1);  // the only step that can fail
        const auto slot = first_free_anywhere();
        if (!slot) throw InternalError("no free slot found after resize");
        place_new_entry(*slot, h.tag(), std::move(key), std::move(value));
        overflow_.add(h.value);
    }

    // Overflow placement during a rebuild: there is always a free slot (the
    // new capacity is at least len), and recording cannot fail.
    void place_stranded(MapHash h, EntryType&& entry) noexcept {
        place_new_entry(*first_free_anywhere(), h.tag(), std::move(entry));
        overflow_.add_or_saturate(h.value);
    }

    template <class... Args>
    void place_new_entry(Location loc, std::uint8_t tag, Args&&... args) noexcept {
        std::construct_at(slot_at(loc), std::forward<Args>(args)...);
        if (precedes(loc, first_hint_)) first_hint_ = loc;
        switch (loc.region) {
            case FunnelRegion::level: {
                Level& level = levels_[loc.level];
                level.table.set_control(loc.slot, tag);
                ++level.len;
                max_populated_level_ = std::max(max_populated_level_, loc.level);
                break;
            }
            case FunnelRegion::primary:
                primary_.table.set_control(loc.slot, tag);
                ++primary_.len;
                primary_.tag_filters[loc.slot / GROUP_WIDTH].add(tag);
                break;
            case FunnelRegion::fallback:
                fallback_.table.set_control(loc.slot, tag);
                ++fallback_.len;
                break;
        }
        ++len_;
    }

    // Takes the entry out of an occupied slot, keeps the counts, and rebuilds
    // when the region's tombstones say so.
    EntryType take_entry(Location loc, MapHash h) {
        const bool overflowed = overflow_.may_contain(h.value) && !is_rule_location(h, loc);
        EntryType* slot = slot_at(loc);
        EntryType out(std::move(*slot));
        std::destroy_at(slot);
        bool rebuild_due = false;
        switch (loc.region) {
            case FunnelRegion::level: {
                Level& level = levels_[loc.level];
                level.table.set_control(loc.slot, DELETED);
                --level.len;
                ++level.tombstones;
                rebuild_due = level.tombstones > level.slots() / 2;
                break;
            }
            case FunnelRegion::primary: {
                primary_.table.set_control(loc.slot, DELETED);
                --primary_.len;
                const std::uint32_t count = ++primary_.group_tombstones[loc.slot / GROUP_WIDTH];
                rebuild_due = count >= PRIMARY_GROUP_TOMBSTONE_LIMIT;
                break;
            }
            case FunnelRegion::fallback:
                fallback_.table.set_control(loc.slot, DELETED);
                --fallback_.len;
                ++fallback_.tombstones;
                rebuild_due = fallback_.tombstones > fallback_.slots() / 2;
                break;
        }
        if (overflowed) overflow_.remove_one(h.value);
        --len_;
        while (max_populated_level_ > 0 && levels_[max_populated_level_].len == 0) --max_populated_level_;
        if (rebuild_due) {
            // The removal itself is complete; a rebuild that cannot get its
            // memory is skipped and due again at the region's next removal.
            try {
                resize(capacity_);
            } catch (const std::bad_alloc&) {
            }
        }
        return out;
    }

    // Empties a slot whose entry a rebuild has moved away: the moved-from
    // entry is destroyed and the slot becomes EMPTY.
    void vacate(Location loc) noexcept {
        std::destroy_at(slot_at(loc));
        switch (loc.region) {
            case FunnelRegion::level:
                levels_[loc.level].table.set_control(loc.slot, EMPTY);
                --levels_[loc.level].len;
                break;
            case FunnelRegion::primary:
                primary_.table.set_control(loc.slot, EMPTY);
                --primary_.len;
                break;
            case FunnelRegion::fallback:
                fallback_.table.set_control(loc.slot, EMPTY);
                --fallback_.len;
                break;
        }
        --len_;
    }

    template <class Self>
    static auto* slot_in(Self& self, Location loc) noexcept {
        switch (loc.region) {
            case FunnelRegion::level: return self.levels_[loc.level].table.slot(loc.slot);
            case FunnelRegion::primary: return self.primary_.table.slot(loc.slot);
            case FunnelRegion::fallback: break;
        }
        return self.fallback_.table.slot(loc.slot);
    }
    EntryType* slot_at(Location loc) noexcept { return slot_in(*this, loc); }

    // f(location, entry) for every entry in entry order; f may vacate the
    // slot it is given.
    template <class Self, class F>
    static void walk_entries(Self& self, F&& f) {
        for (std::uint32_t i = 0; i < self.levels_.size(); ++i) {
            auto& level = self.levels_[i];
            if (level.len == 0) continue;
            for_each_full_slot(level.table, [&](std::uint32_t s) {
                f(Location::level_slot(i, s), *level.table.slot(s));
            });
        }
        if (self.primary_.len != 0) {
            for_each_full_slot(self.primary_.table, [&](std::uint32_t s) {
                f(Location::primary_slot(s), *self.primary_.table.slot(s));
            });
        }
        if (self.fallback_.len != 0) {
            for_each_full_slot(self.fallback_.table, [&](std::uint32_t s) {
                f(Location::fallback_slot(s), *self.fallback_.table.slot(s));
            });
        }
    }

    // Entries are released in entry order, before any table is freed.
    void destroy_entries_in_order() noexcept {
        for (Level& level : levels_) {
            if (level.len != 0) destroy_entries(level.table);
            level.len = 0;
        }
        if (primary_.len != 0) destroy_entries(primary_.table);
        primary_.len = 0;
        if (fallback_.len != 0) destroy_entries(fallback_.table);
        fallback_.len = 0;
    }

    std::vector<Level> levels_;
    Primary primary_;
    Fallback fallback_;
    OverflowHashes overflow_;
    std::uint32_t len_ = 0;
    std::uint32_t capacity_ = 0;
    std::uint32_t max_insertions_ = 0;
    std::uint32_t primary_probe_limit_ = 1;
    std::uint32_t max_populated_level_ = 0;
    mutable Location first_hint_{};  // no entry lies before it in entry order
    double reserve_fraction_ = 0.1;
    std::uint64_t seed_ = 0;
    std::uint64_t global_seed_ = 0;
};

}  // namespace quorvel
